// The tap tables, the portable byte-table kernel and the choice of kernel.
#include "decimate/fast_filter.h"

#include "decimate/fast_tables.h"

namespace {

constexpr uint32_t ByteMask = BytePatterns - 1;
constexpr int WordBytes = WordSamples / ByteBits;  // 4 byte positions per word

// Sum of the taps first_tap + b over the set bits b of `pattern`, in
// increasing b from 0.0, as fast_tables.h counts its roundings.
double PatternSum(int first_tap, int bits, unsigned pattern) {
  double sum = 0.0;
  for (int b = 0; b < bits; ++b) {
    if ((pattern >> b) & 1u) sum += FirTap(first_tap + b);
  }
  return sum;
}

void BuildTables(FastTables* tables) {
  for (int j = 0; j < WindowBytes; ++j) {
    for (int p = 0; p < BytePatterns; ++p) {
      tables->ByteSums[j][p] = PatternSum(ByteBits * j, ByteBits, p);
    }
  }
  for (int n = 0; n < WindowNibbles; ++n) {
    for (int p = 0; p < NibblePatterns; ++p) {
      tables->NibbleSums[n][p] = PatternSum(NibbleBits * n, NibbleBits, p);
    }
  }
}

// One channel's window summed from 64 byte entries: four accumulators, one
// per byte position within the word, then (a0 + a1) + (a2 + a3).
inline double ByteTableSum(const FastTables& tables, const ChannelWord* window) {
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
  for (int w = 0; w < WindowWords; ++w) {
    const ChannelWord word = window[w];
    const double(*row)[BytePatterns] = tables.ByteSums + WordBytes * w;
    a0 += row[0][word & ByteMask];
    a1 += row[1][(word >> ByteBits) & ByteMask];
    a2 += row[2][(word >> (2 * ByteBits)) & ByteMask];
    a3 += row[3][word >> (3 * ByteBits)];
  }
  return (a0 + a1) + (a2 + a3);
}

}  // namespace

const FastTables& FastFilterTables() {
  // Static storage, so that nothing is allocated. Built once, under the guard
  // of `built`, by whichever thread gets here first; never written again.
  static FastTables tables;
  static const bool built = (BuildTables(&tables), true);
  (void)built;
  return tables;
}

size_t DecimateScalar(const FastTables& tables, const ChannelWord* words, size_t frames,
                      double gain, int32_t* samples) {
  size_t fallbacks = 0;
  for (size_t k = 0; k < frames; ++k) {
    if (!CertainSample(ByteTableSum(tables, words + k), gain, &samples[k])) {
      samples[k] = ReferenceSample(words + k, gain);
      ++fallbacks;
    }
  }
  return fallbacks;
}

bool FilterKernelSupported(FilterKernel kernel) {
  switch (kernel) {
    case FilterKernel::Scalar:
      return true;
    case FilterKernel::Avx512:
      return Avx512KernelSupported();
  }
  return false;
}

FilterKernel BestFilterKernel() {
  return Avx512KernelSupported() ? FilterKernel::Avx512 : FilterKernel::Scalar;
}

const char* FilterKernelName(FilterKernel kernel) {
  switch (kernel) {
    case FilterKernel::Scalar:
      return "scalar";
    case FilterKernel::Avx512:
      return "avx512";
  }
  return "unknown";
}

size_t DecimateChannelsWith(FilterKernel kernel, const ChannelWord* const words[], int channels,
                            size_t frames, double gain, int32_t* const samples[]) {
  const FastTables& tables = FastFilterTables();
  if (kernel == FilterKernel::Avx512) {
    return DecimateAvx512(tables, words, channels, frames, gain, samples);
  }
  size_t fallbacks = 0;
  for (int c = 0; c < channels; ++c) {
    fallbacks += DecimateScalar(tables, words[c], frames, gain, samples[c]);
  }
  return fallbacks;
}

void DecimateChannels(const ChannelWord* const words[], int channels, size_t frames, double gain,
                      int32_t* const samples[]) {
  DecimateChannelsWith(BestFilterKernel(), words, channels, frames, gain, samples);
}

void DecimateChannel(const ChannelWord* words, size_t frames, double gain, int32_t* samples) {
  DecimateChannels(&words, 1, frames, gain, &samples);
}
