// The input and output of a run, opened so that nothing of the user's is
// lost: the standard descriptors are never left closed for a file to take,
// console text never shares a file with the audio, the input must be a file
// that can be read at any offset, a DSD file is never taken as the output,
// and an existing output is not emptied before the run knows it will write
// it.
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.h"
#include "sink/output.h"

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file opened later takes its number and receives console text.
void GuardStandardDescriptors();

// Opens the input for reading without blocking on a FIFO; refuses anything
// but a regular file or a block device. `*bytes` is its size.
Fault OpenInput(const char* path, int* fd, uint64_t* bytes);

// Keeps console text out of the audio; call before anything is printed.
// When the output is "-" or the file or pipe that is on descriptor 1 or 2,
// keeps a descriptor of it for the audio in `*kept`, -1 otherwise. Then each
// of descriptors 1 and 2 that reaches the output is pointed away from it:
// descriptor 1 at standard error, or at /dev/null when standard error is the
// output too, and descriptor 2 at /dev/null. False when that cannot be done
// (no descriptor is left, say): the run must then stop, and print nothing.
bool SeparateConsoleFromOutput(const char* path, int* kept);

// The same for an output that the run opened by its name: the decision is
// made on the descriptor itself, so a name replaced since it was first
// looked at cannot bring the console into the audio.
bool SeparateConsoleFromOpenedOutput(int fd);

// A path that names what descriptor `fd` is open on.
std::string DescriptorPath(int fd);

struct Output {
  int fd = -1;
  const char* path = nullptr;  // as given, for messages
  // A regular file written at offsets: its old bytes stay until the run
  // writes, its header is written last, and it is cut to size at the end.
  // Otherwise (a pipe, a device, a file opened for appending) the output is
  // written in sequence from the header on.
  bool placed = false;
  uint64_t start = 0;  // byte where the WAV starts: the descriptor's position
  bool busy = false;   // another conversion writes it: this run must not touch it
  int lock = -1;       // a descriptor of its own that holds the lock, when fd is shared
  // An output written under a temporary name (fd is the temporary's),
  // renamed to `target` by CommitOutput; both empty when written in place.
  std::string temporary, target;
};

// Opens the output for writing without truncating it, creating it if need
// be, or takes `kept` from SeparateConsoleFromOutput. A regular file or a
// block device that begins like a DSDIFF ("FRM8") or DSF ("DSD ") file is
// refused (Failure::OutputIsDsd), as is one that cannot be read to tell. A run holds
// an exclusive flock on a regular output until it ends; `busy` says that
// another run holds it.
// With `follow_links` false, a name that is a symbolic link is refused: the
// name of a track's file comes from tags, and must not lead outside its
// directory.
Fault OpenOutput(const char* path, int kept, Output* output, bool follow_links = true);

// Opens the output of a standard-form run: a regular file, or a name yet to
// be created, is written under its temporary name (see temporaries.h) in
// the folder of the file the name reaches, and takes the name only when
// CommitOutput renames it there, so that a run that fails leaves an existing
// output as it was, and no output ever looks complete before it is. An
// existing file is checked as OpenOutput checks it, locked, and left
// untouched; the temporary gets its permissions. Anything else (a pipe, a
// device, standard output), and a file in a folder the run may not write,
// is written in place by OpenOutput.
Fault OpenReplacedOutput(const char* path, int kept, Output* output, bool follow_links = true);

// Leaves the output empty, as a run that fails on its input does, unless
// another conversion is writing it.
void EmptyOutput(const Output& output);

// The output as its writer sees it.
OutputStream StreamOf(const Output& output);

// Closes the output and its lock; Failure::FileWrite when the close fails
// (a file system may report a failed write only then). A temporary is
// removed: the output was not completed.
Fault CloseOutput(Output* output);

// Closes a completed output; one written under its temporary name takes its
// own name now. Failure::FileWrite when the close or the rename fails.
Fault CommitOutput(Output* output);
