#include "base/parallel.h"

#include <unistd.h>

#include <cerrno>

// Each worker holds at most 2 MiB of buffers; the cap keeps a run's memory
// within 64 MiB of buffers however many cores the machine has.
constexpr unsigned MaxWorkers = 32;

unsigned WorkerCount() { return std::clamp(std::thread::hardware_concurrency(), 1u, MaxWorkers); }

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

bool TakePiece(PieceQueue* queue, uint32_t* piece) {
  *piece = queue->next.fetch_add(1);
  return *piece < queue->count;
}

void RecordFault(PieceQueue* queue, WorkerOutcome* outcome, uint32_t piece, const Fault& fault) {
  outcome->fault = fault;
  outcome->piece = piece;
  queue->next = UINT32_MAX / 2;  // past every count: no further pieces for anyone
}
