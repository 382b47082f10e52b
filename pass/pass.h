// The one pass over the sound. Each piece of the input is read once, turned
// into channel words, written to the channel files and filtered from memory
// into frames that go to the output. The pass works one division of at most
// DivSize words at a time, so that its caller can report progress, and cuts
// each division into pieces that every core reads, filters and writes on its
// own; a piece reads the 15 words after its frames again from the input, so
// the frames are those of one pass over the whole sound. Never prints.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/failure.h"
#include "channel/channel_files.h"
#include "decimate/filter.h"
#include "sound/sound.h"

constexpr uint32_t DivSize = 0x800000;                    // words per full division
constexpr uint32_t OverlapWords = WindowWords - 1;        // read ahead for the last windows
constexpr uint32_t DivWavSize = DivSize * PcmFrameBytes;  // PCM bytes of a full division
// The last division's final frames, which are not computed.
constexpr uint32_t TailFrames = OverlapWords;
constexpr uint32_t TailBytes = TailFrames * PcmFrameBytes;

// The sizes of a run, all derived from DsdSize before any sound is read.
struct RunSizes {
  uint32_t DsdSize;           // bytes of sound to convert
  uint32_t DsdLR64Size;       // groups: words per channel taken from the input
  uint32_t DivNum;            // divisions, the last one possibly short
  uint32_t FoundLastDivSize;  // words of the last division that the sound gives
  uint32_t LastDivSize;       // the same, padded with SilenceWord to a whole window
  uint32_t WavSize;           // the data size the WAV header declares
  uint32_t WLastDivSize;      // PCM bytes written for the last division
};

RunSizes RunSizesOf(uint32_t DsdSize);

// Words in each channel file: every group's word, then the padding.
uint64_t ChannelFileWords(const RunSizes& sizes);
// PCM bytes the pass writes: DivWavSize for each full division, then WLastDivSize.
uint64_t PcmBytes(const RunSizes& sizes);

// Where the pass reads and writes. The caller owns every descriptor.
struct PassFiles {
  int input;
  const char* input_path;
  SoundData sound;
  uint32_t groups_present;  // groups the input holds whole; the rest are silence
  ChannelFiles channels;
  int output;
  const char* output_path;
  uint64_t frames_offset;  // output byte of the first frame
  bool in_order;           // the output cannot take writes at offsets: write in sequence
};

// The workers' buffers, and what one division hands to the next.
struct Pass {
  unsigned workers = 0;
  size_t worker_bytes = 0;
  uint8_t* memory = nullptr;
  // The frames a full division computed where the last division's tail
  // lies; zeros until then.
  uint8_t tail[TailBytes] = {};
};

// Allocates the buffers of `workers` workers (at least one) for pieces of
// `sound`; the pass runs on that many threads, and the output does not
// depend on the number.
Fault PassPrepare(const SoundData& sound, unsigned workers, Pass* pass);

// Runs division `division` (0 .. DivNum - 1): writes its channel words and
// its frames, DivWavSize bytes for a full division and WLastDivSize for the
// last, whose final TailFrames frames are what a previous full division
// computed at the same place, or zeros when there was none. Divisions must
// run in order.
Fault PassDivision(Pass* pass, const PassFiles& files, const RunSizes& sizes, uint32_t division);

void PassRelease(Pass* pass);
