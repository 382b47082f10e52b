// DST: frames written by the test encoder decode to their sound, bit for bit,
// in every arrangement it writes, through every kernel this CPU runs and the
// reference alike; damaged frames fail or decode to something, the same in
// every kernel as in the reference, and never crash or hang.
#include "dst/dst.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "tools/dst_encoder.h"

namespace {

constexpr size_t FrameBytes = 4704;  // per channel at DSD64

using Sound = std::vector<std::vector<uint8_t>>;

struct Decoded {
  bool ok = false;
  Sound sound;
};

Decoded Decode(const std::vector<uint8_t>& payload, int channels, size_t bytes) {
  static auto scratch = std::make_unique<DstScratch>();
  const auto decode = [&](const DstKernel* kernel, Decoded* d) {
    d->sound.assign(channels, std::vector<uint8_t>(bytes));
    std::vector<uint8_t*> out;
    for (auto& c : d->sound) out.push_back(c.data());
    d->ok = kernel == nullptr ? DecodeDstFrameReference(payload.data(), payload.size(), channels,
                                                        bytes, out.data(), scratch.get())
                              : DecodeDstFrameWith(*kernel, payload.data(), payload.size(),
                                                   channels, bytes, out.data(), scratch.get());
  };
  Decoded reference;
  decode(nullptr, &reference);
  // Every kernel this CPU runs agrees with the bit-at-a-time decoder on every
  // frame, whole or damaged: on the outcome, and on the sound even of a frame
  // that overruns its code (the contract leaves that sound open, but all of
  // them decode every sample, reading zeros past the end).
  for (int k = 0; k < DstKernelCount; ++k) {
    const DstKernel kernel = static_cast<DstKernel>(k);
    if (!DstKernelSupported(kernel)) continue;
    Decoded d;
    decode(&kernel, &d);
    EXPECT_EQ(d.ok, reference.ok) << DstKernelName(kernel);
    EXPECT_EQ(d.sound, reference.sound) << DstKernelName(kernel);
  }
  Decoded d;
  std::vector<uint8_t*> out;
  d.sound.assign(channels, std::vector<uint8_t>(bytes));
  for (auto& c : d.sound) out.push_back(c.data());
  d.ok = DecodeDstFrame(payload.data(), payload.size(), channels, bytes, out.data(), scratch.get());
  return d;
}

std::vector<uint8_t> Encode(const Sound& sound, const DstEncoderOptions& options) {
  std::vector<const uint8_t*> in;
  for (const auto& c : sound) in.push_back(c.data());
  return EncodeDstFrame(in.data(), static_cast<int>(sound.size()), sound[0].size(), options);
}

// Encodes `frames` frames of music-like sound, checks each decodes to its
// sound, and returns the bytes the frames took.
size_t RoundTrip(int channels, const DstEncoderOptions& options, int frames, bool coded = true) {
  size_t total = 0;
  for (int f = 0; f < frames; ++f) {
    const Sound sound = MusicLikeSound(channels, FrameBytes, 100 * channels + f);
    const std::vector<uint8_t> payload = Encode(sound, options);
    EXPECT_EQ(IsCodedFrame(payload), coded) << "frame " << f;
    const Decoded d = Decode(payload, channels, FrameBytes);
    EXPECT_TRUE(d.ok) << "frame " << f;
    EXPECT_TRUE(d.sound == sound) << "frame " << f;
    total += payload.size();
  }
  return total;
}

TEST(DstRoundTrip, EveryChannelCountCompresses) {
  for (int channels = 1; channels <= DstMaxChannels; ++channels) {
    SCOPED_TRACE(channels);
    const size_t bytes = RoundTrip(channels, {}, 2);
    EXPECT_LT(bytes, 0.75 * 2 * channels * FrameBytes);
  }
}

struct Arrangement {
  const char* name;
  DstEncoderOptions options;
  int channels;
};

void PrintTo(const Arrangement& a, std::ostream* os) { *os << a.name; }

DstEncoderOptions With(void (*set)(DstEncoderOptions*)) {
  DstEncoderOptions o;
  set(&o);
  return o;
}

const Arrangement Arrangements[] = {
    {"OneFilterOneTable", With([](DstEncoderOptions* o) { o->filters = 1; }), 6},
    {"FiltersPerChannelOneTable", With([](DstEncoderOptions* o) { o->tables = 1; }), 5},
    {"TwoFiltersThreeTables", With([](DstEncoderOptions* o) { o->filters = 2, o->tables = 3; }), 6},
    {"MostFilters", With([](DstEncoderOptions* o) { o->segments = 2, o->filters = 12; }), 6},
    {"TwoSegments", With([](DstEncoderOptions* o) { o->segments = 2; }), 2},
    {"FourSegmentsTwoFilters", With([](DstEncoderOptions* o) { o->segments = 4, o->filters = 2; }),
     2},
    {"TableSegmentsApart",
     With([](DstEncoderOptions* o) { o->segments = 2, o->table_segments = 8; }), 2},
    {"TableSegmentsOneFilter",
     With([](DstEncoderOptions* o) { o->filters = 1, o->table_segments = 3; }), 5},
    {"SegmentsPerChannel",
     With([](DstEncoderOptions* o) { o->segments = 3, o->per_channel_segments = true; }), 5},
    {"SegmentsPerChannelTablesApart", With([](DstEncoderOptions* o) {
       o->segments = 4, o->table_segments = 5, o->per_channel_segments = true, o->tables = 4;
     }),
     6},
    {"OrderOne", With([](DstEncoderOptions* o) { o->order = 1; }), 2},
    {"OrderThirteen", With([](DstEncoderOptions* o) { o->order = 13; }), 1},
    {"Order128", With([](DstEncoderOptions* o) { o->order = 128; }), 2},
    {"PlainCoefficients", With([](DstEncoderOptions* o) { o->coding = CoefficientCoding::Plain; }),
     2},
    {"PredictedCoefficients",
     With([](DstEncoderOptions* o) { o->coding = CoefficientCoding::Predicted, o->order = 128; }),
     2},
    {"PredictedShortFilters",
     With([](DstEncoderOptions* o) { o->coding = CoefficientCoding::Predicted, o->order = 2; }), 2},
    {"HalfProbability",
     With([](DstEncoderOptions* o) { o->half_probability = true, o->segments = 2; }), 2},
};

class DstArrangement : public testing::TestWithParam<Arrangement> {};

TEST_P(DstArrangement, DecodesToTheSound) { RoundTrip(GetParam().channels, GetParam().options, 2); }

INSTANTIATE_TEST_SUITE_P(All, DstArrangement, testing::ValuesIn(Arrangements),
                         [](const testing::TestParamInfo<Arrangement>& info) {
                           return std::string(info.param.name);
                         });

TEST(DstRoundTrip, PlainFramesAndWhatCodingCannotShrink) {
  DstEncoderOptions plain;
  plain.plain = true;
  EXPECT_EQ(RoundTrip(3, plain, 1, false), 1 + 3 * FrameBytes);

  Sound noise(2, std::vector<uint8_t>(FrameBytes));
  std::mt19937 random(7);
  for (auto& c : noise)
    for (auto& b : c) b = static_cast<uint8_t>(random());
  const std::vector<uint8_t> payload = Encode(noise, {});
  EXPECT_FALSE(IsCodedFrame(payload));
  EXPECT_TRUE(Decode(payload, 2, FrameBytes).sound == noise);
}

TEST(DstRoundTrip, IdleAndConstantSoundShrinkToAlmostNothing) {
  for (const uint8_t byte : {uint8_t{0x69}, uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0xAA}}) {
    const Sound sound(2, std::vector<uint8_t>(FrameBytes, byte));
    const std::vector<uint8_t> payload = Encode(sound, {});
    EXPECT_LT(payload.size(), 400u) << int{byte};
    EXPECT_TRUE(Decode(payload, 2, FrameBytes).sound == sound) << int{byte};
  }
}

