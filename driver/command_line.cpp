#include "driver/command_line.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "album/album.h"
#include "driver/output_formats.h"
#include "flac/flac.h"
#include "resample/resample.h"

namespace {

constexpr char EndOfOptions[] = "--";
constexpr char StandardStreamName[] = "-";
constexpr size_t ShortOptionLength = 2;  // "-j": its value may follow at once, as in "-j4"
constexpr int Pcm16Bits = 16;  // --bits 16
constexpr int Pcm24Bits = 24;  // --bits 24
constexpr int FloatBits = 32;  // --bits 32: IEEE float

bool IsOption(const char* arg) {
  return arg[0] == '-' && std::strcmp(arg, StandardStreamName) != 0;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A whole number from `low` to `high`: digits, and nothing else (no sign,
// space or base prefix, which strtol would take); leading zeros count for
// nothing, as in any number.
bool ParseInteger(const std::string& text, int low, int high, int* value) {
  constexpr size_t MaxDigits = 9;  // within a 32-bit int, whatever `high`
  if (text.empty() || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  if (text.size() - first > MaxDigits) return false;
  const long number = std::strtol(text.c_str() + first, nullptr, 10);
  if (number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

// A decimal number as people write one: an optional minus sign, then digits
// with at most one point among or after them (no plus sign, space, exponent,
// hexadecimal or "inf", which strtod would take).
bool IsDecimal(const std::string& text) {
  const size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  const std::string digits = text.substr(start);
  const size_t point = digits.find('.');
  return std::any_of(digits.begin(), digits.end(), IsDigit) &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return IsDigit(c) || c == '.'; }) &&
         (point == std::string::npos || digits.find('.', point + 1) == std::string::npos);
}

// What the command line has said so far about the output's format.
struct Choices {
  bool format_given = false;
};

bool TakesValue(const std::string& name) {
  return name == "--format" || name == "-f" || name == "--compression" || name == "--gain" ||
         name == "--bits" || name == "--rate" || name == "--tracks" || name == "--name" ||
         name == "--cue" || name == "--area" || name == "--jobs" || name == "-j";
}

// Options of a run over many files, which a run of one of them is not given.
bool IsLibraryOption(const std::string& name) {
  return name == "--jobs" || name == "-j" || name == "--overwrite" || name == "--quiet" ||
         name == "--print-commands";
}

// A decimal number of dB from MinGainDb to MaxGainDb.
bool ParseGain(const std::string& text, double* value) {
  if (!IsDecimal(text)) return false;
  const double number = std::strtod(text.c_str(), nullptr);
  if (!(number >= MinGainDb && number <= MaxGainDb)) return false;
  *value = number;
  return true;
}

// Takes one option and its value into `request`; false (with the problem
// said) when it is unknown or its value is wrong.
bool TakeOption(const std::string& name, const std::string* value, Request* request,
                Choices* choices) {
  auto bad = [&](const std::string& problem) {
    request->problem = problem;
    return false;
  };
  auto needs_value = [&]() { return value ? true : bad("option " + name + " needs a value"); };
  if (value && !TakesValue(name)) return bad("option " + name + " takes no value");
  if (name == "--format" || name == "-f") {
    if (!needs_value()) return false;
    const OutputFormatRow* row = RowNamed(*value);
    if (!row) return bad("--format is " + FormatNames() + ", not " + *value);
    request->format = row->format;
    choices->format_given = true;
  } else if (name == "--compression") {
    if (!needs_value()) return false;
    if (!ParseInteger(*value, MinFlacCompression, MaxFlacCompression, &request->compression)) {
      return bad("--compression is a FLAC level from 0 to 8, not " + *value);
    }
  } else if (name == "--no-tags") {
    request->tags = false;
  } else if (name == "--gain") {
    if (!needs_value()) return false;
    request->gain_auto = *value == "auto";
    if (!request->gain_auto && !ParseGain(*value, &request->gain_db)) {
      return bad("--gain is auto or a number of dB from -40 to +20, not " + *value);
    }
  } else if (name == "--bits") {
    if (!needs_value()) return false;
    int bits = 0;
    if (!ParseInteger(*value, 0, FloatBits, &bits) ||
        (bits != Pcm16Bits && bits != Pcm24Bits && bits != FloatBits)) {
      return bad("--bits is 16, 24 or 32 (float), not " + *value);
    }
    request->bits = bits;
  } else if (name == "--no-dither") {
    request->dither = false;
  } else if (name == "--rate") {
    if (!needs_value()) return false;
    int rate = 0;
    if (!ParseInteger(*value, 1, INT32_MAX, &rate) || !IsOutputRate(static_cast<uint32_t>(rate))) {
      return bad(
          "--rate is one of 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, "
          "705600 or 768000, not " +
          *value);
    }
    request->rate = static_cast<uint32_t>(rate);
  } else if (name == "--replaygain") {
    request->replaygain = true;
  } else if (name == "--split") {
    request->split = true;
  } else if (name == "--tracks") {
    if (!needs_value()) return false;
    if (!ParseTrackList(*value, &request->tracks)) {
      return bad("--tracks is a list of track numbers such as 3 or 1,4-6, not " + *value);
    }
    request->split = true;
  } else if (name == "--name") {
    if (!needs_value()) return false;
    if (value->empty()) return bad("--name needs a template, such as \"%n - %t\"");
    request->name_template = *value;
  } else if (name == "--cue") {
    if (!needs_value()) return false;
    request->cue = *value;
  } else if (name == "--area") {
    if (!needs_value()) return false;
    if (*value == "stereo") {
      request->area = DiscArea::Stereo;
    } else if (*value == "multichannel") {
      request->area = DiscArea::Multichannel;
    } else {
      return bad("--area is stereo or multichannel, not " + *value);
    }
  } else if (name == "--jobs" || name == "-j") {
    if (!needs_value()) return false;
    if (!ParseInteger(*value, 1, MaxJobs, &request->jobs)) {
      return bad("--jobs is a number of files at once from 1 to " + std::to_string(MaxJobs) +
                 ", not " + *value);
    }
  } else if (name == "--overwrite") {
    request->overwrite = true;
  } else if (name == "--quiet") {
    request->quiet = true;
  } else if (name == "--print-commands") {
    request->print_commands = true;
  } else if (name == "--list") {
    request->list = true;
  } else if (name == "--json") {
    request->list = request->json = true;
  } else {
    return bad("unknown option " + name);
  }
  return true;
}

}  // namespace

Request ParseCommandLine(int argc, char** argv) {
  Request request;
  Choices choices;
  std::vector<const char*>& names = request.names;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_end && std::strcmp(arg, EndOfOptions) == 0) {
      options_end = true;
      continue;
    }
    if (options_end || !IsOption(arg)) {
      names.push_back(arg);
      continue;
    }
    request.options = true;
    std::string name = arg;
    if (name == "--help" || name == "-h") {
      request.action = Action::Help;
      return request;
    }
    if (name == "--version") {
      request.action = Action::Version;
      return request;
    }
    std::string value;
    bool has_value = false;
    const size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      has_value = true;
    } else if (name.size() > ShortOptionLength && name[1] != '-' &&
               TakesValue(name.substr(0, ShortOptionLength))) {
      value = name.substr(ShortOptionLength);
      name = name.substr(0, ShortOptionLength);
      has_value = true;
    } else if (TakesValue(name) && i + 1 < argc) {
      value = argv[++i];
      has_value = true;
    }
    if (!TakeOption(name, has_value ? &value : nullptr, &request, &choices)) {
      request.action = Action::BadCommandLine;
      return request;
    }
    // What a run of one file of a library is given again.
    if (!IsLibraryOption(name)) {
      request.file_options.push_back(name);
      if (has_value) request.file_options.push_back(value);
    }
  }
  const size_t named = names.size();
  if (request.list && named >= 1) {
    request.action = Action::List;
    request.in = names[0];
    return request;
  }
  if (named < 2) {
    request.action = request.options ? Action::BadCommandLine : Action::WrongArguments;
    request.problem = request.list ? "IN is needed" : "IN and OUT are needed";
    return request;
  }
  request.in = names[0];
  request.out = names[1];
  const size_t out_length = std::strlen(request.out);
  if (out_length > 0 && request.out[out_length - 1] == '/') request.split = true;
  if (request.split && std::strcmp(request.out, StandardStreamName) == 0) {
    request.action = Action::BadCommandLine;
    request.problem = "tracks are written into a directory: OUT cannot be - when a run splits";
    return request;
  }
  const OutputFormatRow* by_ending = RowOfEnding(request.out);
  if (!choices.format_given && by_ending) request.format = by_ending->format;
  const OutputFormatRow& row = RowOf(request.format);
  if (!row.holds_float && request.bits == FloatBits) {
    request.action = Action::BadCommandLine;
    request.problem = std::string(row.title) +
                      " holds integers: --bits 32 (float) cannot be written to " + row.title +
                      "; give --bits 16 or 24, or --format wav";
  }
  return request;
}

bool MayBeOriginalForm(const Request& request) {
  return !request.options && !request.split && request.format == OutputFormat::Wav;
}
