// What the fast filter kernels share: the read-only tables of tap partial
// sums, the bound that makes a reordered sum safe, and the sample function
// evaluated at both ends of that bound. Internal to decimate/fast_*.cpp and
// their tests; the tables are built once and never written afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decimate/filter.h"
#include "decimate/fir_coef.h"

constexpr int ByteBits = 8;
constexpr int NibbleBits = 4;
constexpr int WindowBytes = FirTaps / ByteBits;      // 64 byte positions per window
constexpr int WindowNibbles = FirTaps / NibbleBits;  // 128 nibble positions per window
constexpr int BytePatterns = 1 << ByteBits;
constexpr int NibblePatterns = 1 << NibbleBits;

// ByteSums[j][p] is the sum of the taps 8j + b for the set bits b of the
// pattern p; NibbleSums[n][p] likewise for the taps 4n + b. Each entry is
// accumulated in increasing b, in double, from 0.0: a byte entry takes at
// most 7 roundings, a nibble entry at most 3.
struct FastTables {
  double ByteSums[WindowBytes][BytePatterns];
  alignas(64) double NibbleSums[WindowNibbles][NibblePatterns];
};

// The tables, built on first use (thread-safe) and constant afterwards.
const FastTables& FastFilterTables();

// Why a reordered sum gives the reference's bytes
// ------------------------------------------------
// Let S be the reference's sum of a channel's window (set taps added one by
// one in increasing tap order), S* the same sum in exact arithmetic, and F a
// kernel's sum of table entries, added in any order.
//
// 1. Every exact subset sum of the taps lies in [N, P], N = sum of negative
//    taps ~ -0.2528, P = sum of positive taps ~ 1.2555. Each value either
//    evaluation rounds is a floating-point sum over a set of distinct taps,
//    within the error bound below (< 2^-43) of that set's exact sum, so its
//    magnitude is below 2 and round-to-nearest changes it by at most half an
//    ulp of [1, 2): 2^-53. (Adding to the initial 0.0 is exact.) Both
//    evaluations are plain IEEE double additions in the default rounding
//    mode; -ffp-contract=off and -fno-fast-math keep them so.
// 2. The reference rounds at most 511 times: |S - S*| <= 511 * 2^-53.
// 3. A byte-table sum: 64 entries of at most 7 roundings each, combined with
//    at most 63 more: 511 roundings. A nibble-table sum: 128 entries of at
//    most 3 roundings each, combined with at most 127: 511 roundings. Either
//    way |F - S*| <= 511 * 2^-53, hence |F - S| <= 1022 * 2^-53 < 2^-43.
// 4. With E = SumErrorBound = 2^-42, lo = fl(F - E) and hi = fl(F + E): the
//    real F - E is at most S - 2^-43 and rounding moves it by at most 2^-53,
//    so lo <= S <= hi.
// 5. SampleFromSum is monotone non-decreasing in its argument for a
//    positive gain, because each of its steps is: two round-to-nearest
//    subtractions of a constant, a round-to-nearest multiplication by the
//    positive gain, the clamp to +-SampleLevelBound, the scaling by 2^25
//    (exact: a power of two, and the clamp keeps it from overflowing),
//    truncation toward zero. So SampleFromSum(lo) <= SampleFromSum(S) <=
//    SampleFromSum(hi), and when the two ends agree the reference's sample
//    is that value. The clamp needs no case of its own: a bracket that
//    straddles it is taken only when both ends agree.
// 6. When the ends differ, the kernel re-evaluates the window with
//    ReferenceSum. In x = 2^25 * v the bracket is 2^-16 wide (times the
//    gain), so about 1.5e-5 of the samples take that path at unit gain.
constexpr double SumErrorBound = 1.0 / (1ull << 42);

// The reference's sample for a kernel's sum F, when the bracket of point 4
// pins it: stores it and returns true. Returns false when the window must be
// re-evaluated by ReferenceSum.
inline bool CertainSample(double fast_sum, double gain, int32_t* sample) {
  const int32_t low = SampleFromSum(fast_sum - SumErrorBound, gain);
  const int32_t high = SampleFromSum(fast_sum + SumErrorBound, gain);
  *sample = low;
  return low == high;
}

// The portable kernel (decimate/fast_filter.cpp); the AVX-512 kernel uses it
// for the frames after its last full block. Returns the re-evaluated windows.
size_t DecimateScalar(const FastTables& tables, const ChannelWord* words, size_t frames,
                      double gain, int32_t* samples);

// The AVX-512 kernel (decimate/fast_avx512.cpp), two channels at a time.
// Call only when Avx512KernelSupported() is true.
bool Avx512KernelSupported();
size_t DecimateAvx512(const FastTables& tables, const ChannelWord* const words[], int channels,
                      size_t frames, double gain, int32_t* const samples[]);
