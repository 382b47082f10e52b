// A DST encoder for making test files: per frame it designs least-squares
// prediction filters and probability tables for the arrangement asked for
// (filters, tables and segments per channel and in time, filter order,
// coefficient coding), then arithmetic-codes the prediction errors. Plain
// procedures over plain data; it also makes music-like one-bit test sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class CoefficientCoding {
  Best,       // per filter and table, whichever of the two below is shorter
  Plain,      // every value in full
  Predicted,  // Rice-coded differences from a prediction out of earlier values
};

struct DstEncoderOptions {
  int filters = 0;         // distinct filters per frame; 0: one per channel and segment
  int tables = 0;          // distinct probability tables; 0: one per filter
  int segments = 1;        // filter segments per channel, in time (1 to 4)
  int table_segments = 0;  // probability table segments (1 to 8); 0: the filters' segmentation
  bool per_channel_segments = false;  // channels segmented differently from one another
  int order = 64;                     // taps of every filter (1 to 128)
  CoefficientCoding coding = CoefficientCoding::Best;
  bool half_probability = false;  // probability 1/2 while a filter fills its history
  bool plain = false;             // store every frame plainly
};

// Encodes one frame of `channels` (1 to 6) channels, channel[c] holding
// `channel_bytes` bytes (the earliest sample in each byte's top bit), and
// returns the payload of its "DSTF" chunk. A frame that arithmetic coding
// would not make smaller, or that breaks the format's limit on wrong
// predictions, is stored plainly.
std::vector<uint8_t> EncodeDstFrame(const uint8_t* const channel[], int channels,
                                    size_t channel_bytes, const DstEncoderOptions& options);

// True when `payload` is arithmetic-coded rather than stored plainly.
inline bool IsCodedFrame(const std::vector<uint8_t>& payload) {
  return !payload.empty() && (payload[0] & 0x80) != 0;
}

// `channels` channels of `channel_bytes` bytes of one-bit sound from a
// fifth-order sigma-delta modulator fed with a few tones under a slow
// envelope, different in every channel and for every seed.
std::vector<std::vector<uint8_t>> MusicLikeSound(int channels, size_t channel_bytes, uint32_t seed);
