#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/byte_order.h"
#include "base/io.h"
#include "dsf/dsf.h"
#include "tags/tags.h"

namespace {

// The head: three chunks, each a 4-byte id and a 64-bit little-endian size
// that counts the chunk's own 12-byte head.
constexpr char FMT_ID[4] = {'f', 'm', 't', ' '};   // the sound's format
constexpr char DATA_ID[4] = {'d', 'a', 't', 'a'};  // the sound, in channel blocks
constexpr uint64_t DsdChunkBytes = 28;             // head, file size (8), ID3 tag offset (8)
constexpr uint64_t FmtChunkBytes = 52;             // head and the fields below
constexpr uint64_t DataHeadBytes = 12;             // head of the "data" chunk
constexpr uint64_t HeadBytes = DsdChunkBytes + FmtChunkBytes + DataHeadBytes;

constexpr size_t IdBytes = 4;
constexpr size_t SizeOffset = 4;        // a chunk's size field, after its id
constexpr size_t TagOffsetOffset = 20;  // "DSD " chunk: where the ID3v2 tag lies, 8 bytes
// Fields of the "fmt " chunk, as offsets in the file.
constexpr size_t FmtOffset = DsdChunkBytes;
constexpr size_t VersionOffset = FmtOffset + 12;        // format version, 4 bytes
constexpr size_t FormatIdOffset = FmtOffset + 16;       // format id, 4 bytes
constexpr size_t ChannelTypeOffset = FmtOffset + 20;    // the layout, 4 bytes
constexpr size_t ChannelCountOffset = FmtOffset + 24;   // 4 bytes
constexpr size_t SampleRateOffset = FmtOffset + 28;     // samples per second, 4 bytes
constexpr size_t BitsPerSampleOffset = FmtOffset + 32;  // 1 or 8, 4 bytes
constexpr size_t SampleCountOffset = FmtOffset + 36;    // per channel, 8 bytes
constexpr size_t BlockBytesOffset = FmtOffset + 44;     // per channel, 4 bytes
constexpr size_t DataOffset = DsdChunkBytes + FmtChunkBytes;

constexpr uint32_t FormatVersion = 1;
constexpr uint32_t RawDsdFormat = 0;
constexpr uint32_t LsbFirstBits = 1;  // earliest sample in each byte's bit 0
constexpr uint32_t MsbFirstBits = 8;  // earliest sample in bit 7, as in DSDIFF
constexpr uint64_t SamplesPerByte = 8;

// The channel types 1 to 7: each layout's channels in the file's order.
struct ChannelType {
  int channels;
  Speaker speakers[MaxChannels];
};
constexpr ChannelType ChannelTypes[] = {
    {1, {FrontCenter}},                                                            // 1: mono
    {2, {FrontLeft, FrontRight}},                                                  // 2: stereo
    {3, {FrontLeft, FrontRight, FrontCenter}},                                     // 3: 3 channels
    {4, {FrontLeft, FrontRight, BackLeft, BackRight}},                             // 4: quad
    {4, {FrontLeft, FrontRight, FrontCenter, LowFrequency}},                       // 5: 4 channels
    {5, {FrontLeft, FrontRight, FrontCenter, BackLeft, BackRight}},                // 6: 5 channels
    {6, {FrontLeft, FrontRight, FrontCenter, LowFrequency, BackLeft, BackRight}},  // 7: 5.1
};
constexpr uint32_t FirstChannelType = 1;
constexpr uint32_t LastChannelType = 7;

uint64_t LittleEndian(const uint8_t* bytes, int count) { return LoadLittleEndian(bytes, count); }

Refusal RefusalOf(const SoundProperties& p) {
  if (!IsConvertibleRate(p.sample_rate)) return Refusal::Rate;
  if (p.channels == 0 || p.channels > MaxChannels) return Refusal::Channels;
  if (p.channel_type < FirstChannelType || p.channel_type > LastChannelType ||
      ChannelTypes[p.channel_type - FirstChannelType].channels != static_cast<int>(p.channels)) {
    return Refusal::ChannelType;
  }
  return Refusal::None;
}

bool IdAt(const uint8_t* head, size_t offset, const char id[IdBytes]) {
  return std::memcmp(head + offset, id, IdBytes) == 0;
}

}  // namespace

