// WAV output: the 44-byte RIFF/WAVE header of the converter's 2-channel,
// 24-bit, 88,200 Hz PCM, built from a constant template in which only the two
// size fields vary. The header is written once, at the start of the output,
// before any frame; the caller owns the stream.
#pragma once

#include <cstdint>
#include <cstdio>

#include "driver/failure.h"

constexpr uint32_t WavHeaderBytes = 44;

struct WavSizeFields {
  uint32_t WavSize;       // the data chunk's declared size
  uint32_t WLastDivSize;  // bytes of frames written for the last division
};

// WavSize is DsdSize * 0.75 - 96 (six bytes per group, less 16 frames);
// WLastDivSize is six bytes per word of the last division.
WavSizeFields WavSizes(uint32_t DsdSize, uint32_t LastDivSize);

// The template with WavSize + 36 at offset 4 and WavSize at offset 40.
void BuildWavHeader(uint32_t WavSize, uint8_t header[WavHeaderBytes]);

// Writes the header at the stream's current position.
Failure WriteWavHeader(FILE* out, uint32_t WavSize);
