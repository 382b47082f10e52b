// Opening, locking, writing and finishing the channel-word files. Existing
// files are overwritten in place and cut to their new size at the end: the
// same bytes in the end, without giving up the files' cached pages and disk
// blocks only to allocate them again.
#include "channel/channel_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "base/io.h"

namespace {

// O_NOFOLLOW: a symbolic link in the file's place fails with ELOOP, also a
// dangling one, instead of being written through or creating its target.
// O_NONBLOCK: a FIFO in the file's place fails at once instead of waiting for
// a reader. O_NOCTTY: a terminal device never becomes ours.
// O_CREAT | O_EXCL, for a missing file: never through a link either.
constexpr int ChannelOpenFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

constexpr char SymlinkRefusal[] = "is a symbolic link; refusing to write through it";
constexpr char FifoRefusal[] = "is a FIFO; refusing to use it";
constexpr char SocketRefusal[] = "is a socket; refusing to use it";
constexpr char DirectoryRefusal[] = "is a directory; refusing to use it";
constexpr char SpecialFileRefusal[] = "is not a regular file; refusing to write to it";
constexpr char HardLinkRefusal[] = "has other hard links; refusing to write through them";

// Why an opened file cannot be used as a channel file, or nullptr when it
// can. A file of another user is refused: that user could read and change
// this run's sound, or hold its lock; `owner` receives the line that says
// whose it is.
const char* RefusalOf(const struct stat& st, char (&owner)[ChannelRefusalBytes]) {
  if (S_ISFIFO(st.st_mode)) return FifoRefusal;
  if (!S_ISREG(st.st_mode)) return SpecialFileRefusal;
  if (st.st_nlink != 1) return HardLinkRefusal;
  if (st.st_uid != geteuid()) {
    const struct passwd* user = getpwuid(st.st_uid);
    std::snprintf(owner, sizeof owner,
                  "is owned by user %lu%s%s%s, not by this run's; refusing to use it",
                  static_cast<unsigned long>(st.st_uid), user ? " (" : "",
                  user ? user->pw_name : "", user ? ")" : "");
    return owner;
  }
  return nullptr;
}

// Opens an existing `path`, or with `create` makes it, checks what it
// opened and locks it. Without `create`, a missing file leaves *fd at -1.
Fault OpenChannelFile(const char* path, bool create, int* fd, char (&reason)[ChannelRefusalBytes]) {
  *fd = open(path, ChannelOpenFlags | (create ? O_CREAT | O_EXCL : 0), NewFileMode);
  if (*fd < 0) {
    if (errno == ENOENT && !create) return Fault{};
    if (errno == ELOOP) return FaultOf(Failure::FileOpen, path, SymlinkRefusal);
    if (errno == ENXIO) {
      // A FIFO without a reader, or a socket, which cannot be opened at all.
      struct stat st;
      const bool socket = lstat(path, &st) == 0 && S_ISSOCK(st.st_mode);
      return FaultOf(Failure::FileOpen, path, socket ? SocketRefusal : FifoRefusal);
    }
    if (errno == EISDIR) return FaultOf(Failure::FileOpen, path, DirectoryRefusal);
    return SystemFault(Failure::FileOpen, path, errno);
  }
  struct stat st;
  if (fstat(*fd, &st) != 0) return SystemFault(Failure::FileOpen, path, errno);
  if (const char* refusal = RefusalOf(st, reason)) {
    return FaultOf(Failure::FileOpen, path, refusal);
  }
  if (flock(*fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return FaultOf(Failure::ChannelFilesBusy, path, "locked by another conversion");
  }
  return Fault{};
}

Fault WriteWords(int fd, const char* path, uint64_t first, const ChannelWord* words,
                 uint32_t count) {
  if (WriteAt(fd, words, uint64_t{count} * sizeof(ChannelWord), first * sizeof(ChannelWord))) {
    return Fault{};
  }
  return SystemFault(Failure::FileWrite, path, errno);
}

// Cuts the file to `words` words and closes it, in every case.
Fault FinishChannelFile(int fd, const char* path, uint64_t words) {
  Fault fault;
  if (ftruncate(fd, static_cast<off_t>(words * sizeof(ChannelWord))) != 0) {
    fault = SystemFault(Failure::FileWrite, path, errno);
  }
  if (close(fd) != 0 && !Failed(fault)) fault = SystemFault(Failure::FileWrite, path, errno);
  return fault;
}

}  // namespace

Fault OpenChannelFiles(ChannelFiles* files) {
  // The existing files first, then the missing ones: a name that cannot be
  // used refuses the run before anything is created.
  const char* paths[] = {LeftChannelFile, RightChannelFile};
  int* fds[] = {&files->left, &files->right};
  for (const bool create : {false, true}) {
    for (int c = 0; c < 2; ++c) {
      if (*fds[c] >= 0) continue;
      const Fault fault = OpenChannelFile(paths[c], create, fds[c], files->refusal);
      if (Failed(fault)) return fault;
    }
  }
  return Fault{};
}

Fault WriteChannelWords(const ChannelFiles& files, uint64_t first, const ChannelWord* left,
                        const ChannelWord* right, uint32_t count) {
  const Fault fault = WriteWords(files.left, LeftChannelFile, first, left, count);
  if (Failed(fault)) return fault;
  return WriteWords(files.right, RightChannelFile, first, right, count);
}

Fault FinishChannelFiles(ChannelFiles* files, uint64_t words) {
  const Fault left = FinishChannelFile(files->left, LeftChannelFile, words);
  const Fault right = FinishChannelFile(files->right, RightChannelFile, words);
  files->left = files->right = -1;
  return Failed(left) ? left : right;
}

void CloseChannelFiles(ChannelFiles* files) {
  if (files->left >= 0) close(files->left);
  if (files->right >= 0) close(files->right);
  files->left = files->right = -1;
}
