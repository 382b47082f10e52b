#include "split/split.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace {

constexpr int Pcm16Shift = 8;  // a 16-bit value in units of the 24-bit LSB

}  // namespace

TrackSplitter::TrackSplitter(std::vector<SplitOutput> outputs, int channels, uint64_t first_frame,
                             unsigned writers, size_t max_queued_bytes)
    : channels_(channels),
      position_(first_frame),
      writers_(std::max(1u, writers)),
      max_queued_bytes_(max_queued_bytes) {
  for (const SplitOutput& output : outputs) lanes_.push_back(Lane{output, {}, {}});
}

TrackSplitter::~TrackSplitter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = ended_ = true;
  }
  queued_.notify_all();
  drained_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

Fault TrackSplitter::Start() {
  const unsigned count = std::min<unsigned>(writers_, static_cast<unsigned>(lanes_.size()));
  for (unsigned t = 0; t < std::max(count, 1u); ++t) {
    try {
      threads_.emplace_back(&TrackSplitter::WriteLanes, this);
    } catch (const std::system_error&) {
      break;
    }
  }
  return threads_.empty() ? Fault{Failure::MemoryAlloc} : Fault{};
}

void TrackSplitter::Stop(Lane* lane, const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Failed(lane->fault)) lane->fault = fault;
  stopped_ = true;
  queued_.notify_all();
  drained_.notify_all();
}

void TrackSplitter::WriteLanes() {
  for (;;) {
    Lane* lane = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_ || next_lane_ == lanes_.size()) return;
      lane = &lanes_[next_lane_++];
    }
    const Fault fault = WriteLane(lane);
    if (Failed(fault)) Stop(lane, fault);
  }
}

Fault TrackSplitter::WriteLane(Lane* lane) {
  FrameSink* sink = lane->output.sink;
  Fault fault = sink->Start();
  uint64_t written = 0;
  while (!Failed(fault)) {
    Queued block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [&] {
        return stopped_ || !lane->queue.empty() || ended_ || written == lane->output.frames;
      });
      if (stopped_) return Fault{};    // another output failed: this one stays unfinished
      if (lane->queue.empty()) break;  // all of it, or all the stream held
      block = std::move(lane->queue.front());
      lane->queue.pop_front();
      queued_bytes_ -= block.samples.size() * sizeof(int32_t);
    }
    drained_.notify_all();
    FrameBlock frames;
    frames.frames = block.frames;
    for (int c = 0; c < channels_; ++c)
      frames.channels[c] = block.samples.data() + c * block.frames;
    fault = sink->Write(frames);
    written += block.frames;
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(block.samples));
  }
  return Failed(fault) ? fault : sink->Finish();
}

Fault TrackSplitter::Write(const FrameBlock& block) {
  const uint64_t start = position_, end = position_ + block.frames;
  position_ = end;
  for (Lane& lane : lanes_) {
    const uint64_t from = std::max(start, lane.output.first);
    const uint64_t to = std::min(end, lane.output.first + lane.output.frames);
    if (from >= to) continue;
    Queued queued;
    queued.frames = static_cast<uint32_t>(to - from);
    const size_t bytes = size_t{queued.frames} * channels_ * sizeof(int32_t);
    {
      // Room first, so that the copy is made only when it may wait.
      std::unique_lock<std::mutex> lock(mutex_);
      drained_.wait(lock, [&] {
        return stopped_ || queued_bytes_ == 0 || queued_bytes_ + bytes <= max_queued_bytes_;
      });
      if (stopped_) break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        queued.samples = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    try {
      queued.samples.clear();  // its capacity kept: nothing to map, nothing to zero
      for (int c = 0; c < channels_; ++c) {
        queued.samples.insert(queued.samples.end(), block.channels[c] + (from - start),
                              block.channels[c] + (to - start));
      }
    } catch (const std::bad_alloc&) {
      Stop(&lane, Fault{Failure::MemoryAlloc});
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queued_bytes_ += bytes;
      lane.queue.push_back(std::move(queued));
    }
    queued_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stopped_) return Fault{};
  for (const Lane& lane : lanes_) {
    if (Failed(lane.fault)) return lane.fault;
  }
  return Fault{};
}

Fault TrackSplitter::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  for (const Lane& lane : lanes_) {
    if (Failed(lane.fault)) return lane.fault;
  }
  return Fault{};
}

Quantizer16::Quantizer16(const StreamFormat& stream, bool dither, uint32_t max_block_frames,
                         std::vector<SplitOutput> outputs, uint64_t first_frame, FrameSink* next,
                         ClipReport* clips)
    : maker_(MakeSampleMaker(SampleFormat::Pcm16, dither, stream, clips)),
      channels_(stream.channels),
      max_block_frames_(max_block_frames),
      outputs_(std::move(outputs)),
      position_(first_frame),
      next_(next) {}

Fault Quantizer16::Start() {
  try {
    for (int c = 0; c < channels_; ++c) samples_[c].resize(max_block_frames_);
    counted_.resize(max_block_frames_);
    counted_samples_.resize(max_block_frames_);
  } catch (const std::bad_alloc&) {
    return Fault{Failure::MemoryAlloc};
  }
  return next_->Start();
}

Fault Quantizer16::Write(const FrameBlock& block) {
  const uint64_t start = position_, end = position_ + block.frames;
  position_ = end;
  uint64_t inside = 0;  // frames of the block that outputs take
  for (const SplitOutput& output : outputs_) {
    const uint64_t from = std::max(start, output.first);
    const uint64_t to = std::min(end, output.first + output.frames);
    if (from < to) inside += to - from;
  }
  // WATCHOUT: the dither a block draws depends on its length alone, not its
  // samples: so the same maker from the same state, given the block silent
  // outside the outputs, counts their frames alone (silence neither
  // saturates nor peaks) and leaves the samples made above as they are.
  ClipReport* const clips = maker_.clips;
  ClipReport left_out;
  SampleMaker counter = maker_;
  if (inside < block.frames) maker_.clips = &left_out;
  FrameBlock quantized;
  quantized.frames = block.frames;
  for (int c = 0; c < channels_; ++c) {
    int32_t* out = samples_[c].data();
    MakeIntegerSamples(&maker_, block, c, out);
    for (uint32_t k = 0; k < block.frames; ++k) out[k] *= 1 << Pcm16Shift;
    quantized.channels[c] = out;
  }
  maker_.clips = clips;
  for (int c = 0; inside > 0 && inside < block.frames && c < channels_; ++c) {
    std::fill(counted_.begin(), counted_.begin() + block.frames, 0);
    for (const SplitOutput& output : outputs_) {
      const uint64_t from = std::max(start, output.first);
      const uint64_t to = std::min(end, output.first + output.frames);
      if (from < to) {
        std::copy(block.channels[c] + (from - start), block.channels[c] + (to - start),
                  counted_.begin() + (from - start));
      }
    }
    FrameBlock part = block;
    part.channels[c] = counted_.data();
    MakeIntegerSamples(&counter, part, c, counted_samples_.data());
  }
  return next_->Write(quantized);
}

Fault Quantizer16::Finish() { return next_->Finish(); }
