// Workers that take numbered pieces of one job in increasing order, one per
// core, and hand their results on one piece at a time, in piece order. A
// job's outcome is the Fault of its earliest failed piece, whatever the number
// of workers.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/failure.h"

// Each worker holds about 2 MiB of buffers; the cap keeps a run's memory
// within 64 MiB of buffers however many cores the machine has.
constexpr unsigned MaxWorkers = 32;

// One worker per core the process may use, at most MaxWorkers.
unsigned WorkerCount();

// Pieces a job may have finished but not yet passed on: a bit each.
constexpr uint32_t MaxPiecesAhead = 64;

// The pieces of one job, handed out in increasing order to whoever asks,
// and passed on in the same order. A worker that finishes a piece out of
// turn leaves it and goes on to its next; whoever finishes the piece whose
// turn it is passes on it and every finished piece after it.
struct PieceQueue {
  uint32_t count = 0;  // pieces in the job
  std::atomic<uint32_t> next{0};
  std::mutex mutex;                // guards the members below
  std::condition_variable passed;  // the turn moved on, or the job stopped
  uint32_t turn = 0;               // the next piece to pass on
  uint64_t finished = 0;           // bit p % MaxPiecesAhead: piece p waits to be passed on
  bool passing = false;            // a worker is passing pieces on
  bool stopped = false;            // a piece failed
};

// Takes the next piece; false when none is left or the job was stopped.
bool TakePiece(PieceQueue* queue, uint32_t* piece);

// Marks `piece` finished. Unless another worker is passing pieces on, passes
// on every finished piece from the turn's on, in order, with
// `pass_on(piece)`, which returns a Fault and runs outside the lock. The
// caller must keep fewer than MaxPiecesAhead pieces finished and not passed
// on. Returns the fault of a piece that could not be passed on, and that
// piece in `*failed`; nothing after it is passed on.
template <class PassOn>
Fault HandOn(PieceQueue* queue, uint32_t piece, PassOn pass_on, uint32_t* failed) {
  const auto bit = [](uint32_t p) { return uint64_t{1} << (p % MaxPiecesAhead); };
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->finished |= bit(piece);
  if (queue->passing) return Fault{};  // that worker will find this piece too
  queue->passing = true;
  Fault fault;
  while (!queue->stopped && (queue->finished & bit(queue->turn)) != 0) {
    const uint32_t next = queue->turn;
    lock.unlock();
    fault = pass_on(next);
    lock.lock();
    if (Failed(fault)) {
      *failed = next;
      break;
    }
    queue->finished &= ~bit(next);
    ++queue->turn;
    queue->passed.notify_all();
  }
  queue->passing = false;
  return fault;
}

// Waits until `piece` has been passed on; false when the job was stopped
// instead. A worker calls it before it reuses the buffers of that piece.
bool WaitPassedOn(PieceQueue* queue, uint32_t piece);

// How one worker ended: the first fault it met, in which piece. A worker
// stops at its first fault and stops the queue and the turns for the others.
struct WorkerOutcome {
  Fault fault;
  uint32_t piece = UINT32_MAX;
};

void RecordFault(PieceQueue* queue, WorkerOutcome* outcome, uint32_t piece, const Fault& fault);

// Runs `work` on every worker (each a struct with a WorkerOutcome `outcome`),
// the first on the calling thread and each other on a thread of its own
// where one can be started; the pieces of a worker without a thread go to the
// others. Returns the fault of the earliest failed piece.
template <class Worker>
Fault RunWorkers(std::vector<Worker>& workers, void (*work)(Worker*)) {
  std::vector<std::thread> threads;
  for (size_t w = 1; w < workers.size(); ++w) {
    try {
      threads.emplace_back(work, &workers[w]);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(&workers[0]);
  for (std::thread& thread : threads) thread.join();
  const Worker& earliest = *std::min_element(
      workers.begin(), workers.end(),
      [](const Worker& a, const Worker& b) { return a.outcome.piece < b.outcome.piece; });
  return earliest.outcome.fault;
}
