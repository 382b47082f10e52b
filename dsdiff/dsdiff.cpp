#include "dsdiff/dsdiff.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

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
constexpr int ChunkSizeBytes = 8;         // unsigned, big-endian
constexpr int ChunkHeadBytes = ChunkIdBytes + ChunkSizeBytes;
constexpr uint64_t RateBytes = 4;         // "FS  ": big-endian samples per second
constexpr uint64_t ChannelCountBytes = 2; // "CHNL": big-endian count
constexpr uint64_t ChannelIdBytes = 4;    // "CHNL": one ID per channel after the count
constexpr uint64_t CompressionBytes = 4;  // "CMPR": the type, before its counted name
constexpr long FormHeadSkip = 8 + 4;      // container size, then form type
constexpr long FverSkip = ChunkSizeBytes + 4;  // its size field and 4 data bytes

// Groups per block of the split: 1 MiB of sound data in, 512 KiB out.
constexpr uint32_t SplitBlockGroups = 1u << 17;

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

// Bit reversal of every byte value: the earliest sample moves from bit 7 to bit 0.
constexpr std::array<uint8_t, 256> MakeBitReversal() {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    int reversed = 0;
    for (int bit = 0; bit < 8; ++bit) reversed |= ((value >> bit) & 1) << (7 - bit);
    table[value] = static_cast<uint8_t>(reversed);
  }
  return table;
}
constexpr std::array<uint8_t, 256> BitReversal = MakeBitReversal();

// The channel word of one channel's four bytes of a group, `stride` apart.
ChannelWord WordOf(const uint8_t* first, int stride) {
  return static_cast<ChannelWord>(BitReversal[first[0]]) |
         static_cast<ChannelWord>(BitReversal[first[stride]]) << 8 |
         static_cast<ChannelWord>(BitReversal[first[2 * stride]]) << 16 |
         static_cast<ChannelWord>(BitReversal[first[3 * stride]]) << 24;
}

// Stores words little-endian, as the channel files hold them.
void StoreWordsLittleEndian(const ChannelWord* words, uint32_t count, uint8_t* out) {
  for (uint32_t i = 0; i < count; ++i) {
    out[4 * i] = static_cast<uint8_t>(words[i]);
    out[4 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(words[i] >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(words[i] >> 24);
  }
}

bool WriteWords(FILE* out, const ChannelWord* words, uint32_t count, uint8_t* scratch) {
  StoreWordsLittleEndian(words, count, scratch);
  return std::fwrite(scratch, 4, count, out) == count;
}

// Opens a channel file's lock descriptor and locks it without waiting.
Failure LockChannelFile(const char* path, int* fd) {
  *fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (*fd < 0) return Failure::FileOpen;
  if (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? Failure::ChannelFilesBusy : Failure::FileOpen;
  }
  return Failure::None;
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

Failure SplitGroups(FILE* in, FILE* left, FILE* right, uint32_t groups, uint32_t* missing_groups) {
  const uint32_t block_groups = std::max(1u, std::min(groups, SplitBlockGroups));
  uint8_t* sound = static_cast<uint8_t*>(std::malloc(size_t{block_groups} * GroupBytes));
  ChannelWord* words =
      static_cast<ChannelWord*>(std::malloc(size_t{2} * block_groups * sizeof(ChannelWord)));
  uint8_t* file_bytes = static_cast<uint8_t*>(std::malloc(size_t{block_groups} * sizeof(ChannelWord)));
  Failure failure = sound && words && file_bytes ? Failure::None : Failure::MemoryAlloc;
  ChannelWord* left_words = words;
  ChannelWord* right_words = words + block_groups;
  bool input_ended = false;
  *missing_groups = 0;
  for (uint32_t done = 0; done < groups && failure == Failure::None;) {
    const uint32_t block = std::min(groups - done, block_groups);
    uint32_t whole = 0;  // groups of this block that the input holds entirely
    if (!input_ended) {
      const size_t got = std::fread(sound, 1, size_t{block} * GroupBytes, in);
      whole = static_cast<uint32_t>(got / GroupBytes);
      if (whole < block) {
        if (std::ferror(in)) {
          failure = Failure::FileRead;
          break;
        }
        input_ended = true;
      }
    }
    for (uint32_t g = 0; g < whole; ++g) {
      left_words[g] = WordOf(sound + GroupBytes * g, 2);
      right_words[g] = WordOf(sound + GroupBytes * g + 1, 2);
    }
    for (uint32_t g = whole; g < block; ++g) left_words[g] = right_words[g] = SilenceWord;
    *missing_groups += block - whole;
    if (!WriteWords(left, left_words, block, file_bytes) ||
        !WriteWords(right, right_words, block, file_bytes)) {
      failure = Failure::FileWrite;
    }
    done += block;
  }
  std::free(file_bytes);
  std::free(words);
  std::free(sound);
  return failure;
}

Failure ChannelSplit(FILE* in, uint32_t DsdLR64Size, uint32_t* LastDivSize,
                     uint32_t* missing_groups, ChannelLocks* locks) {
  Failure failure = LockChannelFile(LeftChannelFile, &locks->left);
  if (failure != Failure::None) return failure;
  failure = LockChannelFile(RightChannelFile, &locks->right);
  if (failure != Failure::None) return failure;

  FILE* left = std::fopen(LeftChannelFile, "wb");
  if (!left) return Failure::FileOpen;
  FILE* right = std::fopen(RightChannelFile, "wb");
  if (!right) return Failure::FileOpen;

  failure = SplitGroups(in, left, right, DsdLR64Size, missing_groups);
  if (failure != Failure::None) return failure;

  // The last division must hold a whole filter window.
  if (*LastDivSize < WindowWords) {
    ChannelWord padding[WindowWords];
    uint8_t padding_bytes[sizeof padding];
    const uint32_t count = WindowWords - *LastDivSize;
    for (uint32_t i = 0; i < count; ++i) padding[i] = SilenceWord;
    if (!WriteWords(left, padding, count, padding_bytes) ||
        !WriteWords(right, padding, count, padding_bytes)) {
      return Failure::FileWrite;
    }
    *LastDivSize = WindowWords;
  }
  const bool left_closed = std::fclose(left) == 0;
  const bool right_closed = std::fclose(right) == 0;
  return left_closed && right_closed ? Failure::None : Failure::FileWrite;
}

void ReleaseChannelLocks(ChannelLocks* locks) {
  if (locks->left >= 0) close(locks->left);
  if (locks->right >= 0) close(locks->right);
  locks->left = locks->right = -1;
}
