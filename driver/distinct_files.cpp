#include "driver/distinct_files.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>

namespace {

constexpr int MaxLinkHops = 40;    // the kernel's own limit on symbolic links in a path
constexpr unsigned LoopMajor = 7;  // the block devices of the loop driver

struct FileIdentity {
  bool exists = false;    // the file itself: dev and ino are its own
  bool knowable = false;  // false when not even its directory exists
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;  // for a file yet to be created: its name in that directory
  // A device node stands for its device, whatever node names it.
  bool device = false;
  mode_t device_type = 0;  // S_IFBLK or S_IFCHR
  dev_t rdev = 0;
  // A loop device stands for the file behind it as well.
  bool backed = false;
  dev_t backing_dev = 0;
  ino_t backing_ino = 0;
};

// The file behind loop device `path`, when it is one and is bound to a file.
void FindLoopBacking(const std::string& path, FileIdentity* identity) {
  if (identity->device_type != S_IFBLK || major(identity->rdev) != LoopMajor) return;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct loop_info64 info = {};
  if (ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
    identity->backed = true;
    identity->backing_dev = static_cast<dev_t>(info.lo_device);
    identity->backing_ino = static_cast<ino_t>(info.lo_inode);
  }
  close(fd);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A dangling symbolic link names the file that opening it would create, so
// follow such links to their final, missing target.
std::string FinalTarget(std::string path) {
  for (int hop = 0; hop < MaxLinkHops; ++hop) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0) return path;
    const std::string link(target, static_cast<size_t>(length));
    path = link[0] == '/' ? link : DirectoryOf(path) + "/" + link;
  }
  return path;
}

}  // namespace

std::string FinalTargetOf(const std::string& path) { return FinalTarget(path); }

namespace {

FileIdentity IdentityOf(const std::string& path) {
  FileIdentity identity;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    identity.exists = identity.knowable = true;
    identity.dev = st.st_dev;
    identity.ino = st.st_ino;
    identity.device = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
    identity.device_type = st.st_mode & S_IFMT;
    identity.rdev = st.st_rdev;
    if (identity.device) FindLoopBacking(path, &identity);
    return identity;
  }
  const std::string target = FinalTarget(path);
  if (stat(DirectoryOf(target).c_str(), &st) == 0) {
    identity.knowable = true;
    identity.dev = st.st_dev;
    identity.ino = st.st_ino;
    identity.name = NameOf(target);
  }
  return identity;
}

// Whether `device` is a loop device bound to the existing file `file`.
bool BacksOnto(const FileIdentity& device, const FileIdentity& file) {
  return device.backed && file.exists && device.backing_dev == file.dev &&
         device.backing_ino == file.ino;
}

bool Same(const FileIdentity& a, const FileIdentity& b) {
  if (a.device && b.device && a.device_type == b.device_type && a.rdev == b.rdev) return true;
  if (BacksOnto(a, b) || BacksOnto(b, a)) return true;
  return a.knowable && b.knowable && a.exists == b.exists && a.dev == b.dev && a.ino == b.ino &&
         a.name == b.name;
}

}  // namespace

bool FindSameFile(const std::vector<std::string>& paths, size_t* first, size_t* second) {
  std::vector<FileIdentity> identities;
  for (const std::string& path : paths) identities.push_back(IdentityOf(path));
  for (size_t i = 0; i < identities.size(); ++i) {
    for (size_t j = i + 1; j < identities.size(); ++j) {
      if (Same(identities[i], identities[j])) {
        *first = i;
        *second = j;
        return true;
      }
    }
  }
  return false;
}
