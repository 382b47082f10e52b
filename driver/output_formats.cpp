#include "driver/output_formats.h"

#include <strings.h>

#include <cstring>

#include "flac/flac.h"
#include "wav/wav.h"

namespace {

template <class Writer>
std::unique_ptr<FrameSink> Open(const OutputStream& out, const WriterSettings& settings,
                                ClipReport* clips) {
  return std::make_unique<Writer>(out, settings, clips);
}

constexpr OutputFormatRow Rows[] = {
    {OutputFormat::Wav, "wav", "WAV", ".wav", true, false, nullptr, &Open<StandardWavWriter>},
    {OutputFormat::Flac, "flac", "FLAC", ".flac", false, true, &FitTagsToFlac, &Open<FlacWriter>},
};

}  // namespace

const OutputFormatRow& RowOf(OutputFormat format) {
  for (const OutputFormatRow& row : Rows) {
    if (row.format == format) return row;
  }
  return Rows[0];
}

const OutputFormatRow* RowNamed(const std::string& name) {
  for (const OutputFormatRow& row : Rows) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

const OutputFormatRow* RowOfEnding(const char* path) {
  const size_t length = std::strlen(path);
  for (const OutputFormatRow& row : Rows) {
    const size_t ending = std::strlen(row.ending);
    if (length >= ending && strcasecmp(path + length - ending, row.ending) == 0) return &row;
  }
  return nullptr;
}

std::string FormatNames() {
  std::string names;
  for (size_t i = 0; i < std::size(Rows); ++i) {
    names += i == 0 ? "" : i + 1 == std::size(Rows) ? " or " : ", ";
    names += Rows[i].name;
  }
  return names;
}
