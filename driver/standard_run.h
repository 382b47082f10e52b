// Inside the driver: the standard form of a run, into one file or split into
// one file per track.
#pragma once

#include "driver/command_line.h"
#include "driver/input_formats.h"
#include "driver/reporter.h"
#include "driver/run_steps.h"
#include "source/source.h"

// Converts the source whose head `reader` read into files->output, or, when
// `splits`, into one file per track in the directory request.out. Returns
// the run's exit status.
int ConvertStandard(Reporter* reporter, OpenFiles* files, const Request& request,
                    const InputFormatRow& reader, bool splits, SoundSource* source);
