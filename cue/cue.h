// Cue sheets, read with libcue: an album's tracks as a sheet beside the
// sound describes them. Text is UTF-8, with or without a byte-order mark,
// or else Latin-1. Reads one file and prints nothing: what goes wrong is
// said in the answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "source/source.h"

struct CueSheet {
  Album album;                     // TITLE, PERFORMER, CATALOG, REM GENRE, REM DATE
  std::vector<Track> tracks;       // TRACK: INDEX 01, INDEX 00, TITLE, PERFORMER, SONGWRITER, ISRC
  std::vector<std::string> files;  // the names its FILE lines give, each once, in order
};

// The largest sheet taken: far beyond any album's.
constexpr uint64_t MaxCueSheetBytes = 1 << 20;

// Reads the sheet at `path` for sound at `sample_rate` samples per second:
// each track starts at its INDEX 01, its pause is from its INDEX 00 to that,
// and the times (mm:ss:ff, 75 frames a second) become samples. A track's
// SONGWRITER is its composer. Returns "" or what is wrong: the file cannot
// be read, is too large, holds more than 99 tracks or an INDEX number
// outside 00 to 99, or libcue cannot parse it, or a track has no INDEX 01.
std::string ReadCueSheet(const std::string& path, uint32_t sample_rate, CueSheet* sheet);
