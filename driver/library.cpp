#include "driver/library.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/io.h"
#include "base/workers.h"
#include "driver/convert.h"
#include "driver/input_formats.h"
#include "driver/output_formats.h"
#include "driver/reporter.h"
#include "driver/run_files.h"
#include "driver/temporaries.h"
#include "driver/tracks.h"

namespace {

// Files a walk takes for DSD by their endings (in any case); a file given by
// name is taken for its content, whatever its name.
constexpr const char* DsdEndings[] = {".dsf", ".dff", ".iso"};
// Folder art copied beside the outputs: these names, with these endings.
constexpr const char* ArtNames[] = {"cover", "folder", "front"};
constexpr const char* ArtEndings[] = {".jpg", ".jpeg", ".png"};
constexpr unsigned NewFolderMode = 0777;  // less the umask, as for any new folder
constexpr double SecondsPerHour = 3600.0;
constexpr auto StatusInterval = std::chrono::milliseconds(500);
constexpr size_t CopyBytes = 1 << 16;

// One input of the library and what becomes of it.
struct Item {
  std::string in;      // the path read
  std::string folder;  // where its output goes: OUTDIR and the input's folder below its IN
  std::string stem;    // its output's name without ending, made distinct
  bool skipped = false;
  bool probed = false;  // `album` and `seconds` are known
  bool album = false;   // several tracks: a folder of them
  double seconds = 0;   // of sound, when read
  std::string out;      // the file, or the folder ending in '/', that its run writes
  int status = ExitSuccess;
  bool damaged = false;  // written whole, but with damage its run named
};

Item ItemOf(const std::string& in, const std::string& folder, const std::string& stem) {
  Item item;
  item.in = in;
  item.folder = folder;
  item.stem = stem;
  return item;
}

struct Art {
  std::string from, to;
};

struct Library {
  std::string outdir;
  struct stat outdir_st = {};
  bool has_outdir = false;
  std::vector<Item> items;
  std::vector<Art> art;
  std::set<std::string> mirrored;  // the folders of OUTDIR that mirror walked folders
  std::vector<std::string> lines;  // for the summary: names made distinct, folders left out
  int unreadable = 0;              // folders that could not be read
};

std::string WithoutEnding(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Whether `name` ends in `ending`, in any case, and is more than the ending.
bool EndsWith(const std::string& name, const char* ending) {
  const size_t n = std::strlen(ending);
  return name.size() > n && strcasecmp(name.c_str() + name.size() - n, ending) == 0;
}

template <size_t N>
bool EndsWithAny(const std::string& name, const char* const (&endings)[N]) {
  for (const char* ending : endings) {
    if (EndsWith(name, ending)) return true;
  }
  return false;
}

bool IsArt(const std::string& name) {
  for (const char* art : ArtNames) {
    if (strncasecmp(name.c_str(), art, std::strlen(art)) == 0 && EndsWithAny(name, ArtEndings) &&
        WithoutEnding(name).size() == std::strlen(art)) {
      return true;
    }
  }
  return false;
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Makes `path` and the folders above it that are missing.
bool MakeFolders(const std::string& path) {
  if (path.empty() || IsFolder(path)) return true;
  const size_t slash = path.find_last_of('/', path.size() - 2);
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash))) return false;
  return mkdir(path.c_str(), NewFolderMode) == 0 || errno == EEXIST;
}

