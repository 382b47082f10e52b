#include "decimate/division.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decimate/fast_filter.h"
#include "driver/parallel.h"
#include "dsdiff/dsdiff.h"

namespace {

constexpr uint32_t DivShift = 23;  // log2 of DivSize
constexpr uint32_t DivRemainderMask = DivSize - 1;

// Frames per piece: 64 Ki frames read 256 KiB per channel, write 384 KiB.
constexpr uint32_t PieceFrames = 1u << 16;
static_assert(DivSize % PieceFrames == 0, "divisions must hold whole pieces");

// A piece reads its frames' words and the 15 after them.
constexpr size_t PieceWordBytes = size_t{PieceFrames + OverlapWords} * sizeof(ChannelWord);
constexpr size_t PiecePcmBytes = size_t{PieceFrames} * PcmFrameBytes;
// Each slice's buffers in turn; every size is a multiple of 4 bytes, so every
// buffer is aligned for its words.
constexpr size_t WorkerBytes = 2 * PieceWordBytes + PiecePcmBytes;

constexpr size_t TailFrames = OverlapWords;  // frames of the last division not computed
constexpr size_t TailBytes = TailFrames * PcmFrameBytes;

struct PieceBuffers {
  ChannelWord* left;
  ChannelWord* right;
  uint8_t* pcm;
};

PieceBuffers WorkerSlice(const DivisionBuffers& buffers, unsigned worker) {
  uint8_t* base = buffers.memory + worker * WorkerBytes;
  return {reinterpret_cast<ChannelWord*>(base),
          reinterpret_cast<ChannelWord*>(base + PieceWordBytes), base + 2 * PieceWordBytes};
}

// One division, shared by its workers: each takes the next piece.
struct DivisionJob {
  int left_fd;
  int right_fd;
  int out_fd;
  uint64_t first_word;  // global word of the division's frame 0
  uint64_t out_offset;  // output byte of the division's frame 0
  uint32_t frames;      // frames to compute and write
  uint32_t tail_frame;  // first frame of the last division's tail, in division frames
  uint8_t* tail;        // TailBytes: what a full division computed there
  bool in_order;        // the output cannot seek: one worker, writes in sequence
  PieceQueue pieces;
};

struct DivisionWorker {
  DivisionJob* job;
  PieceBuffers buffers;
  WorkerOutcome outcome;
};

// Keeps the part of a piece's frames that falls on the last division's tail.
void KeepTail(const DivisionJob& job, uint32_t first_frame, uint32_t frames, const uint8_t* pcm) {
  const uint32_t from = std::max(first_frame, job.tail_frame);
  const uint32_t to = std::min<uint32_t>(first_frame + frames, job.tail_frame + TailFrames);
  if (from >= to) return;
  std::memcpy(job.tail + size_t{from - job.tail_frame} * PcmFrameBytes,
              pcm + size_t{from - first_frame} * PcmFrameBytes, size_t{to - from} * PcmFrameBytes);
}

// Writes `count` bytes of frames from `first_frame` of the division on: in
// their place, or next for an output that cannot seek.
bool WriteFrames(const DivisionJob& job, uint32_t first_frame, const uint8_t* bytes, size_t count) {
  return job.in_order ? WriteInOrder(job.out_fd, bytes, count)
                      : WriteAt(job.out_fd, bytes, count,
                                job.out_offset + uint64_t{first_frame} * PcmFrameBytes);
}

// Filters one piece: `frames` frames from `first_frame` of the division on.
Failure FilterPiece(DivisionJob* job, uint32_t first_frame, uint32_t frames,
                    const PieceBuffers& b) {
  const uint64_t first_word = job->first_word + first_frame;
  Failure failure = ReadChannelWords(job->left_fd, first_word, frames + OverlapWords, b.left);
  if (failure != Failure::None) return failure;
  failure = ReadChannelWords(job->right_fd, first_word, frames + OverlapWords, b.right);
  if (failure != Failure::None) return failure;
  DecimateFrames(b.left, b.right, frames, b.pcm);
  KeepTail(*job, first_frame, frames, b.pcm);
  return WriteFrames(*job, first_frame, b.pcm, size_t{frames} * PcmFrameBytes) ? Failure::None
                                                                               : Failure::FileWrite;
}

void FilterPieces(DivisionWorker* worker) {
  DivisionJob& job = *worker->job;
  for (uint32_t piece; TakePiece(&job.pieces, &piece);) {
    const uint32_t first_frame = piece * PieceFrames;
    const uint32_t frames = std::min(PieceFrames, job.frames - first_frame);
    const Failure failure = FilterPiece(&job, first_frame, frames, worker->buffers);
    if (failure != Failure::None) {
      RecordFailure(&job.pieces, &worker->outcome, piece, failure);
      break;
    }
  }
}

// Runs one division on every worker, or on one for an output that cannot seek.
Failure FilterDivision(DivisionJob* job, const DivisionBuffers& buffers) {
  job->pieces.count = (job->frames + PieceFrames - 1) / PieceFrames;
  std::vector<DivisionWorker> workers;
  for (unsigned w = 0; w < (job->in_order ? 1 : buffers.workers); ++w) {
    workers.push_back(DivisionWorker{job, WorkerSlice(buffers, w), {}});
  }
  return RunWorkers(workers, FilterPieces);
}

Failure RunDivisions(int left_fd, int right_fd, int out_fd, const DivisionBuffers& buffers,
                     uint32_t DivNum, uint32_t LastDivSize, uint32_t WLastDivSize) {
  const off_t position = lseek(out_fd, 0, SEEK_CUR);
  const bool in_order = position < 0;
  const uint64_t frames_start = in_order ? 0 : static_cast<uint64_t>(position);
  // Zero, as in a fresh buffer, until a full division computes these frames.
  uint8_t tail[TailBytes] = {};
  for (uint32_t d = 0; d < DivNum; ++d) {
    const bool last = d + 1 == DivNum;
    DivisionJob job{left_fd,
                    right_fd,
                    out_fd,
                    uint64_t{d} * DivSize,
                    frames_start + uint64_t{d} * DivWavSize,
                    last ? LastDivSize - OverlapWords : DivSize,
                    LastDivSize - OverlapWords,
                    tail,
                    in_order,
                    {}};
    const Failure failure = FilterDivision(&job, buffers);
    if (failure != Failure::None) return failure;
    // The last division's final 15 frames are not computed: the bytes a
    // full division left there, or zeros.
    if (last &&
        !WriteFrames(job, job.frames, tail, WLastDivSize - size_t{job.frames} * PcmFrameBytes)) {
      return Failure::FileWrite;
    }
    std::printf("%d\n", static_cast<int>(d + 1));
    std::fflush(stdout);  // progress shows as it happens, also through a pipe
  }
  std::printf("\n");
  return Failure::None;
}

}  // namespace

