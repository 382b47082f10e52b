// The AVX-512 VBMI packing of stereo 24-bit samples, internal to wav/. It
// packs the longest prefix of whole vectors it can and returns how many
// frames that was; the caller packs the rest. Call only when
// VectorPackingSupported() is true.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sink/samples.h"

bool VectorPackingSupported();
// Frames 0 .. returned - 1 of `left` and `right`, saturated to 24 bits, as
// interleaved 3-byte samples at `out`; a multiple of 16 frames, less than
// `frames` (it writes a few bytes past them, within `frames`). Counts the
// saturated samples and the peak into `clips`.
size_t PackStereoPcm24Vector(const int32_t* left, const int32_t* right, size_t frames, uint8_t* out,
                             ClipReport* clips);
