// dff2wav IN OUT: converts two-channel DSD sound in a DSDIFF or DSF file into
// a 2-channel, 24-bit PCM WAV file at the DSD rate / 32 (one frame per
// channel word). The run is one straight sequence of stages; the first
// failure prints its lines and ends the run. Every console line is printed
// from here, with the texts of driver/messages.h.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/workers.h"
#include "channel/channel_files.h"
#include "driver/distinct_files.h"
#include "driver/messages.h"
#include "driver/run_files.h"
#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"
#include "pass/pass.h"
#include "sound/sound.h"
#include "wav/wav.h"

namespace {

constexpr int ExitFailure = 1;  // every failure, and a run that left data out
constexpr int UnsupportedLineBytes = 160;

// The one way a failed run ends: the failure's line on standard output, the
// file and the reason on standard error, then exit status 1.
[[noreturn]] void FailWith(const char* line, const Fault& fault) {
  std::fputs(line, stdout);
  std::fflush(stdout);
  const char* reason = fault.os_error != 0 ? std::strerror(fault.os_error)
                       : fault.reason      ? fault.reason
                                           : FailureReason(fault.failure);
  if (fault.path) {
    std::fprintf(stderr, "dff2wav: %s: %s\n", fault.path, reason);
  } else {
    std::fprintf(stderr, "dff2wav: %s\n", reason);
  }
  std::exit(ExitFailure);
}

[[noreturn]] void Fail(const Fault& fault) { FailWith(FailureLine(fault.failure), fault); }

void Check(const Fault& fault) {
  if (Failed(fault)) Fail(fault);
}

double SoundBytesPerSecond(const SoundData& sound) {
  return 2.0 * sound.sample_rate / 8;  // two channels of one-bit samples
}

// The sound is larger than 32-bit sizes can carry: say what is left out.
void WarnSoundTruncated(const SoundData& sound) {
  const unsigned long long left_out = sound.declared_bytes - sound.DsdSize;
  std::printf(
      "Warning: the sound data holds %llu bytes, more than can be converted; "
      "the last %llu bytes (%.1f s) are left out.\n",
      static_cast<unsigned long long>(sound.declared_bytes), left_out,
      left_out / SoundBytesPerSecond(sound));
}

// The input ends inside the sound data: the missing groups become silence.
void WarnSoundMissing(const SoundData& sound, uint32_t missing_groups) {
  std::printf(
      "Warning: the input ends early; %u groups of sound data (%.1f s) are missing "
      "and were converted as silence.\n",
      missing_groups, missing_groups * double{GroupBytes} / SoundBytesPerSecond(sound));
}

// Finds the sound in a DSDIFF or a DSF input.
Fault ReadSoundHead(int fd, const char* path, SoundData* sound, SoundProperties* properties) {
  const Fault dsdiff = ChunkWalk(fd, path, sound, properties);
  if (dsdiff.failure != Failure::NotDsd) return dsdiff;
  return ReadDsfHead(fd, path, sound, properties);
}

// Refuses a run whose files are not all distinct: the output would overwrite
// the input, or the channel files one of them. `kept` is the descriptor of
// an output that is standard output, or -1.
void CheckDistinctFiles(const char* in_path, const char* out_path, int kept) {
  const std::vector<std::string> paths = {in_path, kept >= 0 ? DescriptorPath(kept) : out_path,
                                          LeftChannelFile, RightChannelFile};
  const char* names[] = {in_path, out_path, LeftChannelFile, RightChannelFile};
  size_t first = 0, second = 0;
  if (!FindSameFile(paths, &first, &second)) return;
  const std::string reason = std::string("is the same file as ") + names[first];
  Fail(FaultOf(Failure::SameFile, names[second], reason.c_str()));
}

void PrintDivisionSizes(const RunSizes& sizes) {
  std::printf("DsdLR64Size = %08X\n", sizes.DsdLR64Size);
  std::printf("DivNum = %08X\n", sizes.DivNum);
  std::printf("LastDivSize = %08X\n", sizes.FoundLastDivSize);
}

void PrintWavSizes(const RunSizes& sizes) {
  std::printf("WavSize = %08X\n", sizes.WavSize);
  std::printf("DivWavSize = %08X\n", DivWavSize);
  std::printf("WLastDivSize = %08X\n", sizes.WLastDivSize);
}

// Allocates the pass's buffers, starts the output, and runs the pass one
// division at a time, with a progress line after each.
void RunDivisions(const PassFiles& files, const RunSizes& sizes, const Output& out,
                  const uint8_t header[WavHeaderBytes]) {
  Pass pass;
  Check(PassPrepare(files.sound, files.in_order ? 1 : WorkerCount(), &pass));
  Check(StartOutput(out, header));
  for (uint32_t d = 0; d < sizes.DivNum; ++d) {
    Check(PassDivision(&pass, files, sizes, d));
    std::printf("%d\n", static_cast<int>(d + 1));
    std::fflush(stdout);  // progress shows as it happens, also through a pipe
  }
  std::printf("\n");
  PassRelease(&pass);
}

// The conversion of `in_path` into `out_path`; returns the exit status of a
// run that no failure ended.
int Convert(const char* in_path, const char* out_path) {
  const int kept = SeparateConsoleFromOutput(out_path);
  PassFiles files{};
  uint64_t input_bytes = 0;
  Check(OpenInput(in_path, &files.input, &input_bytes));
  files.input_path = in_path;
  CheckDistinctFiles(in_path, out_path, kept);
  Output out;
  Check(OpenOutput(out_path, kept, &out));

  SoundProperties properties;
  const Fault head = ReadSoundHead(files.input, in_path, &files.sound, &properties);
  if (Failed(head)) EmptyOutput(out);
  if (head.failure == Failure::UnsupportedSound) {
    char line[UnsupportedLineBytes];
    UnsupportedSoundLine(properties, line, sizeof line);
    FailWith(line, head);
  }
  Check(head);
  const SoundData& sound = files.sound;
  const RunSizes sizes = RunSizesOf(sound.DsdSize);
  PrintDivisionSizes(sizes);
  bool data_left_out = sound.beyond_32_bits;
  if (sound.beyond_32_bits) WarnSoundTruncated(sound);

  Check(OpenChannelFiles(&files.channels));
  // Refused this late so that a second run in the same directory says what
  // it always said: that the channel files are in use.
  if (out.busy) Fail(FaultOf(Failure::OutputBusy, out_path, "written by another conversion"));
  files.groups_present =
      GroupsPresent(sound, std::min(input_bytes, sound.data_end), sizes.DsdLR64Size);
  const uint32_t missing_groups = sizes.DsdLR64Size - files.groups_present;
  if (missing_groups > 0) {
    WarnSoundMissing(sound, missing_groups);
    data_left_out = true;
  }
  PrintWavSizes(sizes);

  uint8_t header[WavHeaderBytes];
  BuildWavHeader(sizes.WavSize, sound.sample_rate / WordSamples, header);
  files.output = out.fd;
  files.output_path = out_path;
  files.frames_offset = out.start + WavHeaderBytes;
  files.in_order = !out.placed;
  RunDivisions(files, sizes, out, header);
  Check(FinishChannelFiles(&files.channels, ChannelFileWords(sizes)));
  Check(FinishOutput(&out, header, WavHeaderBytes + PcmBytes(sizes)));
  std::fputs(FinishedMessage, stdout);
  return data_left_out ? ExitFailure : 0;
}

// The command line: help, version, too few arguments, or a conversion.
int Run(int argc, char** argv) {
  GuardStandardDescriptors();
  // A reader of the console that goes away must not end the conversion:
  // writes to it fail instead, and are let go.
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(UsageText, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("dff2wav %s\n", DFF2WAV_VERSION);
    return 0;
  }
  if (argc < 3) {
    std::fputs(WrongArgumentsMessage, stdout);
    std::fflush(stdout);
    std::fputs(ShortUsage, stderr);
    return ExitFailure;
  }
  return Convert(argv[1], argv[2]);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    Fail(Fault{Failure::MemoryAlloc});  // the few standard containers a run builds
  }
}
