// The samples a writer stores, made from the pass's integer samples (units of
// the 24-bit LSB, not saturated): 16-bit with TPDF dither or rounding, 24-bit,
// or 32-bit float with full scale at 1.0. Integer formats saturate, and count
// what they saturate and the peak before it, for the clip report. The dither
// comes from generators seeded by the stream alone, and the blocks come in
// order, so the same input gives the same samples whatever the machine or the
// number of threads.
#pragma once

#include <cstdint>

#include "base/channel_layout.h"
#include "sink/frame_sink.h"

enum class SampleFormat {
  Pcm16,    // 16-bit integers
  Pcm24,    // 24-bit integers
  Float32,  // IEEE single precision, full scale 1.0, never saturated
};

// Bits per stored sample, and bytes.
int SampleBits(SampleFormat format);
int SampleBytes(SampleFormat format);

// Full scale in 24-bit LSB units: 0 dBFS.
constexpr int64_t FullScale24 = int64_t{1} << 23;

// A magnitude in 24-bit LSB units, in dB relative to full scale.
double DecibelsOfMagnitude(uint64_t magnitude);
// The factor of a gain of `db` dB: exactly 1 for 0 dB.
double LinearGain(double db);

// Generators of dither per channel: independent xorshift64 generators,
// stepped together so that the steps run as vector operations.
constexpr int DitherLanes = 8;

struct TagRecord;  // the tags module's record; a writer that stores tags includes it

// Everything a writer is opened with: the stream it is given, the samples it
// stores, and what goes beside them.
struct WriterSettings {
  StreamFormat stream;  // rate, channels and their speakers (the mask), frames
  SampleFormat samples = SampleFormat::Pcm24;
  bool dither = true;               // Pcm16: TPDF dither; else rounding to the nearest
  int compression = 5;              // a compressing format's level
  const TagRecord* tags = nullptr;  // none when null; must outlive the writer's Start
  uint32_t max_block_frames = 0;    // the largest block the writer is handed
};

// Turns blocks of the pass's samples into one format's samples.
struct SampleMaker {
  SampleFormat format = SampleFormat::Pcm24;
  bool dither = true;                                    // Pcm16: TPDF dither; else rounding
  uint64_t dither_state[MaxChannels][DitherLanes] = {};  // each channel's generators
  ClipReport* clips = nullptr;                           // the caller's, filled in as blocks come
};

// A maker for `format` of the stream `stream` that counts into `clips`; the
// dither's seed comes from the stream's description.
SampleMaker MakeSampleMaker(SampleFormat format, bool dither, const StreamFormat& stream,
                            ClipReport* clips);

// Channel `channel` of `block` as integers of the maker's format (Pcm16 or
// Pcm24), saturated and counted, into `out`.
void MakeIntegerSamples(SampleMaker* maker, const FrameBlock& block, int channel, int32_t* out);

// Channel `channel` of `block` as floats, full scale 1.0: sample / 2^23.
void MakeFloatSamples(const FrameBlock& block, int channel, float* out);
