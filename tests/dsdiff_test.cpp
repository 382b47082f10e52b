// The chunk walk over in-memory containers, and the split of groups into
// channel words.
#include "dsdiff/dsdiff.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/test_support.h"

namespace {

struct WalkOutcome {
  Failure failure;
  SoundChunk sound;
  long position;  // of the stream after the walk
};

// A temporary stream holding `bytes`, positioned at its start.
FILE* StreamOf(const Bytes& bytes) {
  FILE* stream = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::rewind(stream);
  return stream;
}

Bytes ContentsOf(FILE* stream) {
  Bytes bytes;
  std::fflush(stream);
  std::rewind(stream);
  for (int c; (c = std::fgetc(stream)) != EOF;) bytes.push_back(static_cast<char>(c));
  return bytes;
}

WalkOutcome Walk(const Bytes& file) {
  FILE* in = StreamOf(file);
  WalkOutcome outcome{};
  outcome.failure = ChunkWalk(in, &outcome.sound);
  outcome.position = std::ftell(in);
  std::fclose(in);
  return outcome;
}

TEST(ChunkWalk, RejectsAnythingButFrm8) {
  EXPECT_EQ(Walk("").failure, Failure::NotDsdiff);
  EXPECT_EQ(Walk("FRM").failure, Failure::NotDsdiff);
  EXPECT_EQ(Walk("frm8" + Container({Chunk("DSD ", Bytes(128, 'x'))}).substr(4)).failure,
            Failure::NotDsdiff);
  EXPECT_EQ(Walk("RIFF" + Bytes(200, '\0')).failure, Failure::NotDsdiff);
}

TEST(ChunkWalk, StopsAtTheFirstSoundByte) {
  const Bytes head = Container({FverChunk(), PropChunk()});
  const Bytes file = Container({FverChunk(), PropChunk(), Chunk("DSD ", Bytes(1000, 'x'))});
  const WalkOutcome outcome = Walk(file);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.DsdSize, 1000u);
  EXPECT_EQ(outcome.position, static_cast<long>(head.size() + 12));
}

TEST(ChunkWalk, MeasuresWholeGroupsOnly) {
  const struct {
    size_t bytes;
    uint32_t DsdSize;
    Failure failure;
  } cases[] = {
      {1003, 1000, Failure::None},       {130, 128, Failure::None},     {128, 128, Failure::None},
      {127, 120, Failure::DataTooSmall}, {0, 0, Failure::DataTooSmall},
  };
  for (const auto& c : cases) {
    const WalkOutcome outcome = Walk(Container({Chunk("DSD ", Bytes(c.bytes, 'x'))}));
    EXPECT_EQ(outcome.failure, c.failure) << c.bytes;
    if (c.failure == Failure::None) {
      EXPECT_EQ(outcome.sound.DsdSize, c.DsdSize) << c.bytes;
    }
  }
}

TEST(ChunkWalk, SkipsOddChunksWithTheirPadByte) {
  // "COMT" of 7 bytes is followed by a pad byte; the walk must land on "DSD ".
  const Bytes file =
      Container({Chunk("COMT", "abcdefg"), Chunk("DIIN", "x"), Chunk("DSD ", Bytes(256, 'x'))});
  const WalkOutcome outcome = Walk(file);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.DsdSize, 256u);
  EXPECT_EQ(outcome.position, static_cast<long>(file.size() - 256));
}

TEST(ChunkWalk, SkipsFverByFourDataBytesWhateverItsSize) {
  const Bytes file = "FRM8" + BigEndian(0, 8) + "ABCD" +
                     ChunkDeclaring("FVER", 12345, Bytes("\1\5\0\0", 4)) +
                     Chunk("DSD ", Bytes(128, 'x'));
  const WalkOutcome outcome = Walk(file);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.DsdSize, 128u);
}

TEST(ChunkWalk, AcceptsAnyFormType) {
  EXPECT_EQ(Walk(Container({Chunk("DSD ", Bytes(128, 'x'))}, "WXYZ")).failure, Failure::None);
}

TEST(ChunkWalk, EndsWhenTheChunksRunOut) {
  const Bytes sound = Chunk("DSD ", Bytes(128, 'x'));
  const Bytes cases[] = {
      "FRM8",                                                            // no container head
      "FRM8" + BigEndian(0, 8) + "DSD ",                                 // no chunks at all
      Container({FverChunk(), Chunk("DST ", Bytes(512, 'x'))}),          // compressed sound only
      Container({FverChunk(), "PROP" + BigEndian(40, 8).substr(0, 5)}),  // cut short head
      Container({ChunkDeclaring("COMT", 1u << 20, "abc")}),              // size past the end
      Container({ChunkDeclaring("COMT", UINT64_MAX, "")}) + sound,       // size beyond any file
      Container({ChunkDeclaring("COMT", uint64_t{1} << 63, "")}) + sound,
      Container({FverChunk()}) + "DSD " + BigEndian(4096, 4),  // sound head cut short
  };
  for (const Bytes& file : cases) {
    EXPECT_EQ(Walk(file).failure, Failure::NoSoundData) << file.size() << " bytes";
  }
}

