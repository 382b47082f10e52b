// An input as an album of tracks: where each track's frames lie in the one
// converted stream, whether the tracks can be cut at all, which tracks a run
// asks for, the tags of each track, and the names of the files they go to.
// Plain procedures over the source's description; no files, no printing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "source/source.h"
#include "tags/tags.h"

// The frames of one track in the output stream: [first, first + frames).
struct TrackCut {
  uint64_t first = 0;
  uint64_t frames = 0;
};

// The whole sound as one track: number 1, from the start to the end.
Track WholeTrack();

// Where `track` lies in a stream of `filtered_frames` frames at the filter's
// rate (the DSD rate / 32), resampled to `out_rate`: its start at DSD sample
// s falls on filter frame s / 32, rounded down, and the resampled stream has
// ResampledFrames of each position. It ends at its own end, or with the
// stream.
TrackCut CutOf(const Track& track, uint64_t filtered_frames, uint32_t filter_rate,
               uint32_t out_rate);

// Why `tracks` cannot be cut from a stream of `filtered_frames` frames
// (a start past its end, two starts at the same time, starts out of order),
// or "" when they can.
std::string TrackProblem(const std::vector<Track>& tracks, uint64_t filtered_frames);

// The track numbers of a --tracks list ("3", "1,4-6"), in increasing order,
// each once; false when it is malformed.
bool ParseTrackList(const std::string& text, std::vector<int>* numbers);

// The tags of `tracks[t]` of `source`: its own ID3v2 tag where it has one,
// else the file's with what belongs to another track taken out; then its
// title, performer (else the album's artist), composer and ISRC, the album's
// title, artist, date, genre, catalog number and disc, and its number of
// the `tracks.size()` tracks, each where the track's own tag lacks it. The
// ID3v2 bytes are made afresh from the fields and pictures.
TagRecord TrackTags(const SoundSource& source, const std::vector<Track>& tracks, size_t t);

// The file name, without its ending, that `tmpl` gives `track` of an album
// titled `album` whose artist is `album_artist`: %n the track's number in
// two digits, %t its title, %p its performer (else the album's artist), %a
// the album's title, %% a percent sign. Names come from tags, which anyone
// can write: '/', '\', NUL and control characters become '_'; a name that is
// empty, "." or ".." is the track's number; one that starts with '-' or '.'
// gets a '_' in front; and a name is cut, at a whole character, so that with
// `ending` it takes at most MaxNameBytes.
std::string TrackFileName(const std::string& tmpl, const Track& track, const std::string& album,
                          const std::string& album_artist, const std::string& ending);

// `name` by the rules TrackFileName follows, with `number` (in two digits)
// for a name that is empty, "." or "..": for a name that comes from
// elsewhere, such as the input's own.
std::string SafeFileName(std::string name, int number, const std::string& ending);

// The default --name: the number and the title, or the number alone.
constexpr char DefaultNameTemplate[] = "%n - %t";
constexpr char UntitledNameTemplate[] = "%n";
// The longest file name most file systems take, in bytes.
constexpr size_t MaxNameBytes = 255;

// Makes `names` (each without `ending`) distinct: the second of two equal
// names gets " (2)", the third " (3)", within MaxNameBytes with the ending.
void MakeDistinct(const std::string& ending, std::vector<std::string>* names);

// The album's title and artist as the tags and the container give them.
std::string AlbumTitle(const SoundSource& source);
std::string AlbumArtist(const SoundSource& source);
