#include <cstring>
#include <limits>

#include "dsdiff/dsdiff.h"

namespace {

// Chunk identifiers, four bytes each, compared case-sensitively.
constexpr char FRM8_ID[4] = {'F', 'R', 'M', '8'};  // the container
constexpr char FVER_ID[4] = {'F', 'V', 'E', 'R'};  // format version
constexpr char DSD_ID[4] = {'D', 'S', 'D', ' '};   // uncompressed sound data
constexpr char PROP_ID[4] = {'P', 'R', 'O', 'P'};  // property chunk
constexpr char SND_ID[4] = {'S', 'N', 'D', ' '};   // property type: sound
// Local chunks of a sound property chunk.
constexpr char FS_ID[4] = {'F', 'S', ' ', ' '};    // sample rate, 4 bytes
constexpr char CHNL_ID[4] = {'C', 'H', 'N', 'L'};  // channel count (2 bytes), then 4-byte IDs
constexpr char CMPR_ID[4] = {'C', 'M', 'P', 'R'};  // compression type (4), then a counted name
constexpr char UNCOMPRESSED_ID[4] = {'D', 'S', 'D', ' '};  // compression type: none

constexpr int ChunkIdBytes = 4;
constexpr int ChunkSizeBytes = 8;  // unsigned, big-endian
constexpr int ChunkHeadBytes = ChunkIdBytes + ChunkSizeBytes;
constexpr uint64_t RateBytes = 4;              // "FS  ": big-endian samples per second
constexpr uint64_t ChannelCountBytes = 2;      // "CHNL": big-endian count
constexpr uint64_t ChannelIdBytes = 4;         // "CHNL": one ID per channel after the count
constexpr uint64_t CompressionBytes = 4;       // "CMPR": the type, before its counted name
constexpr long FormHeadSkip = 8 + 4;           // container size, then form type
constexpr long FverSkip = ChunkSizeBytes + 4;  // its size field and 4 data bytes

bool ReadExactly(FILE* in, void* buffer, size_t bytes) {
  return std::fread(buffer, 1, bytes, in) == bytes;
}

bool IdIs(const uint8_t id[ChunkIdBytes], const char expected[ChunkIdBytes]) {
  return std::memcmp(id, expected, ChunkIdBytes) == 0;
}

uint64_t BigEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

uint64_t BigEndian64(const uint8_t bytes[8]) { return BigEndian(bytes, 8); }

bool SeekTo(FILE* in, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return fseeko(in, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// Reads the local chunks of a "PROP" chunk whose data (after the property
// type) spans [start, end) of the stream. Returns false when the chunk is
// malformed or cut short: a local head that does not fit, a local chunk that
// runs past `end`, or a known local chunk too short for what it must hold.
// Never reads at or past `end`.
bool ReadSoundProperties(FILE* in, uint64_t start, uint64_t end, SoundProperties* found) {
  SoundProperties properties;
  for (uint64_t pos = start; pos < end;) {
    uint8_t head[ChunkHeadBytes];
    if (end - pos < ChunkHeadBytes || !SeekTo(in, pos) || !ReadExactly(in, head, ChunkHeadBytes)) {
      return false;
    }
    const uint64_t data_bytes = BigEndian64(head + ChunkIdBytes);
    if (data_bytes > end - pos - ChunkHeadBytes) return false;
    uint8_t data[CompressionBytes + 1];
    if (IdIs(head, FS_ID)) {
      if (data_bytes < RateBytes || !ReadExactly(in, data, RateBytes)) return false;
      properties.sample_rate = static_cast<uint32_t>(BigEndian(data, RateBytes));
    } else if (IdIs(head, CHNL_ID)) {
      if (data_bytes < ChannelCountBytes || !ReadExactly(in, data, ChannelCountBytes)) return false;
      properties.channels = static_cast<uint16_t>(BigEndian(data, ChannelCountBytes));
      properties.has_channels = true;
      if (data_bytes < ChannelCountBytes + ChannelIdBytes * properties.channels) return false;
    } else if (IdIs(head, CMPR_ID)) {
      // The type, then a count byte and that many bytes of name.
      if (data_bytes < CompressionBytes + 1 || !ReadExactly(in, data, CompressionBytes + 1)) {
        return false;
      }
      if (data_bytes < CompressionBytes + 1 + data[CompressionBytes]) return false;
      std::memcpy(properties.compression, data, CompressionBytes);
    }
    // The pad byte after odd-sized data may be the PROP chunk's own last byte.
    pos += ChunkHeadBytes + data_bytes;
    if (data_bytes & 1 && pos < end) ++pos;
  }
  *found = properties;
  return true;
}

bool IsConvertible(const SoundProperties& p) {
  return (p.sample_rate == 0 || p.sample_rate == Dsd64Rate) &&
         (!p.has_channels || p.channels == StereoChannels) &&
         (p.compression[0] == '\0' || std::memcmp(p.compression, UNCOMPRESSED_ID, 4) == 0);
}

// Skips `bytes` forward. Seeking past the end is allowed; the next read then
// fails and the walk ends.
bool SkipForward(FILE* in, uint64_t bytes) {
  if (bytes > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return fseeko(in, static_cast<off_t>(bytes), SEEK_CUR) == 0;
}

}  // namespace

Failure ChunkWalk(FILE* in, SoundChunk* sound) {
  uint8_t id[ChunkIdBytes];
  uint8_t size[ChunkSizeBytes];
  if (!ReadExactly(in, id, ChunkIdBytes) || !IdIs(id, FRM8_ID)) return Failure::NotDsdiff;
  if (!SkipForward(in, FormHeadSkip)) return Failure::NoSoundData;
  for (;;) {
    if (!ReadExactly(in, id, ChunkIdBytes)) return Failure::NoSoundData;
    if (IdIs(id, DSD_ID)) break;
    if (IdIs(id, FVER_ID)) {
      if (!SkipForward(in, FverSkip)) return Failure::NoSoundData;
      continue;
    }
    if (!ReadExactly(in, size, ChunkSizeBytes)) return Failure::NoSoundData;
    const uint64_t data_bytes = BigEndian64(size);
    // Chunk data of odd length is followed by one pad byte it does not count.
    if (data_bytes == std::numeric_limits<uint64_t>::max()) return Failure::NoSoundData;
    const off_t data_start = ftello(in);
    if (IdIs(id, PROP_ID) && data_start >= 0 &&
        data_bytes <= std::numeric_limits<uint64_t>::max() - data_start) {
      uint8_t type[ChunkIdBytes];
      const uint64_t data_end = data_start + data_bytes;
      SoundProperties properties;
      if (data_bytes >= ChunkIdBytes && ReadExactly(in, type, ChunkIdBytes) && IdIs(type, SND_ID) &&
          ReadSoundProperties(in, data_start + ChunkIdBytes, data_end, &properties)) {
        sound->properties = properties;
        if (!IsConvertible(properties)) return Failure::UnsupportedSound;
      }
      // Back to the chunk's data, to skip it like any other.
      if (!SeekTo(in, data_start)) return Failure::NoSoundData;
    }
    if (!SkipForward(in, data_bytes + (data_bytes & 1))) return Failure::NoSoundData;
  }
  if (!ReadExactly(in, size, ChunkSizeBytes)) return Failure::NoSoundData;
  sound->declared_bytes = BigEndian64(size);
  // Only whole groups are converted, and only as many as 32-bit sizes carry.
  sound->beyond_32_bits = sound->declared_bytes > UINT32_MAX;
  sound->DsdSize = sound->beyond_32_bits
                       ? MaxDsdSize
                       : static_cast<uint32_t>(sound->declared_bytes) & ~(GroupBytes - 1);
  if (sound->DsdSize < MinDsdSize) return Failure::DataTooSmall;
  return Failure::None;
}