// Walks `folder` (OUTDIR-relative output folder `out`): its DSD files by
// their endings, its art, and the folders below it, in the order of their
// names; not hidden entries, links to folders, nor OUTDIR itself.
void WalkFolder(const std::string& folder, const std::string& out, Library* library) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    library->lines.push_back(folder + ": cannot be read: " + std::strerror(errno) + "; skipped");
    ++library->unreadable;
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);  // hidden, "." and ".."
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  std::vector<Art> art;
  bool has_sound = false;
  for (const std::string& name : names) {
    const std::string path = Joined(folder, name);
    struct stat link, st;
    if (lstat(path.c_str(), &link) != 0 || stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const bool is_outdir = library->has_outdir && st.st_dev == library->outdir_st.st_dev &&
                             st.st_ino == library->outdir_st.st_ino;
      if (!S_ISLNK(link.st_mode) && !is_outdir) {
        library->mirrored.insert(Joined(out, name));
        WalkFolder(path, Joined(out, name), library);
      }
    } else if (S_ISREG(st.st_mode) && EndsWithAny(name, DsdEndings)) {
      library->items.push_back(ItemOf(path, out, WithoutEnding(name)));
      has_sound = true;
    } else if (S_ISREG(st.st_mode) && IsArt(name)) {
      art.push_back(Art{path, Joined(out, name)});
    }
  }
  if (has_sound) library->art.insert(library->art.end(), art.begin(), art.end());
}

// What a run needs to know of an input before it converts it: how long its
// sound is, and whether it is an album of tracks (a disc image, markers, a
// cue sheet), which becomes a folder. An input that cannot be read this far
// is left to its run, which says why.
void Probe(const Request& request, Item* item) {
  item->probed = true;
  int fd = -1;
  uint64_t bytes = 0;
  if (Failed(OpenInput(item->in.c_str(), &fd, &bytes))) {
    if (fd >= 0) close(fd);
    return;
  }
  SoundSource source;
  SoundProperties properties;
  const InputFormatRow* reader = nullptr;
  if (!Failed(ReadSoundHead(fd, item->in.c_str(), ReadChoices{request.area}, &source, &properties,
                            &reader))) {
    source.words_present = WordsPresent(source, std::min(bytes, source.data_end), source.words);
    item->seconds = double(source.words_present) * WordSamples / source.sample_rate;
    reader->read_details(bytes, &source);
    Request one = request;
    one.in = item->in.c_str();
    std::string sheet;
    // A sheet beside it that cannot be taken makes it an album too: its run
    // then says why.
    (void)ResolveTracks(one, &source, &sheet);
    item->album = source.origin != TrackOrigin::Whole || !sheet.empty();
  }
  close(fd);
}

// The folder entry `path` names, whatever way it was reached: its folder's
// own path, and its name. A link or a hard link is an entry of its own.
std::string EntryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char* real = realpath(folder.c_str(), nullptr);
  const std::string entry = real ? std::string(real) + "/" + path.substr(slash + 1) : path;
  std::free(real);
  return entry;
}

// Leaves out an input reached a second time (a folder given twice, or a
// file given by name inside a folder given too): it is converted once.
void DropRepeats(Library* library) {
  std::vector<Item> kept;
  std::map<std::string, std::string> seen;  // each entry, and the input that reached it first
  for (Item& item : library->items) {
    const auto first = seen.emplace(EntryOf(item.in), item.in);
    if (!first.second) {
      library->lines.push_back(item.in + " is " + first.first->second + " again: converted once");
      continue;
    }
    kept.push_back(std::move(item));
  }
  library->items = std::move(kept);
}

bool IsMirrored(const Library& library, const std::string& folder) {
  return library.mirrored.count(folder) > 0;
}

// Gives each input an output name of its own: a second input that would
// write the same ("a.dsf" and "a.dff" in one folder) gets " (2)", and so
// does an album whose folder of tracks would be the folder that mirrors a
// walked one ("a.dff" beside a folder "a"), which only its probe tells.
void MakeNamesDistinct(const Request& request, Library* library) {
  std::vector<std::string> taken;
  for (Item& item : library->items) {
    const std::string stem = item.stem;
    if (IsMirrored(*library, Joined(item.folder, stem))) Probe(request, &item);
    auto clashes = [&] {
      const std::string path = Joined(item.folder, item.stem);
      return std::find(taken.begin(), taken.end(), path) != taken.end() ||
             (item.album && IsMirrored(*library, path));
    };
    for (int copy = 2; clashes(); ++copy) item.stem = stem + " (" + std::to_string(copy) + ")";
    taken.push_back(Joined(item.folder, item.stem));
    if (item.stem != stem) {
      library->lines.push_back(item.in + " would write where another input or a folder writes: " +
                               "its output is " + Joined(item.folder, item.stem));
    }
  }
}

