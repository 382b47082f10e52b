// The standard layout: a WAVE_FORMAT_EXTENSIBLE header, and its writer.
#include <cstring>
#include <new>
#include <string>

#include "base/byte_order.h"
#include "wav/wav.h"

namespace {

constexpr char RiffId[4] = {'R', 'I', 'F', 'F'};  // a file of at most 4 GiB
constexpr char Rf64Id[4] = {'R', 'F', '6', '4'};  // a larger one: its sizes are in "ds64"
constexpr char WaveId[4] = {'W', 'A', 'V', 'E'};  // the form type
constexpr char Ds64Id[4] = {'d', 's', '6', '4'};  // RF64's 64-bit sizes
constexpr char FmtId[4] = {'f', 'm', 't', ' '};
constexpr char FactId[4] = {'f', 'a', 'c', 't'};  // a float file's frame count
constexpr char DataId[4] = {'d', 'a', 't', 'a'};
// "ds64": RIFF size (8), data size (8), sample count (8), table length (4).
constexpr uint32_t Ds64Bytes = 28;
constexpr uint32_t FmtBytes = 40;  // the extensible format: 18 bytes, then cbSize = 22 more
constexpr uint32_t FactBytes = 4;  // the frame count
constexpr uint16_t ExtensibleFormat = 0xFFFE;  // WAVE_FORMAT_EXTENSIBLE
constexpr uint16_t ExtensionBytes = 22;        // valid bits, channel mask, subformat
constexpr int SubformatBytes = 16;
// KSDATAFORMAT_SUBTYPE_PCM, 00000001-0000-0010-8000-00AA00389B71, and
// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 00000003-..., as stored.
constexpr uint8_t PcmSubformat[SubformatBytes] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint8_t FloatSubformat[SubformatBytes] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                    0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint64_t Riff32Limit = 0xFFFFFFFF;  // the largest size a 32-bit field holds
constexpr uint32_t SizeInDs64 = 0xFFFFFFFF;   // RF64: "the size is in ds64"
constexpr uint32_t ChunkHeadBytes = 8;        // id and 32-bit size

void Put(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  out->resize(out->size() + bytes);
  StoreLittleEndian(value, bytes, out->data() + out->size() - bytes);
}

void PutBytes(std::vector<uint8_t>* out, const void* bytes, size_t count) {
  if (count == 0) return;  // an empty vector's data() may be null, which memcpy may not take
  out->resize(out->size() + count);
  std::memcpy(out->data() + out->size() - count, bytes, count);
}

void PutId(std::vector<uint8_t>* out, const char id[4]) { PutBytes(out, id, 4); }

uint64_t DataBytes(const StreamFormat& format, SampleFormat samples) {
  return format.frames * format.channels * SampleBytes(samples);
}

// Interleaves `Channels` channel buffers of 32-bit values as little-endian
// samples of `Bytes` bytes each, the low bytes of each value.
template <int Channels, int Bytes>
void InterleaveFrames(const uint32_t* const channels[], uint32_t frames, uint8_t* out) {
  for (uint32_t k = 0; k < frames; ++k) {
    for (int c = 0; c < Channels; ++c, out += Bytes) {
      const uint32_t value = channels[c][k];
      std::memcpy(out, &value, Bytes);  // a little-endian host: see channel_word.h
    }
  }
}

template <int Bytes>
void Interleave(const uint32_t* const channels[], int count, uint32_t frames, uint8_t* out) {
  switch (count) {
    case 1:
      return InterleaveFrames<1, Bytes>(channels, frames, out);
    case 2:
      return InterleaveFrames<2, Bytes>(channels, frames, out);
    case 3:
      return InterleaveFrames<3, Bytes>(channels, frames, out);
    case 4:
      return InterleaveFrames<4, Bytes>(channels, frames, out);
    case 5:
      return InterleaveFrames<5, Bytes>(channels, frames, out);
    case 6:
      return InterleaveFrames<6, Bytes>(channels, frames, out);
  }
}

// A chunk: its id, its 32-bit size, its data, and a pad byte after data of
// odd size.
void PutChunk(std::vector<uint8_t>* out, const char id[4], const std::string& data) {
  PutId(out, id);
  Put(out, data.size(), 4);
  PutBytes(out, data.data(), data.size());
  if (data.size() & 1) out->push_back(0);
}

// The RIFF INFO fields and the Vorbis comment fields they are taken from.
struct InfoField {
  char id[4];
  const char* comment;
};
constexpr InfoField InfoFields[] = {
    {{'I', 'N', 'A', 'M'}, "TITLE"},       {{'I', 'A', 'R', 'T'}, "ARTIST"},
    {{'I', 'P', 'R', 'D'}, "ALBUM"},       {{'I', 'C', 'R', 'D'}, "DATE"},
    {{'I', 'G', 'N', 'R'}, "GENRE"},       {{'I', 'C', 'M', 'T'}, "COMMENT"},
    {{'I', 'T', 'R', 'K'}, "TRACKNUMBER"}, {{'I', 'C', 'O', 'P'}, "COPYRIGHT"},
};
constexpr char ListId[4] = {'L', 'I', 'S', 'T'};
constexpr char InfoType[4] = {'I', 'N', 'F', 'O'};    // the LIST of text fields
constexpr char Id3ChunkId[4] = {'i', 'd', '3', ' '};  // the ID3v2 tag's own bytes
constexpr char ValueSeparator[] = "; ";               // between several values of a field

// The chunks that carry `tags`: a LIST of INFO fields in UTF-8, each ended
// by a NUL (several values of one field joined), then the ID3v2 tag's own
// bytes. Empty without tags.
std::vector<uint8_t> TagChunks(const TagRecord* tags) {
  std::vector<uint8_t> chunks;
  if (tags == nullptr) return chunks;
  std::vector<uint8_t> info;
  PutId(&info, InfoType);
  for (const InfoField& field : InfoFields) {
    std::string value;
    for (const TagComment& comment : tags->comments) {
      if (comment.name != field.comment) continue;
      value += (value.empty() ? "" : ValueSeparator) + comment.value;
    }
    if (!value.empty()) PutChunk(&info, field.id, value + '\0');
  }
  if (info.size() > sizeof InfoType) {
    PutChunk(&chunks, ListId, std::string(info.begin(), info.end()));
  }
  if (!tags->id3.empty()) PutChunk(&chunks, Id3ChunkId, tags->id3);
  return chunks;
}

}  // namespace

