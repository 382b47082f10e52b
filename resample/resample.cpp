#include "resample/resample.h"

#include <soxr.h>

#include <algorithm>
#include <new>

namespace {

constexpr uint32_t OutputRates[] = {44100,  48000,  88200,  96000,  176400,
                                    192000, 352800, 384000, 705600, 768000};
// libsoxr takes and hands out the samples as 32-bit integers, unscaled: they
// keep the pass's units, the 24-bit LSB, and are rounded to the nearest on
// the way out. Its integer output is never dithered.
// Frames given to libsoxr in one call: it keeps its input in a buffer that it
// moves back to its start as it goes, which costs less when calls are short.
constexpr size_t CallFrames = 16384;
// Room for what libsoxr may hand out beyond the ratio in one call.
constexpr uint32_t OutputSlack = 64;
constexpr unsigned OneThread = 1;  // the result depends on the order alone

soxr_t Soxr(void* handle) { return static_cast<soxr_t>(handle); }

}  // namespace

bool IsOutputRate(uint32_t rate) {
  return std::find(std::begin(OutputRates), std::end(OutputRates), rate) != std::end(OutputRates);
}

uint64_t ResampledFrames(uint64_t frames, uint32_t in_rate, uint32_t out_rate) {
  // Exact in 128 bits: frames < 2^64, rates < 2^20.
  return static_cast<uint64_t>(static_cast<unsigned __int128>(frames) * out_rate / in_rate);
}

uint32_t ResampledBlockFrames(uint32_t max_block_frames, uint32_t in_rate, uint32_t out_rate) {
  return static_cast<uint32_t>(ResampledFrames(max_block_frames, in_rate, out_rate)) + 1 +
         OutputSlack;
}

Resampler::Resampler(const StreamFormat& format, uint32_t out_rate, uint32_t max_block_frames,
                     FrameSink* next)
    : format_(format),
      out_rate_(out_rate),

      out_block_frames_(ResampledBlockFrames(max_block_frames, format.frame_rate, out_rate)),
      out_frames_(ResampledFrames(format.frames, format.frame_rate, out_rate)),
      next_(next) {}

Resampler::~Resampler() {
  if (soxr_) soxr_delete(Soxr(soxr_));
}

Fault Resampler::Start() {
  const Fault no_memory{Failure::MemoryAlloc};
  try {
    for (int c = 0; c < format_.channels; ++c) out_[c].resize(out_block_frames_);
  } catch (const std::bad_alloc&) {
    return no_memory;
  }
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT32_S, SOXR_INT32_S);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_LINEAR_PHASE);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(OneThread);
  soxr_error_t error = nullptr;
  soxr_ =
      soxr_create(format_.frame_rate, out_rate_, format_.channels, &error, &io, &quality, &runtime);
  if (!soxr_ || error) return FaultOf(Failure::MemoryAlloc, nullptr, error ? error : "libsoxr");
  return next_->Start();
}

Fault Resampler::Hand(uint32_t frames) {
  frames = static_cast<uint32_t>(std::min<uint64_t>(frames, out_frames_ - handed_));
  if (frames == 0) return Fault{};
  FrameBlock block;
  block.frames = frames;
  for (int c = 0; c < format_.channels; ++c) block.channels[c] = out_[c].data();
  handed_ += frames;
  return next_->Write(block);
}

Fault Resampler::Write(const FrameBlock& block) {
  const int32_t* in[MaxChannels];
  int32_t* out[MaxChannels];
  for (int c = 0; c < format_.channels; ++c) out[c] = out_[c].data();
  // libsoxr takes what fits in the output buffer each call.
  for (size_t taken = 0; taken < block.frames;) {
    for (int c = 0; c < format_.channels; ++c) in[c] = block.channels[c] + taken;
    size_t in_done = 0, out_done = 0;
    soxr_error_t error =
        soxr_process(Soxr(soxr_), in, std::min<size_t>(block.frames - taken, CallFrames), &in_done,
                     out, out_block_frames_, &out_done);
    if (error) return FaultOf(Failure::MemoryAlloc, nullptr, error);
    taken += in_done;
    const Fault fault = Hand(static_cast<uint32_t>(out_done));
    if (Failed(fault)) return fault;
  }
  return Fault{};
}

Fault Resampler::Finish() {
  int32_t* out[MaxChannels];
  for (int c = 0; c < format_.channels; ++c) out[c] = out_[c].data();
  // What libsoxr holds back for its filter's length, then silence up to the
  // stream's length.
  for (;;) {
    size_t out_done = 0;
    soxr_error_t error =
        soxr_process(Soxr(soxr_), nullptr, 0, nullptr, out, out_block_frames_, &out_done);
    if (error) return FaultOf(Failure::MemoryAlloc, nullptr, error);
    if (out_done == 0) break;
    const Fault fault = Hand(static_cast<uint32_t>(out_done));
    if (Failed(fault)) return fault;
  }
  for (int c = 0; c < format_.channels; ++c) std::fill(out_[c].begin(), out_[c].end(), 0);
  while (handed_ < out_frames_) {
    const Fault fault = Hand(out_block_frames_);
    if (Failed(fault)) return fault;
  }
  return next_->Finish();
}
