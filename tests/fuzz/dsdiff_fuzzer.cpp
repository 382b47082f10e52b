// libFuzzer target: the chunk walk over an in-memory container, then the
// split of at most a few groups of whatever sound data it finds.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "dsdiff/dsdiff.h"

namespace {
constexpr uint32_t MaxFuzzGroups = 64;  // keeps every execution short
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen needs at least one byte
  std::vector<uint8_t> copy(data, data + size);
  FILE* in = fmemopen(copy.data(), size, "rb");
  if (!in) return 0;
  SoundChunk sound;
  if (ChunkWalk(in, &sound) == Failure::None) {
    const uint32_t groups = std::min(sound.DsdSize / GroupBytes, MaxFuzzGroups);
    std::vector<uint8_t> left_bytes(4 * groups + 1), right_bytes(4 * groups + 1);
    FILE* left = fmemopen(left_bytes.data(), left_bytes.size(), "wb");
    FILE* right = fmemopen(right_bytes.data(), right_bytes.size(), "wb");
    uint32_t missing = 0;
    if (left && right && SplitGroups(in, left, right, groups, &missing) == Failure::None &&
        missing > groups) {
      __builtin_trap();  // more groups missing than were asked for
    }
    if (left) std::fclose(left);
    if (right) std::fclose(right);
  }
  std::fclose(in);
  return 0;
}
