// Tells whether any two of the files a run touches are one and the same file,
// so that the run never overwrites its own input, nor lets its channel files
// overwrite either. Existing files are compared by device and inode (so hard
// links and spellings such as x/../a.dff match), device nodes by the device
// they stand for (so two nodes of one disk match), and a loop device also
// matches the file it is bound to; files that do not exist yet by their
// directory's device and inode and their name.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The name a dangling symbolic link (or a chain of them) would create.
std::string FinalTargetOf(const std::string& path);

// True when two of `paths` are one file; `*first` < `*second` say which.
bool FindSameFile(const std::vector<std::string>& paths, size_t* first, size_t* second);
