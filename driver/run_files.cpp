#include "driver/run_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/io.h"
#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"

namespace {

constexpr int StandardDescriptors = 3;  // standard input, output and error
constexpr const char* StandardOutputName = "-";

constexpr size_t MagicBytes = 4;  // of DsdiffMagic and DsfMagic

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

int SeparateConsoleFromOutput(const char* path) {
  struct stat output;
  const bool dash = std::strcmp(path, StandardOutputName) == 0;
  if (!dash && stat(path, &output) != 0) return -1;  // not there yet: no descriptor reaches it
  // The audio keeps the descriptor that reaches the output, before it is
  // pointed elsewhere; a path is not opened again, since it may name it.
  int kept = -1;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    if (dash ? fd == STDOUT_FILENO : Reaches(fd, output)) {
      kept = fcntl(fd, F_DUPFD_CLOEXEC, StandardDescriptors);
      break;
    }
  }
  if (kept < 0) return -1;
  if (fstat(kept, &output) != 0) return kept;
  const bool output_is_standard = Reaches(STDOUT_FILENO, output);
  const bool error_is_output = Reaches(STDERR_FILENO, output);
  const int null = error_is_output ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  std::fflush(stdout);
  if (output_is_standard) dup2(error_is_output ? null : STDERR_FILENO, STDOUT_FILENO);
  if (error_is_output) dup2(null, STDERR_FILENO);
  if (null >= 0) close(null);
  return kept;
}

namespace {

// Refuses a regular output that begins like a DSD file, or that cannot be
// read through `fd` to tell.
Fault RefuseDsdFile(int fd, const char* path, const struct stat& st) {
  if (st.st_size < static_cast<off_t>(MagicBytes)) return Fault{};
  char magic[MagicBytes];
  if (!ReadExactlyAt(fd, magic, MagicBytes, 0)) {
    return FaultOf(Failure::FileOpen, path,
                   "cannot be read to make sure it is not a DSD file; refusing to overwrite it");
  }
  if (std::memcmp(magic, DsdiffMagic, MagicBytes) == 0 ||
      std::memcmp(magic, DsfMagic, MagicBytes) == 0) {
    return FaultOf(Failure::OutputIsDsd, path, "is a DSD file; refusing to overwrite it");
  }
  return Fault{};
}

}  // namespace

Fault OpenOutput(const char* path, int kept, Output* output) {
  output->path = path;
  output->fd = kept;
  if (kept < 0) {
    // Read and write, so that the check below reads what would be written;
    // a pipe or a device is only written to, as opening it to read could
    // change how it behaves.
    struct stat st;
    const bool plain = stat(path, &st) != 0 || S_ISREG(st.st_mode);
    const int flags = O_CREAT | O_NOCTTY | O_CLOEXEC;
    output->fd = open(path, (plain ? O_RDWR : O_WRONLY) | flags, NewFileMode);
    if (output->fd < 0 && plain && errno == EACCES) {
      output->fd = open(path, O_WRONLY | flags, NewFileMode);
    }
    if (output->fd < 0) return SystemFault(Failure::FileOpen, path, errno);
  }
  struct stat st;
  if (fstat(output->fd, &st) != 0) return SystemFault(Failure::FileOpen, path, errno);
  if (S_ISREG(st.st_mode)) {
    // A kept standard descriptor may be open for writing only, and is shared
    // with other processes, and so would be a lock on it: the file is read
    // and locked through a description of the run's own.
    output->lock = kept >= 0 ? open(DescriptorPath(kept).c_str(), O_RDONLY | O_CLOEXEC) : -1;
    const int own = output->lock >= 0 ? output->lock : output->fd;
    const Fault fault = RefuseDsdFile(own, path, st);
    if (Failed(fault)) return fault;
    output->busy = flock(own, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  }
  const off_t position = lseek(output->fd, 0, SEEK_CUR);
  output->placed =
      S_ISREG(st.st_mode) && (fcntl(output->fd, F_GETFL) & O_APPEND) == 0 && position >= 0;
  output->start = output->placed ? static_cast<uint64_t>(position) : 0;
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
  return fault;
}
