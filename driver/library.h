// Inside the driver: a run over many inputs, a whole library at a time.
// Walks the inputs (files by their content, folders recursively by the
// endings of DSD files), mirrors them into OUTDIR (an album in one file
// becomes a folder of its tracks), copies folder art, skips what a run
// before it completed, converts several files at once, goes on past a file
// that fails, and ends with one summary; or prints one shell command per
// output for other machines to run.
#pragma once

#include "driver/command_line.h"

// Whether the command line names many inputs: more than one IN before an
// OUTDIR that is a folder (existing, or ending in '/') or with an option, or
// an IN that is a folder before an OUTDIR, a name yet to be made, or with an
// option (`dff2wav FOLDER FILE` alone is the original form, which refuses a
// folder). Otherwise, without options, names after OUT are ignored, as they
// always were in the original form.
bool IsLibraryRun(const Request& request);

// Converts the library that request.names give; `program` is how the
// process was started, for --print-commands. Returns the exit status: 0
// when no file failed.
int ConvertLibrary(const Request& request, const char* program);
