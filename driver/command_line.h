// The command line: IN and OUT, and the options. A run with no options whose
// OUT is a WAV file may be in the original form (the input's channel count
// decides); any option makes it a standard-form run.
#pragma once

#include <string>

enum class Action {
  Convert,         // IN to OUT
  Help,            // --help: the usage on standard output
  Version,         // --version
  WrongArguments,  // no options and fewer than two arguments: the original's complaint
  BadCommandLine,  // an unknown option, or IN or OUT missing after options
};

struct Request {
  Action action = Action::Convert;
  const char* in = nullptr;
  const char* out = nullptr;
  bool options = false;  // any option was given: the run is in the standard form
  std::string problem;   // BadCommandLine: what is wrong, for standard error
};

// Options start with '-' (but "-" alone, which names standard output) and
// may stand anywhere before "--", after which every argument is a name. The
// first two names are IN and OUT; further names are ignored.
Request ParseCommandLine(int argc, char** argv);
