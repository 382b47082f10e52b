// Turning the sound of either container into channel words: the bit
// reversal, both word kernels, any number of channels, DSF's channel blocks,
// the channel order, and input that ends early.
#include "source/source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"
#include "tests/test_support.h"

namespace {

struct Words {
  Fault fault;
  std::vector<std::vector<ChannelWord>> channels;
};

// Words [first, first + count) of every channel of `source`, on its input.
Words ReadOpenWords(const SoundSource& source, uint64_t first, uint32_t count,
                    SharedFrames* shared = nullptr) {
  std::vector<uint8_t> buffer(SourceBufferBytes(source, count));
  Words words{
      {}, std::vector<std::vector<ChannelWord>>(source.channels, std::vector<ChannelWord>(count))};
  ChannelWord* pointers[MaxChannels];
  for (int c = 0; c < source.channels; ++c) pointers[c] = words.channels[c].data();
  std::vector<DamagedFrame> damaged;
  words.fault = ReadSourceWords(source, first, count, buffer.data(), pointers, &damaged, shared);
  return words;
}

// The same over `file`.
Words ReadWords(const Bytes& file, SoundSource source, uint64_t first, uint32_t count) {
  const InputFile in(file);
  source.fd = in.fd;
  source.path = "in";
  return ReadOpenWords(source, first, count);
}

SoundSource InterleavedAt(uint64_t offset, int channels = 2, uint64_t present = UINT64_MAX) {
  SoundSource source;
  source.channels = channels;
  for (int c = 0; c < channels; ++c) source.file_channel[c] = static_cast<uint8_t>(c);
  source.offset = offset;
  source.data_end = UINT64_MAX;
  source.words_present = present;
  return source;
}

TEST(SourceWords, ReverseEachBytesBitsIntoLittleEndianWords) {
  // The first left sample and the last right sample are ones; left bytes
  // 0x80 0x00 0x00 0x01 make the word 0x80000001.
  const Words w = ReadWords(Bytes("\x80\xFF\0\xFF\0\xFF\x01\x01\xAA\x69", 10) + Bytes(6, 'x'),
                            InterleavedAt(0), 0, 2);
  ASSERT_FALSE(Failed(w.fault));
  EXPECT_EQ(w.channels[0][0], 0x80000001u);
  EXPECT_EQ(w.channels[1][0], 0x80FFFFFFu);
  EXPECT_EQ(w.channels[0][1] & 0xFF, 0x55u);  // reversed 0xAA
  EXPECT_EQ(w.channels[1][1] & 0xFF, 0x96u);  // reversed 0x69
  // Three channels: byte c of every round of three is channel c's.
  const Words three =
      ReadWords(Bytes("\x80\x01\xFF\0\0\0\0\0\0\x01\0\0", 12), InterleavedAt(0, 3), 0, 1);
  EXPECT_EQ(three.channels[0][0], 0x80000001u);
  EXPECT_EQ(three.channels[1][0], 0x00000080u);
  EXPECT_EQ(three.channels[2][0], 0x000000FFu);
}

TEST(SourceWords, KernelsAgreeOnEveryByteInEveryPosition) {
  if (!WordKernelSupported(WordKernel::Vector)) {
    GTEST_SKIP() << "this CPU lacks AVX-512 VBMI or GFNI: only the table kernel runs";
  }
  Bytes bytes(8 * 300, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  const uint8_t* stereo = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t count : {0, 1, 7, 8, 9, 63, 64, 65, 300}) {
    std::vector<ChannelWord> l1(count), r1(count), l2(count), r2(count);
    StereoBytesToWords(WordKernel::Table, stereo, count, l1.data(), r1.data());
    StereoBytesToWords(WordKernel::Vector, stereo, count, l2.data(), r2.data());
    EXPECT_EQ(l1, l2) << count;
    EXPECT_EQ(r1, r2) << count;
    Bytes a = bytes.substr(0, count * 8), b = a;
    ReverseBits(WordKernel::Table, reinterpret_cast<uint8_t*>(a.data()), a.size());
    ReverseBits(WordKernel::Vector, reinterpret_cast<uint8_t*>(b.data()), b.size());
    EXPECT_EQ(a, b) << count;
  }
}

TEST(SourceWords, MissingWordsAndPaddingBecomeSilence) {
  // 3 whole words of both channels and 5 bytes of a fourth, 13 bytes into
  // the file; 8 words asked.
  const Bytes file = Bytes(13, 'h') + Bytes(3 * 8, '\0') + "\xFF\xFF\xFF\xFF\xFF";
  const uint64_t present = WordsPresent(InterleavedAt(13), file.size(), 6);
  EXPECT_EQ(present, 3u);
  const Words w = ReadWords(file, InterleavedAt(13, 2, present), 1, 8);
  ASSERT_FALSE(Failed(w.fault));
  const std::vector<ChannelWord> expected = {0,           0,           SilenceWord, SilenceWord,
                                             SilenceWord, SilenceWord, SilenceWord, SilenceWord};
  EXPECT_EQ(w.channels[0], expected);
  EXPECT_EQ(w.channels[1], expected);
  // An input that shrank after it was measured is a read failure.
  EXPECT_EQ(ReadWords(file, InterleavedAt(13, 2, 5), 0, 8).fault.failure, Failure::FileRead);
}

// The DSF file of `sound` gives the words of the DSDIFF file of `sound`,
// whatever the channel count, the bit order, the block size, and where a
// range starts.
TEST(SourceWords, DsfBlocksGiveTheWordsOfTheSameSamples) {
  const uint32_t words = 3000;
  for (int channels : {1, 2, 5, 6}) {
    const Bytes raw = RandomSound(size_t{4} * channels * words, 41 + channels);
    const Bytes dsdiff = DsdiffOf(raw, channels);
    const SoundSource interleaved = InterleavedAt(dsdiff.size() - raw.size(), channels);
    for (bool lsb_first : {false, true}) {
      for (uint32_t block_bytes : {4096u, 6u, 1u}) {
        DsfOptions options;
        options.lsb_first = lsb_first;
        options.block_bytes = block_bytes;
        options.channels = channels;
        const Bytes dsf = DsfOf(raw, options);
        const InputFile in(dsf);
        SoundSource source;
        SoundProperties properties;
        ASSERT_FALSE(Failed(ReadDsfHead(in.fd, "in.dsf", &source, &properties)));
        EXPECT_EQ(source.words, words);
        source.words_present =
            WordsPresent(source, std::min<uint64_t>(dsf.size(), source.data_end), words);
        EXPECT_EQ(source.words_present, words);
        for (auto [first, count] : {std::pair{0u, words}, {1023u, 17u}, {2999u, 1u}}) {
          const Words a = ReadWords(dsf, source, first, count);
          const Words b = ReadWords(dsdiff, interleaved, first, count);
          ASSERT_FALSE(Failed(a.fault));
          EXPECT_EQ(a.channels, b.channels)
              << channels << " " << lsb_first << " " << block_bytes << " " << first;
        }
      }
    }
  }
}

TEST(SourceWords, AWordIsPresentOnlyOnEveryChannel) {
  // 8 words per channel in blocks of 8 bytes: two words per block pair of 16 bytes.
  const Bytes dsf = DsfOf(RandomSound(64, 42), DsfOptions{false, 8});
  SoundSource source;
  SoundProperties properties;
  const InputFile in(dsf);
  ASSERT_EQ(ReadDsfHead(in.fd, "in.dsf", &source, &properties).failure, Failure::DataTooSmall);
  const uint64_t pair = source.offset + 16;  // the second block pair
  EXPECT_EQ(WordsPresent(source, pair, 8), 2u);
  EXPECT_EQ(WordsPresent(source, pair + 8, 8), 2u);   // its left block alone
  EXPECT_EQ(WordsPresent(source, pair + 12, 8), 3u);  // and half the right one
  EXPECT_EQ(WordsPresent(source, pair + 16, 8), 4u);
  EXPECT_EQ(WordsPresent(source, dsf.size(), 8), 8u);
  EXPECT_EQ(WordsPresent(source, 0, 8), 0u);
  // Interleaved: the last channel's last byte completes a word.
  EXPECT_EQ(WordsPresent(InterleavedAt(0, 6), 24 * 2 - 1, 3), 1u);
  EXPECT_EQ(WordsPresent(InterleavedAt(0, 6), 24 * 2, 3), 2u);
}

TEST(SourceChannels, KnownSpeakersInMaskOrderThenTheUnknown) {
  const struct {
    std::vector<Speaker> file;
    std::vector<Speaker> stream;
    std::vector<uint8_t> from;
  } cases[] = {
      {{FrontLeft, FrontRight}, {FrontLeft, FrontRight}, {0, 1}},
      {{FrontRight, FrontLeft}, {FrontLeft, FrontRight}, {1, 0}},
      {{BackRight, NoSpeaker, FrontCenter, FrontLeft},
       {FrontLeft, FrontCenter, BackRight, NoSpeaker},
       {3, 2, 0, 1}},
      // A speaker named twice: the second is of unknown position.
      {{FrontLeft, FrontLeft, LowFrequency}, {FrontLeft, LowFrequency, NoSpeaker}, {0, 2, 1}},
  };
  for (const auto& c : cases) {
    SoundSource source;
    source.channels = static_cast<int>(c.file.size());
    OrderChannels(c.file.data(), source.channels, &source);
    EXPECT_EQ(std::vector<Speaker>(source.speakers, source.speakers + source.channels), c.stream);
    EXPECT_EQ(std::vector<uint8_t>(source.file_channel, source.file_channel + source.channels),
              c.from);
  }
  // The words follow: stream channel 0 reads file channel 1.
  SoundSource swapped = InterleavedAt(0);
  const Speaker right_first[] = {FrontRight, FrontLeft};
  OrderChannels(right_first, 2, &swapped);
  const Words w = ReadWords(Bytes("\x80\x01\0\0\0\0\0\0", 8), swapped, 0, 1);
  EXPECT_EQ(w.channels[0][0], 0x80u);
  EXPECT_EQ(w.channels[1][0], 0x01u);
}

TEST(DsfHead, ReadsWhatTheFormatChunkSays) {
  const Bytes raw = RandomSound(1000 * 8, 43);
  DsfOptions options;
  options.rate = 3072000 * 4;
  options.samples = 1000 * 32 - 1;  // ends inside the last word
  options.tail = "ID3" + Bytes(200, 't');
  const InputFile in(DsfOf(raw, options));
  SoundSource source;
  SoundProperties properties;
  ASSERT_FALSE(Failed(ReadDsfHead(in.fd, "in.dsf", &source, &properties)));
  EXPECT_EQ(source.layout, SoundLayout::ChannelBlocks);
  EXPECT_EQ(source.offset, 92u);
  EXPECT_EQ(source.sample_rate, 3072000u * 4);
  EXPECT_EQ(source.words, 999u);
  EXPECT_EQ(source.declared_bytes, 2000u * 4);
  EXPECT_EQ(source.data_end, 92u + 2 * 4096);  // the tag is not sound
}

TEST(DsfHead, EachChannelTypeNamesItsSpeakers) {
  const uint32_t masks[] = {0x4, 0x3, 0x7, 0x33, 0xF, 0x37, 0x3F};
  const int counts[] = {1, 2, 3, 4, 4, 5, 6};
  for (uint32_t type = 1; type <= 7; ++type) {
    DsfOptions options;
    options.channels = counts[type - 1];
    options.channel_type = type;
    const InputFile in(DsfOf(RandomSound(size_t{64} * counts[type - 1], 45), options));
    SoundSource source;
    SoundProperties properties;
    ASSERT_FALSE(Failed(ReadDsfHead(in.fd, "in.dsf", &source, &properties))) << type;
    EXPECT_EQ(source.channels, counts[type - 1]);
    EXPECT_EQ(ChannelMask(source.speakers, source.channels), masks[type - 1]) << type;
  }
}

TEST(DsfHead, RefusesMalformedHeadsAndWhatCannotBeConverted) {
  const Bytes good = DsfOf(RandomSound(1000 * 8, 44));
  auto patched = [&](size_t offset, uint32_t value) {
    return good.substr(0, offset) + LittleEndian(value, 4) + good.substr(offset + 4);
  };
  const struct {
    Bytes file;
    Failure failure;
    Refusal refusal;
  } cases[] = {
      {good.substr(0, 91), Failure::NotDsd, Refusal::None},               // head cut short
      {patched(4, 29), Failure::NotDsd, Refusal::None},                   // "DSD " chunk size
      {patched(32, 53), Failure::NotDsd, Refusal::None},                  // "fmt " chunk size
      {patched(40, 2), Failure::NotDsd, Refusal::None},                   // format version
      {patched(44, 1), Failure::NotDsd, Refusal::None},                   // not raw DSD
      {patched(60, 4), Failure::NotDsd, Refusal::None},                   // bits per sample
      {patched(72, 0), Failure::NotDsd, Refusal::None},                   // block size
      {patched(56, 0), Failure::NotDsd, Refusal::None},                   // no sample rate
      {patched(80, 0x41544144), Failure::NotDsd, Refusal::None},          // "DATA", not "data"
      {patched(52, 1), Failure::UnsupportedSound, Refusal::ChannelType},  // stereo type, 1 channel
      {patched(48, 7), Failure::UnsupportedSound, Refusal::ChannelType},  // 5.1 type, 2 channels
      {patched(48, 8), Failure::UnsupportedSound, Refusal::ChannelType},  // no such type
      {patched(52, 7), Failure::UnsupportedSound, Refusal::Channels},
      {patched(52, 0), Failure::UnsupportedSound, Refusal::Channels},
      {patched(56, 44100), Failure::UnsupportedSound, Refusal::Rate},
      {patched(56, 2822400 * 16), Failure::UnsupportedSound, Refusal::Rate},
      {patched(64, 32 * 15), Failure::DataTooSmall, Refusal::None},  // 15 words
  };
  for (const auto& c : cases) {
    const InputFile in(c.file);
    SoundSource source;
    SoundProperties properties;
    EXPECT_EQ(ReadDsfHead(in.fd, "in.dsf", &source, &properties).failure, c.failure) << &c - cases;
    EXPECT_EQ(properties.refusal, c.refusal) << &c - cases;
  }
}

}  // namespace

