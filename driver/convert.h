// The conversion of one input into one output, as one straight sequence of
// stages: open the files, read the container's head, decide the run's form,
// check that the files are distinct and safe, run the pass into the form's
// writer, complete the files. Returns the run's exit status; every console
// line goes out through the reporter; never exits.
#pragma once

#include "driver/command_line.h"
#include "driver/reporter.h"

// A run's exit status.
constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;  // every failure, and a run that left sound out

// Converts request.in into request.out. 0 after a complete run; 1 after a
// failure, or when sound was left out or missing.
int Convert(const Request& request, Reporter* reporter);

// --list and --json: the tracks of request.in on standard output, and what
// keeps them from being cut, if anything, on standard error.
int ListTracks(const Request& request, Reporter* reporter);
