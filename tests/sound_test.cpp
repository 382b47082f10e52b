// Turning the sound of either container into channel words: the bit
// reversal, both word kernels, DSF's channel blocks, and input that ends early.
#include "sound/sound.h"

#include <gtest/gtest.h>

#include <vector>

#include "dsf/dsf.h"
#include "tests/test_support.h"

namespace {

struct Words {
  Fault fault;
  std::vector<ChannelWord> left, right;
};

// Words [first, first + count) of a file whose sound `sound` describes.
Words ReadWords(const Bytes& file, const SoundData& sound, uint32_t present, uint64_t first,
                uint32_t count) {
  const InputFile in(file);
  std::vector<uint8_t> buffer(SoundBufferBytes(sound, count));
  Words words{{}, std::vector<ChannelWord>(count), std::vector<ChannelWord>(count)};
  words.fault = ReadSoundWords(in.fd, "in", sound, present, first, count, buffer.data(),
                               words.left.data(), words.right.data());
  return words;
}

SoundData InterleavedAt(uint64_t offset) {
  SoundData sound;
  sound.offset = offset;
  sound.data_end = UINT64_MAX;
  return sound;
}

TEST(SoundWords, ReverseEachBytesBitsIntoLittleEndianWords) {
  // The first left sample and the last right sample are ones; left bytes
  // 0x80 0x00 0x00 0x01 make the word 0x80000001.
  const Words w = ReadWords(Bytes("\x80\xFF\0\xFF\0\xFF\x01\x01\xAA\x69", 10) + Bytes(6, 'x'),
                            InterleavedAt(0), 2, 0, 2);
  ASSERT_FALSE(Failed(w.fault));
  EXPECT_EQ(w.left[0], 0x80000001u);
  EXPECT_EQ(w.right[0], 0x80FFFFFFu);
  EXPECT_EQ(w.left[1] & 0xFF, 0x55u);   // reversed 0xAA
  EXPECT_EQ(w.right[1] & 0xFF, 0x96u);  // reversed 0x69
}

TEST(SoundWords, KernelsAgreeOnEveryByteInEveryPosition) {
  if (!WordKernelSupported(WordKernel::Vector)) {
    GTEST_SKIP() << "this CPU lacks AVX-512 VBMI or GFNI: only the table kernel runs";
  }
  Bytes bytes(8 * 300, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  const uint8_t* groups = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t count : {0, 1, 7, 8, 9, 63, 64, 65, 300}) {
    std::vector<ChannelWord> l1(count), r1(count), l2(count), r2(count);
    GroupsToWords(WordKernel::Table, groups, count, l1.data(), r1.data());
    GroupsToWords(WordKernel::Vector, groups, count, l2.data(), r2.data());
    EXPECT_EQ(l1, l2) << count;
    EXPECT_EQ(r1, r2) << count;
    Bytes a = bytes.substr(0, count * 8), b = a;
    ReverseBits(WordKernel::Table, reinterpret_cast<uint8_t*>(a.data()), a.size());
    ReverseBits(WordKernel::Vector, reinterpret_cast<uint8_t*>(b.data()), b.size());
    EXPECT_EQ(a, b) << count;
  }
}

TEST(SoundWords, MissingGroupsAndPaddingBecomeSilence) {
  // 3 whole groups and 5 bytes of a fourth, 13 bytes into the file; 8 words asked.
  const Bytes file = Bytes(13, 'h') + Bytes(3 * GroupBytes, '\0') + "\xFF\xFF\xFF\xFF\xFF";
  const SoundData sound = InterleavedAt(13);
  const uint32_t present = GroupsPresent(sound, file.size(), 6);
  EXPECT_EQ(present, 3u);
  const Words w = ReadWords(file, sound, present, 1, 8);
  ASSERT_FALSE(Failed(w.fault));
  const std::vector<ChannelWord> expected = {0,           0,           SilenceWord, SilenceWord,
                                             SilenceWord, SilenceWord, SilenceWord, SilenceWord};
  EXPECT_EQ(w.left, expected);
  EXPECT_EQ(w.right, expected);
  // An input that shrank after it was measured is a read failure.
  EXPECT_EQ(ReadWords(file, sound, 5, 0, 8).fault.failure, Failure::FileRead);
}

// The DSF file of `sound` gives the words of the DSDIFF file of `sound`,
// whatever the bit order, the block size, and where a range starts.
TEST(SoundWords, DsfBlocksGiveTheWordsOfTheSameSamples) {
  const uint32_t groups = 3000;
  const Bytes raw = RandomSound(size_t{groups} * GroupBytes, 41);
  const Bytes dsdiff = DsdiffOf(raw);
  const SoundData interleaved = InterleavedAt(dsdiff.size() - raw.size());
  for (bool lsb_first : {false, true}) {
    for (uint32_t block_bytes : {4096u, 6u, 1u}) {
      DsfOptions options;
      options.lsb_first = lsb_first;
      options.block_bytes = block_bytes;
      const Bytes dsf = DsfOf(raw, options);
      const InputFile in(dsf);
      SoundData sound;
      SoundProperties properties;
      ASSERT_FALSE(Failed(ReadDsfHead(in.fd, "in.dsf", &sound, &properties)));
      EXPECT_EQ(sound.DsdSize, groups * GroupBytes);
      EXPECT_EQ(GroupsPresent(sound, std::min<uint64_t>(dsf.size(), sound.data_end), groups),
                groups);
      for (auto [first, count] : {std::pair{0u, groups}, {1023u, 17u}, {2999u, 1u}}) {
        const Words a = ReadWords(dsf, sound, groups, first, count);
        const Words b = ReadWords(dsdiff, interleaved, groups, first, count);
        ASSERT_FALSE(Failed(a.fault));
        EXPECT_EQ(a.left, b.left) << lsb_first << " " << block_bytes << " " << first;
        EXPECT_EQ(a.right, b.right) << lsb_first << " " << block_bytes << " " << first;
      }
    }
  }
}

TEST(SoundWords, DsfGroupIsPresentOnlyWithBothChannels) {
  // 8 groups in blocks of 8 bytes: two groups per block pair of 16 bytes.
  const Bytes dsf = DsfOf(RandomSound(64, 42), DsfOptions{false, 8});
  SoundData sound;
  SoundProperties properties;
  const InputFile in(dsf);
  ASSERT_EQ(ReadDsfHead(in.fd, "in.dsf", &sound, &properties).failure, Failure::DataTooSmall);
  const uint64_t pair = sound.offset + 16;  // the second block pair
  EXPECT_EQ(GroupsPresent(sound, pair, 8), 2u);
  EXPECT_EQ(GroupsPresent(sound, pair + 8, 8), 2u);   // its left block alone
  EXPECT_EQ(GroupsPresent(sound, pair + 12, 8), 3u);  // and half the right one
  EXPECT_EQ(GroupsPresent(sound, pair + 16, 8), 4u);
  EXPECT_EQ(GroupsPresent(sound, dsf.size(), 8), 8u);
  EXPECT_EQ(GroupsPresent(sound, 0, 8), 0u);
}

TEST(DsfHead, ReadsWhatTheFormatChunkSays) {
  const Bytes raw = RandomSound(1000 * GroupBytes, 43);
  DsfOptions options;
  options.rate = 3072000 * 4;
  options.samples = 1000 * 32 - 1;  // ends inside the last group
  options.tail = "ID3" + Bytes(200, 't');
  const InputFile in(DsfOf(raw, options));
  SoundData sound;
  SoundProperties properties;
  ASSERT_FALSE(Failed(ReadDsfHead(in.fd, "in.dsf", &sound, &properties)));
  EXPECT_EQ(sound.layout, SoundLayout::ChannelBlocks);
  EXPECT_EQ(sound.offset, 92u);
  EXPECT_EQ(sound.sample_rate, 3072000u * 4);
  EXPECT_EQ(sound.DsdSize, 999u * GroupBytes);
  EXPECT_EQ(sound.declared_bytes, 2000u * 4);
  EXPECT_EQ(sound.data_end, 92u + 2 * 4096);  // the tag is not sound
}

TEST(DsfHead, RefusesMalformedHeadsAndWhatCannotBeConverted) {
  const Bytes good = DsfOf(RandomSound(1000 * GroupBytes, 44));
  auto patched = [&](size_t offset, uint32_t value) {
    return good.substr(0, offset) + LittleEndian(value, 4) + good.substr(offset + 4);
  };
  const struct {
    Bytes file;
    Failure failure;
  } cases[] = {
      {good.substr(0, 91), Failure::NotDsd},        // head cut short
      {patched(4, 29), Failure::NotDsd},            // "DSD " chunk size
      {patched(32, 53), Failure::NotDsd},           // "fmt " chunk size
      {patched(40, 2), Failure::NotDsd},            // format version
      {patched(44, 1), Failure::NotDsd},            // not raw DSD
      {patched(60, 4), Failure::NotDsd},            // bits per sample
      {patched(72, 0), Failure::NotDsd},            // block size
      {patched(56, 0), Failure::NotDsd},            // no sample rate
      {patched(80, 0x41544144), Failure::NotDsd},   // "DATA", not "data"
      {patched(52, 1), Failure::UnsupportedSound},  // mono
      {patched(52, 6), Failure::UnsupportedSound},
      {patched(56, 44100), Failure::UnsupportedSound},
      {patched(56, 2822400 * 16), Failure::UnsupportedSound},
      {patched(64, 32 * 15), Failure::DataTooSmall},  // 15 groups
  };
  for (const auto& c : cases) {
    const InputFile in(c.file);
    SoundData sound;
    SoundProperties properties;
    EXPECT_EQ(ReadDsfHead(in.fd, "in.dsf", &sound, &properties).failure, c.failure) << &c - cases;
  }
}

}  // namespace
