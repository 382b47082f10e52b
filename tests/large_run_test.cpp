// Whole runs of the dff2wav executable on inputs of 64 MiB, around the
// boundary between a first and a second division.
#include <gtest/gtest.h>

#include "decimate/fast_filter.h"
#include "decimate/filter.h"
#include "dsdiff/dsdiff.h"
#include "tests/test_support.h"

namespace {

// The three lines printed once the sound data is found.
Bytes DivisionReport(uint32_t groups, uint32_t div_num, uint32_t last_div) {
  char text[128];
  std::snprintf(text, sizeof text, "DsdLR64Size = %08X\nDivNum = %08X\nLastDivSize = %08X\n",
                groups, div_num, last_div);
  return text;
}

// All six lines, the WAV sizes following the split.
Bytes SizeReport(uint32_t groups, uint32_t div_num, uint32_t last_div, uint32_t wav_size,
                 uint32_t w_last_div) {
  char text[128];
  std::snprintf(text, sizeof text, "WavSize = %08X\nDivWavSize = 03000000\nWLastDivSize = %08X\n",
                wav_size, w_last_div);
  return DivisionReport(groups, div_num, last_div) + text;
}

// Checks that the frames the converter computed equal one pass over the
// channel files: all of them against the fast evaluation in a single call,
// and those near a division boundary and a spread of others against the
// reference itself.
void ExpectFramesMatchOnePass(const Bytes& wav, const std::vector<ChannelWord>& left,
                              const std::vector<ChannelWord>& right, size_t computed_frames) {
  std::vector<int32_t> samples[2] = {std::vector<int32_t>(computed_frames),
                                     std::vector<int32_t>(computed_frames)};
  DecimateChannel(left.data(), computed_frames, 1.0, samples[0].data());
  DecimateChannel(right.data(), computed_frames, 1.0, samples[1].data());
  FrameBlock block;
  block.channels[0] = samples[0].data();
  block.channels[1] = samples[1].data();
  block.frames = static_cast<uint32_t>(computed_frames);
  Bytes one_pass(computed_frames * OriginalFrameBytes, '\0');
  ClipReport clips;
  PackPcm24(block, 2, reinterpret_cast<uint8_t*>(one_pass.data()), &clips);
  EXPECT_TRUE(wav.compare(44, one_pass.size(), one_pass) == 0);
  auto check = [&](size_t frame) {
    ASSERT_EQ(wav.substr(44 + OriginalFrameBytes * frame, OriginalFrameBytes),
              ReferenceFrame(&left[frame], &right[frame]))
        << "frame " << frame;
  };
  for (size_t frame = 0; frame < computed_frames; frame += 10007) check(frame);
  for (size_t frame = DivSize - 20; frame < std::min<size_t>(computed_frames, DivSize + 20);
       ++frame) {
    check(frame);
  }
  check(computed_frames - 1);
}

// Converts `groups` groups of random sound and reads back what the run left.
struct LargeRun {
  RunResult run;
  Bytes wav;
  std::vector<ChannelWord> left, right;
};

LargeRun ConvertRandom(uint32_t groups, uint32_t seed, bool as_dsf = false) {
  TempDir dir;
  const Bytes sound = RandomSound(size_t{groups} * 8, seed);
  WriteFile(dir / "in.dff", as_dsf ? DsfOf(sound, DsfOptions{true}) : DsdiffOf(sound));
  LargeRun large{RunConverter(dir.path, {"in.dff", "out.wav"}), ReadFile(dir / "out.wav"),
                 WordsOf(ReadFile(dir / LeftChannelFile)),
                 WordsOf(ReadFile(dir / RightChannelFile))};
  return large;
}

TEST(LargeRun, TwoDivisionsWithSixteenWordsInTheLast) {
  const uint32_t groups = 0x800010;
  const LargeRun large = ConvertRandom(groups, 1);
  EXPECT_EQ(large.run.exit_status, 0);
  EXPECT_EQ(large.run.out,
            SizeReport(groups, 2, 16, 6 * groups - 96, 96) + "1\n2\n\n" + FinishedLine);
  ASSERT_EQ(large.wav.size(), 44u + DivWavSize + 96);
  ASSERT_EQ(large.left.size(), groups);
  ASSERT_EQ(large.right.size(), groups);
  ExpectFramesMatchOnePass(large.wav, large.left, large.right, groups - OverlapWords);
  // The second division computes one frame; its other 15 are what the first
  // division computed at frames 1..15.
  EXPECT_EQ(large.wav.substr(44 + DivWavSize + 6, 90), large.wav.substr(44 + 6, 90));
}

TEST(LargeRun, ShortLastDivisionIsPaddedWithSilence) {
  const uint32_t groups = 0x800001;
  const LargeRun large = ConvertRandom(groups, 2);
  EXPECT_EQ(large.run.exit_status, 0);
  // The size report shows the last division as found, the WAV sizes as padded.
  EXPECT_EQ(large.run.out, SizeReport(groups, 2, 1, 0x2FFFFA6, 0x60) + "1\n2\n\n" + FinishedLine);
  ASSERT_EQ(large.wav.size(), 44u + DivWavSize + 96);  // 186 bytes past the RIFF chunk
  ASSERT_EQ(large.left.size(), 0x800010u);
  ASSERT_EQ(large.right.size(), 0x800010u);
  for (size_t w = groups; w < large.left.size(); ++w) {
    EXPECT_EQ(large.left[w], SilenceWord);
    EXPECT_EQ(large.right[w], SilenceWord);
  }
  ExpectFramesMatchOnePass(large.wav, large.left, large.right, large.left.size() - OverlapWords);
}

TEST(LargeRun, DsfAcrossADivisionBoundaryConvertsAsDsdiff) {
  const LargeRun dsdiff = ConvertRandom(0x800005, 4);
  const LargeRun dsf = ConvertRandom(0x800005, 4, true);
  EXPECT_EQ(dsf.run.exit_status, 0);
  EXPECT_EQ(dsf.run.out, dsdiff.run.out);
  EXPECT_TRUE(dsf.wav == dsdiff.wav);
  EXPECT_TRUE(dsf.left == dsdiff.left && dsf.right == dsdiff.right);
}

TEST(LargeRun, OneFullDivisionEndsWithFifteenZeroFrames) {
  const uint32_t groups = 0x800000;
  const LargeRun large = ConvertRandom(groups, 3);
  EXPECT_EQ(large.run.exit_status, 0);
  EXPECT_EQ(large.run.out,
            SizeReport(groups, 1, 0x800000, 6 * groups - 96, DivWavSize) + "1\n\n" + FinishedLine);
  ASSERT_EQ(large.wav.size(), 44u + DivWavSize);
  ExpectFramesMatchOnePass(large.wav, large.left, large.right, groups - OverlapWords);
  EXPECT_EQ(large.wav.substr(large.wav.size() - 90), Bytes(90, '\0'));
}

}  // namespace