TEST(ChunkWalk, SkipsChunksByTheirFull64BitSize) {
  // A chunk of 2^32 + 16 bytes: read as 32 bits, its size would land on the
  // "DSD " head planted 16 bytes into its data.
  const Bytes planted = Chunk("DSD ", Bytes(128, 'x'));
  const Bytes file =
      Container({ChunkDeclaring("COMT", (uint64_t{1} << 32) + 16, Bytes(16, 'c') + planted)});
  EXPECT_EQ(Walk(file).failure, Failure::NoSoundData);
}

TEST(ChunkWalk, SoundBeyond32BitsIsCappedAtTheLargestGroupCount) {
  const struct {
    uint64_t declared;
    uint32_t DsdSize;
    bool beyond;
  } cases[] = {
      {(uint64_t{1} << 32) + (1u << 29), MaxDsdSize, true},  // 4.5 GiB
      {uint64_t{1} << 32, MaxDsdSize, true},
      {UINT32_MAX, MaxDsdSize, false},  // the last 7 bytes are not a whole group
      {UINT64_MAX, MaxDsdSize, true},
  };
  for (const auto& c : cases) {
    // The walk reads only the head of the sound chunk, so no data is needed.
    const WalkOutcome outcome =
        Walk(Container({FverChunk(), ChunkDeclaring("DSD ", c.declared, Bytes(64, 'x'))}));
    ASSERT_EQ(outcome.failure, Failure::None);
    EXPECT_EQ(outcome.sound.DsdSize, c.DsdSize);
    EXPECT_EQ(outcome.sound.declared_bytes, c.declared);
    EXPECT_EQ(outcome.sound.beyond_32_bits, c.beyond);
  }
}

TEST(ChunkWalk, ReadsTheSoundPropertiesOnTheWay) {
  const WalkOutcome outcome =
      Walk(Container({FverChunk(), PropChunk(), Chunk("DSD ", Bytes(128, 'x'))}));
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.properties.sample_rate, Dsd64Rate);
  EXPECT_EQ(outcome.sound.properties.channels, StereoChannels);
  EXPECT_STREQ(outcome.sound.properties.compression, "DSD ");
}

TEST(ChunkWalk, RefusesWhatAWellFormedPropertyChunkRulesOut) {
  const struct {
    Bytes prop;
    uint32_t rate;
    uint16_t channels;
    const char* compression;
  } cases[] = {
      {PropChunk(5644800), 5644800, 2, "DSD "},
      {PropChunk(11289600), 11289600, 2, "DSD "},
      {PropChunk(2822400, 1), 2822400, 1, "DSD "},
      {PropChunk(2822400, 6), 2822400, 6, "DSD "},
      {PropChunk(2822400, 2, "DST "), 2822400, 2, "DST "},
  };
  for (const auto& c : cases) {
    const WalkOutcome outcome =
        Walk(Container({FverChunk(), c.prop, Chunk("DSD ", Bytes(128, 'x'))}));
    EXPECT_EQ(outcome.failure, Failure::UnsupportedSound);
    EXPECT_EQ(outcome.sound.properties.sample_rate, c.rate);
    EXPECT_EQ(outcome.sound.properties.channels, c.channels);
    EXPECT_STREQ(outcome.sound.properties.compression, c.compression);
  }
}

TEST(ChunkWalk, IgnoresPropertyChunksItCannotTrust) {
  const Bytes fs128 = Chunk("FS  ", BigEndian(5644800, 4));
  const Bytes props[] = {
      Chunk("PROP", "XYZ " + fs128),              // another property type
      Chunk("PROP", "SND " + Bytes(37, '\xFF')),  // garbage local chunks
      Chunk("PROP", "SND " + fs128 + ChunkDeclaring("CHNL", 40, BigEndian(6, 2))),  // past the end
      Chunk("PROP", "SND " + ChunkDeclaring("FS  ", 2, BigEndian(5644800, 4).substr(0, 2))),
      Chunk("PROP", "SND " + Chunk("CHNL", BigEndian(6, 2) + "SLFT")),  // too few channel IDs
      Chunk("PROP", "SND " + Chunk("CMPR", "DST ")),                    // no counted name
      Chunk("PROP", "SN"),                                              // shorter than its type
  };
  for (const Bytes& prop : props) {
    const Bytes file =
        Container({FverChunk(), prop, Chunk("COMT", "c"), Chunk("DSD ", Bytes(128, 'x'))});
    const WalkOutcome outcome = Walk(file);
    EXPECT_EQ(outcome.failure, Failure::None) << prop.size();
    EXPECT_EQ(outcome.position, static_cast<long>(file.size() - 128)) << prop.size();
  }
  // Local chunks other than the three known are skipped, odd sizes with their pad byte.
  const Bytes prop =
      Chunk("PROP", "SND " + Chunk("ABSS", "xyz") + Chunk("FS  ", BigEndian(5644800, 4)));
  EXPECT_EQ(Walk(Container({prop, Chunk("DSD ", Bytes(128, 'x'))})).failure,
            Failure::UnsupportedSound);
  // A property chunk cut short by the end of the file ends the walk as before.
  EXPECT_EQ(Walk(Container({FverChunk(), PropChunk()}).substr(0, 50)).failure,
            Failure::NoSoundData);
}

