// The AVX-512 kernel: nibble tables looked up with vpermi2pd, 16 frames of
// one or two channels in flight. Compiled for AVX-512 only inside the functions
// marked below, so the rest of the program stays plain x86-64;
// DecimateChannelWith calls it only after Avx512KernelSupported() said yes.
//
// Frame k's nibble n (taps 4n .. 4n+3) is bits 4(n%8) .. 4(n%8)+3 of the
// stream word k + n/8. One 64-byte load of the 16 words k+w .. k+w+15 holds
// word w of frames k .. k+15; read as 8 quadwords, quadword i's low half is
// frame k+2i's word and its high half frame k+2i+1's. vpermi2pd picks from
// a 16-entry table by bits 0..3 of each quadword and ignores the rest, so
// shifting the quadwords right by 4q (even frames) or 32+4q (odd frames) is
// all the index extraction needed.
// GCC 12's AVX-512 headers build "undefined" vectors as self-initialised
// locals, which -Wuninitialized reports at every inlined use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "decimate/fast_tables.h"

#define AVX512_KERNEL __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

namespace {

constexpr size_t BlockFrames = 16;                        // frames in flight: 8 even, 8 odd
constexpr int NibblesPerWord = WordSamples / NibbleBits;  // 8
constexpr int HalfQuadwordBits = 32;                      // shift to the odd frame's word
constexpr int TableHalf = NibblePatterns / 2;             // 8 doubles per zmm register
constexpr unsigned LaneBits = 0xFF;  // one bit for each of the 8 frames of a parity

// SampleFromSum of 8 sums, the same IEEE steps in the same order. For any v
// that is not NaN, max/min give the value the reference's clamp branches
// give; |x| <= 2^29 fits the int32 conversion.
AVX512_KERNEL inline __m256i SamplesOf(__m512d sum, __m512d gain) {
  __m512d v = _mm512_sub_pd(_mm512_sub_pd(sum, _mm512_set1_pd(SampleOffsetHalf)),
                            _mm512_set1_pd(SampleOffsetRipple));
  v = _mm512_mul_pd(v, gain);
  v = _mm512_max_pd(v, _mm512_set1_pd(-SampleLevelBound));
  v = _mm512_min_pd(v, _mm512_set1_pd(SampleLevelBound));
  __m512d x = _mm512_mul_pd(v, _mm512_set1_pd(SampleScale24));
  x = _mm512_add_pd(x, x);
  return _mm512_cvttpd_epi32(x);
}

// The vector form of CertainSample: samples at the low end of the bracket,
// and a mask of the lanes whose two ends disagree. WATCHOUT: the mask is
// taken with vmovmskps, never from a mask register: GCC 12 spills a
// __mmask8 with a one-byte kmovb and may reload it with a four-byte load,
// whose garbage upper bytes the fallback loops would take for lanes.
AVX512_KERNEL inline unsigned UncertainLanes(__m512d sum, __m512d gain, __m256i* samples) {
  const __m512d bound = _mm512_set1_pd(SumErrorBound);
  const __m256i low = SamplesOf(_mm512_sub_pd(sum, bound), gain);
  const __m256i high = SamplesOf(_mm512_add_pd(sum, bound), gain);
  *samples = low;
  const __m256 equal = _mm256_castsi256_ps(_mm256_cmpeq_epi32(low, high));
  return ~static_cast<unsigned>(_mm256_movemask_ps(equal)) & LaneBits;
}

// The chains added pairwise, as a balanced tree.
template <int Chains>
AVX512_KERNEL inline __m512d SumOf(__m512d chains[Chains]) {
  for (int width = Chains / 2; width > 0; width /= 2) {
    for (int i = 0; i < width; ++i) chains[i] = _mm512_add_pd(chains[i], chains[i + width]);
  }
  return chains[0];
}

// Samples 2i (even) and 2i + 1 (odd) of a block, stored in frame order.
// Returns the frames whose samples are uncertain: bit i for even frame 2i,
// bit 8 + i for odd frame 2i + 1.
AVX512_KERNEL inline unsigned StoreSamples(__m512d even_sum, __m512d odd_sum, __m512d gain,
                                           int32_t* samples) {
  __m256i even_samples, odd_samples;
  const unsigned uncertain_even = UncertainLanes(even_sum, gain, &even_samples);
  const unsigned uncertain_odd = UncertainLanes(odd_sum, gain, &odd_samples);
  // Lane i of the even samples is frame 2i, of the odd samples frame 2i + 1.
  const __m512i in_frame_order =
      _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  _mm512_storeu_si512(
      samples, _mm512_permutex2var_epi32(_mm512_castsi256_si512(even_samples), in_frame_order,
                                         _mm512_castsi256_si512(odd_samples)));
  return uncertain_even | uncertain_odd << (BlockFrames / 2);
}

// The reference's samples of the frames StoreSamples found uncertain.
// Returns how many there were.
size_t ReevaluateUncertain(unsigned uncertain, const ChannelWord* words, double gain,
                           int32_t* samples) {
  size_t fallbacks = 0;
  for (; uncertain != 0; uncertain &= uncertain - 1, ++fallbacks) {
    const unsigned lane = __builtin_ctz(uncertain);
    const unsigned frame = lane < BlockFrames / 2 ? 2 * lane : 2 * (lane - BlockFrames / 2) + 1;
    samples[frame] = ReferenceSample(words + frame, gain);
  }
  return fallbacks;
}

// One block of 16 frames at `k` of `Channels` (1 or 2) channels, which share
// each table load. Each parity of each channel has Chains accumulators, one
// for each nibble position q mod Chains, added as a balanced tree at the
// end: the 128 entries of a window are summed in an order fast_tables.h
// allows. Returns the windows re-evaluated by the reference.
template <int Channels>
AVX512_KERNEL size_t DecimateBlock(const FastTables& tables, const ChannelWord* const words[],
                                   size_t k, double gain, int32_t* const samples[]) {
  // Four accumulators per parity in all: with two channels that keeps the
  // 8 sums, their 16 lookups' operands and the words within the 32
  // registers, where more chains would spill to the stack.
  constexpr int Chains = NibblesPerWord / 2 / Channels;
  __m512d even[Channels][Chains], odd[Channels][Chains];
  for (int c = 0; c < Channels; ++c) {
    for (int i = 0; i < Chains; ++i) even[c][i] = odd[c][i] = _mm512_setzero_pd();
  }
  for (int w = 0; w < WindowWords; ++w) {
    __m512i block_words[Channels];
    for (int c = 0; c < Channels; ++c) block_words[c] = _mm512_loadu_si512(words[c] + k + w);
    const double(*row)[NibblePatterns] = tables.NibbleSums + NibblesPerWord * w;
#pragma GCC unroll 8
    for (int q = 0; q < NibblesPerWord; ++q) {
      const __m512d low = _mm512_load_pd(row[q]), high = _mm512_load_pd(row[q] + TableHalf);
      for (int c = 0; c < Channels; ++c) {
        const __m512i even_index = _mm512_srli_epi64(block_words[c], NibbleBits * q);
        const __m512i odd_index =
            _mm512_srli_epi64(block_words[c], HalfQuadwordBits + NibbleBits * q);
        even[c][q % Chains] =
            _mm512_add_pd(even[c][q % Chains], _mm512_permutex2var_pd(low, even_index, high));
        odd[c][q % Chains] =
            _mm512_add_pd(odd[c][q % Chains], _mm512_permutex2var_pd(low, odd_index, high));
      }
    }
  }
  // Every sum is stored before any is re-evaluated, so that the sums stay in
  // registers rather than wait on the stack across the reference's calls.
  const __m512d gains = _mm512_set1_pd(gain);
  unsigned uncertain[Channels];
  for (int c = 0; c < Channels; ++c) {
    uncertain[c] =
        StoreSamples(SumOf<Chains>(even[c]), SumOf<Chains>(odd[c]), gains, samples[c] + k);
  }
  size_t fallbacks = 0;
  for (int c = 0; c < Channels; ++c) {
    if (uncertain[c] != 0) {
      fallbacks += ReevaluateUncertain(uncertain[c], words[c] + k, gain, samples[c] + k);
    }
  }
  return fallbacks;
}

// Every whole block of `Channels` channels; returns where the blocks end.
template <int Channels>
size_t DecimateBlocks(const FastTables& tables, const ChannelWord* const words[], size_t frames,
                      double gain, int32_t* const samples[], size_t* fallbacks) {
  size_t k = 0;
  // A block reads words k .. k+30, within the frames + 15 the caller gives
  // as long as the whole block's 16 frames exist.
  for (; k + BlockFrames <= frames; k += BlockFrames) {
    *fallbacks += DecimateBlock<Channels>(tables, words, k, gain, samples);
  }
  return k;
}

}  // namespace

bool Avx512KernelSupported() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
}

size_t DecimateAvx512(const FastTables& tables, const ChannelWord* const words[], int channels,
                      size_t frames, double gain, int32_t* const samples[]) {
  size_t fallbacks = 0;
  for (int c = 0; c < channels; c += 2) {
    const bool pair = c + 1 < channels;
    const size_t k =
        pair ? DecimateBlocks<2>(tables, words + c, frames, gain, samples + c, &fallbacks)
             : DecimateBlocks<1>(tables, words + c, frames, gain, samples + c, &fallbacks);
    for (int d = c; d < c + (pair ? 2 : 1); ++d) {
      fallbacks += DecimateScalar(tables, words[d] + k, frames - k, gain, samples[d] + k);
    }
  }
  return fallbacks;
}
