// Rate conversion: a FrameSink that resamples the stream it is given with
// libsoxr (very high quality, linear phase, one thread) and hands the result
// to the next sink. The blocks come in order, so the whole stream is
// resampled as one, and the result does not depend on how the pass cut it
// or on the number of its threads.
#pragma once

#include <cstdint>
#include <vector>

#include "sink/frame_sink.h"

// The rates the converter writes: the two families' CD, studio and DSD
// related rates.
bool IsOutputRate(uint32_t rate);

// Frames of the resampled stream: the input's frames at the output rate,
// rounded down.
uint64_t ResampledFrames(uint64_t frames, uint32_t in_rate, uint32_t out_rate);

// Frames in the largest block a Resampler hands on, for blocks of at most
// `max_block_frames` frames in.
uint32_t ResampledBlockFrames(uint32_t max_block_frames, uint32_t in_rate, uint32_t out_rate);

class Resampler final : public FrameSink {
 public:
  // `format` describes the stream in; `next` receives exactly
  // ResampledFrames of it at `out_rate`, and must outlive this.
  Resampler(const StreamFormat& format, uint32_t out_rate, uint32_t max_block_frames,
            FrameSink* next);
  ~Resampler() override;
  Fault Start() override;
  Fault Write(const FrameBlock& block) override;
  Fault Finish() override;

 private:
  // Hands `frames` resampled frames on, up to the count the stream must have.
  Fault Hand(uint32_t frames);

  StreamFormat format_;
  uint32_t out_rate_;
  uint32_t out_block_frames_;
  uint64_t out_frames_;  // what the next sink must receive
  uint64_t handed_ = 0;  // what it has received
  FrameSink* next_;
  void* soxr_ = nullptr;                   // the libsoxr resampler (soxr_t)
  std::vector<int32_t> out_[MaxChannels];  // what libsoxr hands out, per channel
};
