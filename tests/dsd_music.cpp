// Writes music-like one-bit sound for the Python tests: CHANNELS channels of
// BYTES bytes each, interleaved byte by byte as in a DSDIFF "DSD " chunk.
// Usage: dsd_music CHANNELS BYTES SEED OUT
#include <cstdio>
#include <cstdlib>

#include "tools/dst_encoder.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const int channels = std::atoi(argv[1]);
  const size_t bytes = std::strtoul(argv[2], nullptr, 10);
  const auto sound = MusicLikeSound(channels, bytes, std::strtoul(argv[3], nullptr, 10));
  std::FILE* out = std::fopen(argv[4], "wb");
  if (out == nullptr) return 1;
  for (size_t i = 0; i < bytes; ++i) {
    for (int c = 0; c < channels; ++c) std::fputc(sound[c][i], out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
