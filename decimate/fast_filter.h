// Fast evaluation of the decimation filter over a run of consecutive frames,
// byte for byte equal to DecimationFilter on every window. Owns only read-only
// tap tables, built once on first use and shared by every thread. The caller
// gives frames + WindowWords - 1 words per channel and 6 bytes per frame of
// output; calls on disjoint output ranges may run concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decimate/filter.h"

// Frame k (0 <= k < frames) is the window left[k .. k+15], right[k .. k+15]
// and goes to out[6k .. 6k+5], exactly as DecimationFilter(left + k,
// right + k, out + 6k) writes it. Uses the fastest kernel this CPU supports.
void DecimateFrames(const ChannelWord* left, const ChannelWord* right, size_t frames, uint8_t* out);

// The evaluations DecimateFrames chooses from. Each sums table entries in its
// own order and re-evaluates with DecimationFilter the rare windows whose
// sample that order could get wrong, so all give the same bytes.
enum class FilterKernel {
  Scalar,  // byte tables, plain x86-64: runs on any machine
  Avx512,  // nibble tables looked up with vpermi2pd, 16 frames at a time
};

constexpr int FilterKernelCount = 2;

// Whether this CPU can run `kernel`.
bool FilterKernelSupported(FilterKernel kernel);

// The kernel DecimateFrames uses on this CPU.
FilterKernel BestFilterKernel();

// For tests and benchmarks: DecimateFrames with a chosen kernel, which must be
// supported. Returns how many frames were re-evaluated by DecimationFilter.
size_t DecimateFramesWith(FilterKernel kernel, const ChannelWord* left, const ChannelWord* right,
                          size_t frames, uint8_t* out);

// A short name of the kernel for test and benchmark labels.
const char* FilterKernelName(FilterKernel kernel);
