#include "driver/tracks.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>

#include "cue/cue.h"
#include "driver/output_formats.h"
#include "tags/tags.h"

namespace {

constexpr char CueEnding[] = ".cue";

// The last part of a path.
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path without its last ending ("a/album.dsf": "a/album").
std::string WithoutEnding(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  return dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0
             ? path
             : path.substr(0, dot);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The album's fields that the sheet gives, in place of the container's.
void TakeSheet(const CueSheet& sheet, SoundSource* source) {
  Album& album = source->album;
  for (const auto& [field, value] : {std::pair{&album.title, &sheet.album.title},
                                     {&album.artist, &sheet.album.artist},
                                     {&album.catalog, &sheet.album.catalog},
                                     {&album.genre, &sheet.album.genre},
                                     {&album.date, &sheet.album.date}}) {
    if (!value->empty()) *field = *value;
  }
  source->tracks = sheet.tracks;
  source->origin = TrackOrigin::CueSheet;
}

}  // namespace

std::string ResolveTracks(const Request& request, SoundSource* source, std::string* sheet_path) {
  const bool given = !request.cue.empty();
  if (!given && source->origin == TrackOrigin::Markers) return "";
  const std::string path = given ? request.cue : WithoutEnding(request.in) + CueEnding;
  if (!given && !IsRegularFile(path)) return "";
  *sheet_path = path;
  CueSheet sheet;
  const std::string problem = ReadCueSheet(path, source->sample_rate, &sheet);
  if (!problem.empty()) return "the cue sheet " + path + " " + problem;
  if (!given && sheet.files.size() > 1) {
    return "the cue sheet " + path + " names several files; give it with --cue to take it as it is";
  }
  const std::string named = sheet.files.empty() ? "" : BaseName(sheet.files[0]);
  if (!given && strcasecmp(named.c_str(), BaseName(request.in).c_str()) != 0) {
    return "the cue sheet " + path + " is for " +
           (named.empty() ? "no file" : PrintableText(named)) +
           "; give it with --cue to take it as it is";
  }
  TakeSheet(sheet, source);
  return "";
}

uint64_t DeclaredFrames(const SoundSource& source) {
  return std::max<uint64_t>(source.words, WindowWords) - WindowWords;
}

std::string PlanTrackFiles(const Request& request, const SoundSource& source,
                           uint64_t filtered_frames, uint32_t out_rate,
                           std::vector<TrackFile>* files) {
  files->clear();
  const uint32_t filter_rate = source.sample_rate / WordSamples;
  std::vector<Track> tracks = source.tracks;
  const bool whole = tracks.empty();
  if (whole) tracks.push_back(WholeTrack());
  for (int number : request.tracks) {
    if (number < 1 || number > static_cast<int>(tracks.size())) {
      return "there is no track " + std::to_string(number) + ": the input has " +
             std::to_string(tracks.size()) + (tracks.size() == 1 ? " track" : " tracks");
    }
  }
  const std::string ending = RowOf(request.format).ending;
  const std::string album = AlbumTitle(source), artist = AlbumArtist(source);
  std::vector<std::string> names;
  for (const Track& track : tracks) {
    if (!request.tracks.empty() && std::find(request.tracks.begin(), request.tracks.end(),
                                             track.number) == request.tracks.end()) {
      continue;
    }
    const std::string tmpl = !request.name_template.empty() ? request.name_template
                             : track.title.empty()          ? UntitledNameTemplate
                                                            : DefaultNameTemplate;
    names.push_back(whole ? SafeFileName(WithoutEnding(BaseName(request.in)), track.number, ending)
                          : TrackFileName(tmpl, track, album, artist, ending));
    files->push_back(TrackFile{track, "", CutOf(track, filtered_frames, filter_rate, out_rate)});
  }
  MakeDistinct(ending, &names);
  std::string directory = request.out;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  for (size_t f = 0; f < files->size(); ++f) {
    (*files)[f].path = directory + "/" + names[f] + ending;
  }
  return "";
}
