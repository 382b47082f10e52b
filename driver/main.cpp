// dff2wav IN.dff OUT.wav: converts two-channel DSD64 sound in a DSDIFF file
// into a 2-channel, 24-bit, 88,200 Hz PCM WAV file. The run is one straight
// sequence of stages; the first failure prints its line and ends the run.
#include <cstdio>
#include <cstdlib>

#include "decimate/division.h"
#include "driver/failure.h"
#include "dsdiff/dsdiff.h"
#include "wav/wav.h"

namespace {

constexpr int ExitFailure = 1;  // every failure, and a run that left data out

// " 引数が違うよ" (the arguments are wrong), in Shift-JIS.
constexpr char WrongArgumentsMessage[] = " \x88\xF8\x90\x94\x82\xAA\x88\xE1\x82\xA4\x82\xE6\n";
// "変換が終了しました。" (the conversion has finished), in Shift-JIS.
constexpr char FinishedMessage[] =
    "\x95\xCF\x8A\xB7\x82\xAA\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n";

[[noreturn]] void Fail(Failure failure) {
  std::fputs(FailureMessage(failure), stdout);
  std::exit(ExitFailure);
}

void Check(Failure failure) {
  if (failure != Failure::None) Fail(failure);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs(WrongArgumentsMessage, stdout);
    return ExitFailure;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (!in) Fail(Failure::FileOpen);
  FILE* out = std::fopen(argv[2], "wb");
  if (!out) Fail(Failure::FileOpen);

  SoundChunk sound;
  Check(ChunkWalk(in, &sound));
  DivisionLayout layout = DivisionLayoutOf(sound.DsdSize);
  std::printf("DsdLR64Size = %08X\n", layout.DsdLR64Size);
  std::printf("DivNum = %08X\n", layout.DivNum);
  std::printf("LastDivSize = %08X\n", layout.LastDivSize);

  ChannelLocks locks;
  uint32_t missing_groups = 0;
  Check(ChannelSplit(in, layout.DsdLR64Size, &layout.LastDivSize, &missing_groups, &locks));

  const WavSizeFields wav = WavSizes(sound.DsdSize, layout.LastDivSize);
  std::printf("WavSize = %08X\n", wav.WavSize);
  std::printf("DivWavSize = %08X\n", DivWavSize);
  std::printf("WLastDivSize = %08X\n", wav.WLastDivSize);

  uint8_t* pcm = nullptr;
  Check(DivisionPrepare(&pcm));
  Check(WriteWavHeader(out, wav.WavSize));
  Check(DivisionPass(out, pcm, layout.DivNum, layout.LastDivSize, wav.WLastDivSize));
  ReleaseChannelLocks(&locks);

  std::fclose(in);
  if (std::fclose(out) != 0) Fail(Failure::FileWrite);
  std::fputs(FinishedMessage, stdout);
  return 0;
}
