#include "driver/temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char TemporaryPrefix[] = ".";
constexpr char TemporarySuffix[] = ".part";
constexpr unsigned FolderMode = 0777;  // less the umask, as the folder it becomes
// The longest file name most file systems take, in bytes; a temporary of a
// name near it keeps the name's start and a digest of all of it.
constexpr size_t MaxNameBytes = 255;
constexpr size_t DigestDigits = 16;
constexpr char DigestMark = '~';
constexpr uint64_t FnvBasis = 14695981039346656037ULL, FnvPrime = 1099511628211ULL;

// FNV-1a of `name`, in hex: the same name always gives the same digits.
std::string DigestOf(const std::string& name) {
  uint64_t hash = FnvBasis;
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * FnvPrime;
  std::string digits(DigestDigits, '0');
  for (size_t i = DigestDigits; i-- > 0; hash >>= 4) digits[i] = "0123456789abcdef"[hash & 0xF];
  return digits;
}

// What SIGINT and SIGTERM remove. A handler may only read memory that is
// there already, so the list is a fixed array of slots, each a path the run
// allocated, taken and given back atomically; the lowest bit of a slot says
// that it is a folder (an allocation's address is even). Enough for several
// runs' album folders with every track of each.
constexpr size_t Slots = 4096;
constexpr uintptr_t FolderBit = 1;
std::atomic<uintptr_t> registered[Slots];

const char* PathOf(uintptr_t slot) { return reinterpret_cast<const char*>(slot & ~FolderBit); }

void RemoveRegistered() {
  for (const uintptr_t folders : {uintptr_t{0}, FolderBit}) {
    for (size_t i = 0; i < Slots; ++i) {
      const uintptr_t slot = registered[i].load();
      if (slot == 0 || (slot & FolderBit) != folders) continue;
      if (folders) {
        rmdir(PathOf(slot));
      } else {
        unlink(PathOf(slot));
      }
    }
  }
}

void OnSignal(int signal) {
  RemoveRegistered();
  std::signal(signal, SIG_DFL);
  raise(signal);
}

// Whether `fd` is the file or folder at `path`.
bool IsAtName(int fd, const std::string& path) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

// Takes the lock of the temporary `temp` just created as `fd`, without
// waiting; false when another run holds it, or when another run, finding it
// not yet locked, took it for stale and removed it in between: `temp` must
// still be the file `fd` holds, or this run would write one nobody sees and
// rename the other run's unfinished one into place.
bool Lock(int fd, const std::string& temp) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return false;
  return IsAtName(fd, temp);
}

// Whether another run holds the temporary at `temp`.
bool HeldByAnother(const std::string& temp) {
  const int fd = open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// After a create of `temp` failed: whether another run holds what stands
// there. Anything else in the way (a link, a folder of folders) is said as
// EEXIST.
bool BusyAfterFailedCreate(const std::string& temp) {
  if (errno != EEXIST) return false;
  const bool busy = HeldByAnother(temp);
  errno = EEXIST;
  return busy;
}

// Removes the files of a stale temporary folder, then the folder; false,
// removing nothing, when it holds anything but files and links (no
// temporary of ours): every entry is looked at before any is removed.
bool RemoveFolder(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> files;
  bool ours = true;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    ours = ours && lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
    files.push_back(path);
  }
  closedir(dir);
  if (!ours) return false;
  // A link itself goes, never what it points at.
  for (const std::string& path : files) unlink(path.c_str());
  return rmdir(folder.c_str()) == 0;
}

}  // namespace

std::string TemporaryOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : trimmed.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  const size_t around = std::strlen(TemporaryPrefix) + std::strlen(TemporarySuffix);
  if (name.size() + around <= MaxNameBytes) {
    return folder + TemporaryPrefix + name + TemporarySuffix;
  }
  // Too long to take ".NAME.part": its start, cut at a whole UTF-8
  // character, then the digest, so that two long names stay two temporaries.
  size_t keep = MaxNameBytes - around - DigestDigits - 1;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return folder + TemporaryPrefix + name.substr(0, keep) + DigestMark + DigestOf(name) +
         TemporarySuffix;
}

bool IsTemporaryName(const std::string& name) {
  const size_t prefix = std::strlen(TemporaryPrefix), suffix = std::strlen(TemporarySuffix);
  return name.size() > prefix + suffix && name.compare(0, prefix, TemporaryPrefix) == 0 &&
         name.compare(name.size() - suffix, suffix, TemporarySuffix) == 0;
}

void KeepTrackOf(const std::string& path, bool folder) {
  char* copy = strdup(path.c_str());
  if (copy == nullptr) return;
  const uintptr_t slot = reinterpret_cast<uintptr_t>(copy) | (folder ? FolderBit : 0);
  for (size_t i = 0; i < Slots; ++i) {
    uintptr_t empty = 0;
    if (registered[i].compare_exchange_strong(empty, slot)) return;
  }
  std::free(copy);  // the list is full: this one stays after a signal
}

void Forget(const std::string& path) {
  for (size_t i = 0; i < Slots; ++i) {
    uintptr_t slot = registered[i].load();
    if (slot != 0 && path == PathOf(slot) && registered[i].compare_exchange_strong(slot, 0)) {
      std::free(const_cast<char*>(PathOf(slot)));
      return;
    }
  }
}

void RemoveTemporariesOnSignal() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

void RemoveStaleTemporary(const std::string& temp) {
  struct stat st;
  if (lstat(temp.c_str(), &st) != 0) return;
  const bool folder = S_ISDIR(st.st_mode);
  if (!folder && !S_ISREG(st.st_mode)) return;  // not ours: left alone
  const int fd = open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  // Locked, it must still be the one at the name: another run may have
  // removed it and made its own there in between.
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && IsAtName(fd, temp)) {
    if (folder) {
      RemoveFolder(temp);
    } else {
      unlink(temp.c_str());
    }
  }
  close(fd);
}

bool CloseIntoPlace(int fd, const std::string& temp, const std::string& path) {
  const int lock = dup(fd);  // shares the lock, which lasts while either is open
  bool done = close(fd) == 0 && rename(temp.c_str(), path.c_str()) == 0;
  const int error = errno;
  if (lock >= 0) close(lock);
  if (!done) errno = error;
  return done;
}

int CreateTemporaryFile(const std::string& temp, unsigned mode, bool* busy) {
  *busy = false;
  RemoveStaleTemporary(temp);
  const int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    *busy = BusyAfterFailedCreate(temp);
    return -1;
  }
  if (!Lock(fd, temp)) {
    close(fd);
    *busy = true;
    return -1;
  }
  KeepTrackOf(temp, false);
  return fd;
}

int CreateTemporaryFolder(const std::string& temp, bool* busy) {
  *busy = false;
  RemoveStaleTemporary(temp);
  if (mkdir(temp.c_str(), FolderMode) != 0) {
    *busy = BusyAfterFailedCreate(temp);
    return -1;
  }
  const int fd = open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || !Lock(fd, temp)) {
    if (fd >= 0) close(fd);
    *busy = fd >= 0;
    return -1;
  }
  KeepTrackOf(temp, true);
  return fd;
}
