// The channel split and the positional I/O on channel files. Both channel
// files, and the input, are read and written at explicit offsets, so that
// every core can convert its own pieces of the sound at once.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "driver/parallel.h"
#include "dsdiff/dsdiff.h"

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "channel words are written and read as they lie in memory: a little-endian host is required"
#endif

namespace {

// Groups per piece of the split: 1 MiB of sound in, 512 KiB out per channel.
constexpr uint32_t SplitPieceGroups = 1u << 17;

// Bit reversal of every byte value: the earliest sample moves from bit 7 to bit 0.
constexpr std::array<uint8_t, 256> MakeBitReversal() {
  std::array<uint8_t, 256> table{};
  for (int value = 0; value < 256; ++value) {
    int reversed = 0;
    for (int bit = 0; bit < 8; ++bit) reversed |= ((value >> bit) & 1) << (7 - bit);
    table[value] = static_cast<uint8_t>(reversed);
  }
  return table;
}
constexpr std::array<uint8_t, 256> BitReversal = MakeBitReversal();

// The channel word of one channel's four bytes of a group, every second byte.
inline ChannelWord WordOf(const uint8_t* first) {
  return static_cast<ChannelWord>(BitReversal[first[0]]) |
         static_cast<ChannelWord>(BitReversal[first[2]]) << 8 |
         static_cast<ChannelWord>(BitReversal[first[4]]) << 16 |
         static_cast<ChannelWord>(BitReversal[first[6]]) << 24;
}

// The work of one split, shared by its workers: each takes the next piece.
struct SplitJob {
  int in_fd;
  uint64_t sound_offset;
  int left_fd;
  int right_fd;
  uint32_t groups;  // groups to read from the input
  uint32_t words;   // words to write per channel: the groups, then padding
  PieceQueue pieces;
  std::atomic<uint32_t> missing_groups{0};
};

struct SplitWorker {
  SplitJob* job;
  WorkerOutcome outcome;
};

// Converts one piece: `count` words per channel from `first` on.
Failure SplitPiece(SplitJob* job, uint64_t first, uint32_t count, uint8_t* sound, ChannelWord* left,
                   ChannelWord* right) {
  const uint32_t asked = first < job->groups ? std::min<uint32_t>(count, job->groups - first) : 0;
  size_t got = 0;
  if (asked > 0 && !ReadAt(job->in_fd, sound, size_t{asked} * GroupBytes,
                           job->sound_offset + first * GroupBytes, &got)) {
    return Failure::FileRead;
  }
  // Groups the input holds only partly, or not at all, and the padding after
  // the last group, are silence on both channels.
  const uint32_t whole = static_cast<uint32_t>(got / GroupBytes);
  for (uint32_t g = 0; g < whole; ++g) {
    left[g] = WordOf(sound + GroupBytes * g);
    right[g] = WordOf(sound + GroupBytes * g + 1);
  }
  std::fill(left + whole, left + count, SilenceWord);
  std::fill(right + whole, right + count, SilenceWord);
  job->missing_groups += asked - whole;
  const size_t bytes = size_t{count} * sizeof(ChannelWord);
  if (!WriteAt(job->left_fd, left, bytes, first * sizeof(ChannelWord)) ||
      !WriteAt(job->right_fd, right, bytes, first * sizeof(ChannelWord))) {
    return Failure::FileWrite;
  }
  return Failure::None;
}

void SplitPieces(SplitWorker* worker) {
  SplitJob& job = *worker->job;
  uint8_t* sound = static_cast<uint8_t*>(std::malloc(size_t{SplitPieceGroups} * GroupBytes));
  ChannelWord* left =
      static_cast<ChannelWord*>(std::malloc(size_t{SplitPieceGroups} * sizeof(ChannelWord)));
  ChannelWord* right =
      static_cast<ChannelWord*>(std::malloc(size_t{SplitPieceGroups} * sizeof(ChannelWord)));
  for (uint32_t piece; TakePiece(&job.pieces, &piece);) {
    const uint64_t first = uint64_t{piece} * SplitPieceGroups;
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(SplitPieceGroups, job.words - first));
    const Failure failure = sound && left && right
                                ? SplitPiece(&job, first, count, sound, left, right)
                                : Failure::MemoryAlloc;
    if (failure != Failure::None) {
      RecordFailure(&job.pieces, &worker->outcome, piece, failure);
      break;
    }
  }
  std::free(right);
  std::free(left);
  std::free(sound);
}

