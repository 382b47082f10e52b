// dff2wav IN.dff OUT.wav: converts two-channel DSD64 sound in a DSDIFF file
// into a 2-channel, 24-bit, 88,200 Hz PCM WAV file. The run is one straight
// sequence of stages; the first failure prints its line and ends the run.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decimate/division.h"
#include "driver/distinct_files.h"
#include "driver/failure.h"
#include "driver/parallel.h"
#include "dsdiff/dsdiff.h"
#include "wav/wav.h"

namespace {

constexpr int ExitFailure = 1;  // every failure, and a run that left data out
constexpr double SoundBytesPerSecond = 2.0 * Dsd64Rate / 8;  // two channels of one-bit samples

// " 引数が違うよ" (the arguments are wrong), in Shift-JIS.
constexpr char WrongArgumentsMessage[] = " \x88\xF8\x90\x94\x82\xAA\x88\xE1\x82\xA4\x82\xE6\n";
// "変換が終了しました。" (the conversion has finished), in Shift-JIS.
constexpr char FinishedMessage[] =
    "\x95\xCF\x8A\xB7\x82\xAA\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n";

// The one way a failed run ends: its line, then exit status 1.
[[noreturn]] void FailWith(const char* line) {
  std::fputs(line, stdout);
  std::exit(ExitFailure);
}

[[noreturn]] void Fail(Failure failure) { FailWith(FailureMessage(failure)); }

void Check(Failure failure) {
  if (failure != Failure::None) Fail(failure);
}

// Says what the property chunk claims that this converter cannot convert.
[[noreturn]] void FailUnsupported(const SoundProperties& p) {
  char line[160];
  if (p.sample_rate != 0 && p.sample_rate != Dsd64Rate) {
    std::snprintf(line, sizeof line, "Only DSD64 (2822400 Hz) is supported; this file is %u Hz.\n",
                  static_cast<unsigned>(p.sample_rate));
  } else if (p.has_channels && p.channels != StereoChannels) {
    std::snprintf(line, sizeof line,
                  "Only 2-channel sound is supported; this file has %u channel%s.\n",
                  static_cast<unsigned>(p.channels), p.channels == 1 ? "" : "s");
  } else if (std::strcmp(p.compression, "DST ") == 0) {
    std::snprintf(line, sizeof line, "DST-compressed sound data is not supported.\n");
  } else {
    char type[sizeof p.compression];
    for (size_t i = 0; i < sizeof type; ++i) {
      type[i] = std::isprint(static_cast<unsigned char>(p.compression[i])) ? p.compression[i] : '?';
    }
    type[sizeof type - 1] = '\0';
    std::snprintf(
        line, sizeof line,
        "Only uncompressed DSD sound data is supported; this file's compression is \"%s\".\n",
        type);
  }
  FailWith(line);
}

// The sound chunk is larger than 32-bit sizes can carry: say what is left out.
void WarnSoundTruncated(const SoundChunk& sound) {
  const unsigned long long left_out = sound.declared_bytes - sound.DsdSize;
  std::printf(
      "Warning: the sound data holds %llu bytes, more than can be converted; "
      "the last %llu bytes (%.1f s) are left out.\n",
      static_cast<unsigned long long>(sound.declared_bytes), left_out,
      left_out / SoundBytesPerSecond);
}

// The input ended inside the sound data: the missing groups became silence.
void WarnSoundMissing(uint32_t missing_groups) {
  std::printf(
      "Warning: the input ends early; %u groups of sound data (%.1f s) are missing "
      "and were converted as silence.\n",
      missing_groups, missing_groups * double{GroupBytes} / SoundBytesPerSecond);
}

// The run sequence; returns the exit status of a run that was not ended by a
// failure.
int Run(int argc, char** argv) {
  if (argc < 3) {
    std::fputs(WrongArgumentsMessage, stdout);
    return ExitFailure;
  }
  const char* in_path = argv[1];
  const char* out_path = argv[2];
  FILE* in = std::fopen(in_path, "rb");
  if (!in) Fail(Failure::FileOpen);
  // Opening the output truncates it, and the split overwrites the channel
  // files: none of them may be the input, nor each other.
  if (AnyTwoAreTheSameFile({in_path, out_path, LeftChannelFile, RightChannelFile})) {
    Fail(Failure::SameFile);
  }
  FILE* out = std::fopen(out_path, "wb");
  if (!out) Fail(Failure::FileOpen);

  SoundChunk sound;
  const Failure walked = ChunkWalk(in, &sound);
  if (walked == Failure::UnsupportedSound) FailUnsupported(sound.properties);
  Check(walked);
  DivisionLayout layout = DivisionLayoutOf(sound.DsdSize);
  std::printf("DsdLR64Size = %08X\n", layout.DsdLR64Size);
  std::printf("DivNum = %08X\n", layout.DivNum);
  std::printf("LastDivSize = %08X\n", layout.LastDivSize);
  bool data_left_out = sound.beyond_32_bits;
  if (data_left_out) WarnSoundTruncated(sound);

  ChannelLocks locks;
  uint32_t missing_groups = 0;
  Check(ChannelSplit(in, layout.DsdLR64Size, &layout.LastDivSize, &missing_groups, &locks));
  if (missing_groups > 0) {
    WarnSoundMissing(missing_groups);
    data_left_out = true;
  }

  const WavSizeFields wav = WavSizes(sound.DsdSize, layout.LastDivSize);
  std::printf("WavSize = %08X\n", wav.WavSize);
  std::printf("DivWavSize = %08X\n", DivWavSize);
  std::printf("WLastDivSize = %08X\n", wav.WLastDivSize);

  DivisionBuffers buffers;
  Check(DivisionPrepare(WorkerCount(), &buffers));
  Check(WriteWavHeader(out, wav.WavSize));
  Check(DivisionPass(out, &buffers, layout.DivNum, layout.LastDivSize, wav.WLastDivSize));
  ReleaseChannelLocks(&locks);

  std::fclose(in);
  if (std::fclose(out) != 0) Fail(Failure::FileWrite);
  std::fputs(FinishedMessage, stdout);
  return data_left_out ? ExitFailure : 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    Fail(Failure::MemoryAlloc);  // the few standard containers a run builds
  }
}
