// Fast evaluation of the decimation filter over a run of consecutive frames
// of one channel, bit for bit equal to ReferenceSample on every window. Owns
// only read-only tap tables, built once on first use and shared by every
// thread. The caller gives frames + WindowWords - 1 words and room for one
// sample per frame; calls on disjoint outputs may run concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decimate/filter.h"

// Sample k (0 <= k < frames) is ReferenceSample(words + k, gain). Uses the
// fastest kernel this CPU supports. `gain` must be positive.
void DecimateChannel(const ChannelWord* words, size_t frames, double gain, int32_t* samples);

// The evaluations DecimateChannel chooses from. Each sums table entries in
// its own order and re-evaluates with ReferenceSum the rare windows whose
// sample that order could get wrong, so all give the same samples.
enum class FilterKernel {
  Scalar,  // byte tables, plain x86-64: runs on any machine
  Avx512,  // nibble tables looked up with vpermi2pd, 16 frames at a time
};

constexpr int FilterKernelCount = 2;

// Whether this CPU can run `kernel`.
bool FilterKernelSupported(FilterKernel kernel);

// The kernel DecimateChannel uses on this CPU.
FilterKernel BestFilterKernel();

// For tests and benchmarks: DecimateChannel with a chosen kernel, which must
// be supported. Returns how many windows were re-evaluated by the reference.
size_t DecimateChannelWith(FilterKernel kernel, const ChannelWord* words, size_t frames,
                           double gain, int32_t* samples);

// A short name of the kernel for test and benchmark labels.
const char* FilterKernelName(FilterKernel kernel);
