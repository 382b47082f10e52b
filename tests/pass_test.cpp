// The pass over sound held in a file: the frames that reach the sink, in
// order, for any number of workers, channels and calls; the channel files it
// keeps; and how it ends when the input or the sink fails.
#include "pass/pass.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <tuple>

#include "dsdiff/dsdiff.h"
#include "tests/test_support.h"

namespace {

// Keeps every frame it is given, one vector per channel; fails on request
// at a given frame. When it prepares, it keeps the copies its Prepare made
// in the room the pass gave, so that room must outlast the wait for Write.
class CollectingSink final : public FrameSink {
 public:
  explicit CollectingSink(int channels) : samples(channels) {}
  Fault Start() override { return Fault{}; }
  size_t PreparedBytes(uint32_t frames) const override {
    return prepares ? size_t{frames} * samples.size() * sizeof(int32_t) : 0;
  }
  void Prepare(FrameBlock* block) const override {
    auto* copy = reinterpret_cast<int32_t*>(block->prepared);
    for (size_t c = 0; c < samples.size(); ++c, copy += block->frames) {
      std::copy(block->channels[c], block->channels[c] + block->frames, copy);
    }
  }
  Fault Write(const FrameBlock& block) override {
    if (!busy.try_lock()) ADD_FAILURE() << "two blocks at once";
    if (prepares != (block.prepared != nullptr)) ADD_FAILURE() << "prepared or not, wrongly";
    // A slow sink now and then: the workers run ahead of it.
    if (slow && ++blocks % 2 == 0) usleep(20000);
    const auto* copy = reinterpret_cast<const int32_t*>(block.prepared);
    for (size_t c = 0; c < samples.size(); ++c) {
      const int32_t* from = prepares ? copy + c * block.frames : block.channels[c];
      samples[c].insert(samples[c].end(), from, from + block.frames);
    }
    busy.unlock();
    return samples[0].size() > fail_after ? FaultOf(Failure::FileWrite, "sink", "full") : Fault{};
  }
  Fault Finish() override { return Fault{}; }

  std::vector<std::vector<int32_t>> samples;
  size_t fail_after = SIZE_MAX;
  bool slow = false;
  bool prepares = false;
  int blocks = 0;
  std::mutex busy;
};

struct PassRun {
  Fault fault;
  std::vector<std::vector<int32_t>> samples;
  Bytes left, right;  // the channel files, when kept
  PassReport report;
};

// Runs the pass over a DSDIFF file of `channels` channels of interleaved
// `sound`, in calls of at most `call_frames` frames, in a scratch working
// directory. With `replace_names`, the channel files' names are taken over
// by other files once the pass holds them.
struct PassOptions {
  int channels = 2;
  unsigned workers = 2;
  uint64_t call_frames = UINT64_MAX;
  bool channel_files = true;
  bool replace_names = false;
  uint64_t held_words = UINT64_MAX;  // words the file holds; the pass is told it holds all
  size_t sink_fails_after = SIZE_MAX;
  bool slow_sink = false;
  bool sink_prepares = false;
};

PassRun RunPass(const Bytes& sound, const PassOptions& o = {}) {
  TempDir dir;
  char previous[PATH_MAX];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(dir.path.c_str()), 0);
  const Bytes file = DsdiffOf(sound, o.channels);
  const size_t held = o.held_words == UINT64_MAX ? sound.size() : o.held_words * 4 * o.channels;
  const InputFile in(file.substr(0, file.size() - sound.size() + held));
  SoundSource source;
  SoundProperties properties;
  PassRun run{ChunkWalk(in.fd, "in", &source, &properties), {}, {}, {}, {}};
  source.words_present = source.words;
  CollectingSink sink(o.channels);
  sink.fail_after = o.sink_fails_after;
  sink.slow = o.slow_sink;
  sink.prepares = o.sink_prepares;
  ChannelFiles files;
  if (!Failed(run.fault) && o.channel_files) run.fault = OpenChannelFiles(&files);
  if (o.replace_names) {
    for (const char* name : {LeftChannelFile, RightChannelFile}) {
      EXPECT_EQ(rename(name, (std::string(name) + ".moved").c_str()), 0);
      WriteFile(name, "another conversion's words");
    }
  }
  const PassJob job{&source, &sink, o.channel_files ? &files : nullptr, 1.0,
                    source.words - OverlapWords};
  Pass pass;
  if (!Failed(run.fault)) run.fault = PassPrepare(source, sink, o.workers, &pass);
  for (uint64_t first = 0; first < job.frames && !Failed(run.fault); first += o.call_frames) {
    run.fault =
        PassFrames(&pass, job, first, std::min(o.call_frames, job.frames - first), &run.report);
  }
  PassRelease(&pass);
  if (!Failed(run.fault) && o.channel_files) {
    run.fault = FinishChannelFiles(&files, source.words);
  }
  CloseChannelFiles(&files);
  run.samples = sink.samples;
  const std::string suffix = o.replace_names ? ".moved" : "";
  run.left = ReadFile(LeftChannelFile + suffix);
  run.right = ReadFile(RightChannelFile + suffix);
  if (o.replace_names) {
    EXPECT_EQ(ReadFile(LeftChannelFile), "another conversion's words");
  }
  EXPECT_EQ(chdir(previous), 0);
  return run;
}

