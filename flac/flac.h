// FLAC output: a FrameSink that encodes the frames with libFLAC, 16 or 24
// bits, into the run's output, with the recording's tags as Vorbis comments and PICTURE
// blocks. On a file it can seek in, the stream info gets the MD5 of the
// samples and a seek table is filled in at the end, and the "fLaC" mark is
// written last, so a run stopped half-way never leaves a file that looks
// complete; on a pipe the sample count is still known beforehand and written,
// and the MD5 stays unset. The caller owns the output's descriptor.
#pragma once

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <cstdint>
#include <vector>

#include "sink/frame_sink.h"
#include "sink/output.h"
#include "sink/samples.h"
#include "tags/tags.h"

constexpr int MinFlacCompression = 0;
constexpr int MaxFlacCompression = 8;
constexpr int DefaultFlacCompression = 5;

// The speakers FLAC assumes for each channel count without a channel-mask
// comment; another layout gets a WAVEFORMATEXTENSIBLE_CHANNEL_MASK comment.
uint32_t DefaultFlacChannelMask(int channels);

// Leaves out of `record` what a FLAC file cannot hold, each with a note, so
// that tags never cost the sound: the characters U+FFFE and U+FFFF (and any
// other that libFLAC refuses in a comment), and the values that would take
// the comment block past MaxFlacBlockBytes, from the last one on.
void FitTagsToFlac(TagRecord* record);

class FlacWriter final : public FrameSink {
 public:
  // Samples of Pcm16 or Pcm24, at the settings' compression level. Counts
  // what saturation costs into `clips`.
  FlacWriter(const OutputStream& out, const WriterSettings& settings, ClipReport* clips);
  ~FlacWriter() override;
  Fault Start() override;
  Fault Write(const FrameBlock& block) override;
  Fault Finish() override;

  // What libFLAC calls back, through the encoder's client data.
  struct Output {
    OutputStream stream;
    uint64_t position = 0;  // the next byte libFLAC writes, from the stream's start
    uint64_t end = 0;       // one past the last byte written
    int os_error = 0;       // errno of a write that failed
  };

 private:
  // Why the encoder stopped: the write that failed, or the encoder's state.
  Fault EncoderFault() const;

  Output output_;
  StreamFormat format_;
  SampleFormat samples_;
  SampleMaker maker_;
  const TagRecord* tags_;
  int compression_;
  uint32_t max_block_frames_;
  FLAC__StreamEncoder* encoder_ = nullptr;
  std::vector<FLAC__StreamMetadata*> metadata_;         // the blocks handed to the encoder
  std::vector<int32_t> samples_of_block_[MaxChannels];  // one block's samples, saturated
};
