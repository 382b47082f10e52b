// SACD disc images as a source: the area a run reads, described as a
// SoundSource (rate, channels and speakers, where its frames lie), and the
// disc's text as the album, the area's tracks and the tags. The image reader
// (sacd/) does the reading; this module only describes. Owns nothing.
#pragma once

#include <cstdint>

#include "base/failure.h"
#include "source/source.h"

// Which area of a disc image a run reads.
enum class DiscArea {
  Default,  // the stereo area when the disc has one, else the multichannel one
  Stereo,
  Multichannel,
};

// Reads the TOCs of the image on `fd` and describes `area`. Failure::NotDsd
// when it is no SACD image; Failure::UnsupportedSound, with
// Refusal::Disc and the reason in `properties`, when its TOCs contradict
// themselves or the disc has no such area. What the reader passed over (a
// damaged TOC copy, text in an unknown character set) is in source->notes.
// An image cut short is described as it is, and source->frames_present
// says how many frames it holds.
Fault ReadDiscHead(int fd, const char* path, DiscArea area, SoundSource* source,
                   SoundProperties* properties);

// What the disc says beyond the sound: the album (title, artist, catalog
// number, genre, date, the disc's number in its set), the area's tracks
// (each from its first frame to the next track's first frame, its title,
// performer, composer and ISRC from the first text channel), and the tags
// the whole area's file carries.
void ReadDiscDetails(uint64_t input_bytes, SoundSource* source);
