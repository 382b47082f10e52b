// An input as an album: --tracks lists, the cut of each track at every
// rate, the checks that refuse a track list, names made safe, short and
// distinct, and whose fields a track's tags take.
#include <gtest/gtest.h>

#include "album/album.h"

namespace {

Track TrackAt(int number, uint64_t start, uint64_t end = SoundEnd, std::string title = "") {
  Track track;
  track.number = number;
  track.start = start;
  track.end = end;
  track.title = std::move(title);
  return track;
}

std::string Value(const TagRecord& record, const std::string& name) {
  for (const TagComment& c : record.comments) {
    if (c.name == name) return c.value;
  }
  return "";
}

}  // namespace

TEST(TrackList, TakesNumbersAndRangesOnly) {
  std::vector<int> numbers;
  ASSERT_TRUE(ParseTrackList("6,1,4-5,4", &numbers));
  EXPECT_EQ(numbers, (std::vector<int>{1, 4, 5, 6}));
  for (const char* bad : {"", "0", "3-1", "1,", ",2", "1-", "a", "1 2", "-3", "99999999999"}) {
    EXPECT_FALSE(ParseTrackList(bad, &numbers)) << bad;
  }
}

TEST(TrackCut, FallsOnTheFilterFrameAndScalesWithTheRate) {
  // DSD64: a frame of 32 samples at 88,200 Hz. A start at sample 37632 (a
  // 1/75 s frame) is filter frame 1176, and 588 frames at 44,100 Hz.
  const Track track = TrackAt(1, 37632, 2 * 37632);
  const TrackCut same = CutOf(track, 100000, 88200, 88200);
  EXPECT_EQ(same.first, 1176u);
  EXPECT_EQ(same.frames, 1176u);
  const TrackCut half = CutOf(track, 100000, 88200, 44100);
  EXPECT_EQ(half.first, 588u);
  EXPECT_EQ(half.frames, 588u);
  const TrackCut other = CutOf(track, 100000, 88200, 48000);  // across families: whole frames too
  EXPECT_EQ(other.first, 640u);
  EXPECT_EQ(other.frames, 640u);
  // A sample between frames falls on the frame before; the last track runs
  // to the end of the stream, and nothing past it.
  EXPECT_EQ(CutOf(TrackAt(1, 63), 100, 88200, 88200).first, 1u);
  EXPECT_EQ(CutOf(TrackAt(1, 3200), 150, 88200, 88200).frames, 50u);
  EXPECT_EQ(CutOf(TrackAt(1, 3200, 64000), 150, 88200, 88200).frames, 50u);
}

TEST(TrackProblem, SaysWhatKeepsTracksFromBeingCut) {
  EXPECT_EQ(TrackProblem({TrackAt(1, 0), TrackAt(2, 32 * 99)}, 100), "");
  EXPECT_EQ(TrackProblem({TrackAt(1, 0), TrackAt(2, 32 * 100)}, 100),
            "track 2 starts past the end of the sound");
  EXPECT_EQ(TrackProblem({TrackAt(1, 64), TrackAt(2, 64)}, 100),
            "track 2 starts at the same time as track 1");
  EXPECT_EQ(TrackProblem({TrackAt(1, 640), TrackAt(2, 64)}, 100), "track 2 starts before track 1");
}

TEST(TrackFileName, MakesAnyTitleANameInsideItsFolder) {
  const auto name = [](const std::string& tmpl, const std::string& title) {
    return TrackFileName(tmpl, TrackAt(7, 0, SoundEnd, title), "Al/bum", "Band", ".flac");
  };
  EXPECT_EQ(name("%n - %t", "a/b\\c\td"), "07 - a_b_c_d");
  EXPECT_EQ(name("%t", ".."), "07");
  EXPECT_EQ(name("%t", ""), "07");
  EXPECT_EQ(name("%t", "-rf"), "_-rf");
  EXPECT_EQ(name("%t", ".hidden"), "_.hidden");
  EXPECT_EQ(name("%a %p %% %x", "t"), "Al_bum Band % %x");
  // At most 255 bytes with the ending, cut before a character, not inside it.
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\u00e9";  // two bytes each
  const std::string cut = name("%t", accented);
  EXPECT_LE(cut.size() + 5, MaxNameBytes);
  EXPECT_EQ(cut.size() % 2, 0u);
  EXPECT_LE(name("%t", std::string(400, 'e')).size() + 5, MaxNameBytes);
}

TEST(TrackFileName, EqualNamesBecomeDistinctWithinTheLimit) {
  std::vector<std::string> names = {"Same", "Same", "Other", "Same", std::string(250, 'n'),
                                    std::string(250, 'n')};
  MakeDistinct(".wav", &names);
  EXPECT_EQ(names[1], "Same (2)");
  EXPECT_EQ(names[3], "Same (3)");
  EXPECT_EQ(names[5].substr(names[5].size() - 4), " (2)");
  EXPECT_LE(names[5].size() + 4, MaxNameBytes);
  EXPECT_NE(names[4], names[5]);
}

TEST(TrackTags, AFilesTagGivesTheAlbumAndTheTrackItsOwnFields) {
  SoundSource source;
  source.tags.comments = {{"TITLE", "Whole"}, {"ARTIST", "Band"}, {"ALBUM", "Album"},
                          {"TRACKNUMBER", "9"}, {"GENRE", "Jazz"}};
  source.album.date = "1999";
  source.tracks = {TrackAt(1, 0, 10, "One"), TrackAt(2, 10, SoundEnd, "Two")};
  source.tracks[1].performer = "Solo";
  TagRecord second = TrackTags(source, source.tracks, 1);
  EXPECT_EQ(Value(second, "TITLE"), "Two");
  EXPECT_EQ(Value(second, "ARTIST"), "Solo");
  EXPECT_EQ(Value(second, "ALBUMARTIST"), "Band");
  EXPECT_EQ(Value(second, "TRACKNUMBER"), "2");
  EXPECT_EQ(Value(second, "TRACKTOTAL"), "2");
  EXPECT_EQ(Value(second, "GENRE"), "Jazz");
  EXPECT_EQ(Value(second, "DATE"), "1999");
  EXPECT_EQ(Value(TrackTags(source, source.tracks, 0), "ARTIST"), "Band");
  EXPECT_FALSE(second.id3.empty());
  // A track's own tag wins over what the container says of it.
  source.tracks[0].has_tags = true;
  source.tracks[0].tags.comments = {{"TITLE", "Own title"}, {"TRACKNUMBER", "5"}};
  const TagRecord first = TrackTags(source, source.tracks, 0);
  EXPECT_EQ(Value(first, "TITLE"), "Own title");
  EXPECT_EQ(Value(first, "TRACKNUMBER"), "5");
  EXPECT_EQ(Value(first, "ALBUM"), "Album");
}
