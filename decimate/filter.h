// The decimation filter: one stereo PcmFrame from a window of 16 channel words
// (512 one-bit samples) per channel. A one bit adds its tap, a zero bit adds
// nothing; the sum is offset, clamped, scaled by 2^25 and truncated. The order
// of the additions is part of the result, so DecimationFilter is the reference
// that every faster evaluation must match byte for byte. Holds no state.
#pragma once

#include <cstdint>

#include "channel/channel_word.h"

constexpr int WindowWords = 16;    // channel words under one filter window
constexpr int PcmSampleBytes = 3;  // a 24-bit little-endian sample
constexpr int PcmFrameBytes = 6;   // left sample, then right sample

// The 24-bit range that stored samples are saturated to.
constexpr int32_t PcmSampleMin = -8388608;
constexpr int32_t PcmSampleMax = 8388607;

// The output stage's constants. The offset that centres DSD silence
// (alternating bits) on zero is half the sum of all taps, subtracted as 0.5
// and then the remainder, in that order.
constexpr double SampleOffsetHalf = 0.5;
constexpr double SampleOffsetRipple = 0.001351646272508944;
constexpr double SampleClampBound = 0.5;      // |v| clamp
constexpr double SampleScale24 = 16777216.0;  // 2^24; the result is doubled once more

// Turns a channel's accumulated tap sum into its 24-bit sample: subtracts the
// offset in two steps, clamps to +-0.5, scales by 2^24 and doubles, truncates
// toward zero, then saturates to the 24-bit range (a clamped extreme would
// otherwise not fit in 3 bytes). Every step is monotone in `sum`.
inline int32_t PcmSampleFromSum(double sum) {
  double v = (sum - SampleOffsetHalf) - SampleOffsetRipple;
  if (v < -SampleClampBound) {
    v = -SampleClampBound;
  } else if (v > SampleClampBound) {
    v = SampleClampBound;
  }
  double x = v * SampleScale24;
  x = x + x;
  // |x| <= 2^24 after the clamp, so the truncation fits an int32.
  const int32_t sample = static_cast<int32_t>(x);
  if (sample < PcmSampleMin) return PcmSampleMin;
  if (sample > PcmSampleMax) return PcmSampleMax;
  return sample;
}

// Stores a 24-bit sample as 3 bytes, least significant first.
inline void StorePcmSample(int32_t sample, uint8_t* out) {
  const uint32_t bits = static_cast<uint32_t>(sample);
  out[0] = static_cast<uint8_t>(bits);
  out[1] = static_cast<uint8_t>(bits >> 8);
  out[2] = static_cast<uint8_t>(bits >> 16);
}

// The reference evaluation. `left` and `right` point at WindowWords channel
// words each; `out` receives the PcmFrameBytes bytes of the frame. Taps are
// added in increasing order 0..511, left channel before right, in double.
void DecimationFilter(const ChannelWord* left, const ChannelWord* right, uint8_t* out);
