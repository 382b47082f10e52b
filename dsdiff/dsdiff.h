// DSDIFF input: finds the sound data in a DSDIFF container and reads the
// sound property chunk on the way. Reads the input at explicit offsets and
// owns nothing; turning the sound into channel words is sound/'s work.
#pragma once

#include "base/failure.h"
#include "sound/sound.h"

// The first four bytes of every DSDIFF file.
constexpr char DsdiffMagic[4] = {'F', 'R', 'M', '8'};

// Walks the container from its start to the first "DSD " chunk and describes
// the sound that follows its head. Chunks before it are skipped by their full
// size plus the pad byte of odd sizes; "FVER" always by its 4 data bytes.
// A well-formed "PROP" chunk of type "SND " is read on the way: if it says
// the sound cannot be converted, the walk ends with Failure::UnsupportedSound
// and `properties` tells why. A malformed, cut short or other "PROP" chunk is
// skipped like any other chunk. Failure::NotDsd when the input does not
// start with "FRM8".
Fault ChunkWalk(int fd, const char* path, SoundData* sound, SoundProperties* properties);
