// Where each group of the sound lies in the input, and reading ranges of it
// as channel words.
#include "sound/sound.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/io.h"

namespace {

constexpr uint32_t ChannelGroupBytes = GroupBytes / 2;  // one channel's 4 bytes of a group
constexpr char UncompressedType[4] = {'D', 'S', 'D', ' '};

// Input byte of byte `i` of channel `channel` (0 left, 1 right) in a
// ChannelBlocks layout.
uint64_t BlockBytePosition(const SoundData& sound, uint64_t i, int channel) {
  const uint64_t block = i / sound.block_bytes;
  return sound.offset + block * 2 * sound.block_bytes + channel * uint64_t{sound.block_bytes} +
         i % sound.block_bytes;
}

// Whether the input holds every byte of group `g`: its last right byte comes
// after all its other bytes in either layout.
bool GroupIsWhole(const SoundData& sound, uint64_t input_bytes, uint64_t g) {
  const uint64_t last = sound.layout == SoundLayout::Interleaved
                            ? sound.offset + (g + 1) * GroupBytes - 1
                            : BlockBytePosition(sound, (g + 1) * ChannelGroupBytes - 1, 1);
  return last < input_bytes;
}

// Copies channel bytes [from, to) of `channel` out of `buffer`, which holds
// the input from byte `buffer_start` on.
void GatherChannel(const SoundData& sound, const uint8_t* buffer, uint64_t buffer_start,
                   uint64_t from, uint64_t to, int channel, uint8_t* out) {
  for (uint64_t i = from; i < to;) {
    const uint64_t run_end = std::min(to, (i / sound.block_bytes + 1) * sound.block_bytes);
    std::memcpy(out + (i - from), buffer + (BlockBytePosition(sound, i, channel) - buffer_start),
                run_end - i);
    i = run_end;
  }
}

Fault ReadWhole(int fd, const char* path, uint8_t* buffer, size_t bytes, uint64_t offset) {
  if (ReadExactlyAt(fd, buffer, bytes, offset)) return Fault{};
  if (errno != 0) return SystemFault(Failure::FileRead, path, errno);
  return FaultOf(Failure::FileRead, path, "the input shrank during the run");
}

}  // namespace

bool IsConvertibleRate(uint32_t sample_rate) {
  for (uint32_t multiple = 1; multiple <= MaxRateMultiple; multiple *= 2) {
    if (sample_rate == Dsd64Rate * multiple || sample_rate == Dsd64Rate48k * multiple) return true;
  }
  return false;
}

bool IsConvertible(const SoundProperties& p) {
  return (p.sample_rate == 0 || IsConvertibleRate(p.sample_rate)) &&
         (!p.has_channels || p.channels == StereoChannels) &&
         (p.compression[0] == '\0' || std::memcmp(p.compression, UncompressedType, 4) == 0);
}

void MeasureSound(uint64_t groups, SoundData* sound) {
  // Only as many groups as 32-bit sizes carry are converted.
  sound->beyond_32_bits = groups > MaxDsdSize / GroupBytes;
  sound->DsdSize = sound->beyond_32_bits ? MaxDsdSize : static_cast<uint32_t>(groups * GroupBytes);
}

uint32_t GroupsPresent(const SoundData& sound, uint64_t input_bytes, uint32_t groups) {
  // Groups are whole from the first on, up to the first that is not.
  uint32_t low = 0, high = groups;  // the answer lies in [low, high]
  while (low < high) {
    const uint32_t mid = low + (high - low + 1) / 2;
    if (GroupIsWhole(sound, input_bytes, mid - 1)) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

size_t SoundBufferBytes(const SoundData& sound, uint32_t count) {
  // Blocks: the words' bytes of both channels, plus up to one partial block
  // pair at each end.
  const size_t interleaved = size_t{count} * GroupBytes;
  if (sound.layout == SoundLayout::Interleaved) return interleaved;
  return interleaved + 4 * size_t{sound.block_bytes};
}

Fault ReadSoundWords(int fd, const char* path, const SoundData& sound, uint32_t groups_present,
                     uint64_t first, uint32_t count, uint8_t* buffer, ChannelWord* left,
                     ChannelWord* right) {
  const uint32_t held =
      first < groups_present
          ? static_cast<uint32_t>(std::min<uint64_t>(count, groups_present - first))
          : 0;
  const WordKernel kernel = BestWordKernel();
  if (held > 0 && sound.layout == SoundLayout::Interleaved) {
    const Fault fault =
        ReadWhole(fd, path, buffer, size_t{held} * GroupBytes, sound.offset + first * GroupBytes);
    if (Failed(fault)) return fault;
    GroupsToWords(kernel, buffer, held, left, right);
  } else if (held > 0) {
    const uint64_t from = first * ChannelGroupBytes;
    const uint64_t to = (first + held) * ChannelGroupBytes;
    const uint64_t start = BlockBytePosition(sound, from, 0);
    const uint64_t end = BlockBytePosition(sound, to - 1, 1) + 1;
    const Fault fault = ReadWhole(fd, path, buffer, end - start, start);
    if (Failed(fault)) return fault;
    uint8_t* left_bytes = reinterpret_cast<uint8_t*>(left);
    uint8_t* right_bytes = reinterpret_cast<uint8_t*>(right);
    GatherChannel(sound, buffer, start, from, to, 0, left_bytes);
    GatherChannel(sound, buffer, start, from, to, 1, right_bytes);
    if (!sound.lsb_first) {
      ReverseBits(kernel, left_bytes, to - from);
      ReverseBits(kernel, right_bytes, to - from);
    }
  }
  std::fill(left + held, left + count, SilenceWord);
  std::fill(right + held, right + count, SilenceWord);
  return Fault{};
}
