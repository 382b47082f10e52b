// How a stage says that it failed. Stages never print: each returns a Fault
// (what went wrong, with which file, and the system's reason where there is
// one) to the run sequence, which alone turns it into the console lines and
// the exit status. A default Fault is success.
#pragma once

enum class Failure {
  None,
  FileOpen,          // an input, output or channel file could not be opened or used
  FileRead,          // a read failed, or the input shrank during the run
  FileWrite,         // a write, flush, truncation or close failed
  NotDsd,            // the input is neither DSDIFF nor a well-formed DSF file
  NoSoundData,       // the chunks ran out before a "DSD " chunk
  DataTooSmall,      // fewer than 16 groups of sound data
  MemoryAlloc,       // a buffer could not be allocated
  SameFile,          // two of input, output and channel files are one file
  ChannelFilesBusy,  // another conversion holds the channel files' locks
  UnsupportedSound,  // the container says: not 2-channel uncompressed DSD at a known rate
  OutputIsDsd,       // the output names an existing DSDIFF or DSF file
  OutputBusy,        // another conversion is writing the output
  BadTracks,         // the tracks of an input cannot be cut from its sound
};

struct Fault {
  Failure failure = Failure::None;
  const char* path = nullptr;    // the file concerned, when there is one
  int os_error = 0;              // errno of the call that failed; 0 when none
  const char* reason = nullptr;  // what went wrong, when the system gave no errno
};

inline bool Failed(const Fault& fault) { return fault.failure != Failure::None; }

// A failed system call on `path`, with its errno.
inline Fault SystemFault(Failure failure, const char* path, int os_error) {
  return Fault{failure, path, os_error, nullptr};
}

// A failure on `path` that the system did not report, in our own words.
inline Fault FaultOf(Failure failure, const char* path, const char* reason) {
  return Fault{failure, path, 0, reason};
}
