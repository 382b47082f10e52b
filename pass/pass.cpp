#include "pass/pass.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "base/workers.h"
#include "decimate/fast_filter.h"

namespace {

// Frames per piece: 64 Ki stereo frames read 512 KiB of sound and make 256 KiB
// of words and of samples per channel. With more channels a piece is shorter,
// so that a worker's buffers stay near that size; a multiple of 16, the
// vector kernel's block.
constexpr uint32_t StereoPieceFrames = 1u << 16;
constexpr uint32_t PieceFrameStep = 16;

constexpr size_t BufferAlignment = 64;
constexpr size_t Aligned(size_t bytes) {
  return (bytes + BufferAlignment - 1) / BufferAlignment * BufferAlignment;
}

// A worker's frames wait in one of its slots until they are passed on, while
// it fills the other: two slots keep it busy through the sink's time.
constexpr int SampleSlots = 2;
static_assert(SampleSlots * MaxWorkers <= MaxPiecesAhead, "every slot needs a bit");

// A worker's slice of the pass's memory: the words of each channel, the
// samples of each channel in each slot, the sink's room in each slot, then
// the sound bytes.
struct PieceBuffers {
  ChannelWord* words[MaxChannels];
  int32_t* samples[SampleSlots][MaxChannels];
  uint8_t* prepared[SampleSlots];
  uint8_t* sound;
};

size_t WordBytes(const Pass& pass) {
  return Aligned(size_t{pass.piece_frames + OverlapWords} * sizeof(ChannelWord));
}
size_t SampleBytes(const Pass& pass) {
  return Aligned(size_t{pass.piece_frames} * sizeof(int32_t));
}
size_t SlotBytes(const Pass& pass, int channels) {
  return channels * SampleBytes(pass) + pass.prepared_bytes;
}

PieceBuffers WorkerSlice(const Pass& pass, int channels, unsigned worker) {
  uint8_t* next = pass.memory + worker * pass.worker_bytes;
  PieceBuffers buffers{};
  for (int c = 0; c < channels; ++c, next += WordBytes(pass)) {
    buffers.words[c] = reinterpret_cast<ChannelWord*>(next);
  }
  for (int slot = 0; slot < SampleSlots; ++slot) {
    for (int c = 0; c < channels; ++c, next += SampleBytes(pass)) {
      buffers.samples[slot][c] = reinterpret_cast<int32_t*>(next);
    }
    buffers.prepared[slot] = pass.prepared_bytes ? next : nullptr;
    next += pass.prepared_bytes;
  }
  buffers.sound = next;
  return buffers;
}

// One call's frames, shared by the workers: each takes the next piece.
struct PieceJob {
  const PassJob* job;
  SharedFrames* shared;
  uint32_t piece_frames;
  uint64_t first;  // run frame of the first piece's frame 0
  uint64_t count;  // frames of all pieces
  PieceQueue pieces;
  FrameBlock blocks[MaxPiecesAhead];  // piece p's frames at p % MaxPiecesAhead
};

struct PieceWorker {
  PieceJob* job;
  PieceBuffers buffers;
  WorkerOutcome outcome;
  std::vector<DamagedFrame> damaged;  // what this worker's pieces met
};

// Piece `piece`: reads its words, keeps them in the channel files, filters
// them into the slot's samples, lets the sink prepare them there, and hands
// its frames on to be passed to the sink in turn. Returns the fault of the
// piece, or of one it passed on (`*failed`).
Fault RunPiece(PieceJob* pieces, uint32_t piece, const PieceBuffers& b, int slot,
               std::vector<DamagedFrame>* damaged, uint32_t* failed) {
  const PassJob& job = *pieces->job;
  const SoundSource& source = *job.source;
  const uint64_t first = pieces->first + uint64_t{piece} * pieces->piece_frames;
  const uint32_t frames = static_cast<uint32_t>(
      std::min<uint64_t>(pieces->piece_frames, pieces->first + pieces->count - first));
  const uint32_t words = frames + OverlapWords;
  Fault fault = ReadSourceWords(source, first, words, b.sound, b.words, damaged, pieces->shared);
  if (Failed(fault)) return fault;
  if (job.channel_files) {
    // A piece owns the words of its frames; the 15 after them belong to the
    // next piece, except after the run's last frame.
    fault = WriteChannelWords(*job.channel_files, first, b.words[0], b.words[1],
                              first + frames == job.frames ? words : frames);
    if (Failed(fault)) return fault;
  }
  int32_t* const* samples = b.samples[slot];
  DecimateChannels(b.words, source.channels, frames, job.gain, samples);
  FrameBlock& block = pieces->blocks[piece % MaxPiecesAhead];
  block = FrameBlock{};
  block.frames = frames;
  std::copy(samples, samples + source.channels, block.channels);
  block.prepared = b.prepared[slot];
  if (block.prepared) job.sink->Prepare(&block);
  return HandOn(
      &pieces->pieces, piece,
      [&](uint32_t next) { return job.sink->Write(pieces->blocks[next % MaxPiecesAhead]); },
      failed);
}

void RunPieces(PieceWorker* worker) {
  PieceJob& job = *worker->job;
  uint32_t slot_piece[SampleSlots];  // the last piece each slot held
  int taken = 0;
  for (uint32_t piece; TakePiece(&job.pieces, &piece); ++taken) {
    const int slot = taken % SampleSlots;
    // An earlier piece's frames may still wait in the slot.
    if (taken >= SampleSlots && !WaitPassedOn(&job.pieces, slot_piece[slot])) break;
    // WATCHOUT: a piece's block and mark are kept modulo MaxPiecesAhead, so
    // the piece that many before this one, which another worker may hold,
    // must be passed on before this one takes its place.
    if (piece >= MaxPiecesAhead && !WaitPassedOn(&job.pieces, piece - MaxPiecesAhead)) break;
    slot_piece[slot] = piece;
    uint32_t failed = piece;
    const Fault fault = RunPiece(&job, piece, worker->buffers, slot, &worker->damaged, &failed);
    if (Failed(fault)) {
      RecordFault(&job.pieces, &worker->outcome, failed, fault);
      break;
    }
  }
}

}  // namespace

