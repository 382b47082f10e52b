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

// One worker per core, at most MaxWorkers.
unsigned WorkerCount();

// The pieces of one job, handed out in increasing order to whoever asks,
// and the turns in which they pass their results on, in the same order.
struct PieceQueue {
  uint32_t count = 0;  // pieces in the job
  std::atomic<uint32_t> next{0};
  std::mutex turn_mutex;
  std::condition_variable turn_changed;
  uint32_t turn = 0;     // the piece whose turn it is; guarded by turn_mutex
  bool stopped = false;  // a piece failed; guarded by turn_mutex
};

// Takes the next piece; false when none is left or the job was stopped.
bool TakePiece(PieceQueue* queue, uint32_t* piece);

// Waits until every earlier piece has ended its turn; false when the job was
// stopped instead. A worker calls it for its pieces in increasing order.
bool WaitForTurn(PieceQueue* queue, uint32_t piece);
// Ends the turn of the piece whose turn it is.
void EndTurn(PieceQueue* queue);

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
