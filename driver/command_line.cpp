#include "driver/command_line.h"

#include <cstring>

namespace {

constexpr char EndOfOptions[] = "--";
constexpr char StandardStreamName[] = "-";

bool IsOption(const char* arg) {
  return arg[0] == '-' && std::strcmp(arg, StandardStreamName) != 0;
}

}  // namespace

Request ParseCommandLine(int argc, char** argv) {
  Request request;
  const char* names[2] = {};
  int named = 0;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_end && std::strcmp(arg, EndOfOptions) == 0) {
      options_end = true;
    } else if (!options_end && IsOption(arg)) {
      request.options = true;
      if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
        request.action = Action::Help;
        return request;
      }
      if (std::strcmp(arg, "--version") == 0) {
        request.action = Action::Version;
        return request;
      }
      request.action = Action::BadCommandLine;
      request.problem = std::string("unknown option ") + arg;
      return request;
    } else if (named < 2) {
      names[named++] = arg;
    }
  }
  if (named < 2) {
    request.action = request.options ? Action::BadCommandLine : Action::WrongArguments;
    request.problem = "IN and OUT are needed";
    return request;
  }
  request.in = names[0];
  request.out = names[1];
  return request;
}