uint32_t PassBlockFrames(const SoundSource& source) {
  const uint32_t frames = StereoPieceFrames * StereoChannels / std::max(source.channels, 1);
  return std::max(frames / PieceFrameStep * PieceFrameStep, PieceFrameStep);
}

Fault PassPrepare(const SoundSource& source, const FrameSink& sink, unsigned workers, Pass* pass) {
  pass->workers = std::max(1u, workers);
  pass->piece_frames = PassBlockFrames(source);
  pass->prepared_bytes = Aligned(sink.PreparedBytes(pass->piece_frames));
  pass->worker_bytes = source.channels * WordBytes(*pass) +
                       SampleSlots * SlotBytes(*pass, source.channels) +
                       Aligned(SourceBufferBytes(source, pass->piece_frames + OverlapWords));
  pass->memory = static_cast<uint8_t*>(
      std::aligned_alloc(BufferAlignment, pass->workers * pass->worker_bytes));
  // Coded frames are decoded whole: the frame two pieces share is shared.
  if (source.layout == SoundLayout::DstFrames || source.layout == SoundLayout::DiscFrames) {
    pass->shared = new (std::nothrow) SharedFrames;
  }
  return pass->memory ? Fault{} : Fault{Failure::MemoryAlloc};
}

Fault PassFrames(Pass* pass, const PassJob& job, uint64_t first, uint64_t count,
                 PassReport* report) {
  PieceJob pieces{&job, pass->shared, pass->piece_frames, first, count, {}, {}};
  pieces.pieces.count =
      static_cast<uint32_t>((count + pass->piece_frames - 1) / pass->piece_frames);
  std::vector<PieceWorker> workers;
  for (unsigned w = 0; w < pass->workers; ++w) {
    workers.push_back(PieceWorker{&pieces, WorkerSlice(*pass, job.source->channels, w), {}, {}});
  }
  const Fault fault = RunWorkers(workers, RunPieces);
  // A frame at the boundary of two pieces is read by both.
  std::vector<DamagedFrame>& damaged = report->damaged;
  for (const PieceWorker& worker : workers) {
    damaged.insert(damaged.end(), worker.damaged.begin(), worker.damaged.end());
  }
  const auto by_frame = [](const DamagedFrame& a, const DamagedFrame& b) {
    return a.frame < b.frame;
  };
  std::stable_sort(damaged.begin(), damaged.end(), by_frame);
  damaged.erase(
      std::unique(damaged.begin(), damaged.end(),
                  [](const DamagedFrame& a, const DamagedFrame& b) { return a.frame == b.frame; }),
      damaged.end());
  return fault;
}

void PassRelease(Pass* pass) {
  std::free(pass->memory);
  pass->memory = nullptr;
  delete pass->shared;
  pass->shared = nullptr;
}
