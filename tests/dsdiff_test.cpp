// The chunk walk over in-memory containers.
#include "dsdiff/dsdiff.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "wav/wav.h"

namespace {

struct WalkOutcome {
  Failure failure;
  SoundSource sound;
  SoundProperties properties;
};

WalkOutcome Walk(const Bytes& file) {
  const InputFile in(file);
  WalkOutcome outcome{};
  outcome.failure = ChunkWalk(in.fd, "in.dff", &outcome.sound, &outcome.properties).failure;
  return outcome;
}

TEST(ChunkWalk, RejectsAnythingButFrm8) {
  EXPECT_EQ(Walk("").failure, Failure::NotDsd);
  EXPECT_EQ(Walk("FRM").failure, Failure::NotDsd);
  EXPECT_EQ(Walk("frm8" + Container({Chunk("DSD ", Bytes(128, 'x'))}).substr(4)).failure,
            Failure::NotDsd);
  EXPECT_EQ(Walk("RIFF" + Bytes(200, '\0')).failure, Failure::NotDsd);
}

TEST(ChunkWalk, StopsAtTheFirstSoundByte) {
  const Bytes head = Container({FverChunk(), PropChunk()});
  const Bytes file = Container({FverChunk(), PropChunk(), Chunk("DSD ", Bytes(1000, 'x'))});
  const WalkOutcome outcome = Walk(file);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.words, 125u);
  EXPECT_EQ(outcome.sound.offset, head.size() + 12);
  EXPECT_EQ(outcome.sound.layout, SoundLayout::Interleaved);
}

TEST(ChunkWalk, MeasuresWholeWordsOfEveryChannelOnly) {
  const struct {
    size_t bytes;
    int channels;
    uint64_t words;
    Failure failure;
  } cases[] = {
      {1003, 2, 125, Failure::None},       {130, 2, 16, Failure::None},
      {128, 2, 16, Failure::None},         {127, 2, 15, Failure::DataTooSmall},
      {0, 2, 0, Failure::DataTooSmall},    {64, 1, 16, Failure::None},
      {383, 6, 15, Failure::DataTooSmall}, {384, 6, 16, Failure::None},
  };
  for (const auto& c : cases) {
    const WalkOutcome outcome =
        Walk(Container({PropChunk(2822400, static_cast<uint16_t>(c.channels)),
                        Chunk("DSD ", Bytes(c.bytes, 'x'))}));
    EXPECT_EQ(outcome.failure, c.failure) << c.bytes;
    EXPECT_EQ(outcome.sound.words, c.words) << c.bytes;
  }
}

TEST(ChunkWalk, SkipsOddChunksWithTheirPadByte) {
  // "COMT" of 7 bytes is followed by a pad byte; the walk must land on "DSD ".
  const Bytes file =
      Container({Chunk("COMT", "abcdefg"), Chunk("DIIN", "x"), Chunk("DSD ", Bytes(256, 'x'))});
  const WalkOutcome outcome = Walk(file);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.words, 32u);
  EXPECT_EQ(outcome.sound.offset, file.size() - 256);
}

TEST(ChunkWalk, SkipsFverByFourDataBytesWhateverItsSize) {
  const Bytes file = "FRM8" + BigEndian(0, 8) + "ABCD" +
                     ChunkDeclaring("FVER", 12345, Bytes("\1\5\0\0", 4)) +
                     Chunk("DSD ", Bytes(128, 'x'));
  const WalkOutcome outcome = Walk(file);
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.sound.words, 16u);
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

TEST(ChunkWalk, SoundBeyond32BitsIsMeasuredWhole) {
  // The original form's 32-bit DsdSize is capped at the largest group count.
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
    EXPECT_EQ(outcome.sound.words, c.declared / 8);
    EXPECT_EQ(outcome.sound.declared_bytes, c.declared);
    bool beyond = false;
    EXPECT_EQ(DsdSizeOf(outcome.sound.words, &beyond), c.DsdSize);
    EXPECT_EQ(beyond, c.beyond);
  }
}

