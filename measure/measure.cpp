#include "measure/measure.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "sink/samples.h"

namespace {

constexpr double SampleScale = 1.0 / FullScale24;  // libebur128 takes full scale as 1.0

ebur128_state* State(void* handle) { return static_cast<ebur128_state*>(handle); }

// The loudness weighting of each speaker: the low-frequency channel counts
// for nothing, the surround pair for +1.5 dB, a channel of unknown position
// as a front one.
int ChannelOf(Speaker speaker) {
  switch (speaker) {
    case FrontLeft:
      return EBUR128_LEFT;
    case FrontRight:
      return EBUR128_RIGHT;
    case FrontCenter:
      return EBUR128_CENTER;
    case LowFrequency:
      return EBUR128_UNUSED;
    case BackLeft:
      return EBUR128_LEFT_SURROUND;
    case BackRight:
      return EBUR128_RIGHT_SURROUND;
    case NoSpeaker:
      break;
  }
  return EBUR128_CENTER;
}

}  // namespace

Measurer::Measurer(const StreamFormat& format, bool loudness, uint32_t max_block_frames)
    : format_(format), loudness_(loudness), max_block_frames_(max_block_frames) {}

Measurer::~Measurer() {
  if (ebur128_) {
    ebur128_state* state = State(ebur128_);
    ebur128_destroy(&state);
  }
}

Fault Measurer::Start() {
  if (!loudness_) return Fault{};
  try {
    interleaved_.resize(size_t{max_block_frames_} * format_.channels);
  } catch (const std::bad_alloc&) {
    return Fault{Failure::MemoryAlloc};
  }
  ebur128_ =
      ebur128_init(format_.channels, format_.frame_rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
  if (!ebur128_) return Fault{Failure::MemoryAlloc};
  for (int c = 0; c < format_.channels; ++c) {
    ebur128_set_channel(State(ebur128_), c, ChannelOf(format_.speakers[c]));
  }
  return Fault{};
}

Fault Measurer::Write(const FrameBlock& block) {
  for (int c = 0; c < format_.channels; ++c) {
    for (uint32_t k = 0; k < block.frames; ++k) {
      result_.peak = std::max<uint64_t>(result_.peak, std::llabs(block.channels[c][k]));
    }
  }
  if (!loudness_) return Fault{};
  for (uint32_t k = 0; k < block.frames; ++k) {
    for (int c = 0; c < format_.channels; ++c) {
      interleaved_[size_t{k} * format_.channels + c] = block.channels[c][k] * SampleScale;
    }
  }
  if (ebur128_add_frames_double(State(ebur128_), interleaved_.data(), block.frames) !=
      EBUR128_SUCCESS) {
    return Fault{Failure::MemoryAlloc};
  }
  return Fault{};
}

double Measurer::LoudnessOfAll(const std::vector<const Measurer*>& measurers) {
  std::vector<ebur128_state*> states;
  for (const Measurer* m : measurers) {
    if (m->ebur128_) states.push_back(State(m->ebur128_));
  }
  double loudness = -HUGE_VAL;
  if (!states.empty()) ebur128_loudness_global_multiple(states.data(), states.size(), &loudness);
  return loudness;
}

Fault Measurer::Finish() {
  if (!loudness_) return Fault{};
  ebur128_loudness_global(State(ebur128_), &result_.loudness_lufs);
  result_.true_peak = 0.0;
  for (int c = 0; c < format_.channels; ++c) {
    double peak = 0.0;
    ebur128_true_peak(State(ebur128_), c, &peak);
    result_.true_peak = std::max(result_.true_peak, peak);
  }
  return Fault{};
}

ReplayGain ReplayGainOf(const Measurement& measurement) {
  ReplayGain values;
  std::snprintf(values.gain, sizeof values.gain, "%.2f dB",
                ReplayGainReferenceLufs - measurement.loudness_lufs);
  std::snprintf(values.peak, sizeof values.peak, "%.6f", measurement.true_peak);
  return values;
}
