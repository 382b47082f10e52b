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

// Runs the reference filter on a window of one repeated word per channel and
// returns the six frame bytes.
std::vector<uint8_t> FrameOf(ChannelWord left, ChannelWord right) {
  ChannelWord l[WindowWords], r[WindowWords];
  for (int w = 0; w < WindowWords; ++w) l[w] = left, r[w] = right;
  std::vector<uint8_t> frame(PcmFrameBytes);
  DecimationFilter(l, r, frame.data());
  return frame;
}

int32_t LeftSample(const std::vector<uint8_t>& frame) {
  const uint32_t bits = frame[0] | frame[1] << 8 | frame[2] << 16;
  return static_cast<int32_t>(bits << 8) >> 8;
}

TEST(DecimationFilter, KnownWindows) {
  using Bytes = std::vector<uint8_t>;
  // Silence in either phase is the sample 0.
  EXPECT_EQ(FrameOf(0xAAAAAAAA, 0x55555555), Bytes({0, 0, 0, 0, 0, 0}));
  // Five ones in eight, and its complement.
  EXPECT_EQ(FrameOf(0x5D5D5D5D, 0xA2A2A2A2), Bytes({0x4A, 0x2C, 0x40, 0xB6, 0xD3, 0xBF}));
  // The same count of ones at different taps gives different samples.
  EXPECT_EQ(LeftSample(FrameOf(0x5555555D, 0)), 1051410);
  EXPECT_EQ(LeftSample(FrameOf(0xAAAAAAAB, 0)), 1051409);
}

TEST(DecimationFilter, ChannelsAreIndependentAndLeftComesFirst) {
  const std::vector<uint8_t> mixed = FrameOf(0x5D5D5D5D, 0xAAAAAAAA);
  EXPECT_EQ(mixed, std::vector<uint8_t>({0x4A, 0x2C, 0x40, 0, 0, 0}));
  const std::vector<uint8_t> swapped = FrameOf(0xAAAAAAAA, 0x5D5D5D5D);
  EXPECT_EQ(swapped, std::vector<uint8_t>({0, 0, 0, 0x4A, 0x2C, 0x40}));
}

TEST(DecimationFilter, ExtremesSaturateToThe24BitRange) {
  // All zeros clamp to -0.5 (x = -2^24), all ones to +0.5: both lie outside
  // 24 bits and saturate rather than wrap.
  EXPECT_EQ(FrameOf(0, 0xFFFFFFFF), std::vector<uint8_t>({0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(PcmSampleFromSum(0.0), PcmSampleMin);
  EXPECT_EQ(PcmSampleFromSum(1.002703293), PcmSampleMax);
  // Just inside full scale: v = 0.25 - 2^-26 gives 2^23 - 2, unsaturated.
  EXPECT_EQ(PcmSampleFromSum(0.25 + 0.5 + 0.001351646272508944), PcmSampleMax);
}

}  // namespace
