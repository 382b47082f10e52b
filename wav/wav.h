// WAV output: the two writers of 24-bit PCM WAV files, each a FrameSink.
// The original writer makes the converter's first format, byte for byte: a
// 44-byte header that declares every frame but the last 16 windows' worth,
// the frames, then trailing bytes past the RIFF chunk. The standard writer
// makes what every reader expects: WAVE_FORMAT_EXTENSIBLE with the channel
// mask, a RIFF (or, past 4 GiB, RF64) size that covers the whole file, and
// nothing after it. Both saturate samples to 24 bits. The caller owns the
// output's descriptor.
#pragma once

#include <cstdint>
#include <vector>

#include "base/channel_word.h"
#include "sink/frame_sink.h"
#include "sink/output.h"
#include "sink/samples.h"
#include "tags/tags.h"

// ---- The original layout ----------------------------------------------------

constexpr uint32_t DivSize = 0x800000;      // words per channel in a full division
constexpr uint32_t OriginalFrameBytes = 6;  // left sample, then right, 3 bytes each
constexpr uint32_t DivWavSize = DivSize * OriginalFrameBytes;  // PCM bytes of a full division
constexpr uint32_t OriginalHeaderBytes = 44;
constexpr uint32_t MinDsdSize = 128;         // 16 groups: one filter window
constexpr uint32_t MaxDsdSize = 0xFFFFFFF8;  // the largest multiple of 8 in 32 bits
constexpr uint32_t GroupBytes = 8;           // a group: one word of each of two channels

// The sizes of an original run, all derived from DsdSize before any sound is
// read, named as the size report prints them.
struct RunSizes {
  uint32_t DsdSize;           // bytes of sound to convert
  uint32_t DsdLR64Size;       // groups: words per channel taken from the input
  uint32_t DivNum;            // divisions, the last one possibly short
  uint32_t FoundLastDivSize;  // words of the last division that the sound gives
  uint32_t LastDivSize;       // the same, padded with SilenceWord to a whole window
  uint32_t WavSize;           // the data size the WAV header declares
  uint32_t WLastDivSize;      // PCM bytes written for the last division
};

// DsdSize for `words` words per channel of stereo sound: as many whole
// groups as 32 bits carry. `*beyond_32_bits` says that the sound is longer.
uint32_t DsdSizeOf(uint64_t words, bool* beyond_32_bits);

RunSizes RunSizesOf(uint32_t DsdSize);

// Words in each channel file: every group's word, then the padding.
uint64_t ChannelFileWords(const RunSizes& sizes);
// Frames the filter computes: one per word, but for the last 15 words.
uint64_t ComputedFrames(const RunSizes& sizes);
// PCM bytes written: DivWavSize for each full division, then WLastDivSize.
uint64_t PcmBytes(const RunSizes& sizes);

// The 44-byte header: PCM, 2 channels, `frame_rate` frames (and 6 x
// `frame_rate` bytes) per second, 24 bits, WavSize + 36 at offset 4, WavSize
// at offset 40.
void BuildOriginalHeader(uint32_t WavSize, uint32_t frame_rate,
                         uint8_t header[OriginalHeaderBytes]);

// Writes the header, then every frame the filter computes (ComputedFrames),
// then the last division's final 15 frames as the design's buffer held them:
// the frames a previous full division computed at the same place, or zeros.
class OriginalWavWriter final : public FrameSink {
 public:
  // Counts what saturation costs into `clips`.
  OriginalWavWriter(const OutputStream& out, const RunSizes& sizes, uint32_t frame_rate,
                    uint32_t max_block_frames, ClipReport* clips);
  Fault Start() override;
  // Packs the frames on the thread that made them.
  size_t PreparedBytes(uint32_t frames) const override;
  void Prepare(FrameBlock* block) const override;
  Fault Write(const FrameBlock& block) override;
  Fault Finish() override;

 private:
  OutputStream out_;
  RunSizes sizes_;
  uint8_t header_[OriginalHeaderBytes];
  uint32_t max_block_frames_;
  std::vector<uint8_t> bytes_;  // one block's frames
  uint64_t frames_written_ = 0;
  uint64_t tail_first_frame_;  // run frame of the kept tail, or UINT64_MAX when none
  uint8_t tail_[OverlapWords * OriginalFrameBytes] = {};
  ClipReport* clips_;
};

// ---- The standard layout ----------------------------------------------------

constexpr uint32_t Pcm24Bytes = 3;  // a 24-bit sample, least significant byte first

// Writes a WAVE_FORMAT_EXTENSIBLE file of `format.frames` frames: the
// channels in the order of their speakers' mask bits (those without one
// last), samples of `samples` (16 or 24-bit PCM, or 32-bit float with a
// "fact" chunk), a pad byte after data of odd size. A file of more than
// 4 GiB is RF64, with a "ds64" chunk. Tags, when given, go before the data: a
// LIST of INFO fields (INAM title, IART artist, IPRD album, ICRD date, IGNR
// genre, ICMT comment, ITRK track, ICOP copyright, in UTF-8) and the ID3v2
// tag's own bytes in an "id3 " chunk.
class StandardWavWriter final : public FrameSink {
 public:
  // Samples of 16 or 24-bit PCM, or 32-bit float. Counts what saturation
  // costs into `clips`.
  StandardWavWriter(const OutputStream& out, const WriterSettings& settings, ClipReport* clips);
  Fault Start() override;
  // 24-bit samples are packed on the thread that made them.
  size_t PreparedBytes(uint32_t frames) const override;
  void Prepare(FrameBlock* block) const override;
  Fault Write(const FrameBlock& block) override;
  Fault Finish() override;

  // The header for `format`, `samples` and `tags`: the bytes before the
  // first sample.
  static std::vector<uint8_t> Header(const StreamFormat& format, SampleFormat samples,
                                     const TagRecord* tags);

 private:
  OutputStream out_;
  StreamFormat format_;
  SampleFormat samples_;
  SampleMaker maker_;
  const TagRecord* tags_;
  std::vector<uint8_t> header_;
  uint32_t max_block_frames_;
  std::vector<uint32_t> values_[MaxChannels];  // one block's 16-bit or float samples
  std::vector<uint8_t> bytes_;                 // one block's frames
  uint64_t data_written_ = 0;                  // bytes of samples so far
};

// Packs `block` as interleaved 24-bit little-endian samples, saturated to
// -2^23 .. 2^23 - 1, `channels` per frame, into `out`; counts the saturated
// samples and the peak into `clips`.
void PackPcm24(const FrameBlock& block, int channels, uint8_t* out, ClipReport* clips);

// The block's packed 24-bit frames: those its Prepare packed, whose counts
// then join `clips`, or else packed now into `scratch`.
const uint8_t* PackedPcm24(const FrameBlock& block, int channels, uint8_t* scratch,
                           ClipReport* clips);
