// libFuzzer target: one DST frame. The first byte picks the channel count, the
// second the frame length; the rest is the frame. Only the decoder's safety
// is checked: it may refuse or decode anything, within its buffers.
#include <cstdint>
#include <memory>
#include <vector>

#include "dst/dst.h"

namespace {
// Frame lengths per channel: tiny ones for speed, and DSD64's 4704.
constexpr size_t FrameBytes[] = {1, 16, 160, 600, 4704};
constexpr size_t Lengths = sizeof FrameBytes / sizeof FrameBytes[0];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto scratch = std::make_unique<DstScratch>();
  if (size < 2) return 0;
  const int channels = 1 + data[0] % DstMaxChannels;
  const size_t channel_bytes = FrameBytes[data[1] % Lengths];
  // Exactly the frame's bytes in a buffer of their own, so that any read past
  // the end is caught.
  std::vector<uint8_t> frame(data + 2, data + size);
  std::vector<std::vector<uint8_t>> sound(channels, std::vector<uint8_t>(channel_bytes));
  std::vector<uint8_t*> out;
  for (auto& c : sound) out.push_back(c.data());
  DecodeDstFrame(frame.data(), frame.size(), channels, channel_bytes, out.data(), scratch.get());
  return 0;
}
