#include "decimate/filter.h"

#include "decimate/fir_coef.h"

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
