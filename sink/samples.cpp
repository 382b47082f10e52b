#include "sink/samples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int32_t Pcm24Min = -(1 << 23);
constexpr int32_t Pcm24Max = (1 << 23) - 1;
constexpr int32_t Pcm16Min = -(1 << 15);
constexpr int32_t Pcm16Max = (1 << 15) - 1;
constexpr double Pcm24PerPcm16 = 256.0;  // 24-bit LSBs in a 16-bit LSB
constexpr double FloatScale = 1.0 / FullScale24;

// xorshift64* (Vigna): a fast generator of 64-bit values; the top 32 bits
// of its output serve as a uniform draw.
constexpr uint64_t XorshiftMultiplier = 0x2545F4914F6CDD1DULL;
constexpr double UnitPer32Bits = 1.0 / 4294967296.0;
// Odd constants that spread each channel's seed apart.
constexpr uint64_t SeedBase = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t SeedStep = 0xBF58476D1CE4E5B9ULL;

double UniformDraw(uint64_t* state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return static_cast<double>((x * XorshiftMultiplier) >> 32) * UnitPer32Bits;
}

void Count(ClipReport* clips, int channel, int32_t sample, int32_t low, int32_t high,
           uint64_t magnitude) {
  clips->peak = std::max(clips->peak, magnitude);
  if (sample < low || sample > high) ++clips->saturated[channel];
}

}  // namespace

int SampleBits(SampleFormat format) {
  switch (format) {
    case SampleFormat::Pcm16:
      return 16;
    case SampleFormat::Pcm24:
      return 24;
    case SampleFormat::Float32:
      return 32;
  }
  return 0;
}

int SampleBytes(SampleFormat format) { return SampleBits(format) / 8; }

SampleMaker MakeSampleMaker(SampleFormat format, bool dither, const StreamFormat& stream,
                            ClipReport* clips) {
  SampleMaker maker;
  maker.format = format;
  maker.dither = dither;
  maker.clips = clips;
  // A seed of the stream's own: its length, rate and channels.
  const uint64_t seed = SeedBase ^ stream.frames ^ (uint64_t{stream.frame_rate} << 32) ^
                        static_cast<uint64_t>(stream.channels);
  for (int c = 0; c < MaxChannels; ++c) {
    maker.dither_state[c] = (seed + SeedStep * (c + 1)) | 1;  // never zero
  }
  return maker;
}

void MakeIntegerSamples(SampleMaker* maker, const FrameBlock& block, int channel, int32_t* out) {
  const int32_t* in = block.channels[channel];
  ClipReport* clips = maker->clips;
  if (maker->format == SampleFormat::Pcm24) {
    for (uint32_t k = 0; k < block.frames; ++k) {
      Count(clips, channel, in[k], Pcm24Min, Pcm24Max, std::llabs(in[k]));
      out[k] = std::clamp(in[k], Pcm24Min, Pcm24Max);
    }
    return;
  }
  // 16 bits: the sample in 16-bit units, plus triangular dither of +-1 LSB
  // (the difference of two uniform draws), rounded to the nearest integer.
  uint64_t* state = &maker->dither_state[channel];
  for (uint32_t k = 0; k < block.frames; ++k) {
    double value = in[k] / Pcm24PerPcm16;
    if (maker->dither) value += UniformDraw(state) - UniformDraw(state);
    const int64_t rounded = static_cast<int64_t>(std::floor(value + 0.5));
    const int32_t sample = static_cast<int32_t>(std::clamp<int64_t>(rounded, INT32_MIN, INT32_MAX));
    Count(clips, channel, sample, Pcm16Min, Pcm16Max, std::llabs(in[k]));
    out[k] = std::clamp(sample, Pcm16Min, Pcm16Max);
  }
}

void MakeFloatSamples(const FrameBlock& block, int channel, float* out) {
  const int32_t* in = block.channels[channel];
  for (uint32_t k = 0; k < block.frames; ++k) out[k] = static_cast<float>(in[k] * FloatScale);
}
