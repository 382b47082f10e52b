// The sizes of a run derived from the sound data's size, and the header
// bytes they produce.
#include <gtest/gtest.h>

#include "pass/pass.h"
#include "tests/test_support.h"
#include "wav/wav.h"

namespace {

TEST(RunSizes, FromGroupCounts) {
  const struct {
    uint32_t DsdSize, DsdLR64Size, DivNum, FoundLastDivSize, LastDivSize, WavSize;
  } cases[] = {
      {128, 0x10, 1, 0x10, 0x10, 0},  // the smallest input
      {1000, 125, 1, 125, 125, 654},
      {0x4000000, 0x800000, 1, 0x800000, 0x800000, 0x2FFFFA0},  // one full division
      {0x4000008, 0x800001, 2, 1, 16, 0x2FFFFA6},               // one group into a second division
      {0x4000080, 0x800010, 2, 0x10, 0x10, 0x3000000},
      {0xFFFFFFF8, 0x1FFFFFFF, 64, 0x7FFFFF, 0x7FFFFF, 6u * 0x1FFFFFFF - 96},
  };
  for (const auto& c : cases) {
    const RunSizes sizes = RunSizesOf(c.DsdSize);
    EXPECT_EQ(sizes.DsdLR64Size, c.DsdLR64Size) << c.DsdSize;
    EXPECT_EQ(sizes.DivNum, c.DivNum) << c.DsdSize;
    EXPECT_EQ(sizes.FoundLastDivSize, c.FoundLastDivSize) << c.DsdSize;
    EXPECT_EQ(sizes.LastDivSize, c.LastDivSize) << c.DsdSize;
    EXPECT_EQ(sizes.WavSize, c.WavSize) << c.DsdSize;
    EXPECT_EQ(sizes.WLastDivSize, 6 * c.LastDivSize) << c.DsdSize;
    // The channel files hold every group's word and the padding.
    EXPECT_EQ(ChannelFileWords(sizes), c.DsdLR64Size + (c.LastDivSize - c.FoundLastDivSize));
  }
}

TEST(WavHeader, TemplateWithBothSizesAndTheRate) {
  uint8_t header[WavHeaderBytes];
  BuildWavHeader(654, 88200, header);
  const Bytes expected =
      Bytes("RIFF\xB2\x02\0\0WAVEfmt ", 16) +
      Bytes("\x10\0\0\0\x01\0\x02\0\x88\x58\x01\0\x30\x13\x08\0\x06\0\x18\0", 20) +
      Bytes("data\x8E\x02\0\0", 8);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(header), WavHeaderBytes), expected);
  // DSD512 of the 48 kHz family: 768,000 frames, 4,608,000 bytes per second.
  BuildWavHeader(654, 768000, header);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(header) + 24, 8),
            Bytes("\x00\xB8\x0B\x00\x00\x50\x46\x00", 8));
}

}  // namespace
