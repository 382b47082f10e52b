// The seam between the pass and the writers. The pass hands a sink the
// frames of a run in order, one block at a time, as integer samples; the
// sink alone decides what bytes they become and where they go. Several
// writers stand behind this one interface (the WAV writers, FLAC).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/channel_layout.h"
#include "base/failure.h"

// What saturation cost a run, over all its blocks.
struct ClipReport {
  uint64_t saturated[MaxChannels] = {};  // samples saturated, per channel
  uint64_t peak = 0;  // the largest magnitude before saturation, in 24-bit LSB units
};

// Adds one block's counts to a run's.
void AddClips(const ClipReport& block, ClipReport* run);

// Samples are in units of the 24-bit LSB (full scale 2^23) and are not
// saturated: a writer of a bounded format saturates them itself.
struct FrameBlock {
  const int32_t* channels[MaxChannels] = {};  // channel c's samples, one per frame
  uint32_t frames = 0;
  // Filled in only when the pass called the sink's Prepare on the block:
  // the room it gave (PreparedBytes), and what Prepare counted there.
  uint8_t* prepared = nullptr;
  ClipReport prepared_clips;
};

// What a writer knows of the stream before its first frame.
struct StreamFormat {
  uint32_t frame_rate = 0;
  int channels = 0;
  Speaker speakers[MaxChannels] = {};
  uint64_t frames = 0;  // frames the run will write
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Before the first frame: allocates what the writer needs and starts the
  // output. Nothing is written when allocation fails.
  virtual Fault Start() = 0;
  // Bytes of room Prepare needs for a block of at most `frames` frames; 0,
  // the default, when the sink prepares nothing.
  virtual size_t PreparedBytes(uint32_t /*frames*/) const { return 0; }
  // The work on a block that needs no other block (packing its samples, say),
  // done before Write on the thread that made the block, while other threads
  // prepare or write other blocks: it reads the block's samples and writes
  // only `block->prepared` and `block->prepared_clips`. Write must still take
  // blocks that were not prepared.
  virtual void Prepare(FrameBlock* /*block*/) const {}
  // The next frames, in order; never called at once from two threads.
  virtual Fault Write(const FrameBlock& block) = 0;
  // After the last frame: completes the output.
  virtual Fault Finish() = 0;
};
