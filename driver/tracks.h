// Inside the driver: the tracks of a run and the files they go to. Which
// tracks an input has (a cue sheet given, the container's markers, a cue
// sheet beside the input, or the whole sound), and for a run that splits,
// the path, the part of the stream and the tags of each track it writes.
#pragma once

#include <string>
#include <vector>

#include "album/album.h"
#include "driver/command_line.h"
#include "source/source.h"

// Sets source->tracks (and what a cue sheet says of the album) from, in
// this order: --cue, the container's markers, a cue sheet beside the input
// with its base name ("album.dsf": "album.cue"). A sheet found beside the
// input is refused when it names another file than the input or several
// files; one given with --cue is taken as given. Returns "" or what is wrong,
// for one line; `*sheet_path` is the sheet read, if any.
std::string ResolveTracks(const Request& request, SoundSource* source, std::string* sheet_path);

// Frames of the whole sound as the container declares it, which a file cut
// short does not hold: what its tracks are checked against.
uint64_t DeclaredFrames(const SoundSource& source);

// One file of a run that splits: a track, its part of the output stream.
struct TrackFile {
  Track track;  // a track of the source, or the whole sound as track 1
  std::string path;
  TrackCut cut;
};

// The files of a run that splits `source` (whose tracks are resolved, or
// empty: the whole sound is one track named after the input) into the
// directory request.out, for the tracks --tracks asks for, at `out_rate`.
// Names come from --name, made safe and distinct. Returns "" or what is
// wrong: a track --tracks asks for that the input lacks.
std::string PlanTrackFiles(const Request& request, const SoundSource& source,
                           uint64_t filtered_frames, uint32_t out_rate,
                           std::vector<TrackFile>* files);
