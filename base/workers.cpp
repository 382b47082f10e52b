#include "base/workers.h"

#include <sched.h>

unsigned WorkerCount() {
  // The cores this process may run on, which a container or taskset may
  // make fewer than the machine's: a worker without a core of its own only
  // takes time from the others.
  unsigned cores = std::thread::hardware_concurrency();
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) cores = CPU_COUNT(&allowed);
  return std::clamp(cores, 1u, MaxWorkers);
}

bool TakePiece(PieceQueue* queue, uint32_t* piece) {
  *piece = queue->next.fetch_add(1);
  return *piece < queue->count;
}

bool WaitPassedOn(PieceQueue* queue, uint32_t piece) {
  std::unique_lock<std::mutex> lock(queue->mutex);
  queue->passed.wait(lock, [&] { return queue->stopped || queue->turn > piece; });
  return !queue->stopped;
}

void RecordFault(PieceQueue* queue, WorkerOutcome* outcome, uint32_t piece, const Fault& fault) {
  outcome->fault = fault;
  outcome->piece = piece;
  queue->next = UINT32_MAX / 2;  // past every count: no further pieces for anyone
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->stopped = true;
  }
  queue->passed.notify_all();
}
