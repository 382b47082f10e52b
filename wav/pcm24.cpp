// Packing 24-bit samples, the writers' inner loop: the blocks reach a writer
// in order, one at a time, so this runs on one core while the others filter.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/byte_order.h"
#include "wav/pcm24_vector.h"
#include "wav/wav.h"

namespace {

constexpr int32_t Pcm24Min = -(1 << 23);
constexpr int32_t Pcm24Max = (1 << 23) - 1;

// Every sample but the block's last is stored as 4 little-endian bytes, of
// which the next sample overwrites the fourth: one store instead of three.
// Saturated samples and the peak are counted on the way.
template <int Channels>
void PackFrames(const FrameBlock& block, uint8_t* out, ClipReport* clips,
                uint32_t first_frame = 0) {
  out += size_t{first_frame} * Channels * Pcm24Bytes;
  uint64_t peak = clips->peak;
  for (uint32_t k = first_frame; k < block.frames; ++k) {
    for (int c = 0; c < Channels; ++c, out += Pcm24Bytes) {
      const int32_t sample = block.channels[c][k];
      peak = std::max<uint64_t>(peak, std::llabs(sample));
      clips->saturated[c] += sample < Pcm24Min || sample > Pcm24Max;
      const uint32_t bits = static_cast<uint32_t>(std::clamp(sample, Pcm24Min, Pcm24Max));
      if (k + 1 == block.frames && c + 1 == Channels) {
        StoreLittleEndian(bits, Pcm24Bytes, out);
      } else {
        std::memcpy(out, &bits, sizeof bits);  // a little-endian host: see channel_word.h
      }
    }
  }
  clips->peak = peak;
}

}  // namespace

const uint8_t* PackedPcm24(const FrameBlock& block, int channels, uint8_t* scratch,
                           ClipReport* clips) {
  if (block.prepared) {
    AddClips(block.prepared_clips, clips);
    return block.prepared;
  }
  PackPcm24(block, channels, scratch, clips);
  return scratch;
}

void PackPcm24(const FrameBlock& block, int channels, uint8_t* out, ClipReport* clips) {
  switch (channels) {
    case 1:
      return PackFrames<1>(block, out, clips);
    case 2: {
      static const bool vector = VectorPackingSupported();
      const size_t packed = vector ? PackStereoPcm24Vector(block.channels[0], block.channels[1],
                                                           block.frames, out, clips)
                                   : 0;
      return PackFrames<2>(block, out, clips, static_cast<uint32_t>(packed));
    }
    case 3:
      return PackFrames<3>(block, out, clips);
    case 4:
      return PackFrames<4>(block, out, clips);
    case 5:
      return PackFrames<5>(block, out, clips);
    case 6:
      return PackFrames<6>(block, out, clips);
  }
}
