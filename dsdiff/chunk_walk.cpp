#include <cstring>
#include <limits>

#include "base/io.h"
#include "dsdiff/dsdiff.h"

namespace {

// Chunk identifiers, four bytes each, compared case-sensitively.
constexpr char FVER_ID[4] = {'F', 'V', 'E', 'R'};  // format version
constexpr char DSD_ID[4] = {'D', 'S', 'D', ' '};   // uncompressed sound data
constexpr char PROP_ID[4] = {'P', 'R', 'O', 'P'};  // property chunk
constexpr char SND_ID[4] = {'S', 'N', 'D', ' '};   // property type: sound
// Local chunks of a sound property chunk.
constexpr char FS_ID[4] = {'F', 'S', ' ', ' '};    // sample rate, 4 bytes
constexpr char CHNL_ID[4] = {'C', 'H', 'N', 'L'};  // channel count (2 bytes), then 4-byte IDs
constexpr char CMPR_ID[4] = {'C', 'M', 'P', 'R'};  // compression type (4), then a counted name

constexpr int ChunkIdBytes = 4;
constexpr int ChunkSizeBytes = 8;  // unsigned, big-endian
constexpr int ChunkHeadBytes = ChunkIdBytes + ChunkSizeBytes;
constexpr uint64_t RateBytes = 4;                  // "FS  ": big-endian samples per second
constexpr uint64_t ChannelCountBytes = 2;          // "CHNL": big-endian count
constexpr uint64_t ChannelIdBytes = 4;             // "CHNL": one ID per channel after the count
constexpr uint64_t CompressionBytes = 4;           // "CMPR": the type, before its counted name
constexpr uint64_t FormHeadSkip = 8 + 4;           // container size, then form type
constexpr uint64_t FverSkip = ChunkSizeBytes + 4;  // its size field and 4 data bytes

// A reader of the input that knows its position, as a stream would. Reads
// go through a window of the file, so that a walk over many small chunks
// costs one system call per window, not two per chunk.
constexpr size_t WindowBytes = 4096;

struct Cursor {
  int fd = -1;
  uint64_t pos = 0;
  uint64_t window_start = 0;  // input byte of window[0]
  size_t window_bytes = 0;    // bytes of the input held in window
  uint8_t window[WindowBytes];
};

// Reads `bytes` (at most WindowBytes); false when the input ends first.
bool ReadExactly(Cursor* in, void* buffer, size_t bytes) {
  if (in->pos < in->window_start || in->pos - in->window_start + bytes > in->window_bytes) {
    if (!ReadAt(in->fd, in->window, WindowBytes, in->pos, &in->window_bytes)) {
      in->window_bytes = 0;
      return false;
    }
    in->window_start = in->pos;
    if (in->window_bytes < bytes) return false;
  }
  std::memcpy(buffer, in->window + (in->pos - in->window_start), bytes);
  in->pos += bytes;
  return true;
}

// Skips `bytes` forward. Skipping past the end is allowed; the next read then
// fails and the walk ends. False when the position would leave 63 bits.
bool SkipForward(Cursor* in, uint64_t bytes) {
  constexpr uint64_t MaxPosition = std::numeric_limits<int64_t>::max();
  if (bytes > MaxPosition - in->pos) return false;
  in->pos += bytes;
  return true;
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

// Reads the local chunks of a "PROP" chunk whose data (after the property
// type) spans [in->pos, end) of the input. Returns false when the chunk is
// malformed or cut short: a local head that does not fit, a local chunk that
// runs past `end`, or a known local chunk too short for what it must hold.
// Never reads at or past `end`.
bool ReadSoundProperties(Cursor in, uint64_t end, SoundProperties* found) {
  SoundProperties properties;
  while (in.pos < end) {
    uint8_t head[ChunkHeadBytes];
    if (end - in.pos < ChunkHeadBytes || !ReadExactly(&in, head, ChunkHeadBytes)) return false;
    const uint64_t data_bytes = BigEndian64(head + ChunkIdBytes);
    if (data_bytes > end - in.pos) return false;
    const uint64_t next = in.pos + data_bytes;
    uint8_t data[CompressionBytes + 1];
    if (IdIs(head, FS_ID)) {
      if (data_bytes < RateBytes || !ReadExactly(&in, data, RateBytes)) return false;
      properties.sample_rate = static_cast<uint32_t>(BigEndian(data, RateBytes));
    } else if (IdIs(head, CHNL_ID)) {
      if (data_bytes < ChannelCountBytes || !ReadExactly(&in, data, ChannelCountBytes))
        return false;
      properties.channels = static_cast<uint16_t>(BigEndian(data, ChannelCountBytes));
      properties.has_channels = true;
      if (data_bytes < ChannelCountBytes + ChannelIdBytes * properties.channels) return false;
    } else if (IdIs(head, CMPR_ID)) {
      // The type, then a count byte and that many bytes of name.
      if (data_bytes < CompressionBytes + 1 || !ReadExactly(&in, data, CompressionBytes + 1)) {
        return false;
      }
      if (data_bytes < CompressionBytes + 1 + data[CompressionBytes]) return false;
      std::memcpy(properties.compression, data, CompressionBytes);
    }
    // The pad byte after odd-sized data may be the PROP chunk's own last byte.
    in.pos = next;
    if (data_bytes & 1 && in.pos < end) ++in.pos;
  }
  *found = properties;
  return true;
}

}  // namespace

Fault ChunkWalk(int fd, const char* path, SoundData* sound, SoundProperties* properties) {
  const Fault no_sound = Fault{Failure::NoSoundData, path};
  Cursor in;
  in.fd = fd;
  uint8_t id[ChunkIdBytes];
  uint8_t size[ChunkSizeBytes];
  if (!ReadExactly(&in, id, ChunkIdBytes) || !IdIs(id, DsdiffMagic)) {
    return Fault{Failure::NotDsd, path};
  }
  if (!SkipForward(&in, FormHeadSkip)) return no_sound;
  for (;;) {
    if (!ReadExactly(&in, id, ChunkIdBytes)) return no_sound;
    if (IdIs(id, DSD_ID)) break;
    if (IdIs(id, FVER_ID)) {
      if (!SkipForward(&in, FverSkip)) return no_sound;
      continue;
    }
    if (!ReadExactly(&in, size, ChunkSizeBytes)) return no_sound;
    const uint64_t data_bytes = BigEndian64(size);
    // Chunk data of odd length is followed by one pad byte it does not count.
    if (data_bytes == std::numeric_limits<uint64_t>::max()) return no_sound;
    if (IdIs(id, PROP_ID) && data_bytes <= std::numeric_limits<uint64_t>::max() - in.pos) {
      Cursor prop = in;
      uint8_t type[ChunkIdBytes];
      SoundProperties found;
      if (data_bytes >= ChunkIdBytes && ReadExactly(&prop, type, ChunkIdBytes) &&
          IdIs(type, SND_ID) && ReadSoundProperties(prop, in.pos + data_bytes, &found)) {
        *properties = found;
        if (!IsConvertible(found)) return Fault{Failure::UnsupportedSound, path};
      }
    }
    if (!SkipForward(&in, data_bytes + (data_bytes & 1))) return no_sound;
  }
  if (!ReadExactly(&in, size, ChunkSizeBytes)) return no_sound;
  sound->layout = SoundLayout::Interleaved;
  sound->offset = in.pos;
  sound->declared_bytes = BigEndian64(size);
  sound->data_end = sound->declared_bytes <= std::numeric_limits<uint64_t>::max() - in.pos
                        ? in.pos + sound->declared_bytes
                        : std::numeric_limits<uint64_t>::max();
  sound->sample_rate = properties->sample_rate != 0 ? properties->sample_rate : Dsd64Rate;
  // Only whole groups are converted; bytes of a partial last group are never read.
  MeasureSound(sound->declared_bytes / GroupBytes, sound);
  if (sound->DsdSize < MinDsdSize) return Fault{Failure::DataTooSmall, path};
  return Fault{};
}
