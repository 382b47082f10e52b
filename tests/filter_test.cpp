// The tap table's published properties and the reference filter's known windows.
#include "decimate/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "decimate/fir_coef.h"

namespace {

// Sum with Neumaier's compensation: close to the exact sum rounded once.
double CompensatedSum(const std::vector<double>& values) {
  double sum = 0.0, compensation = 0.0;
  for (double v : values) {
    const double t = sum + v;
    compensation += std::fabs(sum) >= std::fabs(v) ? (sum - t) + v : (v - t) + sum;
    sum = t;
  }
  return sum + compensation;
}

std::vector<double> AllTaps() {
  std::vector<double> taps;
  for (int t = 0; t < FirTaps; ++t) taps.push_back(FirTap(t));
  return taps;
}

TEST(FirCoef, MatchesTheTellingRows) {
  const struct {
    int tap;
    double value;
  } rows[] = {
      {0, -1.208850202631107e-08}, {1, 2.9390109044994849e-08},   {2, 3.4793509432286222e-08},
      {3, 5.0620422354952963e-08}, {16, 1.563577692226369e-06},   {32, 1.6264945023699579e-05},
      {64, 0.0001430428877469223}, {96, -0.00022684830480714711}, {128, -0.0001914582402693706},
      {160, 0.001579406265771121}, {192, -0.0038580499217798752}, {224, 0.0062756733181567777},
      {250, 0.023713783112225589}, {254, 0.02442432920276065},    {255, 0.024475602931784791},
  };
  for (const auto& row : rows) {
    EXPECT_NEAR(FirCoef[row.tap], row.value, 1e-15) << "tap " << row.tap;
    EXPECT_EQ(FirTap(row.tap), FirTap(FirTaps - 1 - row.tap));
  }
}

TEST(FirCoef, SumsMatchTheDesign) {
  const std::vector<double> taps = AllTaps();
  EXPECT_NEAR(CompensatedSum(taps), 1.0027032925450177, 1e-15);
  double in_order = 0.0;
  for (double t : taps) in_order += t;
  EXPECT_NEAR(in_order, 1.0027032925450172, 1e-15);

  std::vector<double> positive, negative, even, odd;
  for (int t = 0; t < FirTaps; ++t) {
    (taps[t] > 0 ? positive : negative).push_back(taps[t]);
    (t % 2 == 0 ? even : odd).push_back(taps[t]);
  }
  EXPECT_NEAR(CompensatedSum(positive), 1.255545120857, 1e-12);
  EXPECT_NEAR(CompensatedSum(negative), -0.252841828312, 1e-12);
  // Taps t and 511 - t are equal and of opposite parity, so the halves agree,
  // and the output stage's offset is that half-sum.
  EXPECT_EQ(CompensatedSum(even), CompensatedSum(odd));
  EXPECT_NEAR(CompensatedSum(even), 0.5 + 0.001351646272508944, 2.3e-16);

  // Every bit position of a channel word carries the same weight at DC:
  // about 0.0313345, all 32 within 4e-8 of each other.
  double lowest = 1.0, highest = 0.0;
  for (int bit = 0; bit < WordSamples; ++bit) {
    std::vector<double> reach;
    for (int t = bit; t < FirTaps; t += WordSamples) reach.push_back(taps[t]);
    const double weight = CompensatedSum(reach);
    EXPECT_NEAR(weight, 0.0313345, 5e-8) << "bit " << bit;
    lowest = std::min(lowest, weight);
    highest = std::max(highest, weight);
  }
  EXPECT_LE(highest - lowest, 4e-8);
}

TEST(FirCoef, SignPatternAndCentreTaps) {
  // Sign runs of taps 0..255: first tap of each run with a positive sign.
  const int run_starts[] = {0, 1, 87, 132, 174, 215, 256};
  for (int run = 0; run + 1 < 7; ++run) {
    const bool positive = run % 2 == 1;
    for (int t = run_starts[run]; t < run_starts[run + 1]; ++t) {
      EXPECT_EQ(FirCoef[t] > 0, positive) << "tap " << t;
      EXPECT_NE(FirCoef[t], 0.0) << "tap " << t;
    }
  }
  for (int t = 0; t < FirTaps; ++t) EXPECT_LE(FirTap(t), FirTap(255));
  EXPECT_EQ(FirTap(255), FirTap(256));
}

// The reference's sample of a window of one repeated word.
int32_t SampleOf(ChannelWord word, double gain = 1.0) {
  ChannelWord window[WindowWords];
  for (ChannelWord& w : window) w = word;
  return ReferenceSample(window, gain);
}

TEST(ReferenceFilter, KnownWindows) {
  // Silence in either phase is the sample 0.
  EXPECT_EQ(SampleOf(0xAAAAAAAA), 0);
  EXPECT_EQ(SampleOf(0x55555555), 0);
  // Five ones in eight (stored as 4A 2C 40), and its complement (B6 D3 BF).
  EXPECT_EQ(SampleOf(0x5D5D5D5D), 0x402C4A);
  EXPECT_EQ(SampleOf(0xA2A2A2A2), -0x402C4A);
  // The same count of ones at different taps gives different samples.
  EXPECT_EQ(SampleOf(0x5555555D), 1051410);
  EXPECT_EQ(SampleOf(0xAAAAAAAB), 1051409);
  // All zeros and all ones: v = -+0.501351646, beyond 24-bit full scale
  // (the writers saturate them); not clamped at +-0.5.
  EXPECT_EQ(SampleOf(0), -16822569);
  EXPECT_EQ(SampleOf(0xFFFFFFFF), 16822569);
}

TEST(ReferenceFilter, GainScalesTheLevelBeforeTruncation) {
  // Unit gain changes nothing, bit for bit; other gains scale v, not the
  // truncated sample, and the level bound keeps the largest gains in int32.
  EXPECT_EQ(SampleOf(0x5D5D5D5D, 1.0), 0x402C4A);
  for (double gain : {0.01, 0.1, 0.5, 1.5, 10.0}) {
    for (ChannelWord word : {0x5D5D5D5Du, 0xA2A2A2A2u, 0x5555555Du}) {
      EXPECT_NEAR(SampleOf(word, gain), SampleOf(word) * gain, 1.0 + gain) << gain;
    }
  }
  EXPECT_EQ(SampleOf(0xFFFFFFFF, 40.0), static_cast<int32_t>(SampleLevelBound * 33554432.0));
  EXPECT_EQ(SampleOf(0, 40.0), -static_cast<int32_t>(SampleLevelBound * 33554432.0));
}

}  // namespace
