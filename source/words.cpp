// The portable word kernel and the choice of kernel.
#include <array>

#include "source/source.h"
#include "source/words_vector.h"

namespace {

// Bit reversal of every byte value: the earliest sample moves from bit 7 to bit 0.
constexpr std::array<uint8_t, 256> MakeBitReversal() {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    int reversed = 0;
    for (int bit = 0; bit < 8; ++bit) reversed |= ((value >> bit) & 1) << (7 - bit);
    table[value] = static_cast<uint8_t>(reversed);
  }
  return table;
}
constexpr std::array<uint8_t, 256> BitReversal = MakeBitReversal();

// The channel word of one channel's four bytes, `stride` bytes apart.
inline ChannelWord WordOf(const uint8_t* first, int stride) {
  return static_cast<ChannelWord>(BitReversal[first[0]]) |
         static_cast<ChannelWord>(BitReversal[first[stride]]) << 8 |
         static_cast<ChannelWord>(BitReversal[first[2 * stride]]) << 16 |
         static_cast<ChannelWord>(BitReversal[first[3 * stride]]) << 24;
}

constexpr size_t StereoWordBytes = 2 * sizeof(ChannelWord);  // one word of each channel

}  // namespace

bool WordKernelSupported(WordKernel kernel) {
  return kernel == WordKernel::Table || VectorWordsSupported();
}

WordKernel BestWordKernel() {
  static const WordKernel best = VectorWordsSupported() ? WordKernel::Vector : WordKernel::Table;
  return best;
}

void StereoBytesToWords(WordKernel kernel, const uint8_t* bytes, size_t count, ChannelWord* left,
                        ChannelWord* right) {
  size_t w = kernel == WordKernel::Vector ? StereoBytesToWordsVector(bytes, count, left, right) : 0;
  for (; w < count; ++w) {
    left[w] = WordOf(bytes + StereoWordBytes * w, 2);
    right[w] = WordOf(bytes + StereoWordBytes * w + 1, 2);
  }
}

void InterleavedToWords(const uint8_t* bytes, size_t count, int channels,
                        ChannelWord* const words[]) {
  const size_t round_bytes = sizeof(ChannelWord) * channels;
  for (size_t w = 0; w < count; ++w) {
    for (int c = 0; c < channels; ++c) words[c][w] = WordOf(bytes + round_bytes * w + c, channels);
  }
}

void ReverseBits(WordKernel kernel, uint8_t* bytes, size_t count) {
  size_t i = kernel == WordKernel::Vector ? ReverseBitsVector(bytes, count) : 0;
  for (; i < count; ++i) bytes[i] = BitReversal[bytes[i]];
}
