// The AVX-512 VBMI + GFNI word kernel, internal to source/. Each function
// handles the longest prefix it can in whole vectors and returns how much
// that was; the caller finishes the rest with the table. Call only when
// VectorWordsSupported() is true.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/channel_word.h"

bool VectorWordsSupported();
// Returns the number of words converted per channel, a multiple of 8.
size_t StereoBytesToWordsVector(const uint8_t* bytes, size_t count, ChannelWord* left,
                                ChannelWord* right);
// Returns the number of bytes reversed, a multiple of 64.
size_t ReverseBitsVector(uint8_t* bytes, size_t count);
