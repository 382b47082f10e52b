// Inside the driver: what every form of a run shares. The files a run holds
// open and their closing, the pass run in steps that the reporter counts,
// and the chain of stages the filtered stream goes through.
#pragma once

#include <cstdint>
#include <memory>

#include "channel/channel_files.h"
#include "driver/reporter.h"
#include "driver/run_files.h"
#include "pass/pass.h"
#include "resample/resample.h"
#include "sink/frame_sink.h"

// What a run holds open, closed in one place however the run ends.
struct OpenFiles {
  int input = -1;
  uint64_t input_bytes = 0;
  Output output;
  ChannelFiles channels;
};

void CloseAll(OpenFiles* files);

// Reports `fault`, closes everything, and gives the exit status of a failure.
int Fail(Reporter* reporter, OpenFiles* files, const Fault& fault);

// Prepares the pass, starts the job's sink, and runs the pass over frames
// [first, first + job.frames) in steps of about `step` frames (the original
// form's divisions), reporting each step; a run of no frames still takes
// one. Steps are whole pieces of the pass, so that the sink is given the
// same blocks whatever the step.
Fault RunSteps(const PassJob& job, uint64_t first, uint64_t step, Reporter* reporter,
               PassReport* report);

// The chain of stages a standard run's frames go through: a resampler when
// the output rate is not the filter's, then the final sink.
struct Chain {
  std::unique_ptr<Resampler> resampler;
  FrameSink* first = nullptr;
};

Chain ChainTo(FrameSink* last, const StreamFormat& filtered, uint32_t out_rate,
              uint32_t block_frames);

// The stream `format` at another rate: ResampledFrames of its frames.
StreamFormat AtRate(StreamFormat format, uint32_t rate);
