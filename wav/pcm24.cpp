// Packing 24-bit samples, the writers' inner loop: the blocks reach a writer
// in order, one at a time, so this runs on one core while the others filter.
#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "wav/pcm24_vector.h"
#include "wav/wav.h"

namespace {

constexpr int32_t Pcm24Min = -(1 << 23);
constexpr int32_t Pcm24Max = (1 << 23) - 1;

// Every sample but the block's last is stored as 4 little-endian bytes, of
// which the next sample overwrites the fourth: one store instead of three.
template <int Channels>
void PackFrames(const FrameBlock& block, uint8_t* out, uint32_t first_frame = 0) {
  out += size_t{first_frame} * Channels * Pcm24Bytes;
  for (uint32_t k = first_frame; k < block.frames; ++k) {
    for (int c = 0; c < Channels; ++c, out += Pcm24Bytes) {
      const uint32_t bits =
          static_cast<uint32_t>(std::clamp(block.channels[c][k], Pcm24Min, Pcm24Max));
      if (k + 1 == block.frames && c + 1 == Channels) {
        StoreLittleEndian(bits, Pcm24Bytes, out);
      } else {
        std::memcpy(out, &bits, sizeof bits);  // a little-endian host: see channel_word.h
      }
    }
  }
}

}  // namespace

void PackPcm24(const FrameBlock& block, int channels, uint8_t* out) {
  switch (channels) {
    case 1:
      return PackFrames<1>(block, out);
    case 2: {
      static const bool vector = VectorPackingSupported();
      const size_t packed =
          vector ? PackStereoPcm24Vector(block.channels[0], block.channels[1], block.frames, out)
                 : 0;
      return PackFrames<2>(block, out, static_cast<uint32_t>(packed));
    }
    case 3:
      return PackFrames<3>(block, out);
    case 4:
      return PackFrames<4>(block, out);
    case 5:
      return PackFrames<5>(block, out);
    case 6:
      return PackFrames<6>(block, out);
  }
}
