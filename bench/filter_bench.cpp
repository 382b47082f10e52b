// Samples per second (a stereo frame is two) of the reference filter and of
// each fast kernel this CPU supports, one thread, on random windows of two
// channels (items_per_second).
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
  std::vector<ChannelWord> words[2];
  std::vector<int32_t> samples[2];
  const ChannelWord* word_pointers[2];
  int32_t* sample_pointers[2];
};

Stream RandomStream() {
  std::mt19937 random(BenchSeed);
  Stream stream;
  for (int c = 0; c < 2; ++c) {
    for (size_t i = 0; i < BenchFrames + WindowWords - 1; ++i) stream.words[c].push_back(random());
    stream.samples[c].resize(BenchFrames);
    stream.word_pointers[c] = stream.words[c].data();
    stream.sample_pointers[c] = stream.samples[c].data();
  }
  return stream;
}

void BM_Reference(benchmark::State& state) {
  Stream stream = RandomStream();
  for (auto _ : state) {
    for (int c = 0; c < 2; ++c) {
      for (size_t k = 0; k < BenchFrames; ++k) {
        stream.samples[c][k] = ReferenceSample(stream.word_pointers[c] + k, UnitGain);
      }
    }
    benchmark::DoNotOptimize(stream.samples[0].data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 2 * BenchFrames);
}

void BM_Kernel(benchmark::State& state, FilterKernel kernel) {
  Stream stream = RandomStream();
  size_t fallbacks = 0;
  for (auto _ : state) {
    fallbacks += DecimateChannelsWith(kernel, stream.word_pointers, 2, BenchFrames, UnitGain,
                                      stream.sample_pointers);
    benchmark::DoNotOptimize(stream.samples[0].data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 2 * BenchFrames);
  state.counters["fallback_share"] =
      static_cast<double>(fallbacks) / static_cast<double>(state.iterations() * 2 * BenchFrames);
}

void BM_DecimateChannels(benchmark::State& state) {
  Stream stream = RandomStream();
  for (auto _ : state) {
    DecimateChannels(stream.word_pointers, 2, BenchFrames, UnitGain, stream.sample_pointers);
    benchmark::DoNotOptimize(stream.samples[0].data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 2 * BenchFrames);
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
  benchmark::RegisterBenchmark("DecimateChannels", BM_DecimateChannels)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