// Splits `sound` (after `offset` bytes of something else) into `words` words
// per channel and returns the two channel files' bytes.
struct SplitOutcome {
  Failure failure;
  uint32_t missing_groups;
  Bytes left, right;
};

SplitOutcome Split(const Bytes& sound, uint32_t groups, uint32_t words = 0, size_t offset = 0) {
  FILE* in = StreamOf(Bytes(offset, 'h') + sound);
  FILE* left = std::tmpfile();
  FILE* right = std::tmpfile();
  SplitOutcome outcome{};
  if (words == 0) words = groups;
  outcome.failure = SplitGroups(fileno(in), offset, fileno(left), fileno(right), groups, words,
                                &outcome.missing_groups);
  outcome.left = ContentsOf(left).substr(0, 4 * size_t{words});
  outcome.right = ContentsOf(right).substr(0, 4 * size_t{words});
  std::fclose(left);
  std::fclose(right);
  std::fclose(in);
  return outcome;
}

TEST(SplitGroups, ReversesEachBytesBitsIntoLittleEndianWords) {
  // The first left sample and the last right sample are ones.
  SplitOutcome outcome = Split(Bytes("\x80\0\0\0\0\0\0\x01", 8), 1);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.left, Bytes("\x01\0\0\0", 4));
  EXPECT_EQ(outcome.right, Bytes("\0\0\0\x80", 4));

  // Left bytes 0x80 0x00 0x00 0x01 make the word 0x80000001.
  outcome = Split(Bytes("\x80\xFF\0\xFF\0\xFF\x01\xFF", 8), 1);
  EXPECT_EQ(outcome.left, Bytes("\x01\0\0\x80", 4));
  EXPECT_EQ(outcome.right, Bytes("\xFF\xFF\xFF\xFF", 4));

  EXPECT_EQ(Split(Bytes(8, '\xAA'), 1).left, Bytes(4, '\x55'));
  EXPECT_EQ(Split(Bytes(8, '\x69'), 1).right, Bytes(4, '\x96'));
}

TEST(SplitGroups, EveryByteValueReversesAcrossBlocks) {
  // Enough groups to span more than one read block; byte i of the sound is
  // i mod 256, so every value appears in every position.
  const uint32_t groups = (1u << 17) + 3;
  Bytes sound(size_t{groups} * GroupBytes, '\0');
  for (size_t i = 0; i < sound.size(); ++i) sound[i] = static_cast<char>(i);
  const SplitOutcome outcome = Split(sound, groups);
  ASSERT_EQ(outcome.failure, Failure::None);
  ASSERT_EQ(outcome.left.size(), size_t{groups} * 4);
  for (size_t i = 0; i < sound.size(); ++i) {
    const uint8_t value = static_cast<uint8_t>(sound[i]);
    uint8_t reversed = 0;
    for (int b = 0; b < 8; ++b) reversed |= ((value >> b) & 1) << (7 - b);
    const Bytes& channel = i % 2 ? outcome.right : outcome.left;
    const size_t group = i / GroupBytes, byte_in_word = (i % GroupBytes) / 2;
    ASSERT_EQ(static_cast<uint8_t>(channel[4 * group + byte_in_word]), reversed) << i;
  }
}

TEST(SplitGroups, MissingGroupsAndPaddingBecomeSilenceOnBothChannels) {
  // 3 whole groups and 5 bytes of a fourth, of 6 requested, then 2 words of
  // padding; the sound starts 13 bytes into the file.
  const Bytes sound = Bytes(3 * GroupBytes, '\x00') + "\xFF\xFF\xFF\xFF\xFF";
  const SplitOutcome outcome = Split(sound, 6, 8, 13);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.missing_groups, 3u);
  const Bytes silence = "\xAA\xAA\xAA\xAA";
  EXPECT_EQ(outcome.left, Bytes(12, '\0') + silence + silence + silence + silence + silence);
  EXPECT_EQ(outcome.right, outcome.left);

  // Whole pieces beyond the end of the input: all missing, none read.
  const SplitOutcome beyond = Split(Bytes(64, '\0'), 3 << 17);
  ASSERT_EQ(beyond.failure, Failure::None);
  EXPECT_EQ(beyond.missing_groups, (3u << 17) - 8);
  EXPECT_EQ(beyond.left.substr(beyond.left.size() - 4), silence);
}

}  // namespace
