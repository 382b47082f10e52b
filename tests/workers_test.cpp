// A job's outcome is the fault of its earliest failed piece, whatever the
// number of workers that ran it.
#include "base/workers.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Worker {
  PieceQueue* pieces;
  WorkerOutcome outcome;
};

// Fails on pieces 3 and 7 of 10, naming the piece in the fault.
void FailOnThreeAndSeven(Worker* worker) {
  for (uint32_t piece; TakePiece(worker->pieces, &piece);) {
    if (piece == 3 || piece == 7) {
      RecordFault(worker->pieces, &worker->outcome, piece,
                  FaultOf(Failure::FileRead, piece == 3 ? "piece 3" : "piece 7", "failed"));
      return;
    }
  }
}

TEST(Workers, TheEarliestFailedPieceDecides) {
  for (unsigned count : {1u, 2u, 4u, 9u}) {
    for (int round = 0; round < 20; ++round) {
      PieceQueue pieces;
      pieces.count = 10;
      std::vector<Worker> workers(count, Worker{&pieces, {}});
      const Fault fault = RunWorkers(workers, FailOnThreeAndSeven);
      ASSERT_EQ(fault.failure, Failure::FileRead) << count;
      EXPECT_STREQ(fault.path, "piece 3") << count << " workers";
    }
  }
}

}  // namespace
