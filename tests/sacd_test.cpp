// SACD images written by dff-sacd from DSDIFF twins made here: the reader
// describes the disc, its areas, tracks and text as written, and gives back
// every frame as the twins hold it (plain sound byte for byte, DST frames as
// their "DSTF" payloads), whether found by search, read in order or read from
// the start. Damage stays with the frames it hits; a damaged TOC copy gives
// way to the next; a TOC that contradicts itself is refused.
#include "sacd/sacd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

#include "dst/dst.h"
#include "sacd/sacd_format.h"
#include "tests/test_support.h"
#include "tools/dst_encoder.h"

namespace {

using namespace sacd_format;

constexpr size_t FrameBytes = SacdChannelFrameBytes;

// A DSDIFF file of one track, and the frames an image of it must give back.
struct TrackFile {
  Bytes dsdiff;
  std::vector<Bytes> frames;
};

TrackFile PlainTrack(int frames, uint32_t seed) {
  const auto sound = MusicLikeSound(2, FrameBytes * frames, seed);
  TrackFile track;
  Bytes interleaved;
  for (size_t i = 0; i < FrameBytes * frames; ++i) {
    interleaved.push_back(static_cast<char>(sound[0][i]));
    interleaved.push_back(static_cast<char>(sound[1][i]));
  }
  for (int f = 0; f < frames; ++f) {
    track.frames.push_back(interleaved.substr(f * 2 * FrameBytes, 2 * FrameBytes));
  }
  track.dsdiff = DsdiffOf(interleaved, 2);
  return track;
}

TrackFile DstTrack(int channels, int frames, uint32_t seed) {
  TrackFile track;
  Bytes body = Chunk("FRTE", BigEndian(frames, 4) + BigEndian(SacdFramesPerSecond, 2));
  for (int f = 0; f < frames; ++f) {
    const auto sound = MusicLikeSound(channels, FrameBytes, seed * 100 + f);
    std::vector<const uint8_t*> in;
    for (const auto& c : sound) in.push_back(c.data());
    const auto payload = EncodeDstFrame(in.data(), channels, FrameBytes, {});
    track.frames.emplace_back(payload.begin(), payload.end());
    body += Chunk("DSTF", track.frames.back());
  }
  track.dsdiff =
      Container({FverChunk(), PropChunk(SacdSampleRate, channels, "DST "), Chunk("DST ", body)});
  return track;
}

// Writes `tracks` to `dir` and runs dff-sacd on them: `args` holds
// "{N}" where track N's file goes. Returns the image's bytes.
Bytes MakeImage(const TempDir& dir, const std::vector<const TrackFile*>& tracks, std::string args) {
  for (size_t t = 0; t < tracks.size(); ++t) {
    const std::string name = "track" + std::to_string(t) + ".dff";
    WriteFile(dir / name, tracks[t]->dsdiff);
    const std::string mark = "{" + std::to_string(t) + "}";
    args.replace(args.find(mark), mark.size(), name);
  }
  EXPECT_EQ(RunShell(dir.path, std::string(DFF_SACD_PATH) + " " + args + " image.iso >/dev/null"),
            0);
  return ReadFile(dir / "image.iso");
}

// An image in a file of its own, described.
struct Image {
  explicit Image(const Bytes& bytes) : file(bytes) {
    fault = ReadSacdDisc(file.fd, "image.iso", &disc);
  }
  InputFile file;
  SacdDisc disc;
  Fault fault;
};

std::vector<SacdFrame> ReadInOrder(const SacdArea& area) {
  SacdCursor cursor;
  StartSacdCursor(area, &cursor);
  std::vector<SacdFrame> frames(area.frames);
  for (uint32_t f = 0; f < area.frames; ++f) ReadSacdFrame(&cursor, f, &frames[f]);
  return frames;
}

// Every frame of the area read in order equals the tracks' frames, in order.
void ExpectFrames(const SacdArea& area, const std::vector<const TrackFile*>& tracks) {
  std::vector<Bytes> expected;
  for (const TrackFile* t : tracks)
    expected.insert(expected.end(), t->frames.begin(), t->frames.end());
  ASSERT_EQ(area.frames, expected.size());
  const std::vector<SacdFrame> frames = ReadInOrder(area);
  for (uint32_t f = 0; f < area.frames; ++f) {
    EXPECT_EQ(frames[f].damage, "") << "frame " << f;
    EXPECT_EQ(frames[f].dst, area.frame_format == SacdFrameFormat::Dst);
    EXPECT_TRUE(Bytes(frames[f].bytes.begin(), frames[f].bytes.end()) == expected[f])
        << "frame " << f;
  }
}

// The tracks follow one another by their frames, and at least one pair
// shares the sector where one ends and the next starts.
void ExpectTrackPlaces(const SacdArea& area, const std::vector<const TrackFile*>& tracks,
                       bool shared_sector) {
  ASSERT_EQ(area.tracks.size(), tracks.size());
  uint32_t frame = 0;
  bool shared = false;
  for (size_t t = 0; t < tracks.size(); ++t) {
    EXPECT_EQ(area.tracks[t].first_frame, frame);
    EXPECT_EQ(area.tracks[t].frames, tracks[t]->frames.size());
    frame += area.tracks[t].frames;
    if (t > 0) {
      const SacdTrack& before = area.tracks[t - 1];
      shared |= before.first_sector + before.sectors - 1 == area.tracks[t].first_sector;
    }
  }
  EXPECT_EQ(shared, shared_sector);
}

// Plain stereo in both layouts and both sector sizes, with Latin-1 text.
class PlainImages : public testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(PlainImages, DescribeTheDiscAndGiveBackEveryFrame) {
  const auto [sector_bytes, layout] = GetParam();
  const TrackFile one = PlainTrack(5, 1), two = PlainTrack(7, 2), three = PlainTrack(4, 3);
  TempDir dir;
  const Image image(MakeImage(
      dir, {&one, &two, &three},
      std::string("--sector-bytes ") + sector_bytes + " --plain-format " + layout +
          " --album-title 'Études' --album-artist 'Zoë' --album-publisher Pub"
          " --album-copyright '© 2001' --disc-title 'Disc Ü' --catalog CAT-0042"
          " --album-genre 5 --date 2001-09-30 --set 2/3"
          " --area-description 'Stéréo' --area-copyright '(P) 2001'"
          " --stereo {0} --title 'Café' --performer 'Björk' --composer C --isrc USABC0100001"
          " --genre 14 --stereo {1} --title Two --songwriter S --arranger A --message M"
          " --stereo {2} --genre 29"));
  ASSERT_FALSE(Failed(image.fault)) << image.disc.refusal;
  const SacdDisc& disc = image.disc;
  EXPECT_EQ(disc.image.sector_bytes, std::stoul(sector_bytes));
  EXPECT_TRUE(disc.notes.empty());
  EXPECT_EQ(disc.album_catalog_number, "CAT-0042");
  EXPECT_EQ(disc.year * 10000 + disc.month * 100 + disc.day, 20010930);
  EXPECT_EQ(disc.album_sequence_number, 2);
  EXPECT_EQ(disc.album_set_size, 3);
  EXPECT_STREQ(SacdGenreName(disc.album_genres[0]), "Classical");
  ASSERT_EQ(disc.text.size(), 1u);
  EXPECT_EQ(disc.text_channels[0].language, "en");
  EXPECT_EQ(disc.text_channels[0].character_set, CharacterSetLatin1);
  EXPECT_EQ(disc.text[0].album_title, "Études");
  EXPECT_EQ(disc.text[0].album_artist, "Zoë");
  EXPECT_EQ(disc.text[0].album_publisher, "Pub");
  EXPECT_EQ(disc.text[0].album_copyright, "© 2001");
  EXPECT_EQ(disc.text[0].disc_title, "Disc Ü");
  EXPECT_FALSE(disc.multichannel.present);
  const SacdArea& area = disc.stereo;
  ASSERT_TRUE(area.present);
  EXPECT_EQ(area.frame_format,
            std::string(layout) == "3in14" ? SacdFrameFormat::Dsd3In14 : SacdFrameFormat::Dsd3In16);
  EXPECT_EQ(area.description + "/" + area.copyright, "Stéréo/(P) 2001");
  EXPECT_EQ(area.channels, 2);
  EXPECT_EQ(area.speakers[0], FrontLeft);
  EXPECT_EQ(area.speakers[1], FrontRight);
  ExpectTrackPlaces(area, {&one, &two, &three}, true);
  const SacdTrackText& first = area.tracks[0].text[0];
  EXPECT_EQ(first.title, "Café");
  EXPECT_EQ(first.performer, "Björk");
  EXPECT_EQ(first.composer, "C");
  EXPECT_EQ(area.tracks[0].isrc, "USABC0100001");
  EXPECT_STREQ(SacdGenreName(area.tracks[0].genre), "Jazz");
  const SacdTrackText& second = area.tracks[1].text[0];
  EXPECT_EQ(second.title + second.songwriter + second.arranger + second.message, "TwoSAM");
  EXPECT_EQ(area.tracks[2].text[0].title, "");
  EXPECT_EQ(area.tracks[2].isrc, "");
  EXPECT_STREQ(SacdGenreName(area.tracks[2].genre), "Blues");
  ExpectFrames(area, {&one, &two, &three});
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlainImages,
                         testing::Combine(testing::Values("2048", "2064"),
                                          testing::Values("3in14", "3in16")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param);
                         });

