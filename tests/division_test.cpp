// The division pass over channel files prepared by the test itself.
#include "decimate/division.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "dsdiff/dsdiff.h"
#include "tests/test_support.h"

namespace {

// Runs the pass in a scratch working directory holding the given channel
// files, and returns what it wrote.
struct PassOutcome {
  Failure failure;
  Bytes written;
};

PassOutcome PassOver(const Bytes* left, const Bytes* right, uint32_t DivNum, uint32_t LastDivSize,
                     unsigned workers = 2) {
  TempDir dir;
  if (left) WriteFile(dir / LeftChannelFile, *left);
  if (right) WriteFile(dir / RightChannelFile, *right);
  char previous[PATH_MAX];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(dir.path.c_str()), 0);
  FILE* out = std::tmpfile();
  DivisionBuffers buffers;
  PassOutcome outcome{DivisionPrepare(workers, &buffers), ""};
  if (outcome.failure == Failure::None) {
    outcome.failure = DivisionPass(out, &buffers, DivNum, LastDivSize, LastDivSize * PcmFrameBytes);
  }
  std::fflush(out);
  std::rewind(out);
  for (int c; (c = std::fgetc(out)) != EOF;) outcome.written.push_back(static_cast<char>(c));
  std::fclose(out);
  EXPECT_EQ(chdir(previous), 0);
  return outcome;
}

// The reference frame of one pass over channel-file bytes.
Bytes ReferenceFrameOf(const Bytes& left, const Bytes& right, size_t frame) {
  const size_t window_bytes = WindowWords * sizeof(ChannelWord);
  return ReferenceFrame(WordsOf(left.substr(frame * sizeof(ChannelWord), window_bytes)).data(),
                        WordsOf(right.substr(frame * sizeof(ChannelWord), window_bytes)).data());
}

TEST(DivisionPass, OneShortDivisionComputesAllButFifteenFrames) {
  const uint32_t words = 40;
  const Bytes left = RandomSound(4 * words, 21), right = RandomSound(4 * words, 22);
  const PassOutcome outcome = PassOver(&left, &right, 1, words);
  ASSERT_EQ(outcome.failure, Failure::None);
  ASSERT_EQ(outcome.written.size(), size_t{6} * words);
  for (uint32_t k = 0; k + OverlapWords < words; ++k) {
    EXPECT_EQ(outcome.written.substr(6 * k, 6), ReferenceFrameOf(left, right, k)) << k;
  }
  // The PCM buffer starts zero-filled: the last 15 frames are zeros.
  EXPECT_EQ(outcome.written.substr(6 * (words - OverlapWords)), Bytes(90, '\0'));
}

TEST(DivisionPass, WorkersChangeNothingAcrossADivisionBoundary) {
  // Two divisions, the second of 40 words; 1, 2 and 3 workers.
  const uint32_t words = DivSize + 40;
  const Bytes left = RandomSound(size_t{4} * words, 25), right = RandomSound(size_t{4} * words, 26);
  const PassOutcome one = PassOver(&left, &right, 2, 40, 1);
  ASSERT_EQ(one.failure, Failure::None);
  ASSERT_EQ(one.written.size(), size_t{6} * words);
  for (unsigned workers : {2u, 3u}) {
    const PassOutcome several = PassOver(&left, &right, 2, 40, workers);
    ASSERT_EQ(several.failure, Failure::None);
    EXPECT_TRUE(several.written == one.written) << workers << " workers";
  }
  // The frames on both sides of the boundary are those of one pass.
  for (size_t frame = DivSize - 20; frame < DivSize + 25; ++frame) {
    ASSERT_EQ(one.written.substr(6 * frame, 6), ReferenceFrameOf(left, right, frame)) << frame;
  }
  // The second division's last 15 frames repeat the first division's frames
  // 25..39, the place they would take in the first.
  EXPECT_EQ(one.written.substr(6 * (DivSize + 25)), one.written.substr(6 * 25, 90));
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
