// How a run ends when something goes wrong. Stages return a Failure to the run
// sequence instead of printing; the run sequence alone turns it into the one
// line on standard output and exit status 1, so every failure has the same
// shape. Failure::None means the stage succeeded.
#pragma once

enum class Failure {
  None,
  FileOpen,          // an input, output or channel file could not be opened
  FileRead,          // a read failed, or a channel file ended early
  FileWrite,         // a write, flush or close failed
  NotDsdiff,         // the input does not start with "FRM8"
  NoSoundData,       // the chunks ran out before a "DSD " chunk
  DataTooSmall,      // fewer than 16 groups of sound data
  MemoryAlloc,       // a buffer could not be allocated
  SameFile,          // two of input, output and channel files are one file
  ChannelFilesBusy,  // another conversion holds the channel files' locks
  UnsupportedSound,  // the property chunk says: not 2-channel uncompressed DSD64
};

// The line printed for a failure, newline included. UnsupportedSound has a
// line of its own that names what the input holds (see the driver).
const char* FailureMessage(Failure failure);