TEST(Pass, FramesAndChannelFilesAreThoseOfOnePassWhateverTheWorkersAndCalls) {
  const uint32_t words = 3 * PassBlockFrames(SoundSource{}) + 40;  // several pieces
  const Bytes sound = RandomSound(size_t{8} * words, 25);
  const PassRun one = RunPass(sound, {2, 1});
  ASSERT_FALSE(Failed(one.fault));
  ASSERT_EQ(one.samples[0].size(), words - OverlapWords);
  ASSERT_EQ(one.left.size(), size_t{4} * words);
  const std::vector<ChannelWord> left = WordsOf(one.left), right = WordsOf(one.right);
  for (size_t k = 0; k < one.samples[0].size(); k += 997) {
    ASSERT_EQ(one.samples[0][k], ReferenceSample(&left[k], 1.0)) << k;
    ASSERT_EQ(one.samples[1][k], ReferenceSample(&right[k], 1.0)) << k;
  }
  // Calls that end inside a piece, more workers than pieces, and a sink slower
  // than the workers, who then finish and prepare pieces out of turn.
  for (const auto& [workers, call_frames, slow] : {std::tuple{3u, uint64_t{70001}, false},
                                                   {8u, uint64_t{17}, false},
                                                   {4u, UINT64_MAX, true}}) {
    PassOptions options;
    options.workers = workers;
    options.call_frames = call_frames;
    options.slow_sink = slow;
    options.sink_prepares = workers != 8;
    const PassRun other =
        RunPass(sound.substr(0, call_frames == 17 ? 8 * 2000 : sound.size()), options);
    ASSERT_FALSE(Failed(other.fault));
    const size_t frames = other.samples[0].size();
    EXPECT_TRUE(
        std::equal(other.samples[0].begin(), other.samples[0].end(), one.samples[0].begin()))
        << workers << " workers";
    EXPECT_TRUE(other.left == one.left.substr(0, 4 * (frames + OverlapWords)) &&
                other.right == one.right.substr(0, 4 * (frames + OverlapWords)))
        << workers << " workers";
  }
}

TEST(Pass, EveryChannelIsFilteredFromItsOwnWords) {
  for (int channels : {1, 3, 6}) {
    const uint32_t words = 5000;
    const Bytes sound = RandomSound(size_t{4} * channels * words, 26 + channels);
    PassOptions options;
    options.channels = channels;
    options.channel_files = false;
    const PassRun run = RunPass(sound, options);
    ASSERT_FALSE(Failed(run.fault)) << channels;
    EXPECT_EQ(run.left, "");  // no channel files without a tee
    // Channel c of the file, alone, as a mono file.
    for (int c = 0; c < channels; ++c) {
      Bytes mono;
      for (size_t i = c; i < sound.size(); i += channels) mono.push_back(sound[i]);
      PassOptions single = options;
      single.channels = 1;
      EXPECT_EQ(RunPass(mono, single).samples[0], run.samples[c]) << channels << " " << c;
    }
  }
}

