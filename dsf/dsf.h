// DSF input: reads the fixed head of a DSF file (its "DSD ", "fmt " and
// "data" chunks) and describes the stream that follows as a SoundSource, and
// reads the ID3v2 tag the head points at. Reads the input at explicit
// offsets and owns nothing.
#pragma once

#include "base/failure.h"
#include "source/source.h"

// Failure::NotDsd unless the input starts with a well-formed DSF head:
// chunk sizes 28 and 52, format version 1, raw DSD (format id 0), 1 or 8 bits
// per sample, a sample rate, a block size from 1 to MaxDsfBlockBytes, then
// "data".
// Failure::UnsupportedSound, with `properties` telling why, for a rate
// IsConvertibleRate refuses, a channel count outside 1..MaxChannels, or a
// channel type that contradicts the count. The channel types 1 to 7 give
// C; FL FR; FL FR C; FL FR BL BR; FL FR C LFE; FL FR C BL BR;
// FL FR C LFE BL BR.
// Failure::DataTooSmall for fewer than 16 whole words per channel. The sound
// is `sample count` / 32 whole words per channel; samples of a partial last
// word are never read.
Fault ReadDsfHead(int fd, const char* path, SoundSource* source, SoundProperties* properties);

// Reads what the DSF file says beyond its sound: the ID3v2 tag that the
// head's metadata offset points at, into source->tags (nothing when the
// offset is 0). A tag that points outside the input's `input_bytes` bytes,
// or cannot be read, leaves a note instead.
void ReadDsfDetails(uint64_t input_bytes, SoundSource* source);

// The first four bytes of every DSF file: the id of its "DSD " chunk.
constexpr char DsfMagic[4] = {'D', 'S', 'D', ' '};

// The largest block size per channel taken; files use 4096.
constexpr uint32_t MaxDsfBlockBytes = 1u << 16;
