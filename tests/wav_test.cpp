// The sizes of an original run derived from the sound data's size, the
// headers of both layouts, and 24-bit packing, done by the writer or before.
#include "wav/wav.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "tests/test_support.h"

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
  uint8_t header[OriginalHeaderBytes];
  BuildOriginalHeader(654, 88200, header);
  const Bytes expected =
      Bytes("RIFF\xB2\x02\0\0WAVEfmt ", 16) +
      Bytes("\x10\0\0\0\x01\0\x02\0\x88\x58\x01\0\x30\x13\x08\0\x06\0\x18\0", 20) +
      Bytes("data\x8E\x02\0\0", 8);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(header), OriginalHeaderBytes), expected);
  // DSD512 of the 48 kHz family: 768,000 frames, 4,608,000 bytes per second.
  BuildOriginalHeader(654, 768000, header);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(header) + 24, 8),
            Bytes("\x00\xB8\x0B\x00\x00\x50\x46\x00", 8));
}

// The extensible header as a reader takes it apart: each field, the mask of
// the speakers present, and the switch to RF64 once the file passes 4 GiB.
TEST(WavHeader, StandardHeaderIsExtensiblePcmWithTheMask) {
  StreamFormat format;
  format.frame_rate = 88200;
  format.channels = 5;
  const Speaker speakers[] = {FrontLeft, FrontRight, FrontCenter, BackLeft, NoSpeaker};
  std::copy(speakers, speakers + 5, format.speakers);
  format.frames = 1001;  // 15,015 bytes of data: odd, so a pad byte follows
  const std::vector<uint8_t> bytes =
      StandardWavWriter::Header(format, SampleFormat::Pcm24, nullptr);
  const Bytes header(bytes.begin(), bytes.end());
  ASSERT_EQ(header.size(), 68u);
  EXPECT_EQ(header.substr(0, 4), "RIFF");
  EXPECT_EQ(header.substr(4, 4), LittleEndian(68 - 8 + 15015 + 1, 4));
  EXPECT_EQ(header.substr(8, 16), Bytes("WAVEfmt \x28\0\0\0\xFE\xFF\x05\0", 16));
  EXPECT_EQ(header.substr(24, 4), LittleEndian(88200, 4));
  EXPECT_EQ(header.substr(28, 4), LittleEndian(88200 * 15, 4));           // bytes per second
  EXPECT_EQ(header.substr(32, 8), Bytes("\x0F\0\x18\0\x16\0\x18\0", 8));  // align, bits, cbSize
  EXPECT_EQ(header.substr(40, 4), LittleEndian(0x17, 4));                 // FL FR FC BL
  EXPECT_EQ(header.substr(44, 16),
            Bytes("\x01\0\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 16));  // PCM
  EXPECT_EQ(header.substr(60, 8), "data" + LittleEndian(15015, 4));

  // 2^32 bytes of data no longer fit a RIFF size: RF64, sizes in "ds64".
  format.channels = 2;
  format.frames = (uint64_t{1} << 32) / 6;
  const std::vector<uint8_t> large =
      StandardWavWriter::Header(format, SampleFormat::Pcm24, nullptr);
  const Bytes rf64(large.begin(), large.end());
  ASSERT_EQ(rf64.size(), 104u);
  EXPECT_EQ(rf64.substr(0, 16), Bytes("RF64\xFF\xFF\xFF\xFFWAVEds64", 16));
  const uint64_t data = format.frames * 6;
  EXPECT_EQ(rf64.substr(20, 24), LittleEndian(104 - 8 + data, 8) + LittleEndian(data, 8) +
                                     LittleEndian(format.frames, 8));
  EXPECT_EQ(rf64.substr(96, 8), Bytes("data\xFF\xFF\xFF\xFF", 8));
}

TEST(Pcm24, SamplesSaturateToThe24BitRangeNeverWrap) {
  const int32_t left[] = {0, -1, 0x402C4A, 8388607, 8388608, 16822569};
  const int32_t right[] = {1, -8388608, -8388609, -16822569, INT32_MIN, INT32_MAX};
  FrameBlock block;
  block.channels[0] = left;
  block.channels[1] = right;
  block.frames = 6;
  uint8_t out[36];
  ClipReport clips;
  PackPcm24(block, 2, out, &clips);
  // Saturated: right 8388608 and more, left -8388609 and less, and the peak before.
  EXPECT_EQ(clips.saturated[0], 2u);
  EXPECT_EQ(clips.saturated[1], 4u);
  EXPECT_EQ(clips.peak, uint64_t{INT32_MAX} + 1);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), 36), Bytes("\0\0\0\x01\0\0"
                                                           "\xFF\xFF\xFF\0\0\x80"
                                                           "\x4A\x2C\x40\0\0\x80"
                                                           "\xFF\xFF\x7F\0\0\x80"
                                                           "\xFF\xFF\x7F\0\0\x80"
                                                           "\xFF\xFF\x7F\xFF\xFF\x7F",
                                                           36));
  // Long blocks of every channel count, through the vector path where this
  // CPU has one: each sample clamped and stored in its 3 bytes, nothing after.
  std::mt19937 random(7);
  for (int channels = 1; channels <= 6; ++channels) {
    for (uint32_t frames : {15u, 16u, 37u, 256u}) {
      std::vector<int32_t> samples[6];
      Bytes expected;
      uint64_t saturated[6] = {}, peak = 0;
      for (uint32_t k = 0; k < frames; ++k) {
        for (int c = 0; c < channels; ++c) {
          const int32_t s = static_cast<int32_t>(random()) >> (random() % 12);
          samples[c].push_back(s);
          const int32_t clamped = std::clamp(s, -8388608, 8388607);
          expected += LittleEndian(static_cast<uint32_t>(clamped), 3);
          saturated[c] += clamped != s;
          peak = std::max<uint64_t>(peak, std::llabs(s));
        }
      }
      FrameBlock long_block;
      for (int c = 0; c < channels; ++c) long_block.channels[c] = samples[c].data();
      long_block.frames = frames;
      Bytes packed(expected.size() + 8, '\x5A');
      ClipReport counted;
      PackPcm24(long_block, channels, reinterpret_cast<uint8_t*>(packed.data()), &counted);
      EXPECT_EQ(counted.saturated[0], saturated[0]) << channels << " " << frames;
      EXPECT_EQ(counted.peak, peak) << channels << " " << frames;
      EXPECT_TRUE(packed == expected + Bytes(8, '\x5A')) << channels << " " << frames;
    }
  }
}