// Opens a channel file's lock descriptor and locks it without waiting. On a
// file system that keeps no locks the conversion goes on unlocked.
Failure LockChannelFile(const char* path, int* fd) {
  *fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (*fd < 0) return Failure::FileOpen;
  if (flock(*fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return Failure::ChannelFilesBusy;
  return Failure::None;
}

// Opens a channel file for writing, creating it if need be. An existing file
// is not truncated here but overwritten in place and cut to its new size at
// the end: the same bytes in the end, without giving up the file's cached
// pages and disk blocks only to allocate them again.
int CreateChannelFile(const char* path) { return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666); }

}  // namespace

Failure SplitGroups(int in_fd, uint64_t sound_offset, int left_fd, int right_fd, uint32_t groups,
                    uint32_t words, uint32_t* missing_groups) {
  const uint32_t pieces =
      static_cast<uint32_t>((uint64_t{words} + SplitPieceGroups - 1) / SplitPieceGroups);
  SplitJob job{in_fd, sound_offset, left_fd, right_fd, groups, words, {pieces}};
  std::vector<SplitWorker> workers(WorkerCount(), SplitWorker{&job, {}});
  const Failure failure = RunWorkers(workers, SplitPieces);
  *missing_groups = job.missing_groups;
  return failure;
}

Failure ChannelSplit(FILE* in, uint32_t DsdLR64Size, uint32_t* LastDivSize,
                     uint32_t* missing_groups, ChannelLocks* locks) {
  Failure failure = LockChannelFile(LeftChannelFile, &locks->left);
  if (failure != Failure::None) return failure;
  failure = LockChannelFile(RightChannelFile, &locks->right);
  if (failure != Failure::None) return failure;

  const int left = CreateChannelFile(LeftChannelFile);
  if (left < 0) return Failure::FileOpen;
  const int right = CreateChannelFile(RightChannelFile);
  if (right < 0) return Failure::FileOpen;

  // The last division must hold a whole filter window: pad it with silence.
  const uint32_t padding = *LastDivSize < WindowWords ? WindowWords - *LastDivSize : 0;
  const uint32_t words = DsdLR64Size + padding;
  const off_t sound_offset = ftello(in);
  failure = sound_offset < 0 ? Failure::FileRead
                             : SplitGroups(fileno(in), static_cast<uint64_t>(sound_offset), left,
                                           right, DsdLR64Size, words, missing_groups);
  if (failure != Failure::None) return failure;
  *LastDivSize += padding;
  const off_t file_bytes = static_cast<off_t>(words) * static_cast<off_t>(sizeof(ChannelWord));
  if (ftruncate(left, file_bytes) != 0 || ftruncate(right, file_bytes) != 0)
    return Failure::FileWrite;
  const bool left_closed = close(left) == 0;
  const bool right_closed = close(right) == 0;
  return left_closed && right_closed ? Failure::None : Failure::FileWrite;
}

void ReleaseChannelLocks(ChannelLocks* locks) {
  if (locks->left >= 0) close(locks->left);
  if (locks->right >= 0) close(locks->right);
  locks->left = locks->right = -1;
}

int OpenChannelFile(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

Failure ReadChannelWords(int fd, uint64_t first, uint32_t count, ChannelWord* words) {
  const size_t bytes = size_t{count} * sizeof(ChannelWord);
  size_t got = 0;
  const bool read = ReadAt(fd, words, bytes, first * sizeof(ChannelWord), &got);
  return read && got == bytes ? Failure::None : Failure::FileRead;
}
