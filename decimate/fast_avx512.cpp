// The AVX-512 kernel: nibble tables looked up with vpermi2pd, 16 frames in
// flight. Compiled for AVX-512 only inside the functions marked below, so the
// rest of the program stays plain x86-64; DecimateFramesWith calls it only
// after Avx512KernelSupported() said yes.
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
constexpr int32_t CenterLane = 8;  // where the odd frames' samples sit in a zmm

AVX512_KERNEL inline __m512d Lookup(const double* table, __m512i index) {
  return _mm512_permutex2var_pd(_mm512_load_pd(table), index, _mm512_load_pd(table + TableHalf));
}

// PcmSampleFromSum of 8 sums, the same IEEE steps in the same order. For
// any v that is not NaN, max/min give the value the reference's clamp and
// saturation branches give; |x| <= 2^24 fits the int32 conversion.
AVX512_KERNEL inline __m256i SamplesOf(__m512d sum) {
  __m512d v = _mm512_sub_pd(_mm512_sub_pd(sum, _mm512_set1_pd(SampleOffsetHalf)),
                            _mm512_set1_pd(SampleOffsetRipple));
  v = _mm512_max_pd(v, _mm512_set1_pd(-SampleClampBound));
  v = _mm512_min_pd(v, _mm512_set1_pd(SampleClampBound));
  __m512d x = _mm512_mul_pd(v, _mm512_set1_pd(SampleScale24));
  x = _mm512_add_pd(x, x);
  const __m256i sample = _mm512_cvttpd_epi32(x);
  return _mm256_min_epi32(_mm256_max_epi32(sample, _mm256_set1_epi32(PcmSampleMin)),
                          _mm256_set1_epi32(PcmSampleMax));
}

// The vector form of CertainSample: samples at the low end of the bracket,
// and a mask of the lanes whose two ends disagree.
AVX512_KERNEL inline __mmask8 UncertainLanes(__m512d sum, __m256i* samples) {
  const __m512d bound = _mm512_set1_pd(SumErrorBound);
  const __m256i low = SamplesOf(_mm512_sub_pd(sum, bound));
  const __m256i high = SamplesOf(_mm512_add_pd(sum, bound));
  *samples = low;
  return _mm256_cmpneq_epi32_mask(low, high);
}

// Stores 8 frames given as 16 dwords left0, right0, left1, ...: the low 3
// bytes of each, 48 bytes in all, with plain stores of exactly that size.
AVX512_KERNEL inline void StoreEightFrames(__m512i samples, uint8_t* out) {
  // Within each 128-bit lane: bytes 0-2, 4-6, 8-10, 12-14, then 4 unused.
  const __m512i pack =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  // Then the first 3 dwords of each lane, side by side.
  const __m512i compact = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0);
  const __m512i bytes = _mm512_permutexvar_epi32(compact, _mm512_shuffle_epi8(samples, pack));
  constexpr int LowBytes = 32;  // stored from the low 256 bits
  constexpr int ThirdLane = 2;  // then the 128-bit lane holding bytes 32..47
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_castsi512_si256(bytes));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + LowBytes),
                   _mm512_extracti32x4_epi32(bytes, ThirdLane));
}

