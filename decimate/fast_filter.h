// Fast evaluation of the decimation filter over a run of consecutive frames
// of each channel, bit for bit equal to ReferenceSample on every window. Owns
// only read-only tap tables, built once on first use and shared by every
// thread. The caller gives frames + WindowWords - 1 words and room for one
// sample per frame; calls on disjoint outputs may run concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decimate/filter.h"

// Sample k (0 <= k < frames) of channel c is ReferenceSample(words[c] + k,
// gain), for `channels` channels. Uses the fastest kernel this CPU supports,
// which may take channels two at a time. `gain` must be positive.
void DecimateChannels(const ChannelWord* const words[], int channels, size_t frames, double gain,
                      int32_t* const samples[]);
// The same for one channel.
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

// For tests and benchmarks: DecimateChannels with a chosen kernel, which
// must be supported. Returns how many windows were re-evaluated by the
// reference.
size_t DecimateChannelsWith(FilterKernel kernel, const ChannelWord* const words[], int channels,
                            size_t frames, double gain, int32_t* const samples[]);

// A short name of the kernel for test and benchmark labels.
const char* FilterKernelName(FilterKernel kernel);
