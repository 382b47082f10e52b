// The fixed texts that the reporter prints: the two Shift-JIS lines, the
// failure lines, the reasons on standard error, and the usage. The lines
// that carry numbers are formatted where they are printed.
#pragma once

#include "base/failure.h"
#include "source/source.h"

// " 引数が違うよ" (the arguments are wrong), in Shift-JIS.
constexpr char WrongArgumentsMessage[] = " \x88\xF8\x90\x94\x82\xAA\x88\xE1\x82\xA4\x82\xE6\n";
// "変換が終了しました。" (the conversion has finished), in Shift-JIS.
constexpr char FinishedMessage[] =
    "\x95\xCF\x8A\xB7\x82\xAA\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n";

// The one line that a failure prints, newline included.
// UnsupportedSound has a line of its own: see UnsupportedSoundLine.
const char* FailureLine(Failure failure);

// Why the sound cannot be converted, newline included, into `line`.
void UnsupportedSoundLine(const SoundProperties& properties, char* line, int size);

// The reason for standard error when the system gave none.
const char* FailureReason(Failure failure);

// The name of a speaker layout ("mono", "stereo", "5.1", ...), or nullptr
// when it has none.
const char* LayoutName(const Speaker* speakers, int channels);

extern const char UsageText[];   // for --help, on standard output
extern const char ShortUsage[];  // after a complaint about the command line, on standard error
