#include "decimate/division.h"

#include <cstdlib>

#include "dsdiff/dsdiff.h"

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "channel files are read straight into words: a little-endian host is required"
#endif

namespace {

constexpr uint32_t DivShift = 23;             // log2 of DivSize
constexpr uint32_t DivRemainderMask = DivSize - 1;
constexpr uint32_t DivBufferWords = DivSize + OverlapWords;

struct DivisionStreams {
  FILE* left = nullptr;
  FILE* right = nullptr;
  ChannelWord* left_words = nullptr;
  ChannelWord* right_words = nullptr;
};

bool ReadWords(FILE* in, ChannelWord* words, uint32_t count) {
  return std::fread(words, sizeof(ChannelWord), count, in) == count;
}

// Computes frames 0..frames-1 of a division into `pcm`.
void FilterFrames(const ChannelWord* left, const ChannelWord* right, uint32_t frames,
                  uint8_t* pcm) {
  for (uint32_t k = 0; k < frames; ++k) {
    DecimationFilter(left + k, right + k, pcm + size_t{PcmFrameBytes} * k);
  }
}

Failure RunDivisions(const DivisionStreams& s, FILE* out, uint8_t* pcm, uint32_t DivNum,
                     uint32_t LastDivSize, uint32_t WLastDivSize) {
  for (uint32_t d = 0; d < DivNum; ++d) {
    const bool last = d + 1 == DivNum;
    const uint32_t words = last ? LastDivSize : DivBufferWords;
    if (!ReadWords(s.left, s.left_words, words) || !ReadWords(s.right, s.right_words, words)) {
      return Failure::FileRead;
    }
    // A full division computes one frame per word; the last stops where its
    // final window ends, leaving 15 frames of the buffer as they were.
    FilterFrames(s.left_words, s.right_words, last ? LastDivSize - OverlapWords : DivSize, pcm);
    if (!last) {
      const long overlap_bytes = long{OverlapWords} * sizeof(ChannelWord);
      if (std::fseek(s.left, -overlap_bytes, SEEK_CUR) != 0 ||
          std::fseek(s.right, -overlap_bytes, SEEK_CUR) != 0) {
        return Failure::FileRead;
      }
    }
    const uint32_t bytes = last ? WLastDivSize : DivWavSize;
    if (std::fwrite(pcm, 1, bytes, out) != bytes) return Failure::FileWrite;
    std::printf("%d\n", static_cast<int>(d + 1));
  }
  std::printf("\n");
  return Failure::None;
}

}  // namespace

DivisionLayout DivisionLayoutOf(uint32_t DsdSize) {
  DivisionLayout layout;
  layout.DsdLR64Size = DsdSize / GroupBytes;
  layout.DivNum = layout.DsdLR64Size >> DivShift;
  layout.LastDivSize = layout.DsdLR64Size & DivRemainderMask;
  if (layout.LastDivSize == 0) {
    layout.LastDivSize = DivSize;
  } else {
    ++layout.DivNum;
  }
  return layout;
}

Failure DivisionPrepare(uint8_t** pcm) {
  *pcm = static_cast<uint8_t*>(std::calloc(DivWavSize, 1));
  return *pcm ? Failure::None : Failure::MemoryAlloc;
}

Failure DivisionPass(FILE* out, uint8_t* pcm, uint32_t DivNum, uint32_t LastDivSize,
                     uint32_t WLastDivSize) {
  DivisionStreams s;
  Failure failure = Failure::None;
  s.left = std::fopen(LeftChannelFile, "rb");
  if (s.left) s.right = std::fopen(RightChannelFile, "rb");
  if (!s.right) failure = Failure::FileOpen;
  if (failure == Failure::None) {
    s.left_words = static_cast<ChannelWord*>(std::malloc(DivBufferWords * sizeof(ChannelWord)));
    if (s.left_words) {
      s.right_words = static_cast<ChannelWord*>(std::malloc(DivBufferWords * sizeof(ChannelWord)));
    }
    if (!s.right_words) failure = Failure::MemoryAlloc;
  }
  if (failure == Failure::None) {
    failure = RunDivisions(s, out, pcm, DivNum, LastDivSize, WLastDivSize);
  }
  if (s.left) std::fclose(s.left);
  if (s.right) std::fclose(s.right);
  std::free(s.left_words);
  std::free(s.right_words);
  std::free(pcm);
  return failure;
}
