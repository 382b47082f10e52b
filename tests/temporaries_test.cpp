#include "driver/temporaries.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/test_support.h"

namespace {

TEST(Temporaries, NamesAreHiddenBesideTheirOutput) {
  EXPECT_EQ(TemporaryOf("a/b/song.flac"), "a/b/.song.flac.part");
  EXPECT_EQ(TemporaryOf("song.wav"), ".song.wav.part");
  EXPECT_EQ(TemporaryOf("out/album//"), "out/.album.part");
  EXPECT_TRUE(IsTemporaryName(".song.flac.part"));
  EXPECT_FALSE(IsTemporaryName(".part"));
  EXPECT_FALSE(IsTemporaryName("song.flac.part"));
  EXPECT_FALSE(IsTemporaryName(".song.flac"));
}

// A name of up to 255 bytes is a file's name; its temporary must be one too,
// and two long names that differ only at their ends keep two temporaries.
TEST(Temporaries, LongNamesHaveTemporariesOfTheirOwnThatFit) {
  const std::string start(248, 'a');
  const std::string first = TemporaryOf("out/" + start + "1.flac");
  const std::string second = TemporaryOf("out/" + start + "2.flac");
  EXPECT_LE(first.size() - 4, 255u);
  EXPECT_NE(first, second);
  EXPECT_EQ(first, TemporaryOf("out/" + start + "1.flac"));
  EXPECT_TRUE(IsTemporaryName(first.substr(4)));
  std::string accents = "x";
  for (int i = 0; i < 125; ++i) accents += "\xc3\xa9";
  const std::string wide = TemporaryOf(accents);
  EXPECT_EQ(wide.substr(wide.find('~') - 2, 2), "\xc3\xa9");  // cut at a whole character
}

// A temporary that a run holds is left to it; one that no run holds is
// stale, and the next run replaces it with an empty one of its own.
TEST(Temporaries, AHeldFileIsBusyAndAStaleOneIsReplaced) {
  TempDir dir;
  const std::string temp = dir / ".out.wav.part";
  bool busy = true;
  const int first = CreateTemporaryFile(temp, 0644, &busy);
  ASSERT_GE(first, 0);
  EXPECT_FALSE(busy);
  ASSERT_EQ(write(first, "half", 4), 4);

  EXPECT_EQ(CreateTemporaryFile(temp, 0644, &busy), -1);
  EXPECT_TRUE(busy);
  RemoveStaleTemporary(temp);
  EXPECT_EQ(ReadFile(temp), "half");

  close(first);  // the run that wrote it has gone
  const int second = CreateTemporaryFile(temp, 0644, &busy);
  ASSERT_GE(second, 0);
  EXPECT_FALSE(busy);
  EXPECT_EQ(ReadFile(temp), "");
  close(second);
  Forget(temp);
  Forget(temp);
}

// Whatever stands at a temporary's name and is no plain file or folder is
// not this program's: it is neither followed nor removed.
TEST(Temporaries, ALinkAtTheNameIsLeftAloneAndNotFollowed) {
  TempDir dir;
  WriteFile(dir / "precious", "the user's");
  const std::string temp = dir / ".out.flac.part";
  ASSERT_EQ(symlink("precious", temp.c_str()), 0);
  bool busy = false;
  EXPECT_EQ(CreateTemporaryFile(temp, 0644, &busy), -1);
  EXPECT_FALSE(busy);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(CreateTemporaryFolder(temp, &busy), -1);
  EXPECT_FALSE(busy);
  RemoveStaleTemporary(temp);
  struct stat st;
  EXPECT_EQ(lstat(temp.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir / "precious"), "the user's");
}

// A stale track folder goes with its files, links among them removed
// themselves rather than what they point at; a folder holding a folder is
// none of ours and stays.
TEST(Temporaries, StaleFoldersGoWithTheirFilesOnly) {
  TempDir dir;
  WriteFile(dir / "precious", "the user's");
  const std::string temp = dir / ".album.part";
  bool busy = true;
  const int held = CreateTemporaryFolder(temp, &busy);
  ASSERT_GE(held, 0);
  EXPECT_FALSE(busy);
  WriteFile(temp + "/01 - One.flac", "track");
  ASSERT_EQ(symlink("../precious", (temp + "/02 - Two.flac").c_str()), 0);
  EXPECT_EQ(CreateTemporaryFolder(temp, &busy), -1);
  EXPECT_TRUE(busy);

  close(held);
  Forget(temp);
  const int again = CreateTemporaryFolder(temp, &busy);
  ASSERT_GE(again, 0);
  EXPECT_FALSE(FileExists(temp + "/01 - One.flac"));
  EXPECT_EQ(ReadFile(dir / "precious"), "the user's");
  close(again);
  Forget(temp);

  // A folder of that name that holds a folder is not ours: nothing in it goes.
  ASSERT_EQ(mkdir((temp + "/inner").c_str(), 0755), 0);
  WriteFile(temp + "/zz keep", "kept");
  WriteFile(temp + "/00 keep", "kept");
  EXPECT_EQ(CreateTemporaryFolder(temp, &busy), -1);
  EXPECT_FALSE(busy);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_TRUE(FileExists(temp + "/inner"));
  EXPECT_EQ(ReadFile(temp + "/zz keep"), "kept");
  EXPECT_EQ(ReadFile(temp + "/00 keep"), "kept");
}

}  // namespace