std::vector<uint8_t> StandardWavWriter::Header(const StreamFormat& format, SampleFormat samples,
                                               const TagRecord* tags) {
  const uint64_t data = DataBytes(format, samples);
  const uint64_t pad = data & 1;  // chunks are padded to an even size
  const uint32_t block_align = format.channels * SampleBytes(samples);
  const uint16_t bits = static_cast<uint16_t>(SampleBits(samples));
  const bool floats = samples == SampleFormat::Float32;
  const std::vector<uint8_t> tag_chunks = TagChunks(tags);
  // "WAVE", "fmt " with its head, a float file's "fact", the tags, and the
  // head of "data", on top of the data.
  const uint64_t riff_bytes = 4 + ChunkHeadBytes + FmtBytes +
                              (floats ? ChunkHeadBytes + FactBytes : 0) + tag_chunks.size() +
                              ChunkHeadBytes + data + pad;
  const bool rf64 = riff_bytes > Riff32Limit;
  const uint64_t rf64_riff_bytes = riff_bytes + ChunkHeadBytes + Ds64Bytes;

  std::vector<uint8_t> header;
  PutId(&header, rf64 ? Rf64Id : RiffId);
  Put(&header, rf64 ? SizeInDs64 : riff_bytes, 4);
  PutId(&header, WaveId);
  if (rf64) {
    PutId(&header, Ds64Id);
    Put(&header, Ds64Bytes, 4);
    Put(&header, rf64_riff_bytes, 8);
    Put(&header, data, 8);
    Put(&header, format.frames, 8);
    Put(&header, 0, 4);  // no table of other chunks' sizes
  }
  PutId(&header, FmtId);
  Put(&header, FmtBytes, 4);
  Put(&header, ExtensibleFormat, 2);
  Put(&header, format.channels, 2);
  Put(&header, format.frame_rate, 4);
  Put(&header, uint64_t{format.frame_rate} * block_align, 4);
  Put(&header, block_align, 2);
  Put(&header, bits, 2);
  Put(&header, ExtensionBytes, 2);
  Put(&header, bits, 2);  // valid bits per sample
  Put(&header, ChannelMask(format.speakers, format.channels), 4);
  PutBytes(&header, floats ? FloatSubformat : PcmSubformat, SubformatBytes);
  if (floats) {
    PutId(&header, FactId);
    Put(&header, FactBytes, 4);
    Put(&header, rf64 ? SizeInDs64 : format.frames, 4);
  }
  PutBytes(&header, tag_chunks.data(), tag_chunks.size());
  PutId(&header, DataId);
  Put(&header, rf64 ? SizeInDs64 : data, 4);
  return header;
}

