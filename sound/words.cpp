// The portable word kernel and the choice of kernel.
#include <array>

#include "sound/sound.h"
#include "sound/words_vector.h"

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

// The channel word of one channel's four bytes of a group, every second byte.
inline ChannelWord WordOf(const uint8_t* first) {
  return static_cast<ChannelWord>(BitReversal[first[0]]) |
         static_cast<ChannelWord>(BitReversal[first[2]]) << 8 |
         static_cast<ChannelWord>(BitReversal[first[4]]) << 16 |
         static_cast<ChannelWord>(BitReversal[first[6]]) << 24;
}

}  // namespace

bool WordKernelSupported(WordKernel kernel) {
  return kernel == WordKernel::Table || VectorWordsSupported();
}

WordKernel BestWordKernel() {
  static const WordKernel best = VectorWordsSupported() ? WordKernel::Vector : WordKernel::Table;
  return best;
}

void GroupsToWords(WordKernel kernel, const uint8_t* groups, size_t count, ChannelWord* left,
                   ChannelWord* right) {
  size_t g = kernel == WordKernel::Vector ? GroupsToWordsVector(groups, count, left, right) : 0;
  for (; g < count; ++g) {
    left[g] = WordOf(groups + GroupBytes * g);
    right[g] = WordOf(groups + GroupBytes * g + 1);
  }
}

void ReverseBits(WordKernel kernel, uint8_t* bytes, size_t count) {
  size_t i = kernel == WordKernel::Vector ? ReverseBitsVector(bytes, count) : 0;
  for (; i < count; ++i) bytes[i] = BitReversal[bytes[i]];
}
