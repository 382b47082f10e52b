// WAV output: the 44-byte RIFF/WAVE header of the converter's 2-channel,
// 24-bit PCM, built from a constant template in which only the two size
// fields and the two rate fields vary. Pure: the caller writes the bytes.
#pragma once

#include <cstdint>

constexpr uint32_t WavHeaderBytes = 44;

// The template with WavSize + 36 at offset 4, WavSize at offset 40, and
// `frame_rate` frames (and 6 x `frame_rate` bytes) per second.
void BuildWavHeader(uint32_t WavSize, uint32_t frame_rate, uint8_t header[WavHeaderBytes]);
