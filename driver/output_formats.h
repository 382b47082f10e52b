// The formats a run can write, one row each: the name --format takes, the
// ending that names it, what its samples can be, and how its writer opens.
// A new format is one writer module and one row here.
#pragma once

#include <memory>

#include "driver/command_line.h"
#include "sink/frame_sink.h"
#include "sink/output.h"
#include "sink/samples.h"
#include "tags/tags.h"

struct OutputFormatRow {
  OutputFormat format;
  const char* name;    // as --format takes it: "wav"
  const char* title;   // as the summary line shows it: "WAV"
  const char* ending;  // of a file of this format, and of OUT that asks for it: ".wav"
  bool holds_float;    // takes 32-bit float samples
  bool has_level;      // takes --compression
  void (*fit_tags)(TagRecord* record);  // leaves out what the format cannot hold; may be null
  std::unique_ptr<FrameSink> (*open)(const OutputStream& out, const WriterSettings& settings,
                                     ClipReport* clips);
};

const OutputFormatRow& RowOf(OutputFormat format);
// The row --format `name` names, or null.
const OutputFormatRow* RowNamed(const std::string& name);
// The row whose ending `path` has, in any case, or null.
const OutputFormatRow* RowOfEnding(const char* path);
// The names --format takes, for a message: "wav or flac".
std::string FormatNames();
