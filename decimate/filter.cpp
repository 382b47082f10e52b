#include "decimate/filter.h"

#include "decimate/fir_coef.h"

namespace {

// The offset that centres DSD silence (alternating bits) on zero: half the sum
// of all taps, subtracted as 0.5 and then the remainder, in that order.
constexpr double OffsetHalf = 0.5;
constexpr double OffsetRipple = 0.001351646272508944;
constexpr double ClampBound = 0.5;
constexpr double Scale24 = 16777216.0;  // 2^24; the result is doubled once more

}  // namespace

int32_t PcmSampleFromSum(double sum) {
  double v = (sum - OffsetHalf) - OffsetRipple;
  if (v < -ClampBound) {
    v = -ClampBound;
  } else if (v > ClampBound) {
    v = ClampBound;
  }
  double x = v * Scale24;
  x = x + x;
  // |x| <= 2^24 after the clamp, so the truncation fits an int32.
  const int32_t sample = static_cast<int32_t>(x);
  if (sample < PcmSampleMin) return PcmSampleMin;
  if (sample > PcmSampleMax) return PcmSampleMax;
  return sample;
}

void DecimationFilter(const ChannelWord* left, const ChannelWord* right, uint8_t* out) {
  double sum_left = 0.0;
  double sum_right = 0.0;
  for (int w = 0; w < WindowWords; ++w) {
    for (int b = 0; b < WordSamples; ++b) {
      const double tap = FirTap(WordSamples * w + b);
      if ((left[w] >> b) & 1u) sum_left += tap;
      if ((right[w] >> b) & 1u) sum_right += tap;
    }
  }
  StorePcmSample(PcmSampleFromSum(sum_left), out);
  StorePcmSample(PcmSampleFromSum(sum_right), out + PcmSampleBytes);
}
