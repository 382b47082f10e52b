// The division pass: streams the two channel-word files in divisions of at
// most DivSize words, runs the decimation filter for every frame and appends
// the frames to the output after its header. Consecutive divisions overlap by
// OverlapWords words so that windows run on across the boundary. The pass owns
// the channel files' read streams and its three buffers until it returns.
#pragma once

#include <cstdint>
#include <cstdio>

#include "decimate/filter.h"
#include "driver/failure.h"

constexpr uint32_t DivSize = 0x800000;                  // words per full division
constexpr uint32_t OverlapWords = WindowWords - 1;      // read ahead for the last windows
constexpr uint32_t DivWavSize = DivSize * PcmFrameBytes;  // PCM bytes of a full division

struct DivisionLayout {
  uint32_t DsdLR64Size;  // groups of sound data: words per channel file
  uint32_t DivNum;       // divisions, the last one possibly short
  uint32_t LastDivSize;  // words of the last division, 1..DivSize
};

DivisionLayout DivisionLayoutOf(uint32_t DsdSize);

// Allocates the zero-filled PCM buffer of DivWavSize bytes.
Failure DivisionPrepare(uint8_t** pcm);

// Runs every division over "dsdl.tmp" and "dsdr.tmp" and writes the frames to
// `out`: DivWavSize bytes per full division, then WLastDivSize bytes, of which
// the last 15 frames are what the PCM buffer already held. Prints each
// division's number, then an empty line. Releases `pcm` in every case.
Failure DivisionPass(FILE* out, uint8_t* pcm, uint32_t DivNum, uint32_t LastDivSize,
                     uint32_t WLastDivSize);
