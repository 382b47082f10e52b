// Samples per second (one channel; a stereo frame is two) of the reference
// filter and of each fast kernel this CPU supports, one thread, on random
// windows (items_per_second).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "decimate/fast_filter.h"
#include "decimate/filter.h"

namespace {

constexpr size_t BenchFrames = 1 << 16;  // samples per timed call: 256 KiB of words
constexpr uint32_t BenchSeed = 20240601;
constexpr double UnitGain = 1.0;

struct Stream {
  std::vector<ChannelWord> words;
  std::vector<int32_t> samples;
};

Stream RandomStream() {
  std::mt19937 random(BenchSeed);
  Stream stream;
  for (size_t i = 0; i < BenchFrames + WindowWords - 1; ++i) stream.words.push_back(random());
  stream.samples.resize(BenchFrames);
  return stream;
}

void BM_Reference(benchmark::State& state) {
  Stream stream = RandomStream();
  for (auto _ : state) {
    for (size_t k = 0; k < BenchFrames; ++k) {
      stream.samples[k] = ReferenceSample(stream.words.data() + k, UnitGain);
    }
    benchmark::DoNotOptimize(stream.samples.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * BenchFrames);
}

void BM_Kernel(benchmark::State& state, FilterKernel kernel) {
  Stream stream = RandomStream();
  size_t fallbacks = 0;
  for (auto _ : state) {
    fallbacks += DecimateChannelWith(kernel, stream.words.data(), BenchFrames, UnitGain,
                                     stream.samples.data());
    benchmark::DoNotOptimize(stream.samples.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * BenchFrames);
  state.counters["fallback_share"] =
      static_cast<double>(fallbacks) / static_cast<double>(state.iterations() * BenchFrames);
}

void BM_DecimateChannel(benchmark::State& state) {
  Stream stream = RandomStream();
  for (auto _ : state) {
    DecimateChannel(stream.words.data(), BenchFrames, UnitGain, stream.samples.data());
    benchmark::DoNotOptimize(stream.samples.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * BenchFrames);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("Reference", BM_Reference)->Unit(benchmark::kMillisecond);
  for (int i = 0; i < FilterKernelCount; ++i) {
    const FilterKernel kernel = static_cast<FilterKernel>(i);
    if (!FilterKernelSupported(kernel)) {
      std::fprintf(stderr, "kernel %s skipped: this CPU cannot run it\n", FilterKernelName(kernel));
      continue;
    }
    benchmark::RegisterBenchmark(FilterKernelName(kernel), BM_Kernel, kernel)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("DecimateChannel", BM_DecimateChannel)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
