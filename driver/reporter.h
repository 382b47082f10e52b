// The one place that prints. Every console line of a run goes out through a
// Reporter, which knows the run's form: the original form prints its size
// report, progress numbers and closing message on standard output (or on
// standard error when the audio goes to standard output) exactly as the
// converter always has; the standard form prints only a summary line,
// warnings and failures, all on standard error, and a progress indicator
// when standard error is a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "driver/command_line.h"
#include "measure/measure.h"
#include "sink/frame_sink.h"
#include "sink/samples.h"
#include "source/source.h"
#include "wav/wav.h"

enum class RunForm { Original, Standard };

struct Reporter {
  RunForm form = RunForm::Original;
  bool progress = false;        // the standard form's progress indicator is shown
  int shown_percent = -1;       // the indicator's last figure
  const char* stage = "";       // what the indicator counts: "" or "measuring "
  bool in_library = false;      // one file of many: the library shows the progress
  bool quiet = false;           // --quiet: failures and warnings only
  bool output_written = false;  // the run's output took its name, whole, damage and all
};

// Sets the run's form; the standard form shows progress on a terminal.
void SetRunForm(Reporter* reporter, RunForm form);

// A failure's line, then on standard error the file and the reason.
void ReportFailure(Reporter* reporter, const Fault& fault);
// The same with a line of the caller's (one that carries numbers).
void ReportFailureLine(Reporter* reporter, const char* line, const Fault& fault);
// Why the sound cannot be converted, as `properties` tell it.
void ReportRefusal(Reporter* reporter, const SoundProperties& properties, const Fault& fault);

// Original form: the size report's two halves.
void ReportDivisionSizes(const Reporter& reporter, const RunSizes& sizes);
void ReportWavSizes(const Reporter& reporter, const RunSizes& sizes);

// The sound is longer than the run converts: `converted_bytes` of
// `source.declared_bytes` are.
void ReportSoundTruncated(const Reporter& reporter, const SoundSource& source,
                          uint64_t converted_bytes);
// The input ends inside the sound: `missing_words` words per channel are
// missing, converted as silence in the original form and left out in the
// standard form.
void ReportSoundMissing(const Reporter& reporter, const SoundSource& source,
                        uint64_t missing_words);

// The tracks of a split that an input cut short holds none of, left out.
void ReportTracksAbsent(const Reporter& reporter, const char* in_path,
                        const std::vector<int>& numbers);

// One line on standard error for each frame the pass found damaged (the
// first MaxDamageLines of them, then how many more), naming the frame and
// its time, in either form.
// A frame of a disc image names its track (when the source's tracks are
// read) and the time in it, and why it could not be read.
void ReportDamagedFrames(const char* in_path, const std::vector<DamagedFrame>& damaged,
                         const SoundSource& source);

// Standard form: what is converted into what, in one line; with the number
// of track files when the run splits.
void ReportSummary(const Reporter& reporter, const Request& request, const SoundSource& source,
                   const StreamFormat& format, size_t track_files);

// Standard form: the measuring first pass begins; the progress figure counts
// it apart from the pass that writes.
void ReportMeasuring(Reporter* reporter);
// The gain --gain auto chose for a stream of peak `peak` (24-bit LSB units).
void ReportAutoGain(const Reporter& reporter, const char* in_path, double gain_db, uint64_t peak);
// The ReplayGain values written: `kind` "track" or "album", for track
// `track` (0: the whole stream, or the album).
void ReportReplayGain(const Reporter& reporter, const char* in_path, int track, const char* kind,
                      const ReplayGain& values);

// --list: for each source (a disc image's areas, or the one input), the
// album and where its tracks come from (`sheet`, when a cue sheet), then a
// line per track: number, start, length, title, performer.
void ReportTrackList(const std::vector<SoundSource>& sources, const std::string& sheet);
// --json: the stream, the album and the tracks as one JSON document; for a
// disc image, the album and each area's stream and tracks.
void ReportTrackJson(const std::vector<SoundSource>& sources, const std::string& sheet);
// When samples saturated: how many and in which channels of `format`, the
// peak before saturation, and the --gain that would keep every peak, given
// the run's `gain_db`. Nothing when none saturated.
void ReportClips(const Reporter& reporter, const char* in_path, const ClipReport& clips,
                 const StreamFormat& format, double gain_db);

// What the tags of `in_path` lost, one line each on standard error; the
// notes of one track of a split (`track` > 0) say which.
void ReportTagNotes(const Reporter& reporter, const char* in_path,
                    const std::vector<std::string>& notes, int track = 0);

// `done` of `total` steps are converted (`done` counts from 1): in the
// original form, divisions.
void ReportProgress(Reporter* reporter, uint64_t done, uint64_t total);
// After the last division.
void ReportPassEnd(Reporter* reporter);
// After a complete run.
void ReportFinished(const Reporter& reporter);

// The command line's own answers.
void ReportUsage();
void ReportVersion(const char* version);
void ReportWrongArguments();
void ReportBadCommandLine(const char* problem);
