// DST frames decoded per second, one thread, DSD64 music-like sound from the
// test encoder: stereo and six channels, filters of 64 and 128 taps.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "dst/dst.h"
#include "tools/dst_encoder.h"

namespace {

void DecodeFrames(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  const size_t bytes = DstChannelBytes(2822400);
  DstEncoderOptions options;
  options.order = static_cast<int>(state.range(1));
  const auto sound = MusicLikeSound(channels, bytes, 1);
  std::vector<const uint8_t*> in;
  for (const auto& c : sound) in.push_back(c.data());
  const auto frame = EncodeDstFrame(in.data(), channels, bytes, options);
  std::vector<std::vector<uint8_t>> decoded(channels, std::vector<uint8_t>(bytes));
  std::vector<uint8_t*> out;
  for (auto& c : decoded) out.push_back(c.data());
  auto scratch = std::make_unique<DstScratch>();
  for (auto _ : state) {
    const bool ok =
        DecodeDstFrame(frame.data(), frame.size(), channels, bytes, out.data(), scratch.get());
    benchmark::DoNotOptimize(ok);
  }
  if (decoded != sound || !IsCodedFrame(frame)) state.SkipWithError("the frame did not round trip");
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(DecodeFrames)
    ->ArgNames({"channels", "order"})
    ->Args({2, 64})
    ->Args({2, 128})
    ->Args({6, 64})
    ->Args({6, 128});
BENCHMARK_MAIN();