// Two stereo DST tracks and a 5.1 DST track on one disc of raw sectors,
// with Shift-JIS text and supplementary data among the packets.
struct DstDisc {
  TrackFile one = DstTrack(2, 6, 1), two = DstTrack(2, 9, 2), surround = DstTrack(6, 5, 3);
  TempDir dir;
  Bytes bytes = MakeImage(dir, {&one, &two, &surround},
                          "--sector-bytes 2064 --supplementary --charset sjis --language ja"
                          " --album-title 'アルバム' --album-artist '演奏者'"
                          " --stereo {0} --title '交響曲 第1番' --performer 'オーケストラ'"
                          " --stereo {1} --multichannel {2} --title 'サラウンド'");
};

TEST(SacdImage, DstAreasOfOneDiscGiveTheirFramesAsWritten) {
  const DstDisc written;
  const Image image(written.bytes);
  ASSERT_FALSE(Failed(image.fault)) << image.disc.refusal;
  const SacdDisc& disc = image.disc;
  EXPECT_EQ(disc.image.sector_bytes, RawSectorBytes);
  EXPECT_EQ(disc.text_channels[0].language, "ja");
  EXPECT_EQ(disc.text[0].album_title, "アルバム");
  EXPECT_EQ(disc.text[0].album_artist, "演奏者");
  ASSERT_TRUE(disc.stereo.present && disc.multichannel.present);
  EXPECT_EQ(disc.stereo.frame_format, SacdFrameFormat::Dst);
  EXPECT_EQ(disc.stereo.tracks[0].text[0].title, "交響曲 第1番");
  EXPECT_EQ(disc.stereo.tracks[0].text[0].performer, "オーケストラ");
  EXPECT_EQ(disc.multichannel.tracks[0].text[0].title, "サラウンド");
  ExpectTrackPlaces(disc.stereo, {&written.one, &written.two}, true);
  ExpectFrames(disc.stereo, {&written.one, &written.two});
  const SacdArea& surround = disc.multichannel;
  EXPECT_EQ(surround.channels, 6);
  const Speaker five_one[] = {FrontLeft,    FrontRight, FrontCenter,
                              LowFrequency, BackLeft,   BackRight};
  EXPECT_TRUE(std::equal(five_one, five_one + 6, surround.speakers));
  ExpectFrames(surround, {&written.surround});
  // A frame read from the image decodes to the sound the twin was made of.
  SacdFrame frame;
  SacdCursor cursor;
  StartSacdCursor(surround, &cursor);
  ASSERT_TRUE(ReadSacdFrame(&cursor, 3, &frame));
  std::vector<std::vector<uint8_t>> sound(6, std::vector<uint8_t>(FrameBytes));
  std::vector<uint8_t*> out;
  for (auto& c : sound) out.push_back(c.data());
  auto scratch = std::make_unique<DstScratch>();
  ASSERT_TRUE(DecodeDstFrame(frame.bytes.data(), frame.bytes.size(), 6, FrameBytes, out.data(),
                             scratch.get()));
  EXPECT_TRUE(sound == MusicLikeSound(6, FrameBytes, 303));
}

