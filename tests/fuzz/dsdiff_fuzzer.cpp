// libFuzzer target: the DSDIFF chunk walk, or else the DSF head, over an
// in-memory file, then the reading of a few groups of whatever sound it finds.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"

namespace {
constexpr uint32_t MaxFuzzGroups = 64;  // keeps every execution short
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("input", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
  SoundData sound;
  SoundProperties properties;
  Fault fault = ChunkWalk(fd, "input", &sound, &properties);
  if (fault.failure == Failure::NotDsd) fault = ReadDsfHead(fd, "input", &sound, &properties);
  if (!Failed(fault)) {
    const uint32_t groups = std::min(sound.DsdSize / GroupBytes, MaxFuzzGroups);
    const uint32_t present = GroupsPresent(sound, std::min<uint64_t>(size, sound.data_end), groups);
    if (present > groups) __builtin_trap();
    std::vector<uint8_t> buffer(SoundBufferBytes(sound, groups));
    std::vector<ChannelWord> left(groups), right(groups);
    fault = ReadSoundWords(fd, "input", sound, present, 0, groups, buffer.data(), left.data(),
                           right.data());
    if (Failed(fault)) __builtin_trap();  // every group counted present must be readable
  }
  close(fd);
  return 0;
}
