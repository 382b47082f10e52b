// Division layout and WAV sizes derived from the sound data's size, and the
// header bytes they produce.
#include <gtest/gtest.h>

#include "decimate/division.h"
#include "tests/test_support.h"
#include "wav/wav.h"

namespace {

TEST(DivisionLayout, FromGroupCounts) {
  const struct {
    uint32_t DsdSize, DsdLR64Size, DivNum, LastDivSize;
  } cases[] = {
      {128, 0x10, 1, 0x10},  // the smallest input
      {1000, 125, 1, 125},
      {0x4000000, 0x800000, 1, 0x800000},  // exactly one full division
      {0x4000008, 0x800001, 2, 1},         // one group into a second division
      {0x4000080, 0x800010, 2, 0x10},
      {0xFFFFFFF8, 0x1FFFFFFF, 64, 0x7FFFFF},
  };
  for (const auto& c : cases) {
    const DivisionLayout layout = DivisionLayoutOf(c.DsdSize);
    EXPECT_EQ(layout.DsdLR64Size, c.DsdLR64Size) << c.DsdSize;
    EXPECT_EQ(layout.DivNum, c.DivNum) << c.DsdSize;
    EXPECT_EQ(layout.LastDivSize, c.LastDivSize) << c.DsdSize;
  }
}

TEST(WavSizes, SixBytesPerGroupLessSixteenFrames) {
  EXPECT_EQ(WavSizes(128, 16).WavSize, 0u);
  EXPECT_EQ(WavSizes(128, 16).WLastDivSize, 96u);
  EXPECT_EQ(WavSizes(1000, 125).WavSize, 654u);
  EXPECT_EQ(WavSizes(1000, 125).WLastDivSize, 750u);
  EXPECT_EQ(WavSizes(0x4000008, 16).WavSize, 0x2FFFFA6u);
  EXPECT_EQ(WavSizes(0xFFFFFFF8, 0x7FFFFF).WavSize, 6u * 0x1FFFFFFF - 96);
}

TEST(WavHeader, TemplateWithBothSizes) {
  uint8_t header[WavHeaderBytes];
  BuildWavHeader(654, header);
  const Bytes expected =
      Bytes("RIFF\xB2\x02\0\0WAVEfmt ", 16) +
      Bytes("\x10\0\0\0\x01\0\x02\0\x88\x58\x01\0\x30\x13\x08\0\x06\0\x18\0", 20) +
      Bytes("data\x8E\x02\0\0", 8);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(header), WavHeaderBytes), expected);
}

}  // namespace
