#include "driver/input_formats.h"

#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"

namespace {

Fault DsdiffHead(int fd, const char* path, const ReadChoices&, SoundSource* source,
                 SoundProperties* properties) {
  return ChunkWalk(fd, path, source, properties);
}

Fault DsfHead(int fd, const char* path, const ReadChoices&, SoundSource* source,
              SoundProperties* properties) {
  return ReadDsfHead(fd, path, source, properties);
}

Fault DiscHead(int fd, const char* path, const ReadChoices& choices, SoundSource* source,
               SoundProperties* properties) {
  return ReadDiscHead(fd, path, choices.area, source, properties);
}

// DSDIFF first: a file that is none of them says what DSDIFF's walk says.
constexpr InputFormatRow Rows[] = {
    {DsdiffHead, ReadDsdiffDetails},
    {DsfHead, ReadDsfDetails},
    {DiscHead, ReadDiscDetails},
};

}  // namespace

Fault ReadSoundHead(int fd, const char* path, const ReadChoices& choices, SoundSource* source,
                    SoundProperties* properties, const InputFormatRow** row) {
  Fault fault;
  for (const InputFormatRow& reader : Rows) {
    *row = &reader;
    fault = reader.read_head(fd, path, choices, source, properties);
    if (fault.failure != Failure::NotDsd) return fault;
  }
  // None of them: the file is what the first says it is.
  *row = &Rows[0];
  return Fault{Failure::NotDsd, path};
}
