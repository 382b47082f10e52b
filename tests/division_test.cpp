// The division pass over channel files prepared by the test itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>

#include "decimate/division.h"
#include "dsdiff/dsdiff.h"
#include "tests/test_support.h"

namespace {

// Runs the pass in a scratch working directory holding the given channel
// files, and returns what it wrote.
struct PassOutcome {
  Failure failure;
  Bytes written;
};

PassOutcome PassOver(const Bytes* left, const Bytes* right, uint32_t DivNum, uint32_t LastDivSize) {
  TempDir dir;
  if (left) WriteFile(dir / LeftChannelFile, *left);
  if (right) WriteFile(dir / RightChannelFile, *right);
  char previous[PATH_MAX];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(dir.path.c_str()), 0);
  FILE* out = std::tmpfile();
  uint8_t* pcm = nullptr;
  PassOutcome outcome{DivisionPrepare(&pcm), ""};
  if (outcome.failure == Failure::None) {
    outcome.failure = DivisionPass(out, pcm, DivNum, LastDivSize, LastDivSize * PcmFrameBytes);
  }
  std::fflush(out);
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) outcome.written.push_back(static_cast<char>(c));
  std::fclose(out);
  EXPECT_EQ(chdir(previous), 0);
  return outcome;
}

TEST(DivisionPass, OneShortDivisionComputesAllButFifteenFrames) {
  const uint32_t words = 40;
  const Bytes left = RandomSound(4 * words, 21), right = RandomSound(4 * words, 22);
  const PassOutcome outcome = PassOver(&left, &right, 1, words);
  ASSERT_EQ(outcome.failure, Failure::None);
  ASSERT_EQ(outcome.written.size(), size_t{6} * words);
  for (uint32_t k = 0; k + OverlapWords < words; ++k) {
    ChannelWord l[WindowWords], r[WindowWords];
    std::memcpy(l, left.data() + 4 * k, sizeof l);
    std::memcpy(r, right.data() + 4 * k, sizeof r);
    uint8_t frame[PcmFrameBytes];
    DecimationFilter(l, r, frame);
    EXPECT_EQ(outcome.written.substr(6 * k, 6), Bytes(reinterpret_cast<char*>(frame), 6)) << k;
  }
  // The PCM buffer starts zero-filled: the last 15 frames are zeros.
  EXPECT_EQ(outcome.written.substr(6 * (words - OverlapWords)), Bytes(90, '\0'));
}

TEST(DivisionPass, ChannelFilesShorterThanPromisedAreAReadError) {
  const Bytes full = RandomSound(4 * 40, 23), shorter = full.substr(0, 4 * 39 + 2);
  EXPECT_EQ(PassOver(&shorter, &full, 1, 40).failure, Failure::FileRead);
  EXPECT_EQ(PassOver(&full, &shorter, 1, 40).failure, Failure::FileRead);
  // Two divisions promised, far less held.
  EXPECT_EQ(PassOver(&full, &full, 2, 16).failure, Failure::FileRead);
}

TEST(DivisionPass, MissingChannelFileIsAnOpenError) {
  const Bytes full = RandomSound(4 * 40, 24);
  EXPECT_EQ(PassOver(&full, nullptr, 1, 40).failure, Failure::FileOpen);
  EXPECT_EQ(PassOver(nullptr, &full, 1, 40).failure, Failure::FileOpen);
}

}  // namespace