TEST(DstRoundTrip, SmallAndLargeFrames) {
  for (const size_t bytes : {size_t{1}, size_t{16}, size_t{200}, 2 * FrameBytes}) {
    const Sound sound = MusicLikeSound(2, bytes, 3);
    DstEncoderOptions o;
    o.segments = 4;
    o.table_segments = 8;
    const Decoded d = Decode(Encode(sound, o), 2, bytes);
    EXPECT_TRUE(d.ok && d.sound == sound) << bytes;
  }
}

TEST(DstDecode, RefusesWhatNoFrameCanBe) {
  const std::vector<uint8_t> plain(1 + 2 * 16, 0);
  EXPECT_TRUE(Decode(plain, 2, 16).ok);
  EXPECT_FALSE(Decode({0x00}, 2, 16).ok);  // a flag and no sound
  std::vector<uint8_t> stuffed = plain;
  stuffed[0] = 0x01;  // the bits after the flags must be zero
  EXPECT_FALSE(Decode(stuffed, 2, 16).ok);
  auto scratch = std::make_unique<DstScratch>();
  uint8_t* out[8] = {};
  EXPECT_FALSE(DecodeDstFrame(plain.data(), plain.size(), 0, 16, out, scratch.get()));
  EXPECT_FALSE(DecodeDstFrame(plain.data(), plain.size(), 7, 16, out, scratch.get()));
  EXPECT_FALSE(DecodeDstFrame(plain.data(), plain.size(), 2, 0, out, scratch.get()));
  EXPECT_EQ(DstChannelBytes(2822400), 4704u);
  EXPECT_EQ(DstChannelBytes(3072000 * 2), 10240u);
  EXPECT_EQ(DstChannelBytes(44100), 0u);
}