TEST(ChunkWalk, ReadsTheSoundPropertiesOnTheWay) {
  const WalkOutcome outcome =
      Walk(Container({FverChunk(), PropChunk(), Chunk("DSD ", Bytes(128, 'x'))}));
  ASSERT_EQ(outcome.failure, Failure::None);
  EXPECT_EQ(outcome.properties.sample_rate, Dsd64Rate);
  EXPECT_EQ(outcome.properties.channels, StereoChannels);
  EXPECT_STREQ(outcome.properties.compression, "DSD ");
}

// "CHNL" ids name the speakers, and the channels are held in mask order.
TEST(ChunkWalk, ChannelIdsNameTheSpeakers) {
  const struct {
    std::vector<Bytes> ids;
    uint32_t mask;
    std::vector<uint8_t> from;
  } cases[] = {
      {{"SLFT", "SRGT"}, 0x3, {0, 1}},
      {{"C   "}, 0x4, {0}},
      {{"MLFT", "MRGT", "C   ", "LS  ", "RS  "}, 0x37, {0, 1, 2, 3, 4}},
      {{"MLFT", "MRGT", "C   ", "LFE ", "LS  ", "RS  "}, 0x3F, {0, 1, 2, 3, 4, 5}},
      {{"C000", "C001", "C002"}, 0, {0, 1, 2}},
      {{"MLFT", "MRGT", "LS  ", "RS  ", "C   ", "LFE "}, 0x3F, {0, 1, 4, 5, 2, 3}},
      {{"MLFT", "C001", "MRGT"}, 0x3, {0, 2, 1}},
  };
  for (const auto& c : cases) {
    const WalkOutcome outcome = Walk(Container(
        {FverChunk(), PropChunkWithIds(2822400, c.ids), Chunk("DSD ", Bytes(4096, 'x'))}));
    ASSERT_EQ(outcome.failure, Failure::None);
    ASSERT_EQ(outcome.sound.channels, static_cast<int>(c.ids.size()));
    EXPECT_EQ(ChannelMask(outcome.sound.speakers, outcome.sound.channels), c.mask);
    EXPECT_EQ(std::vector<uint8_t>(outcome.sound.file_channel,
                                   outcome.sound.file_channel + outcome.sound.channels),
              c.from);
  }
}

TEST(ChunkWalk, RefusesWhatAWellFormedPropertyChunkRulesOut) {
  const Bytes ids_for_two = BigEndian(2, 2) + "SLFTSRGT";
  const struct {
    Bytes prop;
    Refusal refusal;
    uint32_t channels;
  } cases[] = {
      {PropChunk(44100), Refusal::Rate, 2},
      {PropChunk(45158400), Refusal::Rate, 2},  // DSD1024
      {PropChunk(2822400 * 3), Refusal::Rate, 2},
      {PropChunk(2822400, 7), Refusal::Channels, 7},
      {PropChunk(2822400, 0), Refusal::Channels, 0},
      {PropChunk(2822400, 2, "ABCD"), Refusal::Compression, 2},
      // The count disagrees with the ids that follow it.
      {Chunk("PROP", "SND " + Chunk("CHNL", BigEndian(6, 2) + "SLFT")), Refusal::ChannelIds, 6},
      {Chunk("PROP", "SND " + Chunk("CHNL", BigEndian(1, 2) + "SLFTSRGT")), Refusal::ChannelIds, 1},
      {Chunk("PROP", "SND " + Chunk("CHNL", ids_for_two.substr(0, 9))), Refusal::ChannelIds, 2},
  };
  for (const auto& c : cases) {
    const WalkOutcome outcome =
        Walk(Container({FverChunk(), c.prop, Chunk("DSD ", Bytes(128, 'x'))}));
    EXPECT_EQ(outcome.failure, Failure::UnsupportedSound) << &c - cases;
    EXPECT_EQ(outcome.properties.refusal, c.refusal) << &c - cases;
    EXPECT_EQ(outcome.properties.channels, c.channels) << &c - cases;
  }
}

