#include "driver/run_steps.h"

#include <unistd.h>

#include <algorithm>

#include "base/workers.h"
#include "driver/convert.h"

void CloseAll(OpenFiles* files) {
  if (files->input >= 0) close(files->input);
  files->input = -1;
  CloseChannelFiles(&files->channels);
  (void)CloseOutput(&files->output);
}

int Fail(Reporter* reporter, OpenFiles* files, const Fault& fault) {
  ReportFailure(reporter, fault);
  CloseAll(files);
  return ExitFailure;
}

Fault RunSteps(const PassJob& job, uint64_t first, uint64_t step, Reporter* reporter,
               PassReport* report) {
  const uint64_t piece = PassBlockFrames(*job.source);
  step = std::max<uint64_t>(1, step / piece) * piece;
  const uint64_t steps = std::max<uint64_t>(1, (job.frames + step - 1) / step);
  Pass pass;
  Fault fault = PassPrepare(*job.source, *job.sink, WorkerCount(), &pass);
  if (!Failed(fault)) fault = job.sink->Start();
  for (uint64_t s = 0; s < steps && !Failed(fault); ++s) {
    const uint64_t done = s * step;
    fault = PassFrames(&pass, job, first + done, std::min(step, job.frames - done), report);
    if (!Failed(fault)) ReportProgress(reporter, s + 1, steps);
  }
  if (!Failed(fault)) ReportPassEnd(reporter);
  PassRelease(&pass);
  return fault;
}

Chain ChainTo(FrameSink* last, const StreamFormat& filtered, uint32_t out_rate,
              uint32_t block_frames) {
  Chain chain;
  chain.first = last;
  if (out_rate != filtered.frame_rate) {
    chain.resampler = std::make_unique<Resampler>(filtered, out_rate, block_frames, last);
    chain.first = chain.resampler.get();
  }
  return chain;
}

StreamFormat AtRate(StreamFormat format, uint32_t rate) {
  format.frames = ResampledFrames(format.frames, format.frame_rate, rate);
  format.frame_rate = rate;
  return format;
}
