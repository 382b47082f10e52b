// libFuzzer target: one DST frame. The first byte picks the channel count, the
// second the frame length; the rest is the frame. The decoder may refuse or
// decode anything, within its buffers; every kernel this CPU runs must agree
// with the bit-at-a-time reference on the outcome and on every byte of sound.
#include <cstdint>
#include <memory>
#include <vector>

#include "dst/dst.h"

namespace {
// Frame lengths per channel: tiny ones for speed, and DSD64's 4704.
constexpr size_t FrameBytes[] = {1, 16, 160, 600, 4704};
constexpr size_t Lengths = sizeof FrameBytes / sizeof FrameBytes[0];

using Sound = std::vector<std::vector<uint8_t>>;

// kernel null: the reference.
bool Decode(const std::vector<uint8_t>& frame, int channels, size_t channel_bytes,
            const DstKernel* kernel, DstScratch* scratch, Sound* sound) {
  sound->assign(channels, std::vector<uint8_t>(channel_bytes));
  std::vector<uint8_t*> out;
  for (auto& c : *sound) out.push_back(c.data());
  return kernel == nullptr ? DecodeDstFrameReference(frame.data(), frame.size(), channels,
                                                     channel_bytes, out.data(), scratch)
                           : DecodeDstFrameWith(*kernel, frame.data(), frame.size(), channels,
                                                channel_bytes, out.data(), scratch);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto scratch = std::make_unique<DstScratch>();
  if (size < 2) return 0;
  const int channels = 1 + data[0] % DstMaxChannels;
  const size_t channel_bytes = FrameBytes[data[1] % Lengths];
  // Exactly the frame's bytes in a buffer of their own, so that any read past
  // the end is caught.
  const std::vector<uint8_t> frame(data + 2, data + size);
  Sound reference, sound;
  const bool reference_ok =
      Decode(frame, channels, channel_bytes, nullptr, scratch.get(), &reference);
  for (int k = 0; k < DstKernelCount; ++k) {
    const DstKernel kernel = static_cast<DstKernel>(k);
    if (!DstKernelSupported(kernel)) continue;
    const bool ok = Decode(frame, channels, channel_bytes, &kernel, scratch.get(), &sound);
    if (ok != reference_ok || sound != reference) __builtin_trap();
  }
  return 0;
}
