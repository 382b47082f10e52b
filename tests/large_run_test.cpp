// Whole runs of the dff2wav executable on inputs of 64 MiB, around the
// boundary between a first and a second division.
#include <gtest/gtest.h>

#include <cstring>

#include "decimate/division.h"
#include "decimate/filter.h"
#include "dsdiff/dsdiff.h"
#include "tests/test_support.h"

namespace {

const Bytes Finished = "\x95\xCF\x8A\xB7\x82\xAA\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n";

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

std::vector<ChannelWord> WordsOf(const Bytes& file) {
  std::vector<ChannelWord> words(file.size() / 4);
  std::memcpy(words.data(), file.data(), words.size() * 4);
  return words;
}

Bytes ReferenceFrame(const std::vector<ChannelWord>& left, const std::vector<ChannelWord>& right,
                     size_t frame) {
  uint8_t bytes[PcmFrameBytes];
  DecimationFilter(&left[frame], &right[frame], bytes);
  return Bytes(reinterpret_cast<char*>(bytes), PcmFrameBytes);
}

// Checks that the frames the converter computed equal the reference evaluated
// over the channel files as one pass: every frame near a division boundary,
// and a spread of others.
void ExpectFramesMatchOnePass(const Bytes& wav, const std::vector<ChannelWord>& left,
                              const std::vector<ChannelWord>& right, size_t computed_frames) {
  auto check = [&](size_t frame) {
    ASSERT_EQ(wav.substr(44 + PcmFrameBytes * frame, PcmFrameBytes), ReferenceFrame(left, right, frame))
        << "frame " << frame;
  };
  for (size_t frame = 0; frame < computed_frames; frame += 1009) check(frame);
  for (size_t frame = DivSize - 20; frame < std::min<size_t>(computed_frames, DivSize + 20); ++frame) {
    check(frame);
  }
  check(computed_frames - 1);
}

TEST(LargeRun, TwoDivisionsWithSixteenWordsInTheLast) {
  TempDir dir;
  const uint32_t groups = 0x800010;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(size_t{groups} * 8, 1)));
  const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, SizeReport(groups, 2, 16, 6 * groups - 96, 96) + "1\n2\n\n" + Finished);

  const Bytes wav = ReadFile(dir / "out.wav");
  ASSERT_EQ(wav.size(), 44u + DivWavSize + 96);
  const std::vector<ChannelWord> left = WordsOf(ReadFile(dir / LeftChannelFile));
  const std::vector<ChannelWord> right = WordsOf(ReadFile(dir / RightChannelFile));
  ASSERT_EQ(left.size(), groups);
  ASSERT_EQ(right.size(), groups);
  ExpectFramesMatchOnePass(wav, left, right, groups - OverlapWords);
  // The second division computes one frame; its other 15 are what the first
  // division left in the PCM buffer at frames 1..15.
  EXPECT_EQ(wav.substr(44 + DivWavSize + 6, 90), wav.substr(44 + 6, 90));
}

TEST(LargeRun, ShortLastDivisionIsPaddedWithSilence) {
  TempDir dir;
  const uint32_t groups = 0x800001;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(size_t{groups} * 8, 2)));
  const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(run.exit_status, 0);
  // The size report shows the last division as found, the WAV sizes as padded.
  EXPECT_EQ(run.out, SizeReport(groups, 2, 1, 0x2FFFFA6, 0x60) + "1\n2\n\n" + Finished);

  const Bytes wav = ReadFile(dir / "out.wav");
  ASSERT_EQ(wav.size(), 44u + DivWavSize + 96);  // 186 bytes past the RIFF chunk
  const std::vector<ChannelWord> left = WordsOf(ReadFile(dir / LeftChannelFile));
  const std::vector<ChannelWord> right = WordsOf(ReadFile(dir / RightChannelFile));
  ASSERT_EQ(left.size(), 0x800010u);
  for (size_t w = groups; w < left.size(); ++w) {
    EXPECT_EQ(left[w], SilenceWord);
    EXPECT_EQ(right[w], SilenceWord);
  }
  ExpectFramesMatchOnePass(wav, left, right, left.size() - OverlapWords);
}

TEST(LargeRun, OneFullDivisionEndsWithFifteenZeroFrames) {
  TempDir dir;
  const uint32_t groups = 0x800000;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(size_t{groups} * 8, 3)));
  const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, SizeReport(groups, 1, 0x800000, 6 * groups - 96, DivWavSize) + "1\n\n" + Finished);
  const Bytes wav = ReadFile(dir / "out.wav");
  ASSERT_EQ(wav.size(), 44u + DivWavSize);
  EXPECT_EQ(wav.substr(wav.size() - 90), Bytes(90, '\0'));
  EXPECT_NE(wav.substr(wav.size() - 96, 6), Bytes(6, '\0'));
}

}  // namespace
