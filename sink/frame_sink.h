// The seam between the pass and the writers. The pass hands a sink the
// frames of a run in order, one block at a time, as integer samples; the
// sink alone decides what bytes they become and where they go. Several
// writers stand behind this one interface (the WAV writers, FLAC).
#pragma once

#include <cstdint>

#include "base/channel_layout.h"
#include "base/failure.h"

// Samples are in units of the 24-bit LSB (full scale 2^23) and are not
// saturated: a writer of a bounded format saturates them itself.
struct FrameBlock {
  const int32_t* channels[MaxChannels] = {};  // channel c's samples, one per frame
  uint32_t frames = 0;
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
  // The next frames, in order; never called at once from two threads.
  virtual Fault Write(const FrameBlock& block) = 0;
  // After the last frame: completes the output.
  virtual Fault Finish() = 0;
};
