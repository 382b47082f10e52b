#include "pass/pass.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/io.h"
#include "base/workers.h"
#include "decimate/fast_filter.h"

namespace {

// Frames per piece: 64 Ki frames read 512 KiB of sound and write 256 KiB per
// channel file and 384 KiB of frames.
constexpr uint32_t PieceFrames = 1u << 16;
static_assert(DivSize % PieceFrames == 0, "divisions must hold whole pieces");
constexpr uint32_t PieceWords = PieceFrames + OverlapWords;  // a piece's words per channel

constexpr size_t BufferAlignment = 64;
constexpr size_t Aligned(size_t bytes) {
  return (bytes + BufferAlignment - 1) / BufferAlignment * BufferAlignment;
}
constexpr size_t PieceWordBytes = Aligned(size_t{PieceWords} * sizeof(ChannelWord));
constexpr size_t PiecePcmBytes = Aligned(size_t{PieceFrames} * PcmFrameBytes);

struct PieceBuffers {
  uint8_t* sound;
  ChannelWord* left;
  ChannelWord* right;
  uint8_t* pcm;
};

// A worker's slice: left words, right words, frames, then the sound bytes.
PieceBuffers WorkerSlice(const Pass& pass, unsigned worker) {
  uint8_t* base = pass.memory + worker * pass.worker_bytes;
  return {base + 2 * PieceWordBytes + PiecePcmBytes, reinterpret_cast<ChannelWord*>(base),
          reinterpret_cast<ChannelWord*>(base + PieceWordBytes), base + 2 * PieceWordBytes};
}

// One division, shared by its workers: each takes the next piece.
struct DivisionJob {
  const PassFiles* files;
  uint64_t first_word;  // global word of the division's frame 0
  uint64_t out_offset;  // output byte of the division's frame 0
  uint32_t frames;      // frames to compute and write
  bool last;            // the run's last division: it also writes the final 15 words
  uint32_t tail_frame;  // first frame of the last division's tail, in division frames
  uint8_t* tail;        // TailBytes: what a full division computed there
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
// their place, or next for an output written in sequence.
Fault WriteFrames(const DivisionJob& job, uint32_t first_frame, const uint8_t* bytes,
                  size_t count) {
  const PassFiles& files = *job.files;
  const bool written = files.in_order
                           ? WriteInOrder(files.output, bytes, count)
                           : WriteAt(files.output, bytes, count,
                                     job.out_offset + uint64_t{first_frame} * PcmFrameBytes);
  return written ? Fault{} : SystemFault(Failure::FileWrite, files.output_path, errno);
}

// One piece: `frames` frames from `first_frame` of the division on.
Fault RunPiece(DivisionJob* job, uint32_t first_frame, uint32_t frames, const PieceBuffers& b) {
  const PassFiles& files = *job->files;
  const uint64_t first_word = job->first_word + first_frame;
  const uint32_t words = frames + OverlapWords;
  Fault fault = ReadSoundWords(files.input, files.input_path, files.sound, files.groups_present,
                               first_word, words, b.sound, b.left, b.right);
  if (Failed(fault)) return fault;
  // A piece owns the words of its frames; the 15 after them belong to the
  // next piece, except after the run's last frame.
  const bool run_ends_here = job->last && first_frame + frames == job->frames;
  fault = WriteChannelWords(files.channels, first_word, b.left, b.right,
                            run_ends_here ? words : frames);
  if (Failed(fault)) return fault;
  DecimateFrames(b.left, b.right, frames, b.pcm);
  KeepTail(*job, first_frame, frames, b.pcm);
  return WriteFrames(*job, first_frame, b.pcm, size_t{frames} * PcmFrameBytes);
}

void RunPieces(DivisionWorker* worker) {
  DivisionJob& job = *worker->job;
  for (uint32_t piece; TakePiece(&job.pieces, &piece);) {
    const uint32_t first_frame = piece * PieceFrames;
    const uint32_t frames = std::min(PieceFrames, job.frames - first_frame);
    const Fault fault = RunPiece(&job, first_frame, frames, worker->buffers);
    if (Failed(fault)) {
      RecordFault(&job.pieces, &worker->outcome, piece, fault);
      break;
    }
  }
}

}  // namespace

RunSizes RunSizesOf(uint32_t DsdSize) {
  RunSizes sizes{};
  sizes.DsdSize = DsdSize;
  sizes.DsdLR64Size = DsdSize / GroupBytes;
  sizes.DivNum = sizes.DsdLR64Size / DivSize;
  sizes.FoundLastDivSize = sizes.DsdLR64Size % DivSize;
  if (sizes.FoundLastDivSize == 0) {
    sizes.FoundLastDivSize = DivSize;
  } else {
    ++sizes.DivNum;
  }
  // The last division must hold a whole filter window: it is padded with
  // silence words.
  sizes.LastDivSize = std::max<uint32_t>(sizes.FoundLastDivSize, WindowWords);
  // Six bytes of frames for every eight bytes of sound, less the 16 frames
  // (96 bytes) that the last filter windows cannot fill. Computed in double
  // and truncated; exact for every DsdSize the readers accept (a multiple of
  // 8, at least 128).
  const double wav_bytes = static_cast<double>(DsdSize) * 0.75 - 96;
  sizes.WavSize = static_cast<uint32_t>(static_cast<int64_t>(wav_bytes));
  sizes.WLastDivSize = sizes.LastDivSize * PcmFrameBytes;
  return sizes;
}

uint64_t ChannelFileWords(const RunSizes& sizes) {
  return uint64_t{sizes.DivNum - 1} * DivSize + sizes.LastDivSize;
}

uint64_t PcmBytes(const RunSizes& sizes) {
  return uint64_t{sizes.DivNum - 1} * DivWavSize + sizes.WLastDivSize;
}

Fault PassPrepare(const SoundData& sound, unsigned workers, Pass* pass) {
  pass->workers = std::max(1u, workers);
  pass->worker_bytes =
      2 * PieceWordBytes + PiecePcmBytes + Aligned(SoundBufferBytes(sound, PieceWords));
  pass->memory = static_cast<uint8_t*>(
      std::aligned_alloc(BufferAlignment, pass->workers * pass->worker_bytes));
  return pass->memory ? Fault{} : Fault{Failure::MemoryAlloc};
}

Fault PassDivision(Pass* pass, const PassFiles& files, const RunSizes& sizes, uint32_t division) {
  const bool last = division + 1 == sizes.DivNum;
  DivisionJob job{&files,
                  uint64_t{division} * DivSize,
                  files.frames_offset + uint64_t{division} * DivWavSize,
                  last ? sizes.LastDivSize - OverlapWords : DivSize,
                  last,
                  sizes.LastDivSize - OverlapWords,
                  pass->tail,
                  {}};
  job.pieces.count = (job.frames + PieceFrames - 1) / PieceFrames;
  std::vector<DivisionWorker> workers;
  for (unsigned w = 0; w < pass->workers; ++w) {
    workers.push_back(DivisionWorker{&job, WorkerSlice(*pass, w), {}});
  }
  const Fault fault = RunWorkers(workers, RunPieces);
  if (Failed(fault) || !last) return fault;
  // The last division's final 15 frames are not computed: the bytes a full
  // division left there, or zeros.
  return WriteFrames(job, job.frames, pass->tail,
                     sizes.WLastDivSize - size_t{job.frames} * PcmFrameBytes);
}

void PassRelease(Pass* pass) {
  std::free(pass->memory);
  pass->memory = nullptr;
}
