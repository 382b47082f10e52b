#include "base/workers.h"

// Each worker holds at most 2 MiB of buffers; the cap keeps a run's memory
// within 64 MiB of buffers however many cores the machine has.
constexpr unsigned MaxWorkers = 32;

unsigned WorkerCount() { return std::clamp(std::thread::hardware_concurrency(), 1u, MaxWorkers); }

bool TakePiece(PieceQueue* queue, uint32_t* piece) {
  *piece = queue->next.fetch_add(1);
  return *piece < queue->count;
}

bool WaitForTurn(PieceQueue* queue, uint32_t piece) {
  std::unique_lock<std::mutex> lock(queue->turn_mutex);
  queue->turn_changed.wait(lock, [&] { return queue->stopped || queue->turn == piece; });
  return !queue->stopped;
}

void EndTurn(PieceQueue* queue) {
  {
    std::lock_guard<std::mutex> lock(queue->turn_mutex);
    ++queue->turn;
  }
  queue->turn_changed.notify_all();
}

void RecordFault(PieceQueue* queue, WorkerOutcome* outcome, uint32_t piece, const Fault& fault) {
  outcome->fault = fault;
  outcome->piece = piece;
  queue->next = UINT32_MAX / 2;  // past every count: no further pieces for anyone
  {
    std::lock_guard<std::mutex> lock(queue->turn_mutex);
    queue->stopped = true;
  }
  queue->turn_changed.notify_all();
}