TEST(Pass, ChannelFileNamesTakenOverMidRunChangeNothing) {
  const Bytes sound = RandomSound(8 * 5000, 24);
  const PassRun plain = RunPass(sound);
  PassOptions options;
  options.replace_names = true;
  const PassRun taken_over = RunPass(sound, options);
  ASSERT_FALSE(Failed(taken_over.fault));
  EXPECT_EQ(taken_over.samples, plain.samples);
  EXPECT_TRUE(taken_over.left == plain.left && taken_over.right == plain.right);
}

TEST(Pass, FailuresEndThePassAtTheEarliestFailedPiece) {
  const uint32_t pieces = 6;
  const Bytes sound = RandomSound(size_t{8} * pieces * PassBlockFrames(SoundSource{}), 23);
  // The input shrank after it was measured: a read failure, not silence.
  PassOptions shrunk;
  shrunk.held_words = sound.size() / 8 - 100;
  EXPECT_EQ(RunPass(sound, shrunk).fault.failure, Failure::FileRead);
  // A sink that fails: nothing is handed on after the failed block.
  PassOptions failing;
  failing.workers = 3;
  failing.sink_fails_after = 2 * PassBlockFrames(SoundSource{}) + 1;
  const PassRun sink_failed = RunPass(sound, failing);
  EXPECT_EQ(sink_failed.fault.failure, Failure::FileWrite);
  EXPECT_EQ(sink_failed.samples[0].size(), 3u * PassBlockFrames(SoundSource{}));
}

}  // namespace

TEST(Pass, ReportsEachDamagedFrameOnceInOrderWhateverTheWorkers) {
  // 150 plain DST frames of stereo DSD64; some cannot be read: empty, or a
  // coded frame of nothing. Frame 55 spans the first two pieces, so both read it.
  const std::vector<uint64_t> broken = {0, 55, 56, 100, 149};
  Bytes frames = Chunk("FRTE", BigEndian(150, 4) + BigEndian(75, 2));
  for (uint64_t f = 0; f < 150; ++f) {
    const bool bad = std::find(broken.begin(), broken.end(), f) != broken.end();
    frames += Chunk("DSTF", !bad    ? Bytes(1, 0) + RandomSound(2 * 4704, 40 + f)
                            : f % 2 ? "\x80"
                                    : "");
  }
  const InputFile in(
      Container({FverChunk(), PropChunk(2822400, 2, "DST "), Chunk("DST ", frames)}));
  for (unsigned workers : {1u, 3u}) {
    SoundSource source;
    SoundProperties properties;
    ASSERT_FALSE(Failed(ChunkWalk(in.fd, "in", &source, &properties)));
    source.words_present = source.words;
    CollectingSink sink(2);
    const PassJob job{&source, &sink, nullptr, 1.0, source.words - OverlapWords};
    Pass pass;
    PassReport report;
    ASSERT_FALSE(Failed(PassPrepare(source, sink, workers, &pass)));
    ASSERT_FALSE(Failed(PassFrames(&pass, job, 0, job.frames / 2, &report)));
    ASSERT_FALSE(
        Failed(PassFrames(&pass, job, job.frames / 2, job.frames - job.frames / 2, &report)));
    PassRelease(&pass);
    std::vector<uint64_t> reported;
    for (const DamagedFrame& d : report.damaged) reported.push_back(d.frame);
    EXPECT_EQ(reported, broken) << workers << " workers";
    EXPECT_EQ(sink.samples[0][56 * 1176], 0) << "a damaged frame is silence";
  }
}

TEST(Pass, ThirtyTwoWorkersAheadOfASlowSinkKeepEveryPieceApart) {
  // More pieces than the pass keeps marks for (64), so that workers far
  // ahead of a slow sink reach pieces 64 after those still waiting.
  const uint32_t pieces = 80;
  const Bytes pattern = RandomSound(size_t{1} << 20, 27);
  Bytes sound;
  while (sound.size() < size_t{8} * pieces * PassBlockFrames(SoundSource{})) sound += pattern;
  PassOptions one;
  one.workers = 1;
  one.channel_files = false;
  PassOptions many = one;
  many.workers = 32;
  many.slow_sink = true;
  const PassRun a = RunPass(sound, one), b = RunPass(sound, many);
  ASSERT_FALSE(Failed(b.fault));
  EXPECT_TRUE(a.samples == b.samples);
}