TEST(DstDecode, AShortPlainFrameEndsInIdleSound) {
  const std::vector<uint8_t> payload = {0x00, 1, 2, 3};
  const Decoded d = Decode(payload, 2, 3);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.sound[0], (std::vector<uint8_t>{1, 3, DstIdleByte}));
  EXPECT_EQ(d.sound[1], (std::vector<uint8_t>{2, DstIdleByte, DstIdleByte}));
}

// Flipped bits and cut frames: the decoder says false or decodes something,
// within the frame's bytes (the sanitizers watch) and in bounded time.
TEST(DstDecode, DamagedFramesFailOrDecodeSomething) {
  DstEncoderOptions o;
  o.segments = 2;
  o.table_segments = 3;
  o.order = 40;
  const Sound sound = MusicLikeSound(2, 600, 11);
  const std::vector<uint8_t> payload = Encode(sound, o);
  ASSERT_TRUE(IsCodedFrame(payload));
  std::mt19937 random(1);
  int refused = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<uint8_t> damaged = payload;
    for (int flips = 1 + trial % 3; flips > 0; --flips) {
      const size_t bit = random() % (8 * damaged.size());
      damaged[bit / 8] ^= static_cast<uint8_t>(0x80 >> bit % 8);
    }
    refused += !Decode(damaged, 2, 600).ok;
  }
  EXPECT_GT(refused, 0);
  for (size_t cut = 1; cut < payload.size(); cut += 7) {
    const std::vector<uint8_t> shorter(payload.begin(), payload.end() - cut);
    const Decoded d = Decode(shorter, 2, 600);
    if (cut > 8) {
      EXPECT_FALSE(d.ok) << "cut by " << cut;
    }
  }
}

// Says, rather than hides, which kernels this CPU leaves untested.
TEST(DstKernels, EveryKernelRunsOnThisCpu) {
  std::string untested;
  for (int i = 0; i < DstKernelCount; ++i) {
    const DstKernel kernel = static_cast<DstKernel>(i);
    if (!DstKernelSupported(kernel)) untested += std::string(" ") + DstKernelName(kernel);
  }
  if (!untested.empty())
    GTEST_SKIP() << "this CPU cannot run, so nothing tests, the kernels:" << untested;
}

// Every loop compiled for a channel count, and for each class of filter
// order: the portable loops go in steps of 32 taps; the vector loop sums taps
// 17 on in registers of 32 (none for orders up to 16, one to 40, two to 72,
// three to 104). Frames of 12000 samples hold many blocks of 8.
TEST(DstKernels, EveryChannelCountAndOrderClass) {
  constexpr size_t Bytes = 1500;
  const int orders[] = {1, 8, 9, 16, 17, 32, 33, 40, 41, 64, 65, 72, 73, 96, 97, 104, 105, 128};
  for (int channels = 1; channels <= DstMaxChannels; ++channels) {
    for (const int order : orders) {
      SCOPED_TRACE(testing::Message() << channels << " channels, order " << order);
      DstEncoderOptions o;
      o.order = order;
      // Some sounds the encoder stores plainly with long filters: the first
      // of a few that it codes.
      Sound sound;
      std::vector<uint8_t> payload;
      for (uint32_t seed = 0; seed < 4 && !IsCodedFrame(payload); ++seed) {
        sound = MusicLikeSound(channels, Bytes, 100 * seed + 7 * channels + order);
        payload = Encode(sound, o);
      }
      EXPECT_TRUE(IsCodedFrame(payload) || order == 1);
      const Decoded d = Decode(payload, channels, Bytes);
      EXPECT_TRUE(d.ok && d.sound == sound);
    }
  }
}

