// DSF input: reads the fixed head of a DSF file (its "DSD ", "fmt " and
// "data" chunks) and describes the sound that follows. Reads the input at
// explicit offsets and owns nothing; the ID3 tag a DSF file may carry at its
// end is ignored.
#pragma once

#include "base/failure.h"
#include "sound/sound.h"

// Failure::NotDsd unless the input starts with a well-formed DSF head:
// chunk sizes 28 and 52, format version 1, raw DSD (format id 0), 1 or 8 bits
// per sample, a sample rate, a block size from 1 to MaxDsfBlockBytes, then
// "data".
// Failure::UnsupportedSound, with `properties` telling why, for a channel
// count other than 2 or a rate IsConvertibleRate refuses;
// Failure::DataTooSmall for fewer than 16 whole groups. The sound is
// `sample count` / 32 whole groups; samples of a partial last group are
// never read.
Fault ReadDsfHead(int fd, const char* path, SoundData* sound, SoundProperties* properties);

// The first four bytes of every DSF file: the id of its "DSD " chunk.
constexpr char DsfMagic[4] = {'D', 'S', 'D', ' '};

// The largest block size per channel taken; files use 4096.
constexpr uint32_t MaxDsfBlockBytes = 1u << 16;
