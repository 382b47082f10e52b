// Reads and writes at explicit offsets, which several threads may issue on
// one descriptor at once, and writes in sequence for outputs that cannot
// take offsets. Each returns false with errno set when the system fails.
#pragma once

#include <cstddef>
#include <cstdint>

// The mode of every file a run creates, less the umask, as for any new file.
constexpr unsigned NewFileMode = 0666;

// Reads up to `bytes` at `offset`; `*got` falls short only at the end of the file.
bool ReadAt(int fd, void* buffer, size_t bytes, uint64_t offset, size_t* got);
// Reads exactly `bytes` at `offset`; false also when the file ends first
// (errno is then 0).
bool ReadExactlyAt(int fd, void* buffer, size_t bytes, uint64_t offset);
bool WriteAt(int fd, const void* buffer, size_t bytes, uint64_t offset);
// Writes at the descriptor's own position.
bool WriteInOrder(int fd, const void* buffer, size_t bytes);
