#include "driver/run_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/io.h"
#include "driver/distinct_files.h"
#include "driver/temporaries.h"
#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"

namespace {

constexpr int StandardDescriptors = 3;  // standard input, output and error
constexpr const char* StandardOutputName = "-";

constexpr size_t MagicBytes = 4;  // of FRM8_ID and DsfMagic

// Whether descriptor `fd` is open on the file `file` describes.
bool Reaches(int fd, const struct stat& file) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
}

}  // namespace

void GuardStandardDescriptors() {
  for (int fd = 0; fd < StandardDescriptors; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free descriptor: this one.
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
}

Fault OpenInput(const char* path, int* fd, uint64_t* bytes) {
  *fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd < 0) return SystemFault(Failure::FileOpen, path, errno);
  struct stat st;
  if (fstat(*fd, &st) != 0) return SystemFault(Failure::FileOpen, path, errno);
  if (S_ISDIR(st.st_mode)) return SystemFault(Failure::FileOpen, path, EISDIR);
  if (S_ISREG(st.st_mode)) {
    *bytes = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    const off_t end = lseek(*fd, 0, SEEK_END);
    if (end < 0) return SystemFault(Failure::FileOpen, path, errno);
    *bytes = static_cast<uint64_t>(end);
  } else {
    return FaultOf(Failure::FileOpen, path,
                   "not a regular file or block device; the input must be readable at any offset");
  }
  return Fault{};
}

std::string DescriptorPath(int fd) { return "/dev/fd/" + std::to_string(fd); }

namespace {

// Points each of descriptors 1 and 2 that reaches the file `output`
// describes away from it: descriptor 1 at standard error, or at `null` when
// standard error reaches it too, and descriptor 2 at `null`, /dev/null opened
// beforehand (or -1 when standard error does not reach it). False when a
// descriptor could not be pointed away.
bool PointConsoleAway(const struct stat& output, int null) {
  const bool output_is_standard = Reaches(STDOUT_FILENO, output);
  const bool error_is_output = Reaches(STDERR_FILENO, output);
  if (error_is_output && null < 0) return false;
  std::fflush(stdout);
  if (output_is_standard &&
      dup2(error_is_output ? null : STDERR_FILENO, STDOUT_FILENO) != STDOUT_FILENO) {
    return false;
  }
  return !error_is_output || dup2(null, STDERR_FILENO) == STDERR_FILENO;
}

// /dev/null for writing when standard error reaches the file `output`
// describes, and the descriptor must be pointed away from it; -1 otherwise.
// Opened before any other descriptor the separation takes, so that a run
// short of descriptors fails here rather than after the audio took the last.
int NullForStandardError(const struct stat& output) {
  return Reaches(STDERR_FILENO, output) ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
}

}  // namespace

bool SeparateConsoleFromOutput(const char* path, int* kept) {
  *kept = -1;
  struct stat output;
  const bool dash = std::strcmp(path, StandardOutputName) == 0;
  if (dash ? fstat(STDOUT_FILENO, &output) != 0 : stat(path, &output) != 0) {
    return !dash;  // not there yet: no descriptor reaches it
  }
  int reaching = -1;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    if (dash ? fd == STDOUT_FILENO : Reaches(fd, output)) {
      reaching = fd;
      break;
    }
  }
  if (reaching < 0) return true;
  // The audio keeps the descriptor that reaches the output, before it is
  // pointed elsewhere; a path is not opened again, since it may name it.
  const int null = NullForStandardError(output);
  *kept = fcntl(reaching, F_DUPFD_CLOEXEC, StandardDescriptors);
  const bool separated = *kept >= 0 && PointConsoleAway(output, null);
  if (null >= 0) close(null);
  return separated;
}

bool SeparateConsoleFromOpenedOutput(int fd) {
  struct stat output;
  if (fstat(fd, &output) != 0) return false;
  const int null = NullForStandardError(output);
  const bool separated = PointConsoleAway(output, null);
  if (null >= 0) close(null);
  return separated;
}

namespace {

// Refuses an output of `bytes` bytes that begins like a DSD file, or that
// cannot be read through `fd` to tell.
Fault RefuseDsdFile(int fd, const char* path, uint64_t bytes) {
  if (bytes < MagicBytes) return Fault{};
  char magic[MagicBytes];
  if (!ReadExactlyAt(fd, magic, MagicBytes, 0)) {
    return FaultOf(Failure::FileOpen, path,
                   "cannot be read to make sure it is not a DSD file; refusing to overwrite it");
  }
  if (std::memcmp(magic, FRM8_ID, MagicBytes) == 0 ||
      std::memcmp(magic, DsfMagic, MagicBytes) == 0) {
    return FaultOf(Failure::OutputIsDsd, path, "is a DSD file; refusing to overwrite it");
  }
  return Fault{};
}

}  // namespace