// Whether the album folder `folder` is one a run before completed: it holds
// a track file of the run's format (`ending`).
bool HoldsTracks(const std::string& folder, const char* ending) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.' && EndsWith(entry->d_name, ending)) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

// One shell command on one line, as --print-commands writes it: each word
// in single quotes, each quote of its own as '\'', and a newline in a name
// as "$nl", which the line sets first, so that a reader of one command per
// line (GNU parallel, xargs) never sees half of one.
struct ShellLine {
  std::string text;
  bool newline = false;  // some word holds a newline

  ShellLine& Word(const std::string& word) {
    text += text.empty() ? "'" : " '";
    for (const char c : word) {
      if (c == '\'') {
        text += "'\\''";
      } else if (c == '\n') {
        text += "'\"$nl\"'";
        newline = true;
      } else {
        text += c;
      }
    }
    text += "'";
    return *this;
  }
  ShellLine& Plain(const char* words) {
    text += text.empty() ? words : std::string(" ") + words;
    return *this;
  }
  void Print() const {
    std::printf("%s%s\n", newline ? "nl=$(printf '\\nx'); nl=${nl%x}; " : "", text.c_str());
  }
};

// Copies a picture beside the outputs, under its temporary name first.
bool CopyArt(const Art& art) {
  const int from = open(art.from.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) return false;
  const std::string temporary = TemporaryOf(art.to);
  bool busy = false;
  const int to = CreateTemporaryFile(temporary, NewFileMode, &busy);
  bool copied = to >= 0;
  std::vector<uint8_t> buffer(CopyBytes);
  for (uint64_t at = 0; copied;) {
    size_t got = 0;
    copied = ReadAt(from, buffer.data(), buffer.size(), at, &got) &&
             WriteInOrder(to, buffer.data(), got);
    if (got == 0) break;
    at += got;
  }
  close(from);
  if (to >= 0) {
    if (copied) {
      copied = CloseIntoPlace(to, temporary, art.to);
    } else {
      close(to);
    }
    if (!copied) unlink(temporary.c_str());
    Forget(temporary);
  }
  return copied;
}

std::string Clock(double seconds) {
  const auto s = static_cast<long long>(seconds);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

// The files being converted, shared by the threads that convert them.
struct Jobs {
  const Request* request;
  std::vector<Item*> queue;
  std::atomic<size_t> next{0};
  std::mutex mutex;  // guards the figures below
  size_t done = 0;
  double seconds_done = 0;
};

void ConvertItems(Jobs* jobs) {
  for (size_t i; (i = jobs->next.fetch_add(1)) < jobs->queue.size();) {
    Item& item = *jobs->queue[i];
    Request one = *jobs->request;
    one.in = item.in.c_str();
    one.out = item.out.c_str();
    one.names = {one.in, one.out};
    one.split = item.album;
    one.options = true;  // a file of a library is converted in the standard form
    Reporter reporter;
    reporter.in_library = true;
    reporter.quiet = jobs->request->quiet;
    if (MakeFolders(item.folder)) {
      item.status = Convert(one, &reporter);
      item.damaged = item.status != ExitSuccess && reporter.output_written;
    } else {
      item.status = ExitFailure;
      const ConsoleLock console;
      std::fprintf(stderr, "dff2wav: %s: cannot be made: %s\n", item.folder.c_str(),
                   std::strerror(errno));
    }
    std::lock_guard<std::mutex> lock(jobs->mutex);
    ++jobs->done;
    jobs->seconds_done += item.seconds;
  }
}

}  // namespace

