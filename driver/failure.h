// How a run ends when something goes wrong. Every stage returns a Failure to
// the run sequence instead of printing; the run sequence alone turns it into
// the one line on standard output and the exit status, so every failure has
// the same shape.
#pragma once

enum class Failure {
  None,
  FileOpen,          // an input, output or channel file could not be opened
  NotDsdiff,         // the input does not start with "FRM8"
  DataTooSmall,      // fewer than 16 groups of sound data
  MemoryAlloc,       // a buffer of the division pass could not be allocated
};
