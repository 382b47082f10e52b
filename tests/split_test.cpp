// The cut of one stream into its tracks' sinks: every output gets exactly
// its frames, in order, whatever the blocks, the threads and the room to
// queue; the frames between outputs are dropped; a failing output stops the
// rest; and the 16-bit quantizer hands any part of the stream the samples
// the whole stream would have.
#include "split/split.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

namespace {

// Keeps channel 0's samples; may be slow, or fail at a given frame.
class KeepingSink final : public FrameSink {
 public:
  Fault Start() override {
    started = true;
    return Fault{};
  }
  Fault Write(const FrameBlock& block) override {
    if (slow) usleep(500);
    kept.insert(kept.end(), block.channels[0], block.channels[0] + block.frames);
    other.insert(other.end(), block.channels[1], block.channels[1] + block.frames);
    return kept.size() > fail_after ? FaultOf(Failure::FileWrite, "out", "full") : Fault{};
  }
  Fault Finish() override {
    finished = true;
    return Fault{};
  }
  std::vector<int32_t> kept, other;
  bool started = false, finished = false, slow = false;
  size_t fail_after = SIZE_MAX;
};

struct Stream {
  std::vector<int32_t> left, right;
};

Stream Ramp(size_t frames) {
  Stream s;
  for (size_t k = 0; k < frames; ++k) {
    s.left.push_back(static_cast<int32_t>(k));
    s.right.push_back(-static_cast<int32_t>(k));
  }
  return s;
}

// Hands `stream` from frame `first` on to `sink` in blocks of random sizes.
Fault Feed(const Stream& stream, size_t first, FrameSink* sink, uint32_t seed) {
  std::mt19937 random(seed);
  Fault fault = sink->Start();
  for (size_t k = first; k < stream.left.size() && !Failed(fault);) {
    const uint32_t frames =
        std::min<uint32_t>(1 + random() % 3000, static_cast<uint32_t>(stream.left.size() - k));
    FrameBlock block;
    block.frames = frames;
    block.channels[0] = stream.left.data() + k;
    block.channels[1] = stream.right.data() + k;
    fault = sink->Write(block);
    k += frames;
  }
  return Failed(fault) ? fault : sink->Finish();
}

}  // namespace

TEST(TrackSplitter, EachOutputGetsItsFramesWhateverTheBlocksThreadsAndRoom) {
  const Stream stream = Ramp(50000);
  for (const auto& [writers, room] :
       {std::pair{1u, size_t{1} << 30}, {2u, size_t{4000}}, {3u, size_t{100000}}}) {
    KeepingSink sinks[3];
    sinks[1].slow = true;
    // A gap before the first and between the second and third, and a last
    // one that runs to the end; the stream is given from frame 100 on.
    const std::vector<SplitOutput> outputs = {
        {1000, 9000, &sinks[0]}, {10000, 20000, &sinks[1]}, {35000, 15000, &sinks[2]}};
    TrackSplitter splitter(outputs, 2, 100, writers, room);
    Stream given;
    given.left.assign(stream.left.begin() + 100, stream.left.end());
    given.right.assign(stream.right.begin() + 100, stream.right.end());
    ASSERT_FALSE(Failed(Feed(given, 0, &splitter, writers))) << writers;
    for (size_t o = 0; o < outputs.size(); ++o) {
      const auto from = stream.left.begin() + outputs[o].first;
      EXPECT_TRUE(sinks[o].finished);
      EXPECT_EQ(sinks[o].kept, std::vector<int32_t>(from, from + outputs[o].frames))
          << writers << " writers, output " << o;
      EXPECT_EQ(sinks[o].other.size(), outputs[o].frames);
    }
  }
}

TEST(TrackSplitter, AFailingOutputStopsTheRun) {
  const Stream stream = Ramp(30000);
  KeepingSink sinks[3];
  sinks[0].fail_after = 500;
  const std::vector<SplitOutput> outputs = {
      {0, 10000, &sinks[0]}, {10000, 10000, &sinks[1]}, {20000, 10000, &sinks[2]}};
  TrackSplitter splitter(outputs, 2, 0, 1, 8000);
  EXPECT_EQ(Feed(stream, 0, &splitter, 7).failure, Failure::FileWrite);
  EXPECT_FALSE(sinks[0].finished);
  EXPECT_FALSE(sinks[2].started);  // with one writer, never reached
}

TEST(Quantizer16, AnyPartOfTheStreamGetsTheWholeStreamsSamples) {
  std::mt19937 random(3);
  Stream stream;
  for (int k = 0; k < 40000; ++k) {
    stream.left.push_back(static_cast<int32_t>(random() % (1 << 25)) - (1 << 24));
    stream.right.push_back(static_cast<int32_t>(random() % (1 << 22)));
  }
  StreamFormat format;
  format.frame_rate = 44100;
  format.channels = 2;
  format.frames = stream.left.size();
  // The whole stream dithered by the maker a writer would use, in one block.
  ClipReport whole_clips;
  SampleMaker maker = MakeSampleMaker(SampleFormat::Pcm16, true, format, &whole_clips);
  FrameBlock all;
  all.frames = static_cast<uint32_t>(stream.left.size());
  all.channels[0] = stream.left.data();
  all.channels[1] = stream.right.data();
  std::vector<int32_t> expected(all.frames);
  MakeIntegerSamples(&maker, all, 0, expected.data());
  // The quantizer, in the same block, then cut: the parts keep those values.
  KeepingSink parts[2];
  TrackSplitter splitter({{0, 12345, &parts[0]}, {12345, all.frames - 12345, &parts[1]}}, 2, 0, 2);
  ClipReport clips;
  Quantizer16 quantizer(format, true, all.frames, {{0, all.frames, nullptr}}, 0, &splitter, &clips);
  ASSERT_FALSE(Failed(quantizer.Start()));
  ASSERT_FALSE(Failed(quantizer.Write(all)));
  ASSERT_FALSE(Failed(quantizer.Finish()));
  std::vector<int32_t> got = parts[0].kept;
  got.insert(got.end(), parts[1].kept.begin(), parts[1].kept.end());
  for (int32_t& v : got) v >>= 8;
  EXPECT_EQ(got, expected);
  EXPECT_EQ(clips.saturated[0], whole_clips.saturated[0]);
  EXPECT_GT(clips.saturated[0], 0u);
}

TEST(Quantizer16, CountsTheSaturationOfTheOutputsFramesAlone) {
  // Far past full scale around a part, within it only at two frames.
  Stream stream;
  for (int k = 0; k < 30000; ++k) {
    const bool loud = k < 10000 || k >= 20000 || k == 12000 || k == 15000;
    stream.left.push_back(loud ? (k == 15000 ? 3 << 24 : 2 << 24) : 1000);
    stream.right.push_back(1000);
  }
  StreamFormat format;
  format.frame_rate = 44100;
  format.channels = 2;
  format.frames = stream.left.size();
  KeepingSink part;
  TrackSplitter splitter({{11000, 8000, &part}}, 2, 0, 1);
  ClipReport clips;
  Quantizer16 quantizer(format, true, 3000, {{11000, 8000, nullptr}}, 0, &splitter, &clips);
  ASSERT_FALSE(Failed(Feed(stream, 0, &quantizer, 5)));
  EXPECT_EQ(clips.saturated[0], 2u);
  EXPECT_EQ(clips.peak, uint64_t{3} << 24);
  EXPECT_EQ(part.kept.size(), 8000u);
}
