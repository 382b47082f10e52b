#include "driver/command_line.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "flac/flac.h"

namespace {

constexpr char EndOfOptions[] = "--";
constexpr char StandardStreamName[] = "-";
constexpr char FlacEnding[] = ".flac";

bool IsOption(const char* arg) {
  return arg[0] == '-' && std::strcmp(arg, StandardStreamName) != 0;
}

bool EndsWithFlac(const char* path) {
  const size_t length = std::strlen(path), ending = std::strlen(FlacEnding);
  return length >= ending && strcasecmp(path + length - ending, FlacEnding) == 0;
}

// A whole decimal number from `low` to `high`.
bool ParseInteger(const std::string& text, int low, int high, int* value) {
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

// What the command line has said so far about the output's format.
struct Choices {
  bool format_given = false;
};

bool TakesValue(const std::string& name) {
  return name == "--format" || name == "-f" || name == "--compression";
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
    if (*value == "wav") {
      request->format = OutputFormat::Wav;
    } else if (*value == "flac") {
      request->format = OutputFormat::Flac;
    } else {
      return bad("--format is wav or flac, not " + *value);
    }
    choices->format_given = true;
  } else if (name == "--compression") {
    if (!needs_value()) return false;
    if (!ParseInteger(*value, MinFlacCompression, MaxFlacCompression, &request->compression)) {
      return bad("--compression is a FLAC level from 0 to 8, not " + *value);
    }
  } else if (name == "--no-tags") {
    request->tags = false;
  } else {
    return bad("unknown option " + name);
  }
  return true;
}

}  // namespace

Request ParseCommandLine(int argc, char** argv) {
  Request request;
  Choices choices;
  const char* names[2] = {};
  int named = 0;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_end && std::strcmp(arg, EndOfOptions) == 0) {
      options_end = true;
      continue;
    }
    if (options_end || !IsOption(arg)) {
      if (named < 2) names[named++] = arg;
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
    } else if (TakesValue(name) && i + 1 < argc) {
      value = argv[++i];
      has_value = true;
    }
    if (!TakeOption(name, has_value ? &value : nullptr, &request, &choices)) {
      request.action = Action::BadCommandLine;
      return request;
    }
  }
  if (named < 2) {
    request.action = request.options ? Action::BadCommandLine : Action::WrongArguments;
    request.problem = "IN and OUT are needed";
    return request;
  }
  request.in = names[0];
  request.out = names[1];
  if (!choices.format_given && EndsWithFlac(request.out)) request.format = OutputFormat::Flac;
  return request;
}

bool MayBeOriginalForm(const Request& request) {
  return !request.options && request.format == OutputFormat::Wav;
}
