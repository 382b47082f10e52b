#include "sink/samples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t Pcm24Min = -(1 << 23);
constexpr int32_t Pcm24Max = (1 << 23) - 1;
constexpr int32_t Pcm16Min = -(1 << 15);
constexpr int32_t Pcm16Max = (1 << 15) - 1;
constexpr double FloatScale = 1.0 / FullScale24;
constexpr double DecibelsPerDecade = 20.0;  // of amplitude

// xorshift64 (Marsaglia): a fast generator of 64-bit values, each of whose
// bytes serves as a uniform draw from 0 to 255.
constexpr uint64_t SeedBase = 0x9E3779B97F4A7C15ULL;  // odd constants that spread
constexpr uint64_t SeedStep = 0xBF58476D1CE4E5B9ULL;  // each channel's seed apart
constexpr int DrawBits = 8;
constexpr uint32_t DrawMask = (1u << DrawBits) - 1;
constexpr int DrawsPerSample = 2;  // TPDF: the difference of two uniform draws
constexpr int SamplesPerValue = 64 / DrawBits / DrawsPerSample;
// 16-bit samples are the 24-bit ones shifted right by 8 bits, after half a
// 16-bit LSB is added so that the shift rounds to the nearest.
constexpr int Pcm16Shift = 8;
constexpr int32_t HalfPcm16Lsb = 1 << (Pcm16Shift - 1);
// Samples are quantized in runs, each with its dither drawn first, so that
// the arithmetic runs over plain arrays.
constexpr uint32_t QuantizeRun = 256;
// Inputs are held within +-2^30 before the arithmetic, which then stays in
// 32 bits: far beyond any level the filter makes (16 times full scale).
constexpr int32_t InputLimit = 1 << 30;

// `base` plus triangular dither of +-1 16-bit LSB, in 24-bit units, for
// QuantizeRun samples, from a channel's generators stepped together.
void DrawDither(uint64_t* lanes, int32_t base, int32_t* dither) {
  uint64_t values[QuantizeRun / SamplesPerValue];
  for (uint32_t v = 0; v < QuantizeRun / SamplesPerValue; v += DitherLanes) {
    for (int j = 0; j < DitherLanes; ++j) {
      uint64_t x = lanes[j];
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      values[v + j] = lanes[j] = x;
    }
  }
  // Sample k takes bytes 2k and 2k + 1 of the values as they lie in memory
  // (the host is little-endian: see base/channel_word.h).
  uint16_t pairs[QuantizeRun];
  static_assert(sizeof pairs == sizeof values, "two bytes for each sample");
  std::memcpy(pairs, values, sizeof pairs);
  for (uint32_t k = 0; k < QuantizeRun; ++k) {
    dither[k] = base + static_cast<int32_t>(pairs[k] & DrawMask) -
                static_cast<int32_t>(pairs[k] >> DrawBits);
  }
}

// The quantizing loop is built twice on x86-64, for AVX2 and for any x86-64,
// and the loader picks the one the processor runs: its integer min, max and
// compares are single instructions only from AVX2 on. Both give the same
// samples.
#if defined(__x86_64__)
#define AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define AVX2_CLONE
#endif

// What one run of samples leaves in the clip report.
struct RunCount {
  uint32_t peak = 0;
  uint32_t saturated = 0;
};

// `count` samples plus `offset` (dither and rounding), shifted right by
// `shift` and saturated to [low, high]; counts the peak before all that and
// the samples saturated.
AVX2_CLONE RunCount Quantize(const int32_t* in, const int32_t* offset, uint32_t count, int shift,
                             int32_t low, int32_t high, int32_t* out) {
  RunCount run;
  for (uint32_t k = 0; k < count; ++k) {
    const int32_t x = std::clamp(in[k], -InputLimit, InputLimit);
    run.peak = std::max(run.peak, static_cast<uint32_t>(x < 0 ? -x : x));
    const int32_t sample = (x + offset[k]) >> shift;  // arithmetic: toward minus infinity
    run.saturated += (sample < low) | (sample > high);
    out[k] = std::clamp(sample, low, high);
  }
  return run;
}

}  // namespace

double DecibelsOfMagnitude(uint64_t magnitude) {
  return DecibelsPerDecade * std::log10(static_cast<double>(magnitude) / FullScale24);
}

double LinearGain(double db) { return db == 0.0 ? 1.0 : std::pow(10.0, db / DecibelsPerDecade); }

void AddClips(const ClipReport& block, ClipReport* run) {
  for (int c = 0; c < MaxChannels; ++c) run->saturated[c] += block.saturated[c];
  run->peak = std::max(run->peak, block.peak);
}

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
    for (int j = 0; j < DitherLanes; ++j) {
      maker.dither_state[c][j] = (seed + SeedStep * (c * DitherLanes + j + 1)) | 1;  // never zero
    }
  }
  return maker;
}

void MakeIntegerSamples(SampleMaker* maker, const FrameBlock& block, int channel, int32_t* out) {
  const int32_t* in = block.channels[channel];
  const bool pcm16 = maker->format == SampleFormat::Pcm16;
  const int shift = pcm16 ? Pcm16Shift : 0;
  const int32_t low = pcm16 ? Pcm16Min : Pcm24Min;
  const int32_t high = pcm16 ? Pcm16Max : Pcm24Max;
  // 16 bits: half a 16-bit LSB and the dither added before the shift; the
  // dither needs no carry between blocks, whose sizes depend on the stream
  // alone.
  int32_t offset[QuantizeRun];
  std::fill(offset, offset + QuantizeRun, pcm16 ? HalfPcm16Lsb : 0);
  ClipReport* clips = maker->clips;
  for (uint32_t k = 0; k < block.frames; k += QuantizeRun) {
    const uint32_t count = std::min(QuantizeRun, block.frames - k);
    if (pcm16 && maker->dither) {
      DrawDither(maker->dither_state[channel], HalfPcm16Lsb, offset);
    }
    const RunCount run = Quantize(in + k, offset, count, shift, low, high, out + k);
    clips->peak = std::max<uint64_t>(clips->peak, run.peak);
    clips->saturated[channel] += run.saturated;
  }
}

void MakeFloatSamples(const FrameBlock& block, int channel, float* out) {
  const int32_t* in = block.channels[channel];
  for (uint32_t k = 0; k < block.frames; ++k) out[k] = static_cast<float>(in[k] * FloatScale);
}
