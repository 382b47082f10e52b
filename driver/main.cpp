// dff2wav [OPTIONS] IN OUT: converts one-bit DSD sound in a DSDIFF or DSF
// file into a 24-bit PCM WAV file at the DSD rate / 32 (one frame per
// channel word). The only place the process ends: every stage below returns
// its outcome, and the reporter prints every console line.
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include "driver/command_line.h"
#include "driver/convert.h"
#include "driver/library.h"
#include "driver/reporter.h"
#include "driver/run_files.h"
#include "driver/temporaries.h"

#if defined(__SANITIZE_ADDRESS__)
// libcue 2.2 does not free what it parsed of a sheet it then refuses: a leak
// of the library's, once per run, that a sanitized build neither counts nor
// mentions on standard error, where a refusal is one line.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcue.so"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace {

int Run(int argc, char** argv, Reporter* reporter) {
  GuardStandardDescriptors();
  // A reader of the console that goes away must not end the conversion:
  // writes to it fail instead, and are let go. A file-size limit must not
  // either: the write that passes it fails with EFBIG and is reported.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // An interrupted run leaves no temporary output behind.
  RemoveTemporariesOnSignal();
  const Request request = ParseCommandLine(argc, argv);
  switch (request.action) {
    case Action::Help:
      ReportUsage();
      return ExitSuccess;
    case Action::Version:
      ReportVersion(DFF2WAV_VERSION);
      return ExitSuccess;
    case Action::WrongArguments:
      ReportWrongArguments();
      return ExitFailure;
    case Action::BadCommandLine:
      ReportBadCommandLine(request.problem.c_str());
      return ExitFailure;
    case Action::List:
      return ListTracks(request, reporter);
    case Action::Convert:
      break;
  }
  if (IsLibraryRun(request) || request.print_commands) {
    // The commands it prints start this program as this one was started.
    char program[PATH_MAX];
    const bool absolute = std::strchr(argv[0], '/') && realpath(argv[0], program);
    return ConvertLibrary(request, absolute ? program : argv[0]);
  }
  return Convert(request, reporter);
}

}  // namespace

int main(int argc, char** argv) {
  Reporter reporter;
  try {
    return Run(argc, argv, &reporter);
  } catch (const std::bad_alloc&) {
    // The few standard containers a run builds.
    ReportFailure(&reporter, Fault{Failure::MemoryAlloc});
    return ExitFailure;
  }
}
