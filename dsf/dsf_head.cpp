#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/io.h"
#include "dsf/dsf.h"

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
constexpr size_t SizeOffset = 4;  // a chunk's size field, after its id
// Fields of the "fmt " chunk, as offsets in the file.
constexpr size_t FmtOffset = DsdChunkBytes;
constexpr size_t VersionOffset = FmtOffset + 12;        // format version, 4 bytes
constexpr size_t FormatIdOffset = FmtOffset + 16;       // format id, 4 bytes
constexpr size_t ChannelCountOffset = FmtOffset + 24;   // after the channel type
constexpr size_t SampleRateOffset = FmtOffset + 28;     // samples per second, 4 bytes
constexpr size_t BitsPerSampleOffset = FmtOffset + 32;  // 1 or 8, 4 bytes
constexpr size_t SampleCountOffset = FmtOffset + 36;    // per channel, 8 bytes
constexpr size_t BlockBytesOffset = FmtOffset + 44;     // per channel, 4 bytes
constexpr size_t DataOffset = DsdChunkBytes + FmtChunkBytes;

constexpr uint32_t FormatVersion = 1;
constexpr uint32_t RawDsdFormat = 0;
constexpr uint32_t LsbFirstBits = 1;  // earliest sample in each byte's bit 0
constexpr uint32_t MsbFirstBits = 8;  // earliest sample in bit 7, as in DSDIFF
constexpr uint64_t SamplesPerGroup = WordSamples;
constexpr uint64_t SamplesPerByte = 8;

uint64_t LittleEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

bool IdAt(const uint8_t* head, size_t offset, const char id[IdBytes]) {
  return std::memcmp(head + offset, id, IdBytes) == 0;
}

}  // namespace

Fault ReadDsfHead(int fd, const char* path, SoundData* sound, SoundProperties* properties) {
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
  found.channels = static_cast<uint16_t>(
      std::min<uint64_t>(LittleEndian(head + ChannelCountOffset, 4), UINT16_MAX));
  found.has_channels = true;
  found.sample_rate = static_cast<uint32_t>(LittleEndian(head + SampleRateOffset, 4));
  *properties = found;
  if (!IsConvertible(found)) return Fault{Failure::UnsupportedSound, path};

  const uint64_t samples = LittleEndian(head + SampleCountOffset, 8);
  sound->layout = SoundLayout::ChannelBlocks;
  sound->offset = HeadBytes;
  sound->data_end = DataOffset + std::min(data_bytes, UINT64_MAX - DataOffset);
  sound->declared_bytes = 2 * ((samples / SamplesPerByte) + (samples % SamplesPerByte != 0));
  sound->sample_rate = found.sample_rate;
  sound->block_bytes = block_bytes;
  sound->lsb_first = bits == LsbFirstBits;
  MeasureSound(samples / SamplesPerGroup, sound);
  if (sound->DsdSize < MinDsdSize) return Fault{Failure::DataTooSmall, path};
  return Fault{};
}
