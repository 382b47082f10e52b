// DSDIFF input: finds the sound data in a DSDIFF container, reads the sound
// property chunk on the way, describes the stream as a SoundSource, and
// reads the container's tags.
// Reads the input at explicit offsets and owns nothing; turning the sound
// into channel words is the source's work.
#pragma once

#include "base/failure.h"
#include "dsdiff/dsdiff_ids.h"
#include "source/source.h"

// Walks the container from its start to the first "DSD " chunk and describes
// the sound that follows its head. Chunks before it are skipped by their full
// size plus the pad byte of odd sizes; "FVER" always by its 4 data bytes.
// A well-formed "PROP" chunk of type "SND " is read on the way: its rate
// ("FS  "), its channels with the speakers their ids name ("CHNL": SLFT and
// MLFT front left, SRGT and MRGT front right, "C   " centre, "LFE " low
// frequency, "LS  " and "RS  " back left and right, others none), and its
// compression ("CMPR"). If it says the sound cannot be converted, the walk
// ends with Failure::UnsupportedSound and `properties` tells why. A
// malformed, cut short or other "PROP" chunk is skipped like any other
// chunk, and the sound is then taken as stereo DSD64. Failure::NotDsd when
// the input does not start with "FRM8"; Failure::DataTooSmall for fewer than
// 16 whole words per channel.
Fault ChunkWalk(int fd, const char* path, SoundSource* source, SoundProperties* properties);

// Reads what the DSDIFF file that `source` describes says beyond its sound:
// - source->tags: an "ID3 " chunk at the top level (before or after the
//   sound, as rippers write it; the last of several), else one inside
//   "PROP"; then the artist ("DIAR") and title ("DITI") of "DIIN" fill in
//   what the ID3v2 tag lacks;
// - source->album: its title and artist, from "DITI" and "DIAR";
// - source->tracks, from the TrackStart and TrackStop marks ("MARK" in
//   "DIIN"), their times less the start time "ABSS" gives (in "PROP"), plus
//   their offsets, in time order: a track runs from its TrackStart to the
//   next, a TrackStop between them starts the pause that belongs to it, and
//   the last track ends at the last TrackStop after it or with the sound.
//   A marker's text is its track's title. When the file holds one top-level
//   "ID3 " chunk per track (the ripping tools' convention, two or more), the
//   n-th is track n's tag.
// The walk covers the container's chunks within the input's `input_bytes`
// bytes and stops at the first that does not fit; a tag that cannot be
// read leaves a note.
void ReadDsdiffDetails(uint64_t input_bytes, SoundSource* source);
