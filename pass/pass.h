// The one pass over the sound. Each piece of the source is read once, turned
// into channel words, written to the channel files when the run keeps them,
// and filtered from memory into frames of integer samples that go to a sink.
// Every core reads, filters and makes the frames of pieces of its own, and
// has the sink prepare them there; the pieces reach the sink's Write one at
// a time and in order, so the sink sees one stream whatever the number of
// workers. A piece reads the 15 words after its frames again, so the frames
// are those of one pass over the whole sound.
// Does no file I/O of its own and never prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/failure.h"
#include "channel/channel_files.h"
#include "sink/frame_sink.h"
#include "source/source.h"

// What one run's pass reads, makes and where it sends it.
struct PassJob {
  const SoundSource* source = nullptr;
  FrameSink* sink = nullptr;
  // The files that receive every word of channels 0 and 1 that the run
  // reads, [0, frames + 15), or nullptr.
  const ChannelFiles* channel_files = nullptr;
  double gain = 1.0;
  uint64_t frames = 0;  // frames of the whole run
};

// The workers' buffers.
struct Pass {
  unsigned workers = 0;
  uint32_t piece_frames = 0;
  size_t prepared_bytes = 0;  // the sink's room for Prepare in each slot
  size_t worker_bytes = 0;
  uint8_t* memory = nullptr;
  SharedFrames* shared = nullptr;  // the frames neighbouring pieces share, for coded sound
};

// Frames in the largest block the pass hands a sink for `source`.
uint32_t PassBlockFrames(const SoundSource& source);

// Allocates the buffers of `workers` workers (at least one) for pieces of
// `source` and the room that `sink` asks for to prepare them; the pass runs
// on that many threads, and its frames do not depend on the number.
Fault PassPrepare(const SoundSource& source, const FrameSink& sink, unsigned workers, Pass* pass);

// What a pass learned of the sound beyond its frames.
struct PassReport {
  std::vector<DamagedFrame> damaged;  // frames that read as silence, in order, each once
};

// Makes frames [first, first + count) of the run and hands them to the sink,
// in order, and adds what it met to `*report`. Calls must cover the run's
// frames in order, from 0.
Fault PassFrames(Pass* pass, const PassJob& job, uint64_t first, uint64_t count,
                 PassReport* report);

void PassRelease(Pass* pass);