// The half probabilities end at the filter's order, inside a block: the
// portable loop takes the samples up to the next block, the vector loop the
// rest. Segments in time start new stretches on block boundaries.
TEST(DstKernels, HalfProbabilitiesEndInsideABlock) {
  for (const int channels : {1, 2, 3, 5, 6}) {
    for (const int order : {3, 13, 41, 64, 100, 128}) {
      SCOPED_TRACE(testing::Message() << channels << " channels, order " << order);
      DstEncoderOptions o;
      o.order = order;
      o.half_probability = true;
      o.segments = 2;
      o.table_segments = 3;
      o.filters = 2;
      const Sound sound = MusicLikeSound(channels, 600, channels + order);
      const Decoded d = Decode(Encode(sound, o), channels, 600);
      EXPECT_TRUE(d.ok && d.sound == sound);
    }
  }
}

// Twelve ones at every bit of a small frame: where they fall on the code's
// first 12 bits, the register starts at 4095, outside the interval, which
// the fast decoder leaves to the reference; elsewhere they are damage.
TEST(DstDecode, ACodeRegisterOutsideTheIntervalDecodesAsTheReferenceDoes) {
  constexpr size_t Bytes = 100;
  for (const int channels : {2, 6}) {
    DstEncoderOptions o;
    o.order = 8;
    o.filters = 1;
    const Sound sound = MusicLikeSound(channels, Bytes, 5);
    const std::vector<uint8_t> payload = Encode(sound, o);
    ASSERT_TRUE(IsCodedFrame(payload));
    for (size_t at = 0; at + 12 <= 8 * payload.size(); ++at) {
      std::vector<uint8_t> damaged = payload;
      for (size_t bit = at; bit < at + 12; ++bit) damaged[bit / 8] |= 0x80 >> bit % 8;
      Decode(damaged, channels, Bytes);  // compares every kernel with the reference
    }
  }
}

// Frames cut at every length and with bits flipped, through the loops of
// more channels and longer filters: the kernels and the reference agree.
TEST(DstDecode, CutAndDamagedFramesAgreeInEveryKernel) {
  std::mt19937 random(3);
  constexpr size_t Bytes = 1000;
  int refused = 0;
  for (const int channels : {3, 6}) {
    for (const int order : {40, 128}) {
      DstEncoderOptions o;
      o.order = order;
      o.segments = 2;
      o.filters = 2;
      const Sound sound = MusicLikeSound(channels, Bytes, channels * order);
      const std::vector<uint8_t> payload = Encode(sound, o);
      ASSERT_TRUE(IsCodedFrame(payload));
      for (size_t length = 2; length < payload.size(); length += 7) {
        refused += !Decode({payload.begin(), payload.begin() + length}, channels, Bytes).ok;
      }
      for (int trial = 0; trial < 100; ++trial) {
        std::vector<uint8_t> damaged = payload;
        const size_t bit = random() % (8 * damaged.size());
        damaged[bit / 8] ^= static_cast<uint8_t>(0x80 >> bit % 8);
        Decode(damaged, channels, Bytes);
      }
    }
  }
  EXPECT_GT(refused, 0);
}

// ---- Frames written field by field ------------------------------------------

// A coded frame of one segment per channel: channel c predicts with filter
// and table map[c] (numbered in order of first use, as the format requires)
// and the arithmetic code is `code`, bytes taken as they are, which every
// decoder must read alike whether or not an encoder could have written them.
struct FrameFields {
  std::vector<std::vector<int>> filters;  // coefficients, -256 .. 255; the order is the size
  std::vector<std::vector<int>> tables;   // probabilities, 1 .. 128; 2 to 64 of them
  std::vector<int> map;                   // per channel
  bool half = false;                      // probability 1/2 while a filter fills its history
  std::vector<uint8_t> code;
};

