// libFuzzer target: the chunk walk over an in-memory container, then the
// split of at most a few groups of whatever sound data it finds.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "dsdiff/dsdiff.h"

namespace {
constexpr uint32_t MaxFuzzGroups = 64;  // keeps every execution short
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The walk reads a stream, the split reads the same file at offsets.
  const int in_fd = memfd_create("input", MFD_CLOEXEC);
  if (in_fd < 0 || write(in_fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
  FILE* in = fdopen(in_fd, "rb");
  std::rewind(in);
  SoundChunk sound;
  if (ChunkWalk(in, &sound) == Failure::None) {
    const uint32_t groups = std::min(sound.DsdSize / GroupBytes, MaxFuzzGroups);
    const int left = memfd_create("left", MFD_CLOEXEC);
    const int right = memfd_create("right", MFD_CLOEXEC);
    uint32_t missing = 0;
    const Failure failure = SplitGroups(in_fd, static_cast<uint64_t>(ftello(in)), left, right,
                                        groups, groups + 3, &missing);
    if (failure != Failure::None || missing > groups) __builtin_trap();
    close(left);
    close(right);
  }
  std::fclose(in);
  return 0;
}
