#include "sink/output.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/io.h"

namespace {

Fault WriteFailure(const OutputStream& out) {
  return SystemFault(Failure::FileWrite, out.path, errno);
}

}  // namespace

Fault WriteOutput(const OutputStream& out, uint64_t offset, const void* bytes, size_t count) {
  const bool written = out.placed ? WriteAt(out.fd, bytes, count, out.start + offset)
                                  : WriteInOrder(out.fd, bytes, count);
  return written ? Fault{} : WriteFailure(out);
}

Fault StartOutput(const OutputStream& out, const uint8_t* head, size_t head_bytes) {
  if (!out.placed) return WriteOutput(out, 0, head, head_bytes);
  const std::vector<uint8_t> cleared(head_bytes);
  return WriteOutput(out, 0, cleared.data(), head_bytes);
}

Fault CompleteOutput(const OutputStream& out, const uint8_t* head, size_t head_bytes,
                     uint64_t total_bytes) {
  if (!out.placed) return Fault{};
  const off_t end = static_cast<off_t>(out.start + total_bytes);
  if (ftruncate(out.fd, end) != 0 || !WriteAt(out.fd, head, head_bytes, out.start) ||
      lseek(out.fd, end, SEEK_SET) != end) {
    return WriteFailure(out);
  }
  return Fault{};
}
