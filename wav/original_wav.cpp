// The original layout: its sizes, its 44-byte header, and its writer.
#include <algorithm>
#include <cstring>
#include <new>

#include "base/byte_order.h"
#include "wav/wav.h"

namespace {

constexpr uint32_t RiffSizeOffset = 4;    // the RIFF chunk's size field
constexpr uint32_t FrameRateOffset = 24;  // frames per second
constexpr uint32_t ByteRateOffset = 28;   // bytes per second
constexpr uint32_t DataSizeOffset = 40;   // the data chunk's size field
constexpr int SizeFieldBytes = 4;
// The RIFF size counts "WAVE" (4), the whole "fmt " chunk (8 + 16) and the
// data chunk's head (8) on top of the data: 36 bytes.
constexpr uint32_t RiffSizeOverData = 36;
constexpr uint32_t TailFrames = OverlapWords;  // the last division's frames not computed
constexpr int OriginalChannels = 2;            // the layout is always stereo

// 2 channels, 88,200 frames per second, 6 bytes per frame, 24 bits, PCM.
// The size fields hold placeholders and the rate fields DSD64's rates until
// BuildOriginalHeader fills them.
// clang-format off
constexpr uint8_t HeaderTemplate[OriginalHeaderBytes] = {
    'R',  'I',  'F',  'F',  0x24, 0xFF, 0xFF, 0xFF,  // RIFF, size WavSize + 36
    'W',  'A',  'V',  'E',                           // form type
    'f',  'm',  't',  ' ',  16,   0,    0,    0,     // format chunk of 16 bytes
    1,    0,                                         // format tag: PCM
    2,    0,                                         // channels
    0x88, 0x58, 0x01, 0x00,                          // 88200 frames per second
    0x30, 0x13, 0x08, 0x00,                          // 529200 bytes per second
    OriginalFrameBytes, 0,                           // bytes per frame
    24,   0,                                         // bits per sample
    'd',  'a',  't',  'a',  0x00, 0xFF, 0xFF, 0xFF,  // data, size WavSize
};
// clang-format on

}  // namespace

uint32_t DsdSizeOf(uint64_t words, bool* beyond_32_bits) {
  // Only as many groups as 32-bit sizes carry are converted.
  *beyond_32_bits = words > MaxDsdSize / GroupBytes;
  return *beyond_32_bits ? MaxDsdSize : static_cast<uint32_t>(words * GroupBytes);
}

RunSizes RunSizesOf(uint32_t DsdSize) {
  RunSizes sizes{};
  sizes.DsdSize = DsdSize;
  sizes.DsdLR64Size = DsdSize / GroupBytes;
  sizes.DivNum = sizes.DsdLR64Size / DivSize;
  sizes.FoundLastDivSize = sizes.DsdLR64Size % DivSize;
  if (sizes.FoundLastDivSize == 0) {
    sizes.FoundLastDivSize = DivSize;
  } else {
    ++sizes.DivNum;
  }
  // The last division must hold a whole filter window: it is padded with
  // silence words.
  sizes.LastDivSize = std::max<uint32_t>(sizes.FoundLastDivSize, WindowWords);
  // Six bytes of frames for every eight bytes of sound, less the 16 frames
  // (96 bytes) that the last filter windows cannot fill. Computed in double
  // and truncated; exact for every DsdSize the readers accept (a multiple of
  // 8, at least 128).
  const double wav_bytes = static_cast<double>(DsdSize) * 0.75 - 96;
  sizes.WavSize = static_cast<uint32_t>(static_cast<int64_t>(wav_bytes));
  sizes.WLastDivSize = sizes.LastDivSize * OriginalFrameBytes;
  return sizes;
}

uint64_t ChannelFileWords(const RunSizes& sizes) {
  return uint64_t{sizes.DivNum - 1} * DivSize + sizes.LastDivSize;
}

uint64_t ComputedFrames(const RunSizes& sizes) { return ChannelFileWords(sizes) - OverlapWords; }

uint64_t PcmBytes(const RunSizes& sizes) {
  return uint64_t{sizes.DivNum - 1} * DivWavSize + sizes.WLastDivSize;
}

void BuildOriginalHeader(uint32_t WavSize, uint32_t frame_rate,
                         uint8_t header[OriginalHeaderBytes]) {
  std::memcpy(header, HeaderTemplate, OriginalHeaderBytes);
  StoreLittleEndian(WavSize + RiffSizeOverData, SizeFieldBytes, header + RiffSizeOffset);
  StoreLittleEndian(frame_rate, SizeFieldBytes, header + FrameRateOffset);
  StoreLittleEndian(frame_rate * OriginalFrameBytes, SizeFieldBytes, header + ByteRateOffset);
  StoreLittleEndian(WavSize, SizeFieldBytes, header + DataSizeOffset);
}

OriginalWavWriter::OriginalWavWriter(const OutputStream& out, const RunSizes& sizes,
                                     uint32_t frame_rate, uint32_t max_block_frames,
                                     ClipReport* clips)
    : out_(out),
      sizes_(sizes),
      max_block_frames_(max_block_frames),
      // The last full division's frames where the last division's tail lies.
      tail_first_frame_(sizes.DivNum >= 2
                            ? uint64_t{sizes.DivNum - 2} * DivSize + sizes.LastDivSize - TailFrames
                            : UINT64_MAX),
      clips_(clips) {
  BuildOriginalHeader(sizes.WavSize, frame_rate, header_);
}

Fault OriginalWavWriter::Start() {
  try {
    bytes_.resize(size_t{max_block_frames_} * OriginalFrameBytes);
  } catch (const std::bad_alloc&) {
    return Fault{Failure::MemoryAlloc};
  }
  return StartOutput(out_, header_, OriginalHeaderBytes);
}

size_t OriginalWavWriter::PreparedBytes(uint32_t frames) const {
  return size_t{frames} * OriginalFrameBytes;
}

void OriginalWavWriter::Prepare(FrameBlock* block) const {
  PackPcm24(*block, OriginalChannels, block->prepared, &block->prepared_clips);
}

Fault OriginalWavWriter::Write(const FrameBlock& block) {
  const uint8_t* bytes = PackedPcm24(block, OriginalChannels, bytes_.data(), clips_);
  // Keep the part of the block that falls on the tail.
  const uint64_t first = frames_written_, end = first + block.frames;
  const uint64_t from = std::max(first, tail_first_frame_);
  const uint64_t to = std::min(end, tail_first_frame_ + TailFrames);
  if (tail_first_frame_ != UINT64_MAX && from < to) {
    std::memcpy(tail_ + (from - tail_first_frame_) * OriginalFrameBytes,
                bytes + (from - first) * OriginalFrameBytes, (to - from) * OriginalFrameBytes);
  }
  frames_written_ = end;
  return WriteOutput(out_, OriginalHeaderBytes + first * OriginalFrameBytes, bytes,
                     size_t{block.frames} * OriginalFrameBytes);
}

Fault OriginalWavWriter::Finish() {
  const Fault fault = WriteOutput(out_, OriginalHeaderBytes + frames_written_ * OriginalFrameBytes,
                                  tail_, sizeof tail_);
  if (Failed(fault)) return fault;
  return CompleteOutput(out_, header_, OriginalHeaderBytes, OriginalHeaderBytes + PcmBytes(sizes_));
}
