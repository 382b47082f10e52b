// DST frames decoded per second, one thread, DSD64 music-like sound from the
// test encoder: stereo and six channels, filters of 64 and 128 taps. Each
// kernel this CPU runs, and the arithmetic decoding alone at the frame's own
// probabilities (Steps): the chain every kernel waits on, a floor for them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "dst/dst.h"
#include "tools/dst_encoder.h"

namespace {

struct Frame {
  int channels;
  size_t bytes;
  std::vector<std::vector<uint8_t>> sound;
  std::vector<uint8_t> payload;
};

Frame MakeFrame(const benchmark::State& state) {
  Frame f;
  f.channels = static_cast<int>(state.range(0));
  f.bytes = DstChannelBytes(2822400);
  DstEncoderOptions options;
  options.order = static_cast<int>(state.range(1));
  f.sound = MusicLikeSound(f.channels, f.bytes, 1);
  std::vector<const uint8_t*> in;
  for (const auto& c : f.sound) in.push_back(c.data());
  f.payload = EncodeDstFrame(in.data(), f.channels, f.bytes, options);
  return f;
}

// kernel null: DecodeDstFrame's own choice.
void DecodeFrames(benchmark::State& state, const DstKernel* kernel) {
  const Frame f = MakeFrame(state);
  std::vector<std::vector<uint8_t>> decoded(f.channels, std::vector<uint8_t>(f.bytes));
  std::vector<uint8_t*> out;
  for (auto& c : decoded) out.push_back(c.data());
  auto scratch = std::make_unique<DstScratch>();
  for (auto _ : state) {
    const bool ok = kernel == nullptr
                        ? DecodeDstFrame(f.payload.data(), f.payload.size(), f.channels, f.bytes,
                                         out.data(), scratch.get())
                        : DecodeDstFrameWith(*kernel, f.payload.data(), f.payload.size(),
                                             f.channels, f.bytes, out.data(), scratch.get());
    benchmark::DoNotOptimize(ok);
  }
  if (decoded != f.sound || f.payload.empty() || (f.payload[0] & 0x80) == 0) {
    state.SkipWithError("the frame did not round trip");
  }
  state.SetItemsProcessed(state.iterations());
}

void Steps(benchmark::State& state) {
  const Frame f = MakeFrame(state);
  std::vector<std::vector<uint8_t>> decoded(f.channels, std::vector<uint8_t>(f.bytes));
  std::vector<uint8_t*> out;
  for (auto& c : decoded) out.push_back(c.data());
  auto scratch = std::make_unique<DstScratch>();
  std::vector<uint8_t> probabilities(f.channels * f.bytes * 8 + 1), outcomes(probabilities.size());
  const size_t steps = DstStepProbabilities(f.payload.data(), f.payload.size(), f.channels, f.bytes,
                                            out.data(), probabilities.data(), scratch.get());
  size_t end = 0;
  for (auto _ : state) {
    end = DstDecodeSteps(f.payload.data(), f.payload.size(), f.channels, f.bytes,
                         probabilities.data(), steps, outcomes.data(), scratch.get());
    benchmark::DoNotOptimize(outcomes.data());
  }
  if (steps != probabilities.size() || decoded != f.sound || end == 0 ||
      end > f.payload.size() * 8 + 64) {
    state.SkipWithError("the frame's steps were not recorded");
  }
  state.SetItemsProcessed(state.iterations());
}

void WithFrames(benchmark::internal::Benchmark* b) {
  b->ArgNames({"channels", "order"})->Args({2, 64})->Args({2, 128})->Args({6, 64})->Args({6, 128});
}

}  // namespace

int main(int argc, char** argv) {
  static DstKernel kernels[DstKernelCount];
  WithFrames(benchmark::RegisterBenchmark("DecodeFrames", DecodeFrames, nullptr));
  for (int i = 0; i < DstKernelCount; ++i) {
    kernels[i] = static_cast<DstKernel>(i);
    if (!DstKernelSupported(kernels[i])) {
      std::fprintf(stderr, "kernel %s skipped: this CPU cannot run it\n",
                   DstKernelName(kernels[i]));
      continue;
    }
    const std::string name = std::string("DecodeFrames/") + DstKernelName(kernels[i]);
    WithFrames(benchmark::RegisterBenchmark(name.c_str(), DecodeFrames, &kernels[i]));
  }
  WithFrames(benchmark::RegisterBenchmark("Steps", Steps));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
