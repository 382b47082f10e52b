#include "driver/input_formats.h"

#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"

namespace {

// DSDIFF first: a file that is neither says what DSDIFF's walk says.
constexpr InputFormatRow Rows[] = {
    {ChunkWalk, ReadDsdiffDetails},
    {ReadDsfHead, ReadDsfDetails},
};

}  // namespace

Fault ReadSoundHead(int fd, const char* path, SoundSource* source, SoundProperties* properties,
                    const InputFormatRow** row) {
  Fault fault;
  for (const InputFormatRow& reader : Rows) {
    *row = &reader;
    fault = reader.read_head(fd, path, source, properties);
    if (fault.failure != Failure::NotDsd) break;
  }
  return fault;
}