DivisionLayout DivisionLayoutOf(uint32_t DsdSize) {
  DivisionLayout layout;
  layout.DsdLR64Size = DsdSize / GroupBytes;
  layout.DivNum = layout.DsdLR64Size >> DivShift;
  layout.LastDivSize = layout.DsdLR64Size & DivRemainderMask;
  if (layout.LastDivSize == 0) {
    layout.LastDivSize = DivSize;
  } else {
    ++layout.DivNum;
  }
  return layout;
}

Failure DivisionPrepare(unsigned workers, DivisionBuffers* buffers) {
  buffers->workers = std::max(1u, workers);
  buffers->memory = static_cast<uint8_t*>(std::malloc(buffers->workers * WorkerBytes));
  return buffers->memory ? Failure::None : Failure::MemoryAlloc;
}

Failure DivisionPass(FILE* out, DivisionBuffers* buffers, uint32_t DivNum, uint32_t LastDivSize,
                     uint32_t WLastDivSize) {
  Failure failure = std::fflush(out) == 0 ? Failure::None : Failure::FileWrite;
  const int left = failure == Failure::None ? OpenChannelFile(LeftChannelFile) : -1;
  const int right = left >= 0 ? OpenChannelFile(RightChannelFile) : -1;
  if (failure == Failure::None && right < 0) failure = Failure::FileOpen;
  if (failure == Failure::None) {
    failure = RunDivisions(left, right, fileno(out), *buffers, DivNum, LastDivSize, WLastDivSize);
  }
  if (left >= 0) close(left);
  if (right >= 0) close(right);
  std::free(buffers->memory);
  buffers->memory = nullptr;
  return failure;
}
