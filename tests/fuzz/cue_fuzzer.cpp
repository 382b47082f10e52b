// libFuzzer target: a cue sheet read with libcue into tracks, then cut and
// named as a run that splits would. Traps when a promise breaks: starts are
// whole cue frames, a track list either cuts or says why, and no name made
// from the sheet's text leaves its directory.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "album/album.h"
#include "cue/cue.h"

namespace {

constexpr uint32_t Rate = 2822400;
constexpr uint64_t SamplesPerCueFrame = Rate / 75;
constexpr uint64_t StreamFrames = 1 << 24;  // a little over three minutes

void CheckName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name[0] == '-' || name[0] == '.' ||
      name.size() + 4 > MaxNameBytes) {
    __builtin_trap();
  }
  for (const char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) __builtin_trap();
  }
}

}  // namespace

// libcue 2.2 does not free what it parsed of a sheet it then refuses: a leak
// of the library's, once per sheet, that this target does not count.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcue.so"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("sheet", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
  CueSheet sheet;
  const std::string problem = ReadCueSheet("/proc/self/fd/" + std::to_string(fd), Rate, &sheet);
  close(fd);
  if (!problem.empty()) return 0;
  const bool cuts = TrackProblem(sheet.tracks, StreamFrames).empty();
  std::vector<std::string> names;
  for (const Track& track : sheet.tracks) {
    if (track.start % SamplesPerCueFrame != 0 || track.pause % SamplesPerCueFrame != 0) {
      __builtin_trap();
    }
    const TrackCut cut = CutOf(track, StreamFrames, Rate / 32, 44100);
    if (cuts && cut.first + cut.frames > StreamFrames) __builtin_trap();
    for (const char* tmpl : {DefaultNameTemplate, "%t", "%p/%a%%"}) {
      names.push_back(TrackFileName(tmpl, track, sheet.album.title, sheet.album.artist, ".wav"));
      CheckName(names.back());
    }
  }
  MakeDistinct(".wav", &names);
  for (const std::string& name : names) CheckName(name);
  return 0;
}
