#include "decimate/filter.h"

#include "decimate/fir_coef.h"

double ReferenceSum(const ChannelWord* window) {
  double sum = 0.0;
  for (int w = 0; w < WindowWords; ++w) {
    for (int b = 0; b < WordSamples; ++b) {
      if ((window[w] >> b) & 1u) sum += FirTap(WordSamples * w + b);
    }
  }
  return sum;
}