Fault OpenOutput(const char* path, int kept, Output* output, bool follow_links) {
  output->path = path;
  output->fd = kept;
  if (kept < 0) {
    // Read and write, so that the check below reads what would be written;
    // a pipe or a character device is only written to, as opening it to read
    // could change how it behaves.
    struct stat st;
    const bool readable = stat(path, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    const int flags = O_CREAT | O_NOCTTY | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW);
    output->fd = open(path, (readable ? O_RDWR : O_WRONLY) | flags, NewFileMode);
    if (output->fd < 0 && readable && errno == EACCES) {
      output->fd = open(path, O_WRONLY | flags, NewFileMode);
    }
    if (output->fd < 0) return SystemFault(Failure::FileOpen, path, errno);
  }
  struct stat st;
  if (fstat(output->fd, &st) != 0) return SystemFault(Failure::FileOpen, path, errno);
  if (S_ISBLK(st.st_mode)) {
    // A block device holds files: it is checked for DSD as a file is.
    const off_t end = lseek(output->fd, 0, SEEK_END);
    if (end < 0 || lseek(output->fd, 0, SEEK_SET) != 0) {
      return SystemFault(Failure::FileOpen, path, errno);
    }
    const Fault fault = RefuseDsdFile(output->fd, path, static_cast<uint64_t>(end));
    if (Failed(fault)) return fault;
  }
  if (S_ISREG(st.st_mode)) {
    // A kept standard descriptor may be open for writing only, and is shared
    // with other processes, and so would be a lock on it: the file is read
    // and locked through a description of the run's own.
    output->lock = kept >= 0 ? open(DescriptorPath(kept).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    const int own = output->lock >= 0 ? output->lock : output->fd;
    const Fault fault = RefuseDsdFile(own, path, static_cast<uint64_t>(st.st_size));
    if (Failed(fault)) return fault;
    output->busy = flock(own, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  }
  const off_t position = lseek(output->fd, 0, SEEK_CUR);
  output->placed =
      S_ISREG(st.st_mode) && (fcntl(output->fd, F_GETFL) & O_APPEND) == 0 && position >= 0;
  output->start = output->placed ? static_cast<uint64_t>(position) : 0;
  return Fault{};
}

namespace {

// The folder and name of the file `fd` is open on.
std::string OpenedPath(int fd) {
  char target[PATH_MAX];
  const ssize_t length = readlink(DescriptorPath(fd).c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

// Whether the run may not create files in the folder of `path`: then an
// existing output is written in place, as it always was.
bool FolderRefuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

}  // namespace

Fault OpenReplacedOutput(const char* path, int kept, Output* output, bool follow_links) {
  struct stat st;
  const bool exists = stat(path, &st) == 0;
  if (kept >= 0 || (exists && !S_ISREG(st.st_mode))) {
    return OpenOutput(path, kept, output, follow_links);
  }
  output->path = path;
  std::string target = path;
  unsigned mode = NewFileMode;
  if (exists) {
    // The existing file is checked, locked and kept open, and never written.
    Output existing;
    const Fault fault = OpenOutput(path, -1, &existing, follow_links);
    if (Failed(fault) || existing.busy) {
      *output = existing;
      return fault;
    }
    target = OpenedPath(existing.fd);
    output->lock = existing.fd;
    mode = st.st_mode & 07777;
  } else {
    struct stat link;
    if (lstat(path, &link) == 0) {
      // A dangling link: followed to the name it would create, or refused.
      if (!follow_links) return SystemFault(Failure::FileOpen, path, ELOOP);
      target = FinalTargetOf(path);
    }
  }
  if (target.empty()) return SystemFault(Failure::FileOpen, path, ENOENT);
  const std::string temporary = TemporaryOf(target);
  bool busy = false;
  const int fd = CreateTemporaryFile(temporary, mode, &busy);
  if (fd < 0 && busy) {
    output->busy = true;
    return Fault{};
  }
  if (fd < 0 && exists && FolderRefuses(errno)) {
    (void)CloseOutput(output);
    *output = Output();
    return OpenOutput(path, -1, output, follow_links);
  }
  if (fd < 0) return SystemFault(Failure::FileOpen, path, errno);
  if (exists) (void)!fchmod(fd, mode);  // the umask took some away
  output->fd = fd;
  output->placed = true;
  output->start = 0;
  output->temporary = temporary;
  output->target = target;
  return Fault{};
}

void EmptyOutput(const Output& output) {
  if (output.placed && !output.busy) {
    (void)!ftruncate(output.fd, static_cast<off_t>(output.start));
  }
}

OutputStream StreamOf(const Output& output) {
  return OutputStream{output.fd, output.path, output.placed, output.start};
}

Fault CloseOutput(Output* output) {
  Fault fault;
  if (output->fd >= 0 && close(output->fd) != 0) {
    fault = SystemFault(Failure::FileWrite, output->path, errno);
  }
  if (output->lock >= 0) close(output->lock);
  output->fd = output->lock = -1;
  if (!output->temporary.empty()) {
    unlink(output->temporary.c_str());
    Forget(output->temporary);
    output->temporary.clear();
  }
  return fault;
}

Fault CommitOutput(Output* output) {
  if (output->temporary.empty()) return CloseOutput(output);
  Fault fault;
  if (!CloseIntoPlace(output->fd, output->temporary, output->target)) {
    fault = SystemFault(Failure::FileWrite, output->path, errno);
  }
  output->fd = -1;
  if (!Failed(fault)) {
    Forget(output->temporary);
    output->temporary.clear();
  }
  const Fault closed = CloseOutput(output);  // the lock, and the temporary if it stayed
  return Failed(fault) ? fault : closed;
}
