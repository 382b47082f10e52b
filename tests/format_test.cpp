// Runs of the same samples in each container, bit order and rate: a DSF
// file converts to the bytes of the DSDIFF file, a faster rate changes only
// the WAV's rate fields, and what cannot be converted is refused.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

struct Outcome {
  RunResult run;
  Bytes wav, left, right;
};

Outcome Convert(const Bytes& file) {
  TempDir dir;
  WriteFile(dir / "in", file);
  Outcome o{RunConverter(dir.path, {"in", "out.wav"}), ReadFile(dir / "out.wav"),
            ReadFile(dir / LeftChannelFile), ReadFile(dir / RightChannelFile)};
  return o;
}

void ExpectSameRun(const Outcome& a, const Outcome& b, const std::string& what) {
  EXPECT_EQ(a.run.exit_status, b.run.exit_status) << what;
  EXPECT_EQ(a.run.out, b.run.out) << what;
  EXPECT_TRUE(a.wav == b.wav) << what;
  EXPECT_TRUE(a.left == b.left && a.right == b.right) << what;
}

TEST(Formats, DsfConvertsExactlyAsDsdiff) {
  const uint32_t groups = 5001;  // five 4096-byte blocks per channel
  const Bytes sound = RandomSound(GroupBytes * groups, 61);
  const Outcome dsdiff = Convert(DsdiffOf(sound));
  ASSERT_EQ(dsdiff.run.exit_status, 0);
  DsfOptions tagged;
  tagged.tail = "ID3\x04" + Bytes(300, 't');
  ExpectSameRun(Convert(DsfOf(sound)), dsdiff, "MSB first");
  ExpectSameRun(Convert(DsfOf(sound, DsfOptions{true})), dsdiff, "LSB first");
  ExpectSameRun(Convert(DsfOf(sound, tagged)), dsdiff, "with a tag");

  // A sample count that ends inside the last group: that group is left out.
  DsfOptions partial;
  partial.samples = uint64_t{groups} * WordSamples - 7;
  ExpectSameRun(Convert(DsfOf(sound, partial)),
                Convert(DsdiffOf(sound.substr(0, GroupBytes * (groups - 1)))), "partial group");

  // Cut after two block pairs: 2048 groups held, the rest silence and a warning.
  const Bytes cut = DsfOf(sound).substr(0, 92 + 2 * 2 * 4096);
  const Outcome cut_dsf = Convert(cut);
  EXPECT_EQ(cut_dsf.run.exit_status, 1);
  ExpectSameRun(cut_dsf,
                Convert(Container({FverChunk(), PropChunk(),
                                   ChunkDeclaring("DSD ", GroupBytes * groups,
                                                  sound.substr(0, GroupBytes * 2048))})),
                "cut short");
}

TEST(Formats, EveryDsdRateChangesOnlyTheWavRateFields) {
  const Bytes sound = RandomSound(GroupBytes * 700, 62);
  const Outcome dsd64 = Convert(DsdiffOf(sound));
  for (uint32_t base : {2822400u, 3072000u}) {
    for (uint32_t rate = base; rate <= 8 * base; rate *= 2) {
      DsfOptions options;
      options.rate = rate;
      const Bytes files[] = {Container({FverChunk(), PropChunk(rate), Chunk("DSD ", sound)}),
                             DsfOf(sound, options)};
      for (const Bytes& file : files) {
        const Outcome o = Convert(file);
        EXPECT_EQ(o.run.exit_status, 0) << rate;
        EXPECT_EQ(o.run.out, dsd64.run.out) << rate;
        ASSERT_EQ(o.wav.size(), dsd64.wav.size()) << rate;
        EXPECT_EQ(o.wav.substr(24, 8), LittleEndian(rate / 32, 4) + LittleEndian(rate / 32 * 6, 4));
        EXPECT_TRUE(o.wav.substr(0, 24) == dsd64.wav.substr(0, 24) &&
                    o.wav.substr(32) == dsd64.wav.substr(32))
            << rate;
      }
    }
  }
}

TEST(Formats, WhatCannotBeConvertedIsRefusedWithOneLine) {
  const Bytes sound = RandomSound(GroupBytes * 64, 63);
  auto dsf = [&](uint32_t channels, uint32_t rate) {
    DsfOptions options;
    options.channels = channels;
    options.rate = rate;
    return DsfOf(sound, options);
  };
  const struct {
    Bytes file, line;
  } cases[] = {
      {dsf(1, 2822400), "Only 2-channel sound is supported; this file has 1 channel.\n"},
      {dsf(6, 5644800), "Only 2-channel sound is supported; this file has 6 channels.\n"},
      {dsf(2, 44100),
       "Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; this "
       "file is 44100 Hz.\n"},
      {"DSD " + Bytes(100, '\0'), "This is not a DSDIFF file.\n"},
  };
  for (const auto& c : cases) {
    const Outcome o = Convert(c.file);
    EXPECT_EQ(o.run.exit_status, 1);
    EXPECT_EQ(o.run.out, c.line);
    EXPECT_EQ(o.wav, "");
    EXPECT_EQ(o.left, "");  // never created
  }
}

TEST(CommandLine, HelpAndVersionAloneAndTooFewArguments) {
  TempDir dir;
  for (const char* flag : {"--help", "-h"}) {
    const RunResult run = RunConverter(dir.path, {flag});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out.rfind("Usage: dff2wav IN OUT\n", 0), 0u) << run.out;
  }
  const RunResult version = RunConverter(dir.path, {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("dff2wav ", 0), 0u);
  EXPECT_EQ(RunConverter(dir.path, {}).out, WrongArgumentsMessage);
  // With a second argument, --help is an input path like any other.
  EXPECT_EQ(RunConverter(dir.path, {"--help", "out.wav"}).out, "File Open Error\n");
  EXPECT_FALSE(FileExists(dir / "out.wav"));
}

}  // namespace
