// The command line: IN and OUT, and the options. A run with no options whose
// OUT is a WAV file may be in the original form (the input's channel count
// decides); any option, or a FLAC output, makes it a standard-form run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disc/disc.h"

enum class Action {
  Convert,         // IN to OUT
  List,            // --list or --json: IN's tracks, on standard output
  Help,            // --help: the usage on standard output
  Version,         // --version
  WrongArguments,  // no options and fewer than two arguments: the original's complaint
  BadCommandLine,  // an unknown or malformed option, or IN or OUT missing after options
};

enum class OutputFormat { Wav, Flac };

struct Request {
  Action action = Action::Convert;
  const char* in = nullptr;
  const char* out = nullptr;
  bool options = false;  // any option was given: the run is in the standard form
  std::string problem;   // BadCommandLine: what is wrong, for standard error

  OutputFormat format = OutputFormat::Wav;  // --format, or OUT's ending
  int compression = 5;                      // --compression: FLAC's level, 0 to 8
  bool tags = true;                         // --no-tags: none
  double gain_db = 0.0;                     // --gain DB
  bool gain_auto = false;                   // --gain auto
  int bits = 24;                            // --bits 16, 24 or 32 (float)
  bool dither = true;                       // --no-dither: 16 bits rounded instead
  uint32_t rate = 0;                        // --rate HZ; 0 is the filter's own
  bool replaygain = false;                  // --replaygain

  // Tracks.
  bool split = false;         // --split, --tracks, or an OUT that ends in '/' or is a directory
  std::vector<int> tracks;    // --tracks: these only, in increasing order; empty: all
  std::string name_template;  // --name; empty: the default
  std::string cue;            // --cue FILE
  bool list = false, json = false;    // --list, --json
  DiscArea area = DiscArea::Default;  // --area: which area of a disc image

  // Many files.
  std::vector<const char*> names;         // every name on the command line, in order
  std::vector<std::string> file_options;  // the options a run of one file of them is given
  int jobs = 0;                           // -j, --jobs: files at once; 0: one per core
  bool overwrite = false;                 // --overwrite: outputs that exist are made again
  bool quiet = false;                     // --quiet: only failures and the summary
  bool print_commands = false;            // --print-commands: one command per output, no run
};

// The most files a run converts at once.
constexpr int MaxJobs = 64;

constexpr double MinGainDb = -40.0;
constexpr double MaxGainDb = 20.0;

// Options start with '-' (but "-" alone, which names standard output) and
// may stand anywhere before "--", after which every argument is a name. An
// option's value is the next argument, or follows "=" in the same long one,
// or follows a short one at once ("-j4", "-fflac"). The
// first two names are IN and OUT (all of them are in `names`). Without
// --format, an OUT that ends in ".flac" (in any case) is FLAC.
Request ParseCommandLine(int argc, char** argv);

// Whether the run may be in the original form: no options, a WAV output, no
// split (an OUT that is a directory is found by the run itself).
bool MayBeOriginalForm(const Request& request);
