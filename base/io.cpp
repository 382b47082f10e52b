#include "base/io.h"

#include <unistd.h>

#include <cerrno>

bool ReadAt(int fd, void* buffer, size_t bytes, uint64_t offset, size_t* got) {
  *got = 0;
  while (*got < bytes) {
    const ssize_t n = pread(fd, static_cast<uint8_t*>(buffer) + *got, bytes - *got,
                            static_cast<off_t>(offset + *got));
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) *got += static_cast<size_t>(n);
  }
  return true;
}

bool ReadExactlyAt(int fd, void* buffer, size_t bytes, uint64_t offset) {
  size_t got = 0;
  if (!ReadAt(fd, buffer, bytes, offset, &got)) return false;
  if (got != bytes) errno = 0;
  return got == bytes;
}

bool WriteAt(int fd, const void* buffer, size_t bytes, uint64_t offset) {
  for (size_t done = 0; done < bytes;) {
    const ssize_t n = pwrite(fd, static_cast<const uint8_t*>(buffer) + done, bytes - done,
                             static_cast<off_t>(offset + done));
    if (n == 0 || (n < 0 && errno != EINTR)) return false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteInOrder(int fd, const void* buffer, size_t bytes) {
  for (size_t done = 0; done < bytes;) {
    const ssize_t n = write(fd, static_cast<const uint8_t*>(buffer) + done, bytes - done);
    if (n == 0 || (n < 0 && errno != EINTR)) return false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  return true;
}
