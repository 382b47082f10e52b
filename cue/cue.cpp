#include "cue/cue.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

// libcue names its types Cd and Track in the global namespace, where this
// program's own Track lives: its header goes into a namespace of its own
// (its functions have C linkage, which no namespace changes).
namespace libcue {
#include <libcue.h>
}  // namespace libcue

#include "base/console.h"
#include "base/io.h"
#include "tags/tags.h"

namespace {

constexpr uint32_t CueFramesPerSecond = 75;  // mm:ss:ff counts frames of 1/75 s
constexpr char Utf8ByteOrderMark[] = "\xEF\xBB\xBF";
constexpr char CatalogKeyword[] = "CATALOG";
constexpr char TrackKeyword[] = "TRACK";
// A sheet describes a CD, of at most 99 tracks. libcue keeps no more: it
// reads the lines of each further TRACK into the 99th, which would then
// start where the sheet's last track does.
constexpr int MaxCueTracks = 99;
constexpr char IndexKeyword[] = "INDEX";
// INDEX numbers run from 00 to 99. libcue 2.2 without its fix of
// CVE-2023-43641 writes any number it reads, one that wraps to a negative
// int too, into its table of 100 indexes unchecked: such a sheet is refused
// before libcue sees it.
constexpr size_t MaxCueIndexDigits = 2;
constexpr int FirstIndex = 0;  // INDEX 00: where the pause before a track starts

// libcue 2.2 parses CATALOG but offers no getter: the first CATALOG line's
// value, quoted or not.
std::string CatalogOf(const std::string& text) {
  for (size_t line = 0; line < text.size();) {
    const size_t end = std::min(text.find('\n', line), text.size());
    const size_t word = text.find_first_not_of(" \t", line);
    if (word < end && text.compare(word, std::strlen(CatalogKeyword), CatalogKeyword) == 0) {
      std::string value =
          text.substr(word + std::strlen(CatalogKeyword), end - word - std::strlen(CatalogKeyword));
      const size_t first = value.find_first_not_of(" \t\"");
      const size_t last = value.find_last_not_of(" \t\"\r");
      return first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
    line = end + 1;
  }
  return "";
}

// Calls `take` with the first word after `keyword` on each line of `text`
// whose first word is `keyword` ("" when there is none).
template <class Take>
void ForEachLineOf(const std::string& text, const char* keyword, Take take) {
  const size_t length = std::strlen(keyword);
  for (size_t line = 0; line < text.size();) {
    const size_t end = std::min(text.find('\n', line), text.size());
    const size_t word = text.find_first_not_of(" \t", line);
    if (word < end && text.compare(word, length, keyword) == 0 && word + length < end &&
        (text[word + length] == ' ' || text[word + length] == '\t')) {
      const size_t next = std::min(text.find_first_not_of(" \t", word + length), end);
      take(text.substr(next, std::min(text.find_first_of(" \t\r", next), end) - next));
    }
    line = end + 1;
  }
}

// Whether every INDEX number of `text` is one from 00 to 99.
bool IndexNumbersFit(const std::string& text) {
  bool fit = true;
  ForEachLineOf(text, IndexKeyword, [&](const std::string& number) {
    const size_t zeros = std::min(number.find_first_not_of('0'), number.size() - 1);
    fit = fit && !number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
          number.size() - zeros <= MaxCueIndexDigits;
  });
  return fit;
}

std::string TextOf(const char* text) { return text ? text : ""; }

// Parses `text` with libcue, whose parser writes its complaints to standard
// error: they are kept out of the run's own lines. The console is held
// meanwhile, so that no other run's line goes the same way, and libcue's
// parser, which keeps its state in globals, parses one sheet at a time.
libcue::Cd* ParseQuietly(const std::string& text) {
  const std::lock_guard<std::recursive_mutex> console(ConsoleMutex());
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const bool quiet = saved >= 0 && null >= 0 && dup2(null, STDERR_FILENO) == STDERR_FILENO;
  libcue::Cd* cd = libcue::cue_parse_string(text.c_str());
  std::fflush(stderr);
  if (quiet) dup2(saved, STDERR_FILENO);
  if (null >= 0) close(null);
  if (saved >= 0) close(saved);
  return cd;
}

}  // namespace

std::string ReadCueSheet(const std::string& path, uint32_t sample_rate, CueSheet* sheet) {
  *sheet = CueSheet();
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + std::strerror(errno);
  std::string text(MaxCueSheetBytes + 1, '\0');
  size_t got = 0;
  const bool read = ReadAt(fd, text.data(), text.size(), 0, &got);
  const int error = errno;
  close(fd);
  if (!read) return std::string("cannot be read: ") + std::strerror(error);
  if (got > MaxCueSheetBytes) return "is larger than any cue sheet (1 MiB)";
  text.resize(got);
  if (text.rfind(Utf8ByteOrderMark, 0) == 0) text.erase(0, std::strlen(Utf8ByteOrderMark));
  text = Utf8OrLatin1(text);
  int tracks = 0;
  ForEachLineOf(text, TrackKeyword, [&](const std::string&) { ++tracks; });
  if (tracks > MaxCueTracks) {
    return "holds more than the " + std::to_string(MaxCueTracks) + " tracks of a CD";
  }
  if (!IndexNumbersFit(text)) return "has an INDEX number outside 00 to 99";
  libcue::Cd* cd = ParseQuietly(text);
  if (cd == nullptr) return "cannot be parsed as a cue sheet";
  const uint64_t samples_per_frame = sample_rate / CueFramesPerSecond;
  libcue::Cdtext* disc = libcue::cd_get_cdtext(cd);
  sheet->album.title = TextOf(libcue::cdtext_get(libcue::PTI_TITLE, disc));
  sheet->album.artist = TextOf(libcue::cdtext_get(libcue::PTI_PERFORMER, disc));
  sheet->album.genre = TextOf(libcue::cdtext_get(libcue::PTI_GENRE, disc));
  sheet->album.date = TextOf(libcue::rem_get(libcue::REM_DATE, libcue::cd_get_rem(cd)));
  sheet->album.catalog = CatalogOf(text);
  std::string problem;
  for (int i = 1; i <= libcue::cd_get_ntrack(cd) && problem.empty(); ++i) {
    const libcue::Track* entry = libcue::cd_get_track(cd, i);
    Track track;
    track.number = i;
    const long start = libcue::track_get_start(entry);
    if (start < 0) {
      problem = "track " + std::to_string(i) + " has no INDEX 01";
      break;
    }
    track.start = static_cast<uint64_t>(start) * samples_per_frame;
    const long pause_start = libcue::track_get_index(entry, FirstIndex);
    if (pause_start >= 0 && pause_start < start) {
      track.pause = static_cast<uint64_t>(start - pause_start) * samples_per_frame;
    }
    libcue::Cdtext* cdtext = libcue::track_get_cdtext(entry);
    track.title = TextOf(libcue::cdtext_get(libcue::PTI_TITLE, cdtext));
    track.performer = TextOf(libcue::cdtext_get(libcue::PTI_PERFORMER, cdtext));
    track.composer = TextOf(libcue::cdtext_get(libcue::PTI_SONGWRITER, cdtext));
    track.isrc = TextOf(libcue::track_get_isrc(entry));
    const std::string file = TextOf(libcue::track_get_filename(entry));
    if (std::find(sheet->files.begin(), sheet->files.end(), file) == sheet->files.end()) {
      sheet->files.push_back(file);
    }
    if (!sheet->tracks.empty()) sheet->tracks.back().end = track.start;
    sheet->tracks.push_back(std::move(track));
  }
  libcue::cd_delete(cd);
  if (problem.empty() && sheet->tracks.empty()) problem = "holds no track";
  return problem;
}