TEST(Pcm24, BlocksPackedBeforeWriteGiveTheSameFileAndCounts) {
  std::mt19937 random(11);
  std::vector<int32_t> samples[2];
  for (auto& channel : samples) {
    for (int k = 0; k < 100; ++k) channel.push_back(static_cast<int32_t>(random()) >> 7);
  }
  FrameBlock block;
  block.channels[0] = samples[0].data();
  block.channels[1] = samples[1].data();
  block.frames = 100;
  StreamFormat format;
  format.frame_rate = 88200;
  format.channels = 2;
  format.speakers[0] = FrontLeft;
  format.speakers[1] = FrontRight;
  format.frames = 2 * block.frames;
  TempDir dir;
  const std::string path = dir / "out.wav";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ClipReport clips;
  WriterSettings settings;
  settings.stream = format;
  settings.dither = false;
  settings.max_block_frames = block.frames;
  StandardWavWriter writer(OutputStream{fd, "out.wav", true, 0}, settings, &clips);
  ASSERT_FALSE(Failed(writer.Start()));
  ASSERT_FALSE(Failed(writer.Write(block)));  // packed by Write
  std::vector<uint8_t> room(writer.PreparedBytes(block.frames));
  FrameBlock prepared = block;
  prepared.prepared = room.data();
  writer.Prepare(&prepared);
  ASSERT_FALSE(Failed(writer.Write(prepared)));
  ASSERT_FALSE(Failed(writer.Finish()));
  close(fd);
  const Bytes file = ReadFile(path), data = file.substr(file.size() - 1200);
  EXPECT_EQ(data.substr(0, 600), data.substr(600));
  ClipReport once;
  PackPcm24(block, 2, room.data(), &once);
  EXPECT_GT(once.saturated[0], 0u);
  EXPECT_EQ(clips.saturated[0], 2 * once.saturated[0]);
  EXPECT_EQ(clips.saturated[1], 2 * once.saturated[1]);
  EXPECT_EQ(clips.peak, once.peak);
}

}  // namespace
