// The decimation filter: one sample of one channel from a window of 16
// channel words (512 one-bit samples). A one bit adds its tap, a zero bit adds
// nothing; the sum is offset, scaled by the gain and by 2^25, and truncated.
// The order of the additions is part of the result, so ReferenceSum is the
// reference that every faster evaluation must match bit for bit. Holds no
// state; knows nothing of files or formats.
#pragma once

#include <cstdint>

#include "base/channel_word.h"

// The output stage's constants. The offset that centres DSD silence
// (alternating bits) on zero is half the sum of all taps, subtracted as 0.5
// and then the remainder, in that order. A level v of +-0.25 (a bit-density
// swing of 25 %) is scaled to +-2^23, 24-bit full scale.
constexpr double SampleOffsetHalf = 0.5;
constexpr double SampleOffsetRipple = 0.001351646272508944;
constexpr double SampleScale24 = 16777216.0;  // 2^24; the result is doubled once more
// |v| is clamped here, after the gain, so that the scaled value fits an
// int32; the filter itself cannot exceed 0.5014 and gains stay within +20 dB.
constexpr double SampleLevelBound = 16.0;

// Turns a channel's accumulated tap sum into its sample, in units of the
// 24-bit LSB and not saturated to 24 bits: subtracts the offset in two steps,
// multiplies by `gain` (exactly nothing changes for 1.0), clamps to
// +-SampleLevelBound, scales by 2^24 and doubles, and truncates toward zero.
// Every step is monotone in `sum` for a positive gain.
inline int32_t SampleFromSum(double sum, double gain) {
  double v = (sum - SampleOffsetHalf) - SampleOffsetRipple;
  v = v * gain;
  if (v < -SampleLevelBound) {
    v = -SampleLevelBound;
  } else if (v > SampleLevelBound) {
    v = SampleLevelBound;
  }
  double x = v * SampleScale24;
  x = x + x;
  // |x| <= 2^29 after the clamp, so the truncation fits an int32.
  return static_cast<int32_t>(x);
}

// The reference evaluation of one window: `window` points at WindowWords
// channel words; the taps are added in increasing order 0..511, in double,
// from 0.0.
double ReferenceSum(const ChannelWord* window);

// The reference's sample of one window.
inline int32_t ReferenceSample(const ChannelWord* window, double gain) {
  return SampleFromSum(ReferenceSum(window), gain);
}
