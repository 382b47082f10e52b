// Writes the DST fuzzer's seeds: frames of the test encoder in several
// arrangements, each behind the two bytes that give its channels and length.
// Usage: dst_seeds DIR
#include <cstdio>
#include <string>

#include "tools/dst_encoder.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  struct Seed {
    int channels, length_choice;
    size_t bytes;
    DstEncoderOptions options;
  };
  DstEncoderOptions segmented, predicted, plain;
  segmented.segments = 4, segmented.table_segments = 8, segmented.per_channel_segments = true;
  predicted.coding = CoefficientCoding::Predicted, predicted.half_probability = true;
  predicted.tables = 1;
  plain.plain = true;
  const Seed seeds[] = {{2, 2, 160, {}},        {6, 3, 600, segmented}, {1, 1, 16, predicted},
                        {5, 3, 600, predicted}, {2, 4, 4704, {}},       {3, 1, 16, plain}};
  int n = 0;
  for (const Seed& s : seeds) {
    const auto sound = MusicLikeSound(s.channels, s.bytes, n);
    std::vector<const uint8_t*> in;
    for (const auto& c : sound) in.push_back(c.data());
    const auto frame = EncodeDstFrame(in.data(), s.channels, s.bytes, s.options);
    const std::string path = std::string(argv[1]) + "/frame" + std::to_string(n++);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fputc(s.channels - 1, f);
    std::fputc(s.length_choice, f);
    std::fwrite(frame.data(), 1, frame.size(), f);
    std::fclose(f);
  }
  return 0;
}
