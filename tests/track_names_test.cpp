// File names of an album's tracks: made distinct however many tracks share a
// title.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "album/album.h"

TEST(MakeDistinct, TwentyThousandEqualTitlesEachGetTheirOwnNumber) {
  std::vector<std::string> names(20000, "Untitled");
  names.insert(names.begin() + 1, "Untitled (3)");  // taken before its turn
  MakeDistinct(".flac", &names);
  EXPECT_EQ(names[0], "Untitled");
  EXPECT_EQ(names[1], "Untitled (3)");
  EXPECT_EQ(names[2], "Untitled (2)");
  EXPECT_EQ(names[3], "Untitled (4)");
  EXPECT_EQ(names.back(), "Untitled (20001)");
}
