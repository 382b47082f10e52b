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
  const Bytes sound = RandomSound(8 * 64, 63);
  auto dsf = [&](uint32_t channels, uint32_t rate, uint32_t type = 0) {
    DsfOptions options;
    options.channels = channels;
    options.rate = rate;
    options.channel_type = type;
    return DsfOf(RandomSound(4 * 64 * channels, 64), options);
  };
  const struct {
    Bytes file, line;
    bool standard_form;  // the input is not two-channel: the line goes to standard error
  } cases[] = {
      {dsf(7, 2822400, 7), "Only 1 to 6 channels are supported; this file has 7.\n", true},
      {dsf(6, 2822400, 6), "This DSF file's channel type 6 does not fit its 6 channels.\n", true},
      {dsf(2, 2822400, 1), "This DSF file's channel type 1 does not fit its 2 channels.\n", false},
      {dsf(2, 44100),
       "Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; this "
       "file is 44100 Hz.\n",
       false},
      {Container({FverChunk(),
                  Chunk("PROP", "SND " + Chunk("CHNL", BigEndian(5, 2) + "MLFTMRGTC   ")),
                  Chunk("DSD ", sound)}),
       "This DSDIFF file counts 5 channels but names 3.\n", true},
      {Container({FverChunk(), PropChunk(2822400, 6, "DSZ "), Chunk("DSD ", sound)}),
       "Only DSD and DST sound data are supported; this file's compression is \"DSZ \".\n", true},
      {"DSD " + Bytes(100, '\0'), "This is not a DSDIFF file.\n", false},
  };
  for (const auto& c : cases) {
    const Outcome o = Convert(c.file);
    EXPECT_EQ(o.run.exit_status, 1);
    // The standard form's one line on standard error names the file.
    EXPECT_EQ(c.standard_form ? o.run.err : o.run.out,
              c.standard_form ? "dff2wav: in: " + c.line : c.line);
    EXPECT_EQ(o.run.out, c.standard_form ? "" : c.line);
    EXPECT_EQ(o.wav, "");
    EXPECT_EQ(o.left, "");  // never created
  }
}

TEST(CommandLine, HelpAndVersionAloneAndTooFewArguments) {
  TempDir dir;
  for (const char* flag : {"--help", "-h"}) {
    const RunResult run = RunConverter(dir.path, {flag});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out.rfind("Usage: dff2wav [OPTIONS] IN OUT\n", 0), 0u) << run.out;
  }
  const RunResult version = RunConverter(dir.path, {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("dff2wav ", 0), 0u);
  EXPECT_EQ(RunConverter(dir.path, {}).out, WrongArgumentsMessage);
  // An option is an option wherever it stands; "--" ends them.
  EXPECT_EQ(RunConverter(dir.path, {"in.dff", "out.wav", "--help"}).exit_status, 0);
  const RunResult unknown = RunConverter(dir.path, {"--frobnicate", "in.dff", "out.wav"});
  EXPECT_EQ(unknown.exit_status, 1);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err.rfind("dff2wav: unknown option --frobnicate\n", 0), 0u) << unknown.err;
  EXPECT_EQ(RunConverter(dir.path, {"--", "--help", "out.wav"}).out, "File Open Error\n");
  EXPECT_FALSE(FileExists(dir / "out.wav"));
}

// ---- Layouts --------------------------------------------------------------

// The samples of a standard WAV, per channel, read as a reader would: the
// format chunk's channel count and mask, then 3 bytes a sample.
struct StandardWav {
  int channels = 0;
  uint32_t mask = 0;
  std::vector<std::vector<int32_t>> samples;
};