Fault ReadDsfHead(int fd, const char* path, SoundSource* source, SoundProperties* properties) {
  const Fault not_dsf{Failure::NotDsd, path};
  uint8_t head[HeadBytes];
  if (!ReadExactlyAt(fd, head, HeadBytes, 0)) return not_dsf;
  const uint32_t bits = static_cast<uint32_t>(LittleEndian(head + BitsPerSampleOffset, 4));
  const uint32_t block_bytes = static_cast<uint32_t>(LittleEndian(head + BlockBytesOffset, 4));
  const uint64_t data_bytes = LittleEndian(head + DataOffset + SizeOffset, 8);
  if (!IdAt(head, 0, DsfMagic) || LittleEndian(head + SizeOffset, 8) != DsdChunkBytes ||
      !IdAt(head, FmtOffset, FMT_ID) ||
      LittleEndian(head + FmtOffset + SizeOffset, 8) != FmtChunkBytes ||
      LittleEndian(head + VersionOffset, 4) != FormatVersion ||
      LittleEndian(head + FormatIdOffset, 4) != RawDsdFormat ||
      (bits != LsbFirstBits && bits != MsbFirstBits) || block_bytes == 0 ||
      block_bytes > MaxDsfBlockBytes || !IdAt(head, DataOffset, DATA_ID) ||
      data_bytes < DataHeadBytes || LittleEndian(head + SampleRateOffset, 4) == 0) {
    return not_dsf;
  }
  SoundProperties found;
  found.channels = static_cast<uint32_t>(LittleEndian(head + ChannelCountOffset, 4));
  found.channel_type = static_cast<uint32_t>(LittleEndian(head + ChannelTypeOffset, 4));
  found.sample_rate = static_cast<uint32_t>(LittleEndian(head + SampleRateOffset, 4));
  found.refusal = RefusalOf(found);
  *properties = found;
  if (found.refusal != Refusal::None) return Fault{Failure::UnsupportedSound, path};

  const ChannelType& type = ChannelTypes[found.channel_type - FirstChannelType];
  const uint64_t samples = LittleEndian(head + SampleCountOffset, 8);
  source->sample_rate = found.sample_rate;
  source->channels = type.channels;
  OrderChannels(type.speakers, type.channels, source);
  source->container = "DSF";
  source->layout = SoundLayout::ChannelBlocks;
  source->offset = HeadBytes;
  source->data_end = DataOffset + std::min(data_bytes, UINT64_MAX - DataOffset);
  const uint64_t channel_bytes = samples / SamplesPerByte + (samples % SamplesPerByte != 0);
  source->declared_bytes =
      channel_bytes > UINT64_MAX / type.channels ? UINT64_MAX : channel_bytes * type.channels;
  source->block_bytes = block_bytes;
  source->lsb_first = bits == LsbFirstBits;
  source->words = samples / WordSamples;
  source->tag_offset = LittleEndian(head + TagOffsetOffset, 8);
  source->fd = fd;
  source->path = path;
  if (source->words < MinSourceWords) return Fault{Failure::DataTooSmall, path};
  return Fault{};
}

void ReadDsfDetails(uint64_t input_bytes, SoundSource* source) {
  if (source->tag_offset == 0) return;
  // A tag within the head would be no tag: it points where none can be.
  const uint64_t offset = source->tag_offset;
  const uint64_t available = offset >= HeadBytes && offset < input_bytes ? input_bytes - offset : 0;
  ReadId3TagAt(source->fd, offset, available, &source->tags);
}
