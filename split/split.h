// Cutting one stream into the files of its tracks. The whole stream goes
// through one chain (the filter, the gain, the rate conversion, the dither)
// exactly as a run into one file; the cut comes after, so that the tracks
// put together are that file's frames. Each track's writer then runs on a
// thread of its own, beside the others and the pass: libFLAC encodes on one
// core, and an album's tracks are independent streams.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "sink/frame_sink.h"
#include "sink/samples.h"

// One track's part of the stream and the sink that takes it.
struct SplitOutput {
  uint64_t first = 0;  // the stream's frame of the part's first frame
  uint64_t frames = 0;
  FrameSink* sink = nullptr;
};

// Samples that may wait for the tracks' writers: the pass runs ahead of
// them by this much, and then waits for them.
constexpr size_t MaxQueuedSampleBytes = size_t{256} << 20;

// A FrameSink that hands every output's frames to that output's sink and
// drops the frames between them. The outputs are in increasing order of
// `first` and do not overlap; the first block it is given is the stream's
// frame `first_frame`. Up to `writers` outputs are written at once, each by
// a thread of its own that starts its sink, writes its frames in order and
// finishes it, then takes the next output; the blocks wait for them in a
// queue of at most `max_queued_bytes` (one block more when the queue is
// empty). An output's sink is started only when a thread takes it, so a run
// that fails early leaves later outputs untouched.
class TrackSplitter final : public FrameSink {
 public:
  TrackSplitter(std::vector<SplitOutput> outputs, int channels, uint64_t first_frame,
                unsigned writers, size_t max_queued_bytes = MaxQueuedSampleBytes);
  ~TrackSplitter() override;
  // Starts the threads; Failure::MemoryAlloc when none can be started.
  Fault Start() override;
  // Queues the block's frames for their outputs. Returns the fault of an
  // output that failed, after which nothing more is written.
  Fault Write(const FrameBlock& block) override;
  // Waits until every output is finished. Returns the fault of the earliest
  // output that failed.
  Fault Finish() override;

 private:
  struct Queued {
    std::vector<int32_t> samples;  // channel after channel
    uint32_t frames = 0;
  };
  struct Lane {
    SplitOutput output;
    std::deque<Queued> queue;
    Fault fault;
  };

  // A thread's work: takes the next lane until none is left.
  void WriteLanes();
  // Starts a lane's sink, writes its frames as they come, finishes it.
  Fault WriteLane(Lane* lane);
  void Stop(Lane* lane, const Fault& fault);

  std::vector<Lane> lanes_;
  int channels_;
  uint64_t position_;  // the stream's frame of the next block
  unsigned writers_;
  size_t max_queued_bytes_;
  std::vector<std::thread> threads_;

  std::mutex mutex_;                 // guards everything below
  std::condition_variable queued_;   // a block was queued, or the stream ended or stopped
  std::condition_variable drained_;  // a block left a queue, or the stream stopped
  size_t queued_bytes_ = 0;
  // Buffers of blocks written, to queue the next ones in: the stream's
  // samples pass through memory already mapped.
  std::vector<std::vector<int32_t>> spare_;
  size_t next_lane_ = 0;  // the next lane a thread takes
  bool ended_ = false;    // Finish: no more blocks come
  bool stopped_ = false;  // an output failed
};

// A FrameSink that makes the stream's 16-bit samples, with its dither, and
// hands them on in the pass's units (the 16-bit value times 2^8), so that a
// writer of 16-bit samples without dither stores exactly those values, on
// whatever part of the stream it is given. Saturation and the peak are
// counted into `clips` for the frames of `outputs` alone (their sinks are
// not used), the first block being the stream's frame `first_frame`: the
// dither needs the frames before and between them, which no file holds.
class Quantizer16 final : public FrameSink {
 public:
  Quantizer16(const StreamFormat& stream, bool dither, uint32_t max_block_frames,
              std::vector<SplitOutput> outputs, uint64_t first_frame, FrameSink* next,
              ClipReport* clips);
  Fault Start() override;
  Fault Write(const FrameBlock& block) override;
  Fault Finish() override;

 private:
  SampleMaker maker_;
  int channels_;
  uint32_t max_block_frames_;
  std::vector<SplitOutput> outputs_;
  uint64_t position_;  // the stream's frame of the next block
  FrameSink* next_;
  std::vector<int32_t> samples_[MaxChannels];
  std::vector<int32_t> counted_;          // a channel's block, silent outside the outputs
  std::vector<int32_t> counted_samples_;  // what the maker makes of it, for its count
};