TEST(ChunkWalk, TakesEveryDsdRateFromThePropertyChunk) {
  for (uint32_t base : {Dsd64Rate, Dsd64Rate48k}) {
    for (uint32_t rate = base; rate <= 8 * base; rate *= 2) {
      const WalkOutcome outcome =
          Walk(Container({FverChunk(), PropChunk(rate), Chunk("DSD ", Bytes(128, 'x'))}));
      ASSERT_EQ(outcome.failure, Failure::None) << rate;
      EXPECT_EQ(outcome.sound.sample_rate, rate);
    }
  }
  // Without a property chunk the sound is DSD64.
  EXPECT_EQ(Walk(Container({Chunk("DSD ", Bytes(128, 'x'))})).sound.sample_rate, Dsd64Rate);
}

TEST(ChunkWalk, IgnoresPropertyChunksItCannotTrust) {
  const Bytes refused_rate = Chunk("FS  ", BigEndian(44100, 4));
  const Bytes props[] = {
      Chunk("PROP", "XYZ " + refused_rate),       // another property type
      Chunk("PROP", "SND " + Bytes(37, '\xFF')),  // garbage local chunks
      Chunk("PROP",
            "SND " + refused_rate + ChunkDeclaring("CHNL", 40, BigEndian(6, 2))),  // past the end
      Chunk("PROP", "SND " + ChunkDeclaring("FS  ", 2, BigEndian(44100, 4).substr(0, 2))),
      Chunk("PROP", "SND " + Chunk("CHNL", BigEndian(6, 2).substr(0, 1))),  // no whole count
      Chunk("PROP", "SND " + Chunk("CMPR", "DST ")),                        // no counted name
      Chunk("PROP", "SN"),                                                  // shorter than its type
  };
  for (const Bytes& prop : props) {
    const Bytes file =
        Container({FverChunk(), prop, Chunk("COMT", "c"), Chunk("DSD ", Bytes(128, 'x'))});
    const WalkOutcome outcome = Walk(file);
    EXPECT_EQ(outcome.failure, Failure::None) << prop.size();
    EXPECT_EQ(outcome.sound.offset, file.size() - 128) << prop.size();
  }
  // Local chunks other than the three known are skipped, odd sizes with their pad byte.
  const Bytes prop =
      Chunk("PROP", "SND " + Chunk("ABSS", "xyz") + Chunk("FS  ", BigEndian(44100, 4)));
  EXPECT_EQ(Walk(Container({prop, Chunk("DSD ", Bytes(128, 'x'))})).failure,
            Failure::UnsupportedSound);
  // A property chunk cut short by the end of the file ends the walk as before.
  EXPECT_EQ(Walk(Container({FverChunk(), PropChunk()}).substr(0, 50)).failure,
            Failure::NoSoundData);
}