std::vector<uint8_t> WriteFrame(const FrameFields& f) {
  std::vector<bool> bits;
  const auto field = [&bits](int value, int width) {
    for (int i = width - 1; i >= 0; --i) bits.push_back(value >> i & 1);
  };
  field(1, 1);  // arithmetic-coded
  field(1, 1);  // the tables' segments are the filters'
  field(1, 1);  // one segmentation for every channel
  field(1, 1);  // of one segment
  field(1, 1);  // the tables' map is the filters'
  field(0, 1);  // a map of its own for each channel
  int count = 0;
  for (const int m : f.map) {
    field(m, DstFieldBits(count));
    count = std::max(count, m + 1);
  }
  for (size_t c = 0; c < f.map.size(); ++c) field(f.half, 1);
  for (const auto& filter : f.filters) {
    field(static_cast<int>(filter.size()) - 1, 7);
    field(0, 1);  // coefficients written plainly
    for (const int v : filter) field(v & 0x1FF, 9);
  }
  for (const auto& table : f.tables) {
    field(static_cast<int>(table.size()) - 1, 6);
    field(0, 1);  // probabilities written plainly
    for (const int p : table) field(p - 1, 7);
  }
  field(0, 1);  // the code's reserved first bit
  std::vector<uint8_t> frame((bits.size() + 7) / 8);
  for (size_t i = 0; i < bits.size(); ++i) frame[i / 8] |= bits[i] << (7 - i % 8);
  // The code starts mid-byte: its bytes shifted into place.
  const size_t start = bits.size();
  frame.resize((start + 8 * f.code.size() + 7) / 8);
  for (size_t i = 0; i < 8 * f.code.size(); ++i) {
    const size_t at = start + i;
    frame[at / 8] |= (f.code[i / 8] >> (7 - i % 8) & 1) << (7 - at % 8);
  }
  return frame;
}

// Random frames of mixed filter orders, tables, channel maps and code: a
// loop compiled for the longest filter runs the shorter ones too, and every
// kernel must agree with the reference on all of them.
TEST(DstFields, RandomFramesOfMixedOrdersAgreeInEveryKernel) {
  std::mt19937 random(11);
  const auto uniform = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  for (int trial = 0; trial < 1000; ++trial) {
    const int channels = uniform(1, DstMaxChannels);
    const size_t bytes = std::vector<size_t>{1, 16, 100, 333}[uniform(0, 3)];
    FrameFields f;
    int count = 0;
    for (int c = 0; c < channels; ++c) {
      f.map.push_back(uniform(0, std::min(count, 2 * channels - 1)));
      count = std::max(count, f.map.back() + 1);
    }
    const int coefficient = uniform(4, 256);  // small: predictions over the whole table
    for (int t = 0; t < count; ++t) {
      f.filters.emplace_back(uniform(1, DstMaxOrder));
      for (int& v : f.filters.back()) v = uniform(-coefficient, coefficient - 1);
      f.tables.emplace_back(uniform(2, DstMaxTableLength));
      for (int& p : f.tables.back()) p = uniform(1, 128);
    }
    f.half = uniform(0, 1);
    f.code.resize(uniform(1, static_cast<int>(bytes) * channels));
    for (uint8_t& b : f.code) b = static_cast<uint8_t>(random());
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    Decode(WriteFrame(f), channels, bytes);  // compares every kernel with the reference
  }
}

// The most bits a step can take: every probability 1, and a code register
// that starts at the top of the interval (4094, under a width of 4095) with
// ones below it. Every step then takes the narrow part, a unit of 8 to 15,
// leaves the register at its top again and shifts in 7 or 8 bits, so that
// the code bits below the register run as low between two fills as any
// frame can take them; where the code ends, every decoder reads zeros, and
// a bit it failed to fill in would read as one.
TEST(DstFields, StepsThatShiftInTheMostBitsAgreeInEveryKernel) {
  for (int channels = 1; channels <= DstMaxChannels; ++channels) {
    for (const int order : {8, 40, 128}) {
      FrameFields f;
      for (int c = 0; c < channels; ++c) f.map.push_back(c % 2);
      for (int t = 0; t < std::min(channels, 2); ++t) {
        f.filters.emplace_back(order - 7 * t, 3);
        f.tables.emplace_back(DstMaxTableLength, 1);
      }
      for (size_t ones = 0; ones < 48; ++ones) {
        f.code.assign(2 + ones, 0xFF);
        f.code[1] = 0xEF;  // 12 bits of 4094, then ones
        SCOPED_TRACE(testing::Message() << channels << " channels, order " << order << ", " << ones
                                        << " bytes of ones");
        Decode(WriteFrame(f), channels, 100);
      }
    }
  }
}

}  // namespace