uint32_t Little(const Bytes& bytes, size_t at, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

StandardWav ReadStandardWav(const Bytes& wav) {
  StandardWav out;
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(Little(wav, 4, 4), wav.size() - 8);  // the RIFF chunk covers the whole file
  size_t pos = 12;
  while (pos + 8 <= wav.size()) {
    const Bytes id = wav.substr(pos, 4);
    const uint32_t size = Little(wav, pos + 4, 4);
    if (id == "fmt ") {
      EXPECT_EQ(Little(wav, pos + 8, 2), 0xFFFEu);
      out.channels = static_cast<int>(Little(wav, pos + 10, 2));
      out.mask = Little(wav, pos + 28, 4);
    } else if (id == "data") {
      out.samples.resize(out.channels);
      for (uint32_t i = 0; i + 3 <= size; i += 3) {
        const int32_t sample = static_cast<int32_t>(Little(wav, pos + 8 + i, 3) << 8) >> 8;
        out.samples[(i / 3) % out.channels].push_back(sample);
      }
    }
    pos += 8 + size + (size & 1);
  }
  EXPECT_EQ(pos, wav.size());  // nothing after the last chunk
  return out;
}

// Each channel of every layout holds the same numbers as the frames that an
// original stereo run of the same bits declares, in the order of the mask,
// and a DSF file converts to the bytes of the DSDIFF file of its samples.
TEST(Layouts, EveryChannelEqualsTheStereoFramesOfTheSameBits) {
  const uint32_t words = 2000;
  const Bytes a = RandomSound(4 * words, 70), b = RandomSound(4 * words, 71);
  Bytes stereo;
  for (uint32_t i = 0; i < 4 * words; ++i) stereo += Bytes{a[i], b[i]};
  const Outcome reference = Convert(DsdiffOf(stereo));
  ASSERT_EQ(reference.run.exit_status, 0);
  std::vector<int32_t> frames[2];
  for (uint32_t k = 0; k < words - 16; ++k) {
    for (int c = 0; c < 2; ++c) {
      const uint32_t raw = Little(reference.wav, 44 + 6 * k + 3 * c, 3);
      frames[c].push_back(static_cast<int32_t>(raw << 8) >> 8);
    }
  }
  const uint32_t masks[] = {0x4, 0x3, 0x7, 0x33, 0x37, 0x3F};
  for (int channels : {1, 3, 4, 5, 6}) {
    // Channel c carries a when c is even, b when odd.
    Bytes sound;
    for (uint32_t i = 0; i < 4 * words; ++i) {
      for (int c = 0; c < channels; ++c) sound.push_back(c % 2 ? b[i] : a[i]);
    }
    DsfOptions options;
    options.channels = channels;
    const Outcome dsdiff = Convert(DsdiffOf(sound, channels));
    const Outcome dsf = Convert(DsfOf(sound, options));
    EXPECT_EQ(dsdiff.run.exit_status, 0) << channels;
    EXPECT_TRUE(dsf.wav == dsdiff.wav) << channels;
    EXPECT_EQ(dsf.run.out + dsdiff.run.out, "");  // nothing on standard output
    EXPECT_EQ(dsdiff.left + dsf.left, "");        // no channel files
    const StandardWav wav = ReadStandardWav(dsdiff.wav);
    ASSERT_EQ(wav.channels, channels);
    EXPECT_EQ(wav.mask, masks[channels - 1]);
    for (int c = 0; c < channels; ++c) EXPECT_EQ(wav.samples[c], frames[c % 2]) << channels;
  }
}

TEST(Layouts, TheStandardFormSaysWhatItConvertsAndWritesAudioOnlyToStandardOutput) {
  TempDir dir;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(4 * 6 * 3000, 72), 6));
  const RunResult file = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(file.exit_status, 0);
  EXPECT_EQ(file.out, "");
  // The summary, then the clip report of the random sound's rare overs.
  EXPECT_EQ(file.err.substr(0, file.err.find('\n') + 1),
            "dff2wav: in.dff: DSDIFF, 5.1 (FL FR FC LFE BL BR), DSD64 (2822400 Hz), 0:00.034 -> "
            "out.wav: WAV, 24-bit, 88200 Hz\n");
  const RunResult piped = RunConverter(dir.path, {"in.dff", "-"});
  EXPECT_EQ(piped.exit_status, 0);
  EXPECT_TRUE(piped.out == ReadFile(dir / "out.wav"));
  EXPECT_FALSE(FileExists(dir / LeftChannelFile));
  // Failures: one line on standard error, and an existing output left as it was.
  WriteFile(dir / "old.wav", "an earlier WAV");
  WriteFile(dir / "cut.dff", DsdiffOf(RandomSound(4 * 6 * 3000, 72), 6).substr(0, 140));
  const RunResult refused = RunConverter(dir.path, {"cut.dff", "old.wav"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "dff2wav: cut.dff: No DSD sound data found.\n");
  EXPECT_EQ(ReadFile(dir / "old.wav"), "an earlier WAV");
  // Sound the input does not hold is left out, with a warning.
  const Bytes whole = DsdiffOf(RandomSound(4 * 6 * 3000, 72), 6);
  WriteFile(dir / "short.dff", whole.substr(0, whole.size() - 4 * 6 * 1000));
  const RunResult cut = RunConverter(dir.path, {"short.dff", "short.wav"});
  EXPECT_EQ(cut.exit_status, 1);
  EXPECT_NE(cut.err.find("the last 0.0 s of sound are missing and were left out"), Bytes::npos)
      << cut.err;
  const Bytes full_wav = ReadFile(dir / "out.wav"), short_wav = ReadFile(dir / "short.wav");
  EXPECT_EQ(short_wav.size(), full_wav.size() - 6 * 3 * 1000);
  EXPECT_EQ(short_wav.substr(68, 6 * 3 * 1984), full_wav.substr(68, 6 * 3 * 1984));
}

}  // namespace
