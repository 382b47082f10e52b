// Frames per second of a stereo DST area read from an SACD image, against the
// same DST frames read from a DSDIFF file as the converter reads them (at the
// offsets its chunk walk indexes): in pieces of 50 consecutive frames that two
// cursors take in turn, as two workers would, so that every piece starts with
// a search. The two alternate in rounds, the order swapped every round; the
// figures are the medians of the rounds, and of the per-round ratios.
// "--decode" times the reading and the decoding of every 10th piece instead
// (of every Nth with "--every N").
// The frames are checked to be the same bytes in both files.
//
// Usage: sacd_bench IMAGE.iso TWIN.dff [--rounds N] [--decode [--every N]]
//                   [--only image|dsdiff]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/io.h"
#include "dsdiff/dsdiff.h"
#include "dst/dst.h"
#include "sacd/sacd.h"

namespace {

constexpr uint32_t PieceFrames = 50;
constexpr int Workers = 2;
constexpr uint32_t DecodedPieceStride = 10;  // with --decode, every 10th piece by default

struct Pass {
  double seconds = 0;
  uint32_t frames = 0;
  uint64_t bytes = 0;
  uint64_t checksum = 0;
};

uint64_t Checksum(const uint8_t* bytes, size_t count) {
  uint64_t sum = count;
  for (size_t i = 0; i < count; ++i) sum = sum * 31 + bytes[i];
  return sum;
}

struct Decoder {
  std::unique_ptr<DstScratch> scratch = std::make_unique<DstScratch>();
  std::vector<std::vector<uint8_t>> sound;
  std::vector<uint8_t*> out;
  explicit Decoder(int channels) : sound(channels, std::vector<uint8_t>(SacdChannelFrameBytes)) {
    for (auto& c : sound) out.push_back(c.data());
  }
  void Decode(const uint8_t* frame, size_t bytes) {
    if (!DecodeDstFrame(frame, bytes, static_cast<int>(sound.size()), SacdChannelFrameBytes,
                        out.data(), scratch.get())) {
      std::fprintf(stderr, "sacd_bench: a frame does not decode\n");
      std::exit(1);
    }
  }
};

template <class ReadPiece>
Pass Time(uint32_t frames, uint32_t stride, ReadPiece read_piece) {
  Pass pass;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t first = 0, piece = 0; first < frames; first += PieceFrames, ++piece) {
    if (piece % stride != 0) continue;
    read_piece(piece / stride % Workers, first, std::min(frames, first + PieceFrames), &pass);
  }
  pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return pass;
}

Pass ImagePass(const SacdArea& area, uint32_t stride, Decoder* decoder) {
  SacdCursor cursors[Workers];
  for (SacdCursor& c : cursors) StartSacdCursor(area, &c);
  SacdFrame frame;
  return Time(area.frames, stride, [&](int worker, uint32_t first, uint32_t end, Pass* pass) {
    for (uint32_t f = first; f < end; ++f) {
      if (!ReadSacdFrame(&cursors[worker], f, &frame)) {
        std::fprintf(stderr, "sacd_bench: image frame %u: %s\n", f, frame.damage.c_str());
        std::exit(1);
      }
      if (decoder) decoder->Decode(frame.bytes.data(), frame.bytes.size());
      ++pass->frames;
      pass->bytes += frame.bytes.size();
      pass->checksum += Checksum(frame.bytes.data(), std::min<size_t>(frame.bytes.size(), 64));
    }
  });
}

Pass DsdiffPass(const SoundSource& source, uint32_t frames, uint32_t stride, Decoder* decoder) {
  std::vector<uint8_t> frame;
  return Time(frames, stride, [&](int, uint32_t first, uint32_t end, Pass* pass) {
    for (uint32_t f = first; f < end; ++f) {
      frame.resize(source.dst->payload_bytes[f]);
      if (!ReadExactlyAt(source.fd, frame.data(), frame.size(), source.dst->payload[f])) {
        std::fprintf(stderr, "sacd_bench: DSDIFF frame %u cannot be read\n", f);
        std::exit(1);
      }
      if (decoder) decoder->Decode(frame.data(), frame.size());
      ++pass->frames;
      pass->bytes += frame.size();
      pass->checksum += Checksum(frame.data(), std::min<size_t>(frame.size(), 64));
    }
  });
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: sacd_bench IMAGE.iso TWIN.dff [--rounds N] [--decode [--every N]] "
                 "[--only image|dsdiff]\n");
    return 2;
  }
  int rounds = 11;
  bool decode = false;
  uint32_t every = DecodedPieceStride;
  std::string only;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
    if (arg == "--decode") decode = true;
    if (arg == "--every" && i + 1 < argc) every = std::max(1, std::atoi(argv[++i]));
    if (arg == "--only" && i + 1 < argc) only = argv[++i];
  }
  const int image_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  const int dsdiff_fd = open(argv[2], O_RDONLY | O_CLOEXEC);
  SacdDisc disc;
  if (image_fd < 0 || Failed(ReadSacdDisc(image_fd, argv[1], &disc)) || !disc.stereo.present ||
      disc.stereo.frame_format != SacdFrameFormat::Dst) {
    std::fprintf(stderr, "sacd_bench: %s: no stereo DST area (%s)\n", argv[1],
                 disc.refusal.c_str());
    return 1;
  }
  SoundSource source;
  SoundProperties properties;
  if (dsdiff_fd < 0 || Failed(ChunkWalk(dsdiff_fd, argv[2], &source, &properties)) || !source.dst ||
      source.dst->payload.size() != disc.stereo.frames) {
    std::fprintf(stderr, "sacd_bench: %s: not the image's DST twin\n", argv[2]);
    return 1;
  }
  const SacdArea& area = disc.stereo;
  const uint32_t stride = decode ? every : 1;
  Decoder decoder(area.channels);
  Decoder* decoding = decode ? &decoder : nullptr;
  std::vector<double> image_seconds, dsdiff_seconds, ratios;
  Pass image, dsdiff;
  for (int round = 0; round < rounds; ++round) {
    // The order swaps every round, so that neither always runs on a warm cache.
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == round % 2 && only != "dsdiff") || (turn != round % 2 && only == "image")) {
        if (only != "dsdiff") image = ImagePass(area, stride, decoding);
      } else if (only != "image") {
        dsdiff = DsdiffPass(source, area.frames, stride, decoding);
      }
      if (!only.empty()) break;
    }
    image_seconds.push_back(image.seconds);
    dsdiff_seconds.push_back(dsdiff.seconds);
    if (only.empty()) ratios.push_back(image.seconds / dsdiff.seconds);
  }
  if (only.empty() && (image.checksum != dsdiff.checksum || image.bytes != dsdiff.bytes)) {
    std::fprintf(stderr, "sacd_bench: the two files give different frames\n");
    return 1;
  }
  const Pass& any = only == "dsdiff" ? dsdiff : image;
  std::printf("%u frames (%.1f MB) %s, %d rounds\n", any.frames, any.bytes / 1e6,
              decode ? "read and decoded" : "read", rounds);
  if (only != "dsdiff") {
    std::printf("image:  %.4f s, %.0f frames/s\n", Median(image_seconds),
                any.frames / Median(image_seconds));
  }
  if (only != "image") {
    std::printf("DSDIFF: %.4f s, %.0f frames/s\n", Median(dsdiff_seconds),
                any.frames / Median(dsdiff_seconds));
  }
  if (only.empty()) {
    std::printf("image / DSDIFF time: median %.3f (rounds %.3f .. %.3f)\n", Median(ratios),
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
  }
  return 0;
}
