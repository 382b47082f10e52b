// The pass over sound held in memory: frames, channel files and the tail of
// the last division, whatever the number of workers and the kind of output.
#include "pass/pass.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "tests/test_support.h"

namespace {

struct PassRun {
  Fault fault;
  Bytes frames, left, right;
};

Bytes ContentsOf(FILE* file) {
  Bytes bytes;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<char>(c));
  return bytes;
}

// Runs every division over `present` groups of interleaved `sound`, which
// the input is taken to hold, in a scratch working directory.
// With `replace_names`, the channel files' names are taken over by other
// files once the pass holds them.
PassRun RunPass(const Bytes& sound, unsigned workers, bool in_order, uint32_t present,
                bool replace_names = false) {
  TempDir dir;
  char previous[PATH_MAX];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(dir.path.c_str()), 0);
  const InputFile in(sound);
  FILE* out = std::tmpfile();
  PassFiles files{};
  files.input = in.fd;
  files.input_path = "in";
  files.sound.DsdSize = present * GroupBytes;
  files.sound.data_end = sound.size();
  files.groups_present = present;
  files.output = fileno(out);
  files.output_path = "out";
  files.in_order = in_order;
  const RunSizes sizes = RunSizesOf(files.sound.DsdSize);
  PassRun run{OpenChannelFiles(&files.channels), {}, {}, {}};
  if (replace_names) {
    for (const char* name : {LeftChannelFile, RightChannelFile}) {
      EXPECT_EQ(rename(name, (std::string(name) + ".moved").c_str()), 0);
      WriteFile(name, "another conversion's words");
    }
  }
  Pass pass;
  if (!Failed(run.fault)) run.fault = PassPrepare(files.sound, workers, &pass);
  for (uint32_t d = 0; d < sizes.DivNum && !Failed(run.fault); ++d) {
    run.fault = PassDivision(&pass, files, sizes, d);
  }
  PassRelease(&pass);
  if (!Failed(run.fault)) run.fault = FinishChannelFiles(&files.channels, ChannelFileWords(sizes));
  CloseChannelFiles(&files.channels);
  run.frames = ContentsOf(out);
  std::fclose(out);
  const std::string suffix = replace_names ? ".moved" : "";
  run.left = ReadFile(LeftChannelFile + suffix);
  run.right = ReadFile(RightChannelFile + suffix);
  if (replace_names) {
    EXPECT_EQ(ReadFile(LeftChannelFile), "another conversion's words");
  }
  EXPECT_EQ(chdir(previous), 0);
  return run;
}

PassRun RunPass(const Bytes& sound, unsigned workers = 2, bool in_order = false) {
  return RunPass(sound, workers, in_order, static_cast<uint32_t>(sound.size() / GroupBytes));
}

Bytes ReferenceFrameOf(const PassRun& run, size_t frame) {
  const std::vector<ChannelWord> left = WordsOf(run.left.substr(4 * frame, 4 * WindowWords));
  const std::vector<ChannelWord> right = WordsOf(run.right.substr(4 * frame, 4 * WindowWords));
  return ReferenceFrame(left.data(), right.data());
}

TEST(Pass, OneShortDivisionComputesAllButFifteenFrames) {
  const uint32_t groups = 40;
  const PassRun run = RunPass(RandomSound(GroupBytes * groups, 21));
  ASSERT_FALSE(Failed(run.fault));
  ASSERT_EQ(run.frames.size(), size_t{6} * groups);
  ASSERT_EQ(run.left.size(), size_t{4} * groups);
  for (uint32_t k = 0; k + OverlapWords < groups; ++k) {
    EXPECT_EQ(run.frames.substr(6 * k, 6), ReferenceFrameOf(run, k)) << k;
  }
  // Nothing computed the last 15 frames: zeros.
  EXPECT_EQ(run.frames.substr(6 * (groups - OverlapWords)), Bytes(90, '\0'));
}

TEST(Pass, WorkersAndOutputKindChangeNothingAcrossADivisionBoundary) {
  // Two divisions, the second of 40 words.
  const uint32_t groups = DivSize + 40;
  const Bytes sound = RandomSound(size_t{GroupBytes} * groups, 25);
  const PassRun one = RunPass(sound, 1);
  ASSERT_FALSE(Failed(one.fault));
  ASSERT_EQ(one.frames.size(), size_t{6} * groups);
  ASSERT_EQ(one.left.size(), size_t{4} * groups);
  for (const auto& [workers, in_order] : {std::pair{3u, false}, {1u, true}}) {
    const PassRun other = RunPass(sound, workers, in_order);
    ASSERT_FALSE(Failed(other.fault));
    EXPECT_TRUE(other.frames == one.frames) << workers << " workers";
    EXPECT_TRUE(other.left == one.left && other.right == one.right) << workers << " workers";
  }
  // The frames on both sides of the boundary are those of one pass.
  for (size_t frame = DivSize - 20; frame < DivSize + 25; ++frame) {
    ASSERT_EQ(one.frames.substr(6 * frame, 6), ReferenceFrameOf(one, frame)) << frame;
  }
  // The second division's last 15 frames repeat the first division's frames
  // 25..39, the place they would take in the first.
  EXPECT_EQ(one.frames.substr(6 * (DivSize + 25)), one.frames.substr(6 * 25, 90));
}

TEST(Pass, ChannelFileNamesTakenOverMidRunChangeNothing) {
  const Bytes sound = RandomSound(GroupBytes * 5000, 24);
  const PassRun plain = RunPass(sound);
  const PassRun taken_over = RunPass(sound, 2, false, 5000, true);
  ASSERT_FALSE(Failed(taken_over.fault));
  EXPECT_TRUE(taken_over.frames == plain.frames);
  EXPECT_TRUE(taken_over.left == plain.left && taken_over.right == plain.right);
}

TEST(Pass, InputThatShrankIsAReadFailure) {
  const Bytes sound = RandomSound(GroupBytes * 40, 23);
  EXPECT_EQ(RunPass(sound.substr(0, GroupBytes * 39 + 3), 2, false, 40).fault.failure,
            Failure::FileRead);
}

}  // namespace
