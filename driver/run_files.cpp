#include "driver/run_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/parallel.h"

namespace {

constexpr int StandardDescriptors = 3;  // standard input, output and error
constexpr const char* StandardOutputName = "-";
constexpr const char* StandardOutputPath = "/dev/stdout";  // the file on descriptor 1

// The first bytes of the files that must never be overwritten as output.
constexpr size_t MagicBytes = 4;
constexpr char DsdiffMagic[MagicBytes] = {'F', 'R', 'M', '8'};
constexpr char DsfMagic[MagicBytes] = {'D', 'S', 'D', ' '};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

bool NamesStandardOutput(const char* path) {
  if (std::strcmp(path, StandardOutputName) == 0) return true;
  struct stat named, standard;
  return stat(path, &named) == 0 && fstat(STDOUT_FILENO, &standard) == 0 &&
         SameFile(named, standard);
}

Fault RefuseDsdOutput(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return Fault{};
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fault{};  // unreadable: the open for writing decides
  char magic[MagicBytes];
  size_t got = 0;
  const bool read = ReadAt(fd, magic, MagicBytes, 0, &got) && got == MagicBytes;
  close(fd);
  if (read && (std::memcmp(magic, DsdiffMagic, MagicBytes) == 0 ||
               std::memcmp(magic, DsfMagic, MagicBytes) == 0)) {
    return FaultOf(Failure::OutputIsDsd, path, "is a DSD file; refusing to overwrite it");
  }
  return Fault{};
}

Fault OpenOutput(const char* path, bool standard_output, Output* output) {
  output->path = path;
  if (standard_output) {
    // The console moves to standard error; the audio keeps descriptor 1's file.
    std::fflush(stdout);
    output->fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, StandardDescriptors);
    if (output->fd < 0) return SystemFault(Failure::FileOpen, path, errno);
    dup2(STDERR_FILENO, STDOUT_FILENO);
  } else {
    output->fd = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, NewFileMode);
    if (output->fd < 0) return SystemFault(Failure::FileOpen, path, errno);
  }
  struct stat st;
  const off_t position = lseek(output->fd, 0, SEEK_CUR);
  output->placed = fstat(output->fd, &st) == 0 && S_ISREG(st.st_mode) &&
                   (fcntl(output->fd, F_GETFL) & O_APPEND) == 0 && position >= 0;
  output->start = output->placed ? static_cast<uint64_t>(position) : 0;
  return Fault{};
}

void EmptyOutput(const Output& output) {
  if (output.placed) (void)!ftruncate(output.fd, static_cast<off_t>(output.start));
}

Fault StartOutput(const Output& output, const uint8_t header[WavHeaderBytes]) {
  const uint8_t no_header[WavHeaderBytes] = {};
  const bool written = output.placed
                           ? WriteAt(output.fd, no_header, WavHeaderBytes, output.start)
                           : WriteInOrder(output.fd, header, WavHeaderBytes);
  return written ? Fault{} : SystemFault(Failure::FileWrite, output.path, errno);
}

Fault FinishOutput(Output* output, const uint8_t header[WavHeaderBytes], uint64_t bytes) {
  Fault fault;
  if (output->placed &&
      (ftruncate(output->fd, static_cast<off_t>(output->start + bytes)) != 0 ||
       !WriteAt(output->fd, header, WavHeaderBytes, output->start))) {
    fault = SystemFault(Failure::FileWrite, output->path, errno);
  }
  if (close(output->fd) != 0 && !Failed(fault)) {
    fault = SystemFault(Failure::FileWrite, output->path, errno);
  }
  output->fd = -1;
  return fault;
}
