// The fast kernels against the reference filter: random windows in bulk,
// windows whose sample lies on a truncation edge (these must take the
// fallback), the full-scale edges, gains, runs of odd lengths in buffers that
// end exactly where the contract says, and concurrent calls.
#include "decimate/fast_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "decimate/fast_tables.h"

namespace {

constexpr size_t DefaultRandomFrames = 10000000;
// Sets the frame count of the bulk random test, e.g. lower for a sanitizer build.
constexpr char RandomFramesVariable[] = "DFF2WAV_FAST_FILTER_FRAMES";
constexpr double Scale25 = 33554432.0;  // 2^25: the sample is trunc(2^25 * v)
constexpr double EdgeDistance = 1e-9;   // |x - integer| of a truncation-edge window
// Well inside the kernels' bracket, 2^25 * SumErrorBound = 2^-17 ~ 7.6e-6.
constexpr double BracketedDistance = 4e-6;
// Hand-built windows sit this many words apart, so in a stream each one is
// frame 17j, which falls in every lane of a 16-frame block in turn.
constexpr size_t WindowStride = WindowWords + 1;
constexpr double AllTapsSum = 1.0027;      // a window's sum per unit of density
constexpr double FullScale24 = 8388608.0;  // 2^23: x of 24-bit full scale

using Window = std::array<ChannelWord, WindowWords>;

// Two channels, so that a window can be tested beside a different one.
struct Stream {
  std::vector<ChannelWord> left, right;
  size_t frames() const { return left.size() - (WindowWords - 1); }
};

// The samples of both channels, left then right.
struct Samples {
  std::vector<int32_t> left, right;
  bool operator==(const Samples& other) const { return left == other.left && right == other.right; }
};

// Samples past the end of a kernel's output, which it must never write.
constexpr size_t GuardSamples = 32;
constexpr int32_t GuardValue = 0x7E7E7E7E;

std::vector<FilterKernel> SupportedKernels() {
  std::vector<FilterKernel> kernels;
  for (int i = 0; i < FilterKernelCount; ++i) {
    if (FilterKernelSupported(static_cast<FilterKernel>(i))) {
      kernels.push_back(static_cast<FilterKernel>(i));
    }
  }
  return kernels;
}

ChannelWord WordOfDensity(std::mt19937_64& random, double density) {
  const uint64_t threshold = static_cast<uint64_t>(density * 256.0);  // per random byte
  ChannelWord word = 0;
  for (int b = 0; b < WordSamples; b += 8) {
    const uint64_t bytes = random();
    for (int i = 0; i < 8; ++i) {
      if (((bytes >> (8 * i)) & 0xFF) < threshold) word |= 1u << (b + i);
    }
  }
  return word;
}

Samples ReferenceSamples(const Stream& stream, double gain = 1.0) {
  Samples out{std::vector<int32_t>(stream.frames()), std::vector<int32_t>(stream.frames())};
  auto run = [&](size_t begin, size_t end) {
    for (size_t k = begin; k < end; ++k) {
      out.left[k] = ReferenceSample(&stream.left[k], gain);
      out.right[k] = ReferenceSample(&stream.right[k], gain);
    }
  };
  const size_t half = stream.frames() / 2;
  std::thread helper(run, 0, half);
  run(half, stream.frames());
  helper.join();
  return out;
}

// Says, rather than hides, which kernels this CPU leaves untested.
TEST(FastFilter, EveryKernelRunsOnThisCpu) {
  std::string untested;
  for (int i = 0; i < FilterKernelCount; ++i) {
    const FilterKernel kernel = static_cast<FilterKernel>(i);
    if (!FilterKernelSupported(kernel)) untested += std::string(" ") + FilterKernelName(kernel);
  }
  if (!untested.empty())
    GTEST_SKIP() << "this CPU cannot run, so nothing tests, the kernels:" << untested;
}

// Both channels through `kernel` (or DecimateChannels when null) into
// outputs followed by guard samples, which must stay as they were: together,
// which pairs them, or one at a time.
Samples KernelSamples(const FilterKernel* kernel, const Stream& stream, double gain, bool together,
                      size_t* fallbacks) {
  const size_t frames = stream.frames();
  std::vector<int32_t> out[2] = {std::vector<int32_t>(frames + GuardSamples, GuardValue),
                                 std::vector<int32_t>(frames + GuardSamples, GuardValue)};
  const ChannelWord* words[] = {stream.left.data(), stream.right.data()};
  int32_t* samples[] = {out[0].data(), out[1].data()};
  for (int first = 0; first < 2; first += together ? 2 : 1) {
    const int channels = together ? 2 : 1;
    if (kernel) {
      *fallbacks +=
          DecimateChannelsWith(*kernel, words + first, channels, frames, gain, samples + first);
    } else {
      DecimateChannels(words + first, channels, frames, gain, samples + first);
    }
  }
  for (std::vector<int32_t>& channel : out) {
    EXPECT_TRUE(std::all_of(channel.begin() + frames, channel.end(),
                            [](int32_t s) { return s == GuardValue; }))
        << "a kernel wrote past its " << frames << " samples";
    channel.resize(frames);
  }
  return Samples{out[0], out[1]};
}

// Runs every supported kernel, and DecimateChannels, over the channels of
// the stream, paired and one at a time, and expects the reference's samples.
// Returns each kernel's fallback count over one of the two runs.
std::vector<size_t> ExpectKernelsMatch(const Stream& stream, const Samples& expected,
                                       double gain = 1.0) {
  std::vector<size_t> fallbacks;
  for (FilterKernel kernel : SupportedKernels()) {
    for (bool together : {true, false}) {
      size_t count = 0;
      const Samples out = KernelSamples(&kernel, stream, gain, together, &count);
      if (together) fallbacks.push_back(count);
      for (const auto& [got, want] :
           {std::pair{&out.left, &expected.left}, std::pair{&out.right, &expected.right}}) {
        const auto mismatch = std::mismatch(got->begin(), got->end(), want->begin());
        EXPECT_TRUE(mismatch.first == got->end())
            << FilterKernelName(kernel) << (together ? ", paired" : ", alone") << ": frame "
            << (mismatch.first - got->begin()) << " of " << stream.frames() << " differs";
      }
    }
  }
  size_t unused = 0;
  EXPECT_TRUE(KernelSamples(nullptr, stream, gain, true, &unused) == expected)
      << "DecimateChannels";
  return fallbacks;
}

// Lays windows at WindowStride with random words between and after them.
Stream StreamOfWindows(const std::vector<Window>& lefts, const std::vector<Window>& rights,
                       std::mt19937_64& random) {
  Stream stream;
  const size_t words = WindowStride * lefts.size() + WindowWords - 1;
  for (size_t i = 0; i < words; ++i) {
    stream.left.push_back(static_cast<ChannelWord>(random()));
    stream.right.push_back(static_cast<ChannelWord>(random()));
  }
  for (size_t j = 0; j < lefts.size(); ++j) {
    std::copy(lefts[j].begin(), lefts[j].end(), stream.left.begin() + WindowStride * j);
    std::copy(rights[j].begin(), rights[j].end(), stream.right.begin() + WindowStride * j);
  }
  return stream;
}

// ---- Windows whose reference x = 2^25 v lies on a chosen edge ----

double ReferenceSum(const Window& window) { return ::ReferenceSum(window.data()); }

double XOfSum(double sum) { return ((sum - SampleOffsetHalf) - SampleOffsetRipple) * Scale25; }

bool TapSet(const Window& window, int t) {
  return (window[t / WordSamples] >> (t % WordSamples)) & 1u;
}

void SetTap(Window& window, int t, bool on) {
  const ChannelWord bit = 1u << (t % WordSamples);
  window[t / WordSamples] = on ? window[t / WordSamples] | bit : window[t / WordSamples] & ~bit;
}

// The last TailTaps taps, the smallest, are what the search chooses.
constexpr int TailTaps = 26;
constexpr int TailFirst = FirTaps - TailTaps;
constexpr int HalfTail = TailTaps / 2;

struct Edge {
  bool any_integer;  // any integer, or `integer` only
  double integer;
  double distance;  // how close x must come
};

// With taps 0..TailFirst-1 fixed and every partial sum inside one binade of
// ulp q, each tail addition is exact up to rounding the tap to a multiple of
// q, so the final sum is prefix + q * (sum of the rounded tail taps) exactly.
// A meet-in-the-middle over the two halves of the tail then finds a subset
// that puts x on the edge; the window is re-checked with ReferenceSum.
bool SearchTail(Window& window, const Edge& edge) {
  for (int t = TailFirst; t < FirTaps; ++t) SetTap(window, t, false);
  const double prefix = ReferenceSum(window);
  int exponent;
  std::frexp(prefix, &exponent);  // prefix in [2^(exponent-1), 2^exponent)
  double tail_low = 0.0, tail_high = 0.0;
  for (int t = TailFirst; t < FirTaps; ++t) (FirTap(t) < 0 ? tail_low : tail_high) += FirTap(t);
  if (prefix + tail_low < std::ldexp(1.0, exponent - 1) ||
      prefix + tail_high >= std::ldexp(1.0, exponent)) {
    return false;
  }
  const double ulp = std::ldexp(1.0, exponent - 1 - 52);
  int64_t steps[TailTaps];
  for (int i = 0; i < TailTaps; ++i) {
    const double in_ulps = FirTap(TailFirst + i) / ulp;
    if (in_ulps - std::floor(in_ulps) == 0.5) return false;  // a tie would depend on parity
    steps[i] = static_cast<int64_t>(std::nearbyint(in_ulps));
  }
  const double per_x = 1.0 / (Scale25 * ulp);  // ulps per unit of x, a power of 2
  const double x0 = XOfSum(prefix);
  auto key = [&](double d) { return edge.any_integer ? d - per_x * std::floor(d / per_x) : d; };
  std::vector<std::pair<double, unsigned>> second;  // (key, subset of the second half)
  for (unsigned subset = 0; subset < (1u << HalfTail); ++subset) {
    int64_t d = 0;
    for (int i = 0; i < HalfTail; ++i) d += (subset >> i) & 1u ? steps[HalfTail + i] : 0;
    second.emplace_back(key(static_cast<double>(d)), subset);
  }
  std::sort(second.begin(), second.end());
  const double width = std::max(2.0, edge.distance * per_x);
  for (unsigned first = 0; first < (1u << HalfTail); ++first) {
    int64_t d1 = 0;
    for (int i = 0; i < HalfTail; ++i) d1 += (first >> i) & 1u ? steps[i] : 0;
    const double wanted =
        edge.any_integer ? key(-x0 * per_x - d1) : (edge.integer - x0) * per_x - d1;
    for (double shift : {-per_x, 0.0, per_x}) {
      if (!edge.any_integer && shift != 0.0) continue;
      auto it = std::lower_bound(second.begin(), second.end(),
                                 std::make_pair(wanted + shift - width, 0u));
      for (; it != second.end() && it->first <= wanted + shift + width; ++it) {
        for (int i = 0; i < TailTaps; ++i) {
          SetTap(window, TailFirst + i,
                 ((i < HalfTail ? first : it->second << HalfTail) >> i) & 1u);
        }
        const double x = XOfSum(ReferenceSum(window));
        const double target = edge.any_integer ? std::nearbyint(x) : edge.integer;
        if (std::fabs(x - target) < edge.distance) return true;
      }
    }
  }
  return false;
}

// Flips taps outside the tail until x lies near `x_goal`, well within what
// the tail can add (its positive taps reach about 2000 in x).
void Steer(Window& window, double x_goal, std::mt19937_64& random) {
  constexpr double CloseEnough = 300.0;  // in x
  constexpr int Passes = 20;
  for (int t = TailFirst; t < FirTaps; ++t) SetTap(window, t, false);
  std::vector<int> order(TailFirst);
  for (int t = 0; t < TailFirst; ++t) order[t] = t;
  double x = XOfSum(ReferenceSum(window));
  for (int pass = 0; pass < Passes && std::fabs(x_goal - x) > CloseEnough; ++pass) {
    std::shuffle(order.begin(), order.end(), random);
    for (int t : order) {
      const double delta = (TapSet(window, t) ? -FirTap(t) : FirTap(t)) * Scale25;
      if (std::fabs(x_goal - (x + delta)) < std::fabs(x_goal - x)) {
        SetTap(window, t, !TapSet(window, t));
        x += delta;
      }
    }
    x = XOfSum(ReferenceSum(window));
  }
}

// A window on `edge`; any-integer edges start from random bits of `density`
// and must be unsaturated, a given integer's start from bits steered to just
// below it.
Window EdgeWindow(const Edge& edge, double density, std::mt19937_64& random) {
  double tail_reach = 0.0;
  for (int t = TailFirst; t < FirTaps; ++t) tail_reach += std::max(FirTap(t), 0.0) * Scale25;
  constexpr int Attempts = 5000;  // about 7 are needed on average
  for (int attempt = 0; attempt < Attempts; ++attempt) {
    Window window;
    for (ChannelWord& word : window) word = WordOfDensity(random, density);
    if (!edge.any_integer) Steer(window, edge.integer - tail_reach / 2, random);
    // An any-integer edge must be one that truncation sees: unsaturated.
    if (SearchTail(window, edge) &&
        (!edge.any_integer || std::fabs(XOfSum(ReferenceSum(window))) < FullScale24)) {
      return window;
    }
  }
  ADD_FAILURE() << "no window found for x = " << edge.integer;
  return Window{};
}

// ---- The tests ----

TEST(FastFilter, EveryKernelMatchesTheReferenceOnRandomWindows) {
  size_t frames = DefaultRandomFrames;
  if (const char* count = std::getenv(RandomFramesVariable))
    frames = std::strtoull(count, nullptr, 10);
  // Left: uniform bits. Right: a new density every 1024 words, from all
  // zeros to all ones, so full scale is crossed throughout.
  constexpr size_t DensitySpan = 1024;  // words
  constexpr int DensitySteps = 256;     // densities 0/256 .. 256/256
  std::mt19937_64 random(1);
  Stream stream;
  double density = 0.5;
  for (size_t i = 0; i < frames + WindowWords - 1; ++i) {
    if (i % DensitySpan == 0) {
      density = static_cast<double>(random() % (DensitySteps + 1)) / DensitySteps;
    }
    stream.left.push_back(static_cast<ChannelWord>(random()));
    stream.right.push_back(WordOfDensity(random, density));
  }
  const std::vector<size_t> fallbacks = ExpectKernelsMatch(stream, ReferenceSamples(stream));
  // The fallback stays rare: about 1.5e-5 of the samples.
  for (size_t count : fallbacks) EXPECT_LT(count, 2 * frames / 10000 + 10);
}

TEST(FastFilter, EveryKernelMatchesTheReferenceAtOtherGains) {
  // From -40 to +20 dB: the bracket scales with the gain, and the largest
  // gain drives full-scale windows far beyond 24 bits.
  constexpr size_t Frames = 200000;
  std::mt19937_64 random(6);
  Stream stream;
  for (size_t i = 0; i < Frames + WindowWords - 1; ++i) {
    stream.left.push_back(static_cast<ChannelWord>(random()));
    stream.right.push_back(WordOfDensity(random, static_cast<double>(i / 1024 % 9) / 8));
  }
  for (double gain : {0.01, 0.5, 1.0 / 3, 2.0, 10.0}) {
    SCOPED_TRACE(gain);
    ExpectKernelsMatch(stream, ReferenceSamples(stream, gain), gain);
  }
}

TEST(FastFilter, TruncationEdgeWindowsFallBackAndMatch) {
  // Odd j: the edge window is on the right, a random one on the left.
  constexpr int Windows = 48;
  const double densities[] = {0.35, 0.42, 0.5, 0.58, 0.65};
  std::mt19937_64 random(2);
  std::vector<Window> lefts, rights;
  for (int j = 0; j < Windows; ++j) {
    const Window edge = EdgeWindow({true, 0.0, EdgeDistance}, densities[j % 5], random);
    Window plain;
    for (ChannelWord& word : plain) word = static_cast<ChannelWord>(random());
    lefts.push_back(j % 2 ? plain : edge);
    rights.push_back(j % 2 ? edge : plain);
    const double x = XOfSum(ReferenceSum(edge));
    ASSERT_LT(std::fabs(x - std::nearbyint(x)), EdgeDistance);
    ASSERT_LT(std::fabs(x), FullScale24);
  }
  const Stream stream = StreamOfWindows(lefts, rights, random);
  for (size_t count : ExpectKernelsMatch(stream, ReferenceSamples(stream))) {
    EXPECT_GE(count, static_cast<size_t>(Windows));
  }
  // One at a time, each window is a whole run: the AVX-512 kernel's tail.
  for (int j = 0; j < Windows; ++j) {
    Stream single;
    single.left.assign(lefts[j].begin(), lefts[j].end());
    single.right.assign(rights[j].begin(), rights[j].end());
    for (size_t count : ExpectKernelsMatch(single, ReferenceSamples(single)))
      EXPECT_EQ(count, 1u) << "window " << j;
  }
}

TEST(FastFilter, FullScaleEdgesMatch) {
  std::mt19937_64 random(3);
  Window zeros, ones, positive, negative;
  zeros.fill(0);
  ones.fill(~ChannelWord{0});
  positive = negative = zeros;
  for (int t = 0; t < FirTaps; ++t) SetTap(FirTap(t) > 0 ? positive : negative, t, true);
  // x within the kernels' bracket of integers around 24-bit full scale
  // (x = +-2^23) and twice it (x = +-2^24, the design's old clamp). The
  // samples are not saturated, so the truncation differs across the bracket
  // for each: all must fall back.
  const double edges[] = {-16777216.0, -8388609.0, -8388608.0, -8388607.0,
                          8388607.0,   8388608.0,  16777216.0};
  std::vector<Window> lefts = {zeros, ones, positive, negative, zeros};
  std::vector<Window> rights = {ones, zeros, negative, positive, positive};
  size_t must_fall_back = 0;
  for (double x : edges) {
    const double density = std::clamp((0.5 + x / Scale25) / AllTapsSum, 0.0, 1.0);
    const Window window = EdgeWindow({false, x, BracketedDistance}, density, random);
    lefts.push_back(window);
    rights.push_back(ones);
    lefts.push_back(zeros);
    rights.push_back(window);
    must_fall_back += 2;
  }
  const Stream edges_stream = StreamOfWindows(lefts, rights, random);
  for (size_t count : ExpectKernelsMatch(edges_stream, ReferenceSamples(edges_stream))) {
    EXPECT_GE(count, must_fall_back);
  }
  // Random bits at the densities whose mean sum is a saturation edge.
  constexpr size_t EdgeDensityWords = 200000;
  for (double density : {0.2507, 0.7493}) {
    Stream stream;
    for (size_t i = 0; i < EdgeDensityWords; ++i) {
      stream.left.push_back(WordOfDensity(random, density));
      stream.right.push_back(WordOfDensity(random, 1.0 - density));
    }
    ExpectKernelsMatch(stream, ReferenceSamples(stream));
  }
}

TEST(FastFilter, ShortRunsStayInsideExactBuffers) {
  // Heap buffers of exactly frames + 15 words, so an overread shows under
  // the sanitizers; writes past the frames show in the guard samples.
  std::mt19937_64 random(4);
  for (size_t frames : {0, 1, 7, 15, 16, 17, 31, 33, 47}) {
    Stream stream;
    for (size_t i = 0; i < frames + WindowWords - 1; ++i) {
      stream.left.push_back(static_cast<ChannelWord>(random()));
      stream.right.push_back(WordOfDensity(random, 0.3));
    }
    SCOPED_TRACE(frames);
    ExpectKernelsMatch(stream, ReferenceSamples(stream));
  }
}

TEST(FastFilter, ConcurrentCallsOnDisjointRanges) {
  // Run first in a fresh process, these calls also race the table build.
  constexpr size_t Threads = 4, FramesEach = 20000;
  std::mt19937_64 random(5);
  Stream stream;
  for (size_t i = 0; i < Threads * FramesEach + WindowWords - 1; ++i) {
    stream.left.push_back(static_cast<ChannelWord>(random()));
    stream.right.push_back(static_cast<ChannelWord>(random()));
  }
  Samples out{std::vector<int32_t>(stream.frames()), std::vector<int32_t>(stream.frames())};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < Threads; ++i) {
    threads.emplace_back([&, i] {
      const ChannelWord* words[] = {&stream.left[i * FramesEach], &stream.right[i * FramesEach]};
      int32_t* samples[] = {&out.left[i * FramesEach], &out.right[i * FramesEach]};
      DecimateChannels(words, 2, FramesEach, 1.0, samples);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(out == ReferenceSamples(stream));
}

}  // namespace