TEST(ChunkWalk, IndexesTheFramesOfADstChunk) {
  // A plain frame of stereo DSD64: its flags byte, then 2 x 4704 bytes.
  const Bytes frame = "\x00" + Bytes(2 * 4704, 'x');
  const Bytes count3 = Chunk("FRTE", BigEndian(3, 4) + BigEndian(75, 2));
  const Bytes check = Chunk("DSTC", Bytes(4, '\0'));
  const struct {
    Bytes dst;
    uint64_t frames;  // as the words count them
    size_t indexed;   // frames the index holds
    bool last_whole;  // whether the last one indexed can be read
  } cases[] = {
      // Three frames, a check chunk after each.
      {count3 + Chunk("DSTF", frame) + check + Chunk("DSTF", frame) + check + Chunk("DSTF", frame) +
           check,
       3, 3, true},
      // "FRTE" counts 3, two follow: the third is missing sound.
      {count3 + Chunk("DSTF", frame) + Chunk("DSTF", frame), 3, 2, true},
      // No "FRTE": the frames there are; more than "FRTE" counts are ignored.
      {Chunk("DSTF", frame) + Chunk("DSTF", frame), 2, 2, true},
      {Chunk("FRTE", BigEndian(1, 4) + BigEndian(75, 2)) + Chunk("DSTF", frame) +
           Chunk("DSTF", frame),
       1, 1, true},
      // A frame the file cuts short ends the index, kept as damaged.
      {count3 + Chunk("DSTF", frame) + Chunk("DSTF", frame).substr(0, 4000), 3, 2, false},
  };
  for (const auto& c : cases) {
    const WalkOutcome outcome =
        Walk(Container({FverChunk(), PropChunk(2822400, 2, "DST "), Chunk("DST ", c.dst)}));
    ASSERT_EQ(outcome.failure, Failure::None) << &c - cases;
    const SoundSource& sound = outcome.sound;
    EXPECT_EQ(sound.layout, SoundLayout::DstFrames);
    EXPECT_EQ(sound.words, c.frames * 1176) << &c - cases;  // 4704 bytes: 1176 words a frame
    ASSERT_EQ(sound.dst->payload.size(), c.indexed) << &c - cases;
    EXPECT_EQ(sound.dst->payload_bytes.back() != 0, c.last_whole) << &c - cases;
    EXPECT_EQ(WordsPresent(sound, UINT64_MAX, sound.words), c.indexed * 1176) << &c - cases;
  }
  // A "DST " chunk without frames holds no sound.
  EXPECT_EQ(Walk(Container({FverChunk(), Chunk("DST ", count3)})).failure, Failure::NoSoundData);
}

}  // namespace

namespace {

// A "MARK" chunk at hh:mm:ss plus `samples`, moved by `offset`, of `type`.
Bytes Mark(int hours, int minutes, int seconds, uint32_t samples, int32_t offset, uint16_t type,
           const Bytes& text = "") {
  return Chunk("MARK", BigEndian(hours, 2) + Bytes(1, char(minutes)) + Bytes(1, char(seconds)) +
                           BigEndian(samples, 4) + BigEndian(uint32_t(offset), 4) +
                           BigEndian(type, 2) + BigEndian(0, 2) + BigEndian(0, 2) +
                           BigEndian(text.size(), 4) + text + Bytes(text.size() % 2, '\0'));
}

// An ID3v2.4 tag with one UTF-8 title.
Bytes Id3Title(const Bytes& title) {
  const Bytes body = "\x03" + title;
  const Bytes frame = "TIT2" + BigEndian(body.size(), 4) + BigEndian(0, 2) + body;
  return Bytes("ID3\x04\x00\x00", 6) + BigEndian(frame.size(), 4) + frame;  // sizes under 128
}

struct Details {
  SoundSource source;
  Fault head;
};

Details ReadDetails(const Bytes& file) {
  const InputFile in(file);
  Details d;
  SoundProperties properties;
  d.head = ChunkWalk(in.fd, "in.dff", &d.source, &properties);
  if (!Failed(d.head)) ReadDsdiffDetails(file.size(), &d.source);
  d.source.fd = -1;
  return d;
}

}  // namespace

