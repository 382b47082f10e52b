// The division pass: filters the two channel-word files in divisions of at
// most DivSize words and appends the frames to the output after its header.
// Each division is cut into pieces that every core reads, filters and writes
// on its own, with a window's 15 words of overlap read again per piece, so
// that the frames are those of one pass over the whole files. The pass owns
// the channel files' descriptors and the workers' buffers until it returns.
#pragma once

#include <cstdint>
#include <cstdio>

#include "decimate/filter.h"
#include "driver/failure.h"

constexpr uint32_t DivSize = 0x800000;                    // words per full division
constexpr uint32_t OverlapWords = WindowWords - 1;        // read ahead for the last windows
constexpr uint32_t DivWavSize = DivSize * PcmFrameBytes;  // PCM bytes of a full division

struct DivisionLayout {
  uint32_t DsdLR64Size;  // groups of sound data: words per channel file
  uint32_t DivNum;       // divisions, the last one possibly short
  uint32_t LastDivSize;  // words of the last division, 1..DivSize
};

DivisionLayout DivisionLayoutOf(uint32_t DsdSize);

// The workers' piece buffers, one slice per worker.
struct DivisionBuffers {
  unsigned workers = 0;
  uint8_t* memory = nullptr;
};

// Allocates the piece buffers of `workers` workers (at least one); the pass
// runs on that many threads. The output does not depend on the number.
Failure DivisionPrepare(unsigned workers, DivisionBuffers* buffers);

// Runs every division over "dsdl.tmp" and "dsdr.tmp" and writes the frames to
// `out`, which stands right after the header: DivWavSize bytes per full
// division, then WLastDivSize bytes. The last division's final 15 frames are
// not computed: they repeat what the previous full division computed at the
// same place, or are zero when there is only one division. Prints each
// division's number, then an empty line. Releases `buffers` in every case.
Failure DivisionPass(FILE* out, DivisionBuffers* buffers, uint32_t DivNum, uint32_t LastDivSize,
                     uint32_t WLastDivSize);
