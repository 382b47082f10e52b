#include "driver/distinct_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

constexpr int MaxLinkHops = 40;  // the kernel's own limit on symbolic links in a path

struct FileIdentity {
  bool exists = false;    // the file itself: dev and ino are its own
  bool knowable = false;  // false when not even its directory exists
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;  // for a file yet to be created: its name in that directory
};

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

FileIdentity IdentityOf(const std::string& path) {
  FileIdentity identity;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    identity.exists = identity.knowable = true;
    identity.dev = st.st_dev;
    identity.ino = st.st_ino;
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

bool Same(const FileIdentity& a, const FileIdentity& b) {
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
