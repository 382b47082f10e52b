// Measuring a stream before it is written: a FrameSink that keeps the peak
// magnitude of the samples it is given and, when asked, their integrated
// loudness and true peak (ITU-R BS.1770, with libebur128), for --gain auto
// and ReplayGain. Writes nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "sink/frame_sink.h"

// ReplayGain 2.0's reference loudness.
constexpr double ReplayGainReferenceLufs = -18.0;

struct Measurement {
  uint64_t peak = 0;           // the largest magnitude, in 24-bit LSB units
  double loudness_lufs = 0.0;  // integrated loudness, when measured
  double true_peak = 0.0;      // the true peak, full scale 1.0, when measured
};

class Measurer final : public FrameSink {
 public:
  // With `loudness`, measures loudness and true peak too.
  Measurer(const StreamFormat& format, bool loudness, uint32_t max_block_frames);
  ~Measurer() override;
  Fault Start() override;
  Fault Write(const FrameBlock& block) override;
  Fault Finish() override;

  const Measurement& Result() const { return result_; }
  // The integrated loudness of several measured streams taken as one (an
  // album of tracks), by libebur128; each must have measured loudness.
  static double LoudnessOfAll(const std::vector<const Measurer*>& measurers);

 private:
  StreamFormat format_;
  bool loudness_;
  uint32_t max_block_frames_;
  void* ebur128_ = nullptr;  // ebur128_state
  std::vector<double> interleaved_;
  Measurement result_;
};

// ReplayGain 2.0 values of a measured stream: the gain that brings its
// loudness to the reference, "-6.52 dB", and its true peak, "0.988123".
struct ReplayGain {
  char gain[24];
  char peak[24];
};
ReplayGain ReplayGainOf(const Measurement& measurement);