bool IsLibraryRun(const Request& request) {
  const std::vector<const char*>& names = request.names;
  if (names.size() < 2 || request.list) return false;
  const std::string last = names.back();
  const bool outdir = IsFolder(last) || (!last.empty() && last.back() == '/');
  if (names.size() > 2) return outdir || request.options;
  // `dff2wav FOLDER FILE` without options is the original form, which
  // cannot open a folder; with an option, an OUTDIR or a name yet to be
  // made it is a library.
  return IsFolder(names[0]) && (request.options || outdir || !Exists(last));
}

int ConvertLibrary(const Request& request, const char* program) {
  const auto started = std::chrono::steady_clock::now();
  Library library;
  library.outdir = request.names.back();
  library.has_outdir = stat(library.outdir.c_str(), &library.outdir_st) == 0;
  for (size_t i = 0; i + 1 < request.names.size(); ++i) {
    const std::string in = request.names[i];
    if (IsFolder(in)) {
      WalkFolder(in, library.outdir, &library);
    } else {
      const size_t slash = in.find_last_of('/');
      const std::string name = slash == std::string::npos ? in : in.substr(slash + 1);
      library.items.push_back(ItemOf(in, library.outdir, WithoutEnding(name)));
    }
  }
  DropRepeats(&library);
  MakeNamesDistinct(request, &library);
  const OutputFormatRow& row = RowOf(request.format);
  std::vector<Item*> queue;
  for (Item& item : library.items) {
    const std::string file = Joined(item.folder, item.stem) + row.ending;
    const std::string folder = Joined(item.folder, item.stem);
    const bool album_done = !IsMirrored(library, folder) && HoldsTracks(folder, row.ending);
    if (!request.overwrite && (Exists(file) || album_done)) {
      item.skipped = true;
      continue;
    }
    if (!request.print_commands) {
      RemoveStaleTemporary(TemporaryOf(file));
      RemoveStaleTemporary(TemporaryOf(folder));
    }
    if (!item.probed) Probe(request, &item);
    item.out = item.album ? folder + "/" : file;
    queue.push_back(&item);
  }
  if (request.print_commands) {
    // Each command is given the options that reach a file's run; with none,
    // the format, so that it runs in the standard form as the library would.
    std::vector<std::string> options = request.file_options;
    if (options.empty()) options = {"--format", row.name};
    for (const Item* item : queue) {
      ShellLine line;
      line.Plain("mkdir -p --").Word(item->folder).Plain("&&").Word(program);
      for (const std::string& option : options) line.Word(option);
      line.Plain("--").Word(item->in).Word(item->out).Print();
    }
    for (const Art& art : library.art) {
      if (!request.overwrite && Exists(art.to)) continue;
      const std::string folder = art.to.substr(0, art.to.find_last_of('/'));
      ShellLine line;
      // Copied under its temporary name and renamed, as the run copies it:
      // never written through a link at either name, nor seen half-copied.
      const std::string temporary = TemporaryOf(art.to);
      line.Plain("mkdir -p --").Word(folder).Plain("&& rm -f --").Word(temporary);
      line.Plain("&& cp --").Word(art.from).Word(temporary);
      line.Plain("&& mv -f --").Word(temporary).Word(art.to).Print();
    }
    std::fflush(stdout);
    return ExitSuccess;
  }
  if (!MakeFolders(library.outdir)) {
    const ConsoleLock console;
    std::fprintf(stderr, "dff2wav: %s: cannot be made: %s\n", library.outdir.c_str(),
                 std::strerror(errno));
    return ExitFailure;
  }
  // A picture that cannot be copied is a failure too: a re-run tries again.
  int art_failed = 0;
  for (const Art& art : library.art) {
    const std::string folder = art.to.substr(0, art.to.find_last_of('/'));
    if ((request.overwrite || !Exists(art.to)) && (!MakeFolders(folder) || !CopyArt(art))) {
      ++art_failed;
      const ConsoleLock console;
      std::fprintf(stderr, "dff2wav: %s: cannot be copied to %s\n", art.from.c_str(),
                   art.to.c_str());
    }
  }

  // The files, several at once; each run's pass takes every core it can.
  Jobs jobs;
  jobs.request = &request;
  jobs.queue = queue;
  double total_seconds = 0;
  for (const Item* item : queue) total_seconds += item->seconds;
  const unsigned threads_wanted =
      std::max(1u, std::min<unsigned>(request.jobs > 0 ? request.jobs : WorkerCount(),
                                      static_cast<unsigned>(queue.size())));
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < threads_wanted; ++t) {
    try {
      threads.emplace_back(ConvertItems, &jobs);
    } catch (const std::system_error&) {
      break;
    }
  }
  const bool status_line = !request.quiet && isatty(STDERR_FILENO);
  std::atomic<bool> finished{false};
  std::thread status;
  if (status_line) {
    status = std::thread([&] {
      while (!finished.load()) {
        std::this_thread::sleep_for(StatusInterval);
        size_t done;
        double seconds;
        {
          std::lock_guard<std::mutex> lock(jobs.mutex);
          done = jobs.done;
          seconds = jobs.seconds_done;
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double speed = wall > 0 ? seconds / wall : 0;
        char text[160];
        std::snprintf(
            text, sizeof text,
            "dff2wav: %zu of %zu files, %.1f of %.1f hours, %.0f x real time%s%s", done,
            queue.size(), seconds / SecondsPerHour, total_seconds / SecondsPerHour, speed,
            speed > 0 ? ", " : "",
            speed > 0 ? (Clock((total_seconds - seconds) / speed) + " left").c_str() : "");
        if (!finished.load()) ShowStatusLine(text);
      }
    });
  }
  ConvertItems(&jobs);
  for (std::thread& thread : threads) thread.join();
  finished = true;
  if (status.joinable()) status.join();

  // The summary: what became of every file, and how fast.
  // A file written whole with damage in it (an image cut short, frames that
  // do not decode) is converted, and a re-run skips it; the summary names it
  // and the status says that not all went well.
  size_t converted = 0, skipped = 0;
  std::string failed, damaged;
  double seconds = 0;
  for (const Item& item : library.items) {
    if (item.skipped) {
      ++skipped;
    } else if (item.status == ExitSuccess || item.damaged) {
      ++converted;
      seconds += item.seconds;
      if (item.damaged) damaged += (damaged.empty() ? "" : ", ") + item.in;
    } else {
      failed += (failed.empty() ? "" : ", ") + item.in;
    }
  }
  const size_t failures = library.items.size() - converted - skipped;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const ConsoleLock console;
  std::fprintf(stderr,
               "dff2wav: %zu file%s: %zu converted, %zu skipped, %zu failed; %.2f hours of sound "
               "in %s, %.0f x real time\n",
               library.items.size(), library.items.size() == 1 ? "" : "s", converted, skipped,
               failures, seconds / SecondsPerHour, Clock(wall).c_str(),
               wall > 0 ? seconds / wall : 0.0);
  if (!failed.empty()) std::fprintf(stderr, "dff2wav: failed: %s\n", failed.c_str());
  if (!damaged.empty()) {
    std::fprintf(stderr, "dff2wav: converted with damage: %s\n", damaged.c_str());
  }
  for (const std::string& line : library.lines) std::fprintf(stderr, "dff2wav: %s\n", line.c_str());
  if (library.unreadable > 0) {
    std::fprintf(stderr, "dff2wav: %d folder%s could not be read\n", library.unreadable,
                 library.unreadable == 1 ? "" : "s");
  }
  if (art_failed > 0) {
    std::fprintf(stderr, "dff2wav: %d picture%s could not be copied\n", art_failed,
                 art_failed == 1 ? "" : "s");
  }
  const bool all_well =
      failures == 0 && damaged.empty() && library.unreadable == 0 && art_failed == 0;
  return all_well ? ExitSuccess : ExitFailure;
}