TEST(DsdiffDetails, MarkersMakeTracksWithPausesAfterTheStartTimeAndOffsets) {
  constexpr uint32_t Rate = 2822400;
  // The sound starts at 00:00:01 (ABSS); marks are absolute, out of order,
  // moved by their offsets; ProgramStart (2) and Index (4) marks say nothing.
  const Bytes diin =
      Chunk("DIIN", Chunk("DITI", BigEndian(5, 4) + "Album") +
                        Chunk("DIAR", BigEndian(4, 4) + "Band") + Mark(0, 0, 6, 0, 0, 0, "Third") +
                        Mark(0, 0, 1, 0, 0, 2) + Mark(0, 0, 1, 0, 0, 0, "First") +
                        Mark(0, 0, 3, 0, 0, 1) + Mark(0, 0, 4, 100, -100, 0, "Second\xE9") +
                        Mark(0, 0, 5, 0, 0, 4) + Mark(0, 0, 8, 0, 0, 1));
  const Bytes prop = Chunk(
      "PROP", "SND " + Chunk("FS  ", BigEndian(Rate, 4)) +
                  Chunk("CHNL", BigEndian(2, 2) + "SLFTSRGT") +
                  Chunk("ABSS", BigEndian(0, 2) + Bytes(1, 0) + Bytes(1, 1) + BigEndian(0, 4)));
  const Bytes sound = Chunk("DSD ", Bytes(1024, '\x55'));
  Details d = ReadDetails(Container({FverChunk(), prop, diin, sound}));
  ASSERT_FALSE(Failed(d.head));
  EXPECT_EQ(d.source.origin, TrackOrigin::Markers);
  EXPECT_EQ(d.source.album.title, "Album");
  EXPECT_EQ(d.source.album.artist, "Band");
  ASSERT_EQ(d.source.tracks.size(), 3u);
  const Track* t = d.source.tracks.data();
  EXPECT_EQ(t[0].number, 1);
  EXPECT_EQ(t[0].start, 0u);
  EXPECT_EQ(t[0].end, 3u * Rate);
  EXPECT_EQ(t[0].pause, 0u);
  EXPECT_EQ(t[0].title, "First");
  EXPECT_EQ(t[1].start, 3u * Rate);       // 00:00:04 and 100 samples, less 100
  EXPECT_EQ(t[1].pause, 1u * Rate);       // from the TrackStop at 2 s
  EXPECT_EQ(t[1].title, "Second\u00E9");  // Latin-1 taken as such
  EXPECT_EQ(t[2].start, 5u * Rate);
  EXPECT_EQ(t[2].end, 7u * Rate);  // the last TrackStop
  EXPECT_FALSE(t[2].has_tags);

  // One "ID3 " chunk per track: each track's own; a single one is the album's.
  const Bytes id3s = Chunk("ID3 ", Id3Title("One")) + Chunk("ID3 ", Id3Title("Two")) +
                     Chunk("ID3 ", Id3Title("Three"));
  d = ReadDetails(Container({FverChunk(), prop, diin, sound, id3s}));
  ASSERT_TRUE(d.source.tracks[1].has_tags);
  EXPECT_EQ(d.source.tracks[1].tags.comments[0].value, "Two");
  d = ReadDetails(Container({FverChunk(), prop, diin, sound, Chunk("ID3 ", Id3Title("One"))}));
  EXPECT_FALSE(d.source.tracks[0].has_tags);
  EXPECT_EQ(d.source.tags.comments[0].value, "One");
  // Without marks the sound is one track.
  d = ReadDetails(Container({FverChunk(), prop, sound}));
  EXPECT_EQ(d.source.origin, TrackOrigin::Whole);
  EXPECT_TRUE(d.source.tracks.empty());
}

TEST(ChunkWalk, ADamagedLocalChunkAtTheEndOfPropKeepsTheLayout) {
  // 5.0 with an "ID3 " chunk whose size is 2 bytes too large or too small:
  // the layout stays, one note says what was passed over.
  for (int64_t wrong : {2, -2}) {
    const Bytes id3 = Id3Title("x");
    const Bytes prop = Chunk("PROP", "SND " + Chunk("FS  ", BigEndian(2822400, 4)) +
                                         Chunk("CHNL", BigEndian(5, 2) + "MLFTMRGTC   LS  RS  ") +
                                         Chunk("CMPR", "DSD " + Bytes(1, 0)) +
                                         ChunkDeclaring("ID3 ", id3.size() + wrong, id3));
    Details d = ReadDetails(Container({FverChunk(), prop, Chunk("DSD ", Bytes(5 * 64, 'x'))}));
    ASSERT_FALSE(Failed(d.head)) << wrong;
    EXPECT_EQ(d.source.channels, 5) << wrong;
    ASSERT_EQ(d.source.notes.size(), 1u) << wrong;
    EXPECT_NE(d.source.notes[0].find("property chunk is damaged"), std::string::npos);
  }
}