TEST(SourceWords, NeighbouringReadsShareTheDstFrameBetweenThem) {
  // Four plainly stored DST frames of stereo DSD64: a flags byte, then the
  // channels' bytes in turn, as DSDIFF interleaves them.
  constexpr uint32_t FrameWords = 1176;
  const Bytes sound = RandomSound(4 * 2 * 4704, 41);
  Bytes frames;
  for (int f = 0; f < 4; ++f) frames += Chunk("DSTF", Bytes(1, 0) + sound.substr(f * 9408, 9408));
  const Bytes file = Container({FverChunk(), PropChunk(2822400, 2, "DST "), Chunk("DST ", frames)});
  const InputFile in(file);
  SoundSource source;
  SoundProperties properties;
  ASSERT_FALSE(Failed(ChunkWalk(in.fd, "in.dff", &source, &properties)));
  source.words_present = source.words;
  const InputFile plain(DsdiffOf(sound));
  SoundSource twin_source;
  ASSERT_FALSE(Failed(ChunkWalk(plain.fd, "twin.dff", &twin_source, &properties)));
  twin_source.words_present = twin_source.words;
  const Words twin = ReadOpenWords(twin_source, 0, 4 * FrameWords);
  // The first read ends inside frame 2 and leaves it; then the frame is made
  // unreadable: the next read, which begins in it, takes it from the first.
  SharedFrames shared;
  const uint32_t end = 2 * FrameWords + 100;
  const Words a = ReadOpenWords(source, 0, end, &shared);
  const uint64_t flags_of_frame_2 = source.dst->payload[2];
  ASSERT_EQ(pwrite(in.fd, "\xFF", 1, static_cast<off_t>(flags_of_frame_2)), 1);
  const Words b = ReadOpenWords(source, end, 2 * FrameWords - 100, &shared);
  const Words alone = ReadOpenWords(source, end, 2 * FrameWords - 100);
  for (int c = 0; c < 2; ++c) {
    EXPECT_TRUE(std::equal(a.channels[c].begin(), a.channels[c].end(), twin.channels[c].begin()));
    EXPECT_TRUE(
        std::equal(b.channels[c].begin(), b.channels[c].end(), twin.channels[c].begin() + end));
    EXPECT_EQ(alone.channels[c][0], SilenceWord) << "read alone, frame 2 is damaged";
  }
}