TEST(SacdImage, AFiveChannelAreaHasTheSurroundPairBehind) {
  const TrackFile five = DstTrack(5, 3, 4);
  TempDir dir;
  const Image image(MakeImage(dir, {&five}, "--multichannel {0}"));
  ASSERT_FALSE(Failed(image.fault)) << image.disc.refusal;
  EXPECT_FALSE(image.disc.stereo.present);
  const Speaker expected[] = {FrontLeft, FrontRight, FrontCenter, BackLeft, BackRight};
  EXPECT_TRUE(std::equal(expected, expected + 5, image.disc.multichannel.speakers));
  ExpectFrames(image.disc.multichannel, {&five});
}

TEST(SacdImage, AnythingElseIsNotAnImage) {
  for (const Bytes& bytes : {Bytes(), DsdiffOf(RandomSound(4096, 1)), Bytes(600 * 2048, '\0')}) {
    const Image image(bytes);
    EXPECT_EQ(image.fault.failure, Failure::NotDsd);
  }
}

// Reading frame by frame, in any order, with any number of cursors, gives
// what the reading from the track area's start gives.
void ExpectFramesAsTheReference(const SacdArea& area, uint32_t seed) {
  std::vector<SacdFrame> reference(area.frames);
  for (uint32_t f = 0; f < area.frames; ++f) ReadSacdFrameReference(area, f, &reference[f]);
  auto same = [&](const SacdFrame& frame, uint32_t f) {
    return frame.damage.empty() == reference[f].damage.empty() && frame.bytes == reference[f].bytes;
  };
  const std::vector<SacdFrame> in_order = ReadInOrder(area);
  std::vector<uint32_t> order(area.frames);
  for (uint32_t f = 0; f < area.frames; ++f) {
    order[f] = f;
    EXPECT_TRUE(same(in_order[f], f)) << "frame " << f << " read in order";
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  SacdCursor cursor;
  StartSacdCursor(area, &cursor);
  for (uint32_t f : order) {
    SacdFrame frame;
    ReadSacdFrame(&cursor, f, &frame);
    EXPECT_TRUE(same(frame, f)) << "frame " << f << " found by search";
  }
  // Two threads, each with its cursor, reading pieces of 4 frames in turn.
  std::vector<std::thread> workers;
  std::vector<int> wrong(2);
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&, w] {
      SacdCursor own;
      StartSacdCursor(area, &own);
      SacdFrame frame;
      for (uint32_t f = 0; f < area.frames; ++f) {
        if (f / 4 % 2 != static_cast<uint32_t>(w)) continue;
        ReadSacdFrame(&own, f, &frame);
        wrong[w] += !same(frame, f);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(wrong, std::vector<int>(2, 0));
}

TEST(SacdFrames, SearchOrderAndThreadsGiveWhatTheReferenceGives) {
  const DstDisc written;
  const Image image(written.bytes);
  ASSERT_FALSE(Failed(image.fault));
  ExpectFramesAsTheReference(image.disc.stereo, 1);
  ExpectFramesAsTheReference(image.disc.multichannel, 2);
  const TrackFile one = PlainTrack(8, 5), two = PlainTrack(4, 6);
  TempDir dir;
  const Image plain(MakeImage(dir, {&one, &two}, "--stereo {0} --stereo {1}"));
  ExpectFramesAsTheReference(plain.disc.stereo, 3);
  SacdFrame frame;
  EXPECT_FALSE(ReadSacdFrameReference(plain.disc.stereo, 12, &frame));
  EXPECT_EQ(frame.damage, "frame 12 is past the area's end");
}

// Where discs made elsewhere put the fields, by their byte numbers rather
// than by the names the reader shares with dff-sacd: a layout that the two
// got wrong alike passes every other test.
uint32_t WordAt(const Bytes& b, size_t at) {
  return static_cast<uint8_t>(b[at]) << 8 | static_cast<uint8_t>(b[at + 1]);
}
uint32_t LongAt(const Bytes& b, size_t at) { return WordAt(b, at) << 16 | WordAt(b, at + 2); }

TEST(SacdLayout, TheAreaTocsFieldsLieWhereDiscsPutThem) {
  const TrackFile one = DstTrack(2, 12, 9), two = DstTrack(2, 2, 10);
  TempDir dir;
  const Bytes image =
      MakeImage(dir, {&one, &two},
                "--album-title A --disc-publisher P --stereo {0} --title T --stereo {1} --isrc "
                "USABC0100002 --genre 14");
  auto sector = [&](uint32_t s) { return image.substr(size_t{s} * 2048, 2048); };
  // Master text: album title, artist, publisher, copyright from 16, their
  // phonetic spellings, then the disc's from 32.
  const Bytes master_text = sector(511);
  EXPECT_EQ(master_text.substr(WordAt(master_text, 16), 2), Bytes("A\0", 2));
  EXPECT_EQ(master_text.substr(WordAt(master_text, 36), 2), Bytes("P\0", 2));
  const uint32_t toc = LongAt(sector(510), 64);
  const Bytes head = sector(toc);
  ASSERT_EQ(head.substr(0, 8), "TWOCHTOC");
  // The track text pointer follows the room for 10 text channels from 88.
  const Bytes text = sector(toc + WordAt(head, 128));
  ASSERT_EQ(text.substr(0, 8), "SACDTTxt");
  // Each track's record position follows the signature; the second track has none.
  const size_t record = WordAt(text, 8);
  EXPECT_EQ(WordAt(text, 10), 0u);
  EXPECT_EQ(text.substr(record, 8), Bytes("\1\0\0\0\1\0T\0", 8));  // 1 item: title "T"
  // The TOC's block that opens with `signature`, as a byte of the image.
  auto block = [&](const char* signature) {
    for (uint32_t s = 1; s < WordAt(sector(510), 84); ++s)
      if (sector(toc + s).substr(0, 8) == signature) return size_t{toc + s} * 2048;
    return size_t{0};
  };
  // ISRCs of 12 bytes from 8, then 4 reserved bytes, then genres of 4 from 3,072.
  const size_t list = block("SACD_IGL");
  ASSERT_NE(list, 0u);
  EXPECT_EQ(image.substr(list + 8 + 12, 12), "USABC0100002");
  EXPECT_EQ(image.substr(list + 3072 + 4, 4), Bytes("\1\0\0\x0E", 4));  // general table, Jazz
  // Start times of 4 bytes from 8, binary: the second track starts at frame 12, not 0x12.
  const size_t times = block("SACDTRL2");
  ASSERT_NE(times, 0u);
  EXPECT_EQ(image.substr(times + 8 + 4, 3), Bytes("\0\0\x0C", 3));
}

TEST(SacdLayout, TheAudioSectorsFieldsLieWhereDiscsPutThem) {
  const TrackFile five = DstTrack(5, 3, 11);
  TempDir dir;
  const Bytes image = MakeImage(dir, {&five}, "--multichannel {0}");
  const Bytes head = image.substr(size_t{LongAt(image.substr(510 * 2048, 2048), 72)} * 2048, 2048);
  ASSERT_EQ(head.substr(0, 8), "MULCHTOC");
  EXPECT_EQ(head[32], 5);       // channels
  EXPECT_EQ(head[33] >> 3, 3);  // loudspeakers: 5 channels
  const Bytes first = image.substr(size_t{LongAt(head, 72)} * 2048, 2048);
  // Header: packets in bits 7-5, frame starts in 4-2, DST in bit 0.
  const int packets = static_cast<uint8_t>(first[0]) >> 5;
  EXPECT_EQ(first[0] & 0x1F, 1 << 2 | 1);
  // The first packet starts a frame (bit 15) and is audio (type 2 in bits 13-11).
  EXPECT_EQ(WordAt(first, 1) >> 11, 0x10 | 2);
  // Frame 0's time code, its sectors in bits 6-2 and 5 channels in bit 0.
  const Bytes info = first.substr(1 + 2 * packets, 4);
  EXPECT_EQ(info.substr(0, 3), Bytes(3, '\0'));
  EXPECT_GT(info[3] >> 2 & 0x1F, 0);
  EXPECT_EQ(info[3] & 3, 1);
}

// Patches `bytes` into user data `offset` bytes into `sector` of an image.
void Patch(Bytes* image, const SacdImage& geometry, uint64_t sector, size_t offset,
           const Bytes& bytes) {
  image->replace(sector * geometry.sector_bytes + geometry.data_offset + offset, bytes.size(),
                 bytes);
}

// The same in both copies of an area's TOC, `sector` sectors into it.
void PatchAreaTocs(Bytes* image, const SacdDisc& disc, const SacdArea& area, uint32_t sector,
                   size_t offset, const Bytes& bytes) {
  Patch(image, disc.image, area.toc1_sector + sector, offset, bytes);
  Patch(image, disc.image, area.toc2_sector + sector, offset, bytes);
}

void PatchMasterTocs(Bytes* image, const SacdDisc& disc, size_t offset, const Bytes& bytes) {
  for (uint32_t copy : MasterTocCopies) Patch(image, disc.image, copy, offset, bytes);
}

TEST(SacdDamage, ADamagedSectorSilencesOnlyTheFramesInIt) {
  const DstDisc written;
  const Image whole(written.bytes);
  const SacdArea& area = whole.disc.stereo;
  // A sector inside the second track, with no packets: it cannot be parsed.
  const uint32_t sector = area.tracks[1].first_sector + 5;
  Bytes bytes = written.bytes;
  Patch(&bytes, whole.disc.image, sector, 0, Bytes(1, '\0'));
  const Image damaged(bytes);
  ASSERT_FALSE(Failed(damaged.fault));
  const std::vector<SacdFrame> frames = ReadInOrder(damaged.disc.stereo);
  std::vector<uint32_t> silent;
  for (uint32_t f = 0; f < frames.size(); ++f) {
    if (frames[f].damage.empty()) {
      const Bytes& expected = f < 6 ? written.one.frames[f] : written.two.frames[f - 6];
      EXPECT_TRUE(Bytes(frames[f].bytes.begin(), frames[f].bytes.end()) == expected);
    } else {
      EXPECT_EQ(frames[f].damage, "sector " + std::to_string(sector) + " is malformed");
      silent.push_back(f);
    }
  }
  // One frame, or two that the sector ends and starts.
  ASSERT_FALSE(silent.empty());
  EXPECT_LE(silent.size(), 2u);
  EXPECT_EQ(silent.back() - silent.front(), silent.size() - 1);
  ExpectFramesAsTheReference(damaged.disc.stereo, 4);
}

TEST(SacdDamage, ALongRunOfZeroedSectorsSilencesTheFramesInIt) {
  const TrackFile one = PlainTrack(60, 8);
  TempDir dir;
  const Bytes written = MakeImage(dir, {&one}, "--stereo {0}");
  const Image whole(written);
  Bytes bytes = written;
  const uint32_t first = whole.disc.stereo.first_sector + 100, run = 70;
  for (uint32_t s = first; s < first + run; ++s)
    Patch(&bytes, whole.disc.image, s, 0, Bytes(2048, '\0'));
  const Image damaged(bytes);
  const std::vector<SacdFrame> frames = ReadInOrder(damaged.disc.stereo);
  for (uint32_t f = 0; f < frames.size(); ++f) {
    // A plain frame spans 14 / 3 sectors: those in the run, or touching it, are lost.
    const bool lost = f * 14 / 3 + 5 > 100 && f * 14 / 3 < 100 + run;
    EXPECT_EQ(frames[f].damage.empty(), !lost) << "frame " << f << ": " << frames[f].damage;
    if (!lost) {
      EXPECT_TRUE(Bytes(frames[f].bytes.begin(), frames[f].bytes.end()) == one.frames[f]);
    }
  }
  ExpectFramesAsTheReference(damaged.disc.stereo, 5);
}

// A frame start whose time code is damaged to a later or an earlier one, the
// first and last frames' among them, costs that frame alone, read in any order.
TEST(SacdDamage, AWrongTimeCodeSilencesOnlyItsFrame) {
  const TrackFile one = PlainTrack(40, 9);
  TempDir dir;
  const Bytes written = MakeImage(dir, {&one}, "--stereo {0}");
  const Image whole(written);
  const SacdImage& geometry = whole.disc.image;
  // Where the first time code of the sector in which frame `frame` starts lies.
  auto time_code = [&](uint32_t frame) {
    for (uint32_t s = whole.disc.stereo.first_sector;; ++s) {
      const size_t data = size_t{s} * geometry.sector_bytes + geometry.data_offset;
      const uint8_t header = written[data];
      const size_t code = data + 1 + 2 * (header >> 5);
      if ((header >> 2 & 7) != 0 &&
          (written[code] * 60u + written[code + 1]) * 75 + written[code + 2] == frame) {
        return std::make_pair(s, code - data);
      }
    }
  };
  const std::vector<std::tuple<uint32_t, Bytes, std::string>> cases = {
      {12, Bytes("\x28\0\0", 3), "40:00:00"},
      {12, Bytes("\0\0\2", 3), "00:00:02"},
      {0, Bytes("\0\1\0", 3), "00:01:00"},
      {39, Bytes("\0\0\5", 3), "00:00:05"}};
  for (const auto& [frame, code, text] : cases) {
    Bytes bytes = written;
    const auto [sector, offset] = time_code(frame);
    Patch(&bytes, geometry, sector, offset, code);
    const Image damaged(bytes);
    const std::vector<SacdFrame> frames = ReadInOrder(damaged.disc.stereo);
    for (uint32_t f = 0; f < frames.size(); ++f) {
      if (f == frame) {
        EXPECT_EQ(frames[f].damage, "frame " + std::to_string(f) + "'s time code reads " + text);
      } else {
        EXPECT_EQ(frames[f].damage, "") << "frame " << f << ", " << text;
        EXPECT_TRUE(Bytes(frames[f].bytes.begin(), frames[f].bytes.end()) == one.frames[f]);
      }
    }
    ExpectFramesAsTheReference(damaged.disc.stereo, frame + 7);
  }
}

TEST(SacdDamage, AnImageCutShortDescribesWhatItHolds) {
  const DstDisc written;
  const Image whole(written.bytes);
  const SacdArea& area = whole.disc.stereo;
  const uint32_t cut = area.tracks[1].first_sector + 6;
  const Image cut_short(written.bytes.substr(0, cut * whole.disc.image.sector_bytes + 1000));
  ASSERT_FALSE(Failed(cut_short.fault)) << cut_short.disc.refusal;
  const SacdDisc& disc = cut_short.disc;
  EXPECT_FALSE(disc.multichannel.present);
  ASSERT_EQ(disc.notes.size(), 1u);
  EXPECT_NE(disc.notes[0].find("the multichannel area lies past the end of the image"),
            std::string::npos);
  ASSERT_EQ(disc.stereo.tracks.size(), 2u);
  const std::vector<SacdFrame> frames = ReadInOrder(disc.stereo);
  size_t readable = 0;
  for (uint32_t f = 0; f < frames.size(); ++f) {
    if (!frames[f].damage.empty()) {
      EXPECT_EQ(frames[f].damage.rfind("the image ends before sector ", 0), 0u) << frames[f].damage;
      continue;
    }
    EXPECT_EQ(f, readable++) << "a readable frame after the cut";
  }
  EXPECT_GT(readable, 6u);
  EXPECT_LT(readable, frames.size());
}

TEST(SacdToc, ADamagedCopyGivesWayToTheNext) {
  const DstDisc written;
  const Image whole(written.bytes);
  Bytes bytes = written.bytes;
  // Master TOC 510 without its signature, 520 naming an area inside the
  // master TOC; the stereo TOC-1 contradicting itself, the multichannel
  // TOC-1 without its signature.
  Patch(&bytes, whole.disc.image, 510, 0, "XXXXXXXX");
  Patch(&bytes, whole.disc.image, 520, StereoToc1Offset, BigEndian(100, 4));
  Patch(&bytes, whole.disc.image, whole.disc.stereo.toc_sector, TrackCountOffset, Bytes(1, '\0'));
  Patch(&bytes, whole.disc.image, whole.disc.multichannel.toc_sector, 0, "XXXXXXXX");
  const Image image(bytes);
  ASSERT_FALSE(Failed(image.fault)) << image.disc.refusal;
  const SacdDisc& disc = image.disc;
  EXPECT_EQ(disc.master_toc_sector, 530u);
  EXPECT_EQ(disc.stereo.toc_sector, whole.disc.stereo.toc2_sector);
  EXPECT_EQ(disc.stereo.toc2_sector, whole.disc.stereo.last_sector + 1);
  EXPECT_EQ(disc.multichannel.toc_sector, whole.disc.multichannel.toc2_sector);
  const std::vector<std::string> notes = {
      "the master TOC at sector 510: it has no SACDMTOC signature; read the copy at sector 530",
      "the stereo area's TOC-1 (sector 540): it has no tracks; read its TOC-2",
      "the multichannel area's TOC-1 (sector " +
          std::to_string(whole.disc.multichannel.toc_sector) +
          "): it has no MULCHTOC signature; read its TOC-2"};
  EXPECT_EQ(disc.notes, notes);
  ExpectFrames(disc.stereo, {&written.one, &written.two});
  // Every copy of the master TOC damaged: not an image.
  Patch(&bytes, whole.disc.image, 520, 0, "XXXXXXXX");
  Patch(&bytes, whole.disc.image, 530, 0, "XXXXXXXX");
  EXPECT_EQ(Image(bytes).fault.failure, Failure::NotDsd);
}

TEST(SacdToc, TextInAnUnknownCharacterSetKeepsItsAscii) {
  const TrackFile one = PlainTrack(3, 7);
  TempDir dir;
  const Bytes written = MakeImage(dir, {&one}, "--album-title 'Ça va' --stereo {0} --title 'Né'");
  const Image whole(written);
  Bytes bytes = written;
  PatchMasterTocs(&bytes, whole.disc, TextChannelsOffset + TextChannelCharacterSetOffset,
                  Bytes(1, '\x09'));
  PatchAreaTocs(&bytes, whole.disc, whole.disc.stereo, 0,
                AreaTextChannelsOffset + TextChannelCharacterSetOffset, Bytes(1, '\x09'));
  const Image image(bytes);
  ASSERT_FALSE(Failed(image.fault));
  EXPECT_EQ(image.disc.text[0].album_title, "?a va");
  EXPECT_EQ(image.disc.stereo.tracks[0].text[0].title, "N?");
  ASSERT_EQ(image.disc.notes.size(), 2u);
  EXPECT_EQ(image.disc.notes[0],
            "the master text of text channel 1 is in character set 9, which is not known: its "
            "ASCII kept");
  // Named ISO 646, the Latin-1 byte is one the set does not define.
  PatchMasterTocs(&bytes, whole.disc, TextChannelsOffset + TextChannelCharacterSetOffset,
                  Bytes(1, CharacterSetIso646));
  const Image ascii(bytes);
  EXPECT_EQ(ascii.disc.text[0].album_title,
            "\xEF\xBF\xBD"
            "a va");
  EXPECT_EQ(ascii.disc.notes[0],
            "the master text of text channel 1 holds bytes its character set does not define");
  // Latin-1 that allows escapes to other sets, and uses none, is Latin-1.
  PatchMasterTocs(&bytes, whole.disc, TextChannelsOffset + TextChannelCharacterSetOffset,
                  Bytes(1, CharacterSetLatin1Escapes));
  const Image escapes(bytes);
  EXPECT_EQ(escapes.disc.text[0].album_title, "Ça va");
}

// A TOC that contradicts itself in every copy is refused, with the reason.
TEST(SacdToc, EveryContradictionIsRefused) {
  const DstDisc written;
  const Image whole(written.bytes);
  const SacdDisc& disc = whole.disc;
  const SacdArea& stereo = disc.stereo;
  const SacdTrack& second = stereo.tracks[1];
  auto number = [](uint64_t value) { return BigEndian(value, 4); };
  const std::string multichannel = "the multichannel area's TOC-1 (sector " +
                                   std::to_string(disc.multichannel.toc_sector) + "): ";
  struct Case {
    std::string refusal;
    std::function<void(Bytes*)> patch;
  };
  const std::vector<Case> cases = {
      {"the master TOC at sector 510: the stereo area's TOC lies inside the master TOC's sectors",
       [&](Bytes* b) { PatchMasterTocs(b, disc, StereoToc1Offset, number(100)); }},
      {"the master TOC at sector 510: the two areas overlap",
       [&](Bytes* b) { PatchMasterTocs(b, disc, MultichannelToc1Offset, number(560)); }},
      {"the master TOC at sector 510: it names no audio area",
       [&](Bytes* b) { PatchMasterTocs(b, disc, StereoToc1Offset, Bytes(16, '\0')); }},
      {"the stereo area's TOC-1 (sector 540): track 2 starts before track 1",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, stereo, 1, TrackStartSectorsOffset,
                       number(second.first_sector + 1));
         PatchAreaTocs(b, disc, stereo, 1, TrackSectorCountsOffset, number(1));
       }},
      {"the stereo area's TOC-1 (sector 540): track 2 overlaps track 1",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, stereo, 1, TrackSectorCountsOffset,
                       number(stereo.tracks[0].sectors + 1));
       }},
      {"the stereo area's TOC-1 (sector 540): track 2 overlaps track 1",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, stereo, 2, TrackStartTimesOffset + 4, Bytes("\0\0\5", 3));
       }},
      {"the stereo area's TOC-1 (sector 540): track 2 ends after the area's playing time",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, stereo, 2, TrackDurationsOffset + 4, Bytes("\0\1\0", 3));
       }},
      {"the stereo area's TOC-1 (sector 540): track 2 lies outside the track area",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, stereo, 1, TrackSectorCountsOffset + 4,
                       number(second.sectors + 99));
       }},
      {"the stereo area's TOC-1 (sector 540): its track area (sectors " +
           std::to_string(stereo.first_sector) + " to " + std::to_string(stereo.last_sector + 1) +
           ") lies outside the area",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, stereo, 0, TrackAreaLastOffset, number(stereo.last_sector + 1));
       }},
      {"the stereo area's TOC-1 (sector 540): it has no tracks",
       [&](Bytes* b) { PatchAreaTocs(b, disc, stereo, 0, TrackCountOffset, Bytes(1, '\0')); }},
      {"the stereo area's TOC-1 (sector 540): its sample rate code is 5; only 4, DSD64, is known",
       [&](Bytes* b) { PatchAreaTocs(b, disc, stereo, 0, RateCodeOffset, "\5"); }},
      {"the stereo area's TOC-1 (sector 540): its frame format 9 is not known",
       [&](Bytes* b) { PatchAreaTocs(b, disc, stereo, 0, FrameFormatOffset, "\x09"); }},
      {"the stereo area's TOC-1 (sector 540): a stereo area of 6 channels",
       [&](Bytes* b) { PatchAreaTocs(b, disc, stereo, 0, ChannelCountOffset, "\6"); }},
      {multichannel + "it has 7 channels; 1 to 6 are taken",
       [&](Bytes* b) { PatchAreaTocs(b, disc, disc.multichannel, 0, ChannelCountOffset, "\7"); }},
      {multichannel + "plain frames of 6 channels",
       [&](Bytes* b) {
         PatchAreaTocs(b, disc, disc.multichannel, 0, FrameFormatOffset,
                       Bytes(1, FrameFormatDsd3In14));
       }},
  };
  for (const Case& c : cases) {
    Bytes bytes = written.bytes;
    c.patch(&bytes);
    const Image image(bytes);
    EXPECT_EQ(image.fault.failure, Failure::UnsupportedSound) << c.refusal;
    EXPECT_EQ(image.disc.refusal, c.refusal);
    EXPECT_EQ(image.fault.reason, image.disc.refusal.c_str());
  }
}

}  // namespace
