// The channel-word files: the converter leaves each channel's one-bit sound in
// the working directory as "dsdl.tmp" and "dsdr.tmp", headerless arrays of
// ChannelWord. This module owns their names, their safe opening and locking,
// their writing and their final size; the caller owns the ChannelFiles until
// it finishes or closes them. Both files always hold the same number of words.
#pragma once

#include <cstdint>

#include "base/channel_word.h"
#include "base/failure.h"

// The channel-word files, relative to the working directory.
constexpr const char* LeftChannelFile = "dsdl.tmp";
constexpr const char* RightChannelFile = "dsdr.tmp";

// The longest reason a channel file is refused for.
constexpr int ChannelRefusalBytes = 160;

// Write descriptors of the two files, each holding an exclusive flock on
// its file while open. -1 when not open.
struct ChannelFiles {
  int left = -1;
  int right = -1;
  char refusal[ChannelRefusalBytes] = {};  // the reason of a refusal that names a user
};

// Opens "dsdl.tmp" and "dsdr.tmp", creating each that is missing once both
// names have passed, and locks each without waiting: Failure::ChannelFilesBusy
// when another run holds one (on a file system that keeps no locks the run
// goes on unlocked). A name is never followed when it is a symbolic link,
// never opened in a way that blocks, and refused (Failure::FileOpen) unless it
// is a regular file with one link that the run's effective user owns.
// Existing contents stay until written.
Fault OpenChannelFiles(ChannelFiles* files);

// Writes `count` words to both files from word `first` on.
Fault WriteChannelWords(const ChannelFiles& files, uint64_t first, const ChannelWord* left,
                        const ChannelWord* right, uint32_t count);

// Cuts both files to `words` words (old, longer files leave nothing behind)
// and closes them, which releases the locks.
Fault FinishChannelFiles(ChannelFiles* files, uint64_t words);

// Closes whatever is open, without changing the files.
void CloseChannelFiles(ChannelFiles* files);
