// Where a writer's bytes go: a descriptor that the run opened and owns, and
// how it can be written. A regular file is written at offsets, its head
// cleared first and written last, so that a run stopped half-way never
// leaves a file that looks complete; any other output (a pipe, a device, a
// file opened for appending) is written in sequence from its first byte on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/failure.h"

struct OutputStream {
  int fd = -1;
  const char* path = nullptr;  // as given, for messages
  bool placed = false;         // a regular file written at offsets from `start`
  uint64_t start = 0;          // byte where the written file starts: the descriptor's position
};

// Writes `count` bytes at byte `offset` of the written file. In sequence,
// `offset` must be the number of bytes written so far.
Fault WriteOutput(const OutputStream& out, uint64_t offset, const void* bytes, size_t count);

// Starts a file whose first `head_bytes` bytes are `head`: a placed output
// gets zeros there for now, any other output the head itself.
Fault StartOutput(const OutputStream& out, const uint8_t* head, size_t head_bytes);

// Completes a file of `total_bytes` bytes started with StartOutput: a placed
// output is cut to that size, receives its head, and is left positioned at
// its end, as writing in sequence would have left it (a kept standard
// descriptor is shared with whatever writes next).
Fault CompleteOutput(const OutputStream& out, const uint8_t* head, size_t head_bytes,
                     uint64_t total_bytes);
