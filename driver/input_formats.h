// The containers a run can read, one row each, tried in turn: a reader of
// the head, which describes the stream and says where its sound lies, and a
// reader of the rest (tags, album, tracks), which a run calls only when it
// needs them. A new container is one reader module and one row here.
#pragma once

#include <cstdint>

#include "base/failure.h"
#include "disc/disc.h"
#include "source/source.h"

// What a run asks of the reader beyond the sound's head.
struct ReadChoices {
  DiscArea area = DiscArea::Default;  // --area: which area of a disc image
};

struct InputFormatRow {
  Fault (*read_head)(int fd, const char* path, const ReadChoices& choices, SoundSource* source,
                     SoundProperties* properties);
  void (*read_details)(uint64_t input_bytes, SoundSource* source);
};

// Reads the head of the container `fd` holds, trying each row while the
// last says Failure::NotDsd; `*row` is the last row tried.
Fault ReadSoundHead(int fd, const char* path, const ReadChoices& choices, SoundSource* source,
                    SoundProperties* properties, const InputFormatRow** row);