// One block of 16 frames at `k`. Each channel and parity has two
// accumulators (even and odd nibbles), added at the end: the 128 entries of
// a window are summed in an order fast_tables.h allows. Returns the frames
// re-evaluated by DecimationFilter.
AVX512_KERNEL size_t DecimateBlock(const FastTables& tables, const ChannelWord* left,
                                   const ChannelWord* right, uint8_t* out) {
  __m512d left_even0 = _mm512_setzero_pd(), left_even1 = _mm512_setzero_pd();
  __m512d left_odd0 = _mm512_setzero_pd(), left_odd1 = _mm512_setzero_pd();
  __m512d right_even0 = _mm512_setzero_pd(), right_even1 = _mm512_setzero_pd();
  __m512d right_odd0 = _mm512_setzero_pd(), right_odd1 = _mm512_setzero_pd();
  for (int w = 0; w < WindowWords; ++w) {
    const __m512i left_words = _mm512_loadu_si512(left + w);
    const __m512i right_words = _mm512_loadu_si512(right + w);
    const double(*row)[NibblePatterns] = tables.NibbleSums + NibblesPerWord * w;
#pragma GCC unroll 8
    for (int q = 0; q < NibblesPerWord; q += 2) {
      const int even_shift = NibbleBits * q;
      const int odd_shift = HalfQuadwordBits + NibbleBits * q;
      left_even0 =
          _mm512_add_pd(left_even0, Lookup(row[q], _mm512_srli_epi64(left_words, even_shift)));
      left_odd0 =
          _mm512_add_pd(left_odd0, Lookup(row[q], _mm512_srli_epi64(left_words, odd_shift)));
      right_even0 =
          _mm512_add_pd(right_even0, Lookup(row[q], _mm512_srli_epi64(right_words, even_shift)));
      right_odd0 =
          _mm512_add_pd(right_odd0, Lookup(row[q], _mm512_srli_epi64(right_words, odd_shift)));
      const int even_shift1 = even_shift + NibbleBits;
      const int odd_shift1 = odd_shift + NibbleBits;
      left_even1 =
          _mm512_add_pd(left_even1, Lookup(row[q + 1], _mm512_srli_epi64(left_words, even_shift1)));
      left_odd1 =
          _mm512_add_pd(left_odd1, Lookup(row[q + 1], _mm512_srli_epi64(left_words, odd_shift1)));
      right_even1 = _mm512_add_pd(right_even1,
                                  Lookup(row[q + 1], _mm512_srli_epi64(right_words, even_shift1)));
      right_odd1 =
          _mm512_add_pd(right_odd1, Lookup(row[q + 1], _mm512_srli_epi64(right_words, odd_shift1)));
    }
  }
  __m256i left_even, left_odd, right_even, right_odd;
  const unsigned uncertain_even =
      UncertainLanes(_mm512_add_pd(left_even0, left_even1), &left_even) |
      UncertainLanes(_mm512_add_pd(right_even0, right_even1), &right_even);
  const unsigned uncertain_odd = UncertainLanes(_mm512_add_pd(left_odd0, left_odd1), &left_odd) |
                                 UncertainLanes(_mm512_add_pd(right_odd0, right_odd1), &right_odd);

  // Lanes 0..7 of `lefts` are frames 0, 2, .., 14 and lanes 8..15 frames
  // 1, 3, .., 15; the same for `rights`, selected by index bit 4.
  const __m512i lefts = _mm512_inserti64x4(_mm512_castsi256_si512(left_even), left_odd, 1);
  const __m512i rights = _mm512_inserti64x4(_mm512_castsi256_si512(right_even), right_odd, 1);
  constexpr int32_t R = 16;  // index bit 4: the lane comes from `rights`
  const __m512i first_frames = _mm512_setr_epi32(
      0, R + 0, CenterLane + 0, R + CenterLane + 0, 1, R + 1, CenterLane + 1, R + CenterLane + 1, 2,
      R + 2, CenterLane + 2, R + CenterLane + 2, 3, R + 3, CenterLane + 3, R + CenterLane + 3);
  const __m512i last_frames = _mm512_setr_epi32(
      4, R + 4, CenterLane + 4, R + CenterLane + 4, 5, R + 5, CenterLane + 5, R + CenterLane + 5, 6,
      R + 6, CenterLane + 6, R + CenterLane + 6, 7, R + 7, CenterLane + 7, R + CenterLane + 7);
  StoreEightFrames(_mm512_permutex2var_epi32(lefts, first_frames, rights), out);
  StoreEightFrames(_mm512_permutex2var_epi32(lefts, last_frames, rights),
                   out + PcmFrameBytes * (BlockFrames / 2));

  size_t fallbacks = 0;
  for (unsigned mask = uncertain_even; mask != 0; mask &= mask - 1) {
    const int frame = 2 * __builtin_ctz(mask);
    DecimationFilter(left + frame, right + frame, out + PcmFrameBytes * frame);
    ++fallbacks;
  }
  for (unsigned mask = uncertain_odd; mask != 0; mask &= mask - 1) {
    const int frame = 2 * __builtin_ctz(mask) + 1;
    DecimationFilter(left + frame, right + frame, out + PcmFrameBytes * frame);
    ++fallbacks;
  }
  return fallbacks;
}

}  // namespace

bool Avx512KernelSupported() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
}

size_t DecimateAvx512(const FastTables& tables, const ChannelWord* left, const ChannelWord* right,
                      size_t frames, uint8_t* out) {
  size_t fallbacks = 0;
  size_t k = 0;
  // A block reads words k .. k+30, within the frames + 15 the caller gives
  // as long as the whole block's 16 frames exist.
  for (; k + BlockFrames <= frames; k += BlockFrames) {
    fallbacks += DecimateBlock(tables, left + k, right + k, out + PcmFrameBytes * k);
  }
  return fallbacks +
         DecimateScalar(tables, left + k, right + k, frames - k, out + PcmFrameBytes * k);
}