StandardWavWriter::StandardWavWriter(const OutputStream& out, const WriterSettings& settings,
                                     ClipReport* clips)
    : out_(out),
      format_(settings.stream),
      samples_(settings.samples),
      maker_(MakeSampleMaker(settings.samples, settings.dither, settings.stream, clips)),
      tags_(settings.tags),
      max_block_frames_(settings.max_block_frames) {}

Fault StandardWavWriter::Start() {
  try {
    header_ = Header(format_, samples_, tags_);
    bytes_.resize(size_t{max_block_frames_} * format_.channels * SampleBytes(samples_));
    if (samples_ != SampleFormat::Pcm24) {
      for (int c = 0; c < format_.channels; ++c) values_[c].resize(max_block_frames_);
    }
  } catch (const std::bad_alloc&) {
    return Fault{Failure::MemoryAlloc};
  }
  return StartOutput(out_, header_.data(), header_.size());
}

size_t StandardWavWriter::PreparedBytes(uint32_t frames) const {
  return samples_ == SampleFormat::Pcm24 ? size_t{frames} * format_.channels * Pcm24Bytes : 0;
}

void StandardWavWriter::Prepare(FrameBlock* block) const {
  PackPcm24(*block, format_.channels, block->prepared, &block->prepared_clips);
}

Fault StandardWavWriter::Write(const FrameBlock& block) {
  const int channels = format_.channels;
  const int sample_bytes = SampleBytes(samples_);
  const uint8_t* bytes = bytes_.data();
  if (samples_ == SampleFormat::Pcm24) {
    bytes = PackedPcm24(block, channels, bytes_.data(), maker_.clips);
  } else {
    const uint32_t* values[MaxChannels];
    for (int c = 0; c < channels; ++c) {
      if (samples_ == SampleFormat::Float32) {
        MakeFloatSamples(block, c, reinterpret_cast<float*>(values_[c].data()));
      } else {
        MakeIntegerSamples(&maker_, block, c, reinterpret_cast<int32_t*>(values_[c].data()));
      }
      values[c] = values_[c].data();
    }
    if (samples_ == SampleFormat::Float32) {
      Interleave<sizeof(float)>(values, channels, block.frames, bytes_.data());
    } else {
      Interleave<sizeof(int16_t)>(values, channels, block.frames, bytes_.data());
    }
  }
  const size_t size = size_t{block.frames} * channels * sample_bytes;
  const Fault fault = WriteOutput(out_, header_.size() + data_written_, bytes, size);
  data_written_ += size;
  return fault;
}

Fault StandardWavWriter::Finish() {
  if (data_written_ & 1) {
    const uint8_t pad = 0;
    const Fault fault = WriteOutput(out_, header_.size() + data_written_, &pad, 1);
    if (Failed(fault)) return fault;
  }
  // A run of many tracks keeps its writers to the end: their buffers go now.
  std::vector<uint8_t>().swap(bytes_);
  for (std::vector<uint32_t>& values : values_) std::vector<uint32_t>().swap(values);
  return CompleteOutput(out_, header_.data(), header_.size(),
                        header_.size() + data_written_ + (data_written_ & 1));
}
