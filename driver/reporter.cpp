#include "driver/reporter.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/messages.h"
#include "driver/output_formats.h"
#include "dst/dst.h"

namespace {

constexpr int RefusalLineBytes = 160;
constexpr unsigned long long MillisecondsPerMinute = 60000;
constexpr double MillisecondsPerSecond = 1000.0;
// Damaged DST frames named one by one; a thoroughly damaged file would
// otherwise print one line for every 1/75 s.
constexpr uint64_t MaxDamageLines = 100;
constexpr int PercentScale = 100;
// Clears the progress indicator's line: back to its start, erase to its end.
constexpr char ClearLine[] = "\r\033[K";

// Where the run's own lines go: standard output in the original form (which
// SeparateConsoleFromOutput points away from the audio), standard error in
// the standard form.
FILE* Console(const Reporter& reporter) {
  return reporter.form == RunForm::Original ? stdout : stderr;
}

void ClearProgress(Reporter* reporter) {
  if (reporter->shown_percent < 0) return;
  std::fputs(ClearLine, stderr);
  reporter->shown_percent = -1;
}

constexpr double ClipMarginDb = 0.1;  // the suggested gain's room below full scale
constexpr double TenthsPerDb = 10.0;

// A channel's speaker, or its number (from 1) when it has none.
std::string ChannelName(Speaker speaker, int channel) {
  return speaker != NoSpeaker ? SpeakerName(speaker) : "channel " + std::to_string(channel + 1);
}

// "DSD64" and so on, for the rates IsConvertibleRate takes.
void DsdRateName(uint32_t rate, char* name, size_t size) {
  const uint32_t base = rate % Dsd64Rate == 0 ? Dsd64Rate : Dsd64Rate48k;
  std::snprintf(name, size, "DSD%u%s", 64 * (rate / base),
                base == Dsd64Rate48k ? " (48 kHz family)" : "");
}

}  // namespace

void SetRunForm(Reporter* reporter, RunForm form) {
  reporter->form = form;
  reporter->progress = form == RunForm::Standard && isatty(STDERR_FILENO);
}

void ReportFailureLine(Reporter* reporter, const char* line, const Fault& fault) {
  ClearProgress(reporter);
  const char* own_reason = fault.os_error != 0 ? std::strerror(fault.os_error) : fault.reason;
  const std::string path = fault.path ? std::string(fault.path) + ": " : "";
  if (reporter->form == RunForm::Standard) {
    // One line: the file, the failure's line, and the reason when it says more.
    std::string text(line, std::strcspn(line, "\n"));
    if (own_reason) {
      if (!text.empty() && text.back() == '.') text.pop_back();
      text += std::string(": ") + own_reason;
    }
    std::fprintf(stderr, "dff2wav: %s%s\n", path.c_str(), text.c_str());
    return;
  }
  // The original form's line, then the file and the reason on standard error.
  std::fputs(line, stdout);
  std::fflush(stdout);
  std::fprintf(stderr, "dff2wav: %s%s\n", path.c_str(),
               own_reason ? own_reason : FailureReason(fault.failure));
}

void ReportFailure(Reporter* reporter, const Fault& fault) {
  ReportFailureLine(reporter, FailureLine(fault.failure), fault);
}

void ReportRefusal(Reporter* reporter, const SoundProperties& properties, const Fault& fault) {
  char line[RefusalLineBytes];
  UnsupportedSoundLine(properties, line, sizeof line);
  ReportFailureLine(reporter, line, fault);
}

void ReportDivisionSizes(const Reporter& reporter, const RunSizes& sizes) {
  FILE* out = Console(reporter);
  std::fprintf(out, "DsdLR64Size = %08X\n", sizes.DsdLR64Size);
  std::fprintf(out, "DivNum = %08X\n", sizes.DivNum);
  std::fprintf(out, "LastDivSize = %08X\n", sizes.FoundLastDivSize);
}

void ReportWavSizes(const Reporter& reporter, const RunSizes& sizes) {
  FILE* out = Console(reporter);
  std::fprintf(out, "WavSize = %08X\n", sizes.WavSize);
  std::fprintf(out, "DivWavSize = %08X\n", DivWavSize);
  std::fprintf(out, "WLastDivSize = %08X\n", sizes.WLastDivSize);
}

void ReportSoundTruncated(const Reporter& reporter, const SoundSource& source,
                          uint64_t converted_bytes) {
  const unsigned long long left_out = source.declared_bytes - converted_bytes;
  const double bytes_per_second = double(source.sample_rate) / 8 * source.channels;
  std::fprintf(Console(reporter),
               "Warning: the sound data holds %llu bytes, more than can be converted; "
               "the last %llu bytes (%.1f s) are left out.\n",
               static_cast<unsigned long long>(source.declared_bytes), left_out,
               left_out / bytes_per_second);
}

void ReportSoundMissing(const Reporter& reporter, const SoundSource& source,
                        uint64_t missing_words) {
  const double seconds = double(missing_words) * WordSamples / source.sample_rate;
  if (reporter.form == RunForm::Original) {
    std::fprintf(stdout,
                 "Warning: the input ends early; %llu groups of sound data (%.1f s) are missing "
                 "and were converted as silence.\n",
                 static_cast<unsigned long long>(missing_words), seconds);
  } else {
    std::fprintf(stderr,
                 "dff2wav: %s: warning: the input ends early; the last %.1f s of sound are "
                 "missing and were left out\n",
                 source.path, seconds);
  }
}

void ReportDamagedFrames(const char* in_path, const std::vector<DamagedFrame>& damaged) {
  for (size_t i = 0; i < damaged.size() && i < MaxDamageLines; ++i) {
    const uint64_t f = damaged[i].frame;
    const auto ms = static_cast<unsigned long long>(f * MillisecondsPerSecond / DstFramesPerSecond);
    std::fprintf(stderr,
                 "dff2wav: %s: DST frame %llu (at %llu:%06.3f) could not be decoded; its 1/75 s "
                 "is silence\n",
                 in_path, static_cast<unsigned long long>(f), ms / MillisecondsPerMinute,
                 double(ms % MillisecondsPerMinute) / MillisecondsPerSecond);
  }
  if (damaged.size() > MaxDamageLines) {
    std::fprintf(stderr, "dff2wav: %s: and %llu more damaged DST frames, each 1/75 s of silence\n",
                 in_path, static_cast<unsigned long long>(damaged.size() - MaxDamageLines));
  }
}

void ReportSummary(const Reporter& reporter, const Request& request, const SoundSource& source,
                   const StreamFormat& format) {
  char rate[40];
  DsdRateName(source.sample_rate, rate, sizeof rate);
  char speakers[MaxChannels * 4 + 1] = "";
  for (int c = 0; c < source.channels; ++c) {
    std::strcat(speakers, c == 0 ? "" : " ");
    std::strcat(speakers, SpeakerName(source.speakers[c]));
  }
  const char* layout = LayoutName(source.speakers, source.channels);
  char channels[24];
  std::snprintf(channels, sizeof channels, "%d channels", source.channels);
  // Milliseconds first, so that a length rounds up to a whole minute, never to 60 s.
  const unsigned long long length_ms = static_cast<unsigned long long>(std::llround(
      double(source.words_present) * WordSamples * MillisecondsPerSecond / source.sample_rate));
  const unsigned long long minutes = length_ms / MillisecondsPerMinute;
  const double seconds = double(length_ms % MillisecondsPerMinute) / MillisecondsPerSecond;
  // The output: its format, depth and rate, then what changes its samples.
  const OutputFormatRow& row = RowOf(request.format);
  std::string output = row.title;
  if (row.has_level) output += " (level " + std::to_string(request.compression) + ")";
  output += request.bits == 32 ? ", 32-bit float" : ", " + std::to_string(request.bits) + "-bit";
  if (request.bits == 16 && !request.dither) output += " without dither";
  output += ", " + std::to_string(format.frame_rate) + " Hz";
  char gain[32] = "";
  if (request.gain_auto) {
    std::snprintf(gain, sizeof gain, ", gain auto");
  } else if (request.gain_db != 0.0) {
    std::snprintf(gain, sizeof gain, ", gain %+.2f dB", request.gain_db);
  }
  output += gain;
  if (request.replaygain) output += ", ReplayGain";
  if (!request.tags) output += ", no tags";
  std::fprintf(Console(reporter), "dff2wav: %s: %s, %s (%s), %s (%u Hz), %llu:%06.3f -> %s: %s\n",
               request.in, source.container, layout ? layout : channels, speakers, rate,
               static_cast<unsigned>(source.sample_rate), minutes, seconds, request.out,
               output.c_str());
}

void ReportMeasuring(Reporter* reporter) { reporter->stage = "measuring "; }

void ReportAutoGain(const Reporter&, const char* in_path, double gain_db, uint64_t peak) {
  std::fprintf(stderr, "dff2wav: %s: --gain auto: %+.2f dB (peak %+.2f dBFS at 0 dB)\n", in_path,
               gain_db, DecibelsOfMagnitude(peak));
}

void ReportReplayGain(const Reporter&, const char* in_path, const ReplayGain& values) {
  std::fprintf(stderr, "dff2wav: %s: ReplayGain: track gain %s, track peak %s\n", in_path,
               values.gain, values.peak);
}

void ReportClips(const Reporter&, const char* in_path, const ClipReport& clips,
                 const StreamFormat& format, double gain_db) {
  uint64_t total = 0;
  std::string channels;
  for (int c = 0; c < format.channels; ++c) {
    if (clips.saturated[c] == 0) continue;
    total += clips.saturated[c];
    char part[48];
    std::snprintf(part, sizeof part, "%s%s %llu", channels.empty() ? "" : ", ",
                  ChannelName(format.speakers[c], c).c_str(),
                  static_cast<unsigned long long>(clips.saturated[c]));
    channels += part;
  }
  if (total == 0) return;
  // The gain that lowers the peak below full scale with room to spare,
  // rounded down to a tenth of a dB, as --gain takes it.
  const double peak_db = DecibelsOfMagnitude(clips.peak);
  const double keeping = std::floor((gain_db - peak_db - ClipMarginDb) * TenthsPerDb) / TenthsPerDb;
  std::fprintf(stderr,
               "dff2wav: %s: %llu samples saturated (%s); peak %+.2f dBFS before saturation; "
               "--gain %.1f would keep every peak\n",
               in_path, static_cast<unsigned long long>(total), channels.c_str(), peak_db, keeping);
}

void ReportTagNotes(const Reporter&, const char* in_path, const std::vector<std::string>& notes) {
  for (const std::string& note : notes) {
    std::fprintf(stderr, "dff2wav: %s: %s\n", in_path, note.c_str());
  }
}

void ReportProgress(Reporter* reporter, uint64_t done, uint64_t total) {
  if (reporter->form == RunForm::Original) {
    std::printf("%d\n", static_cast<int>(done));  // at most DivNum, a 32-bit count
    std::fflush(stdout);  // progress shows as it happens, also through a pipe
    return;
  }
  if (!reporter->progress) return;
  const int percent = static_cast<int>(done * PercentScale / total);
  if (percent == reporter->shown_percent) return;
  std::fprintf(stderr, "\rdff2wav: %s%3d%%", reporter->stage, percent);
  std::fflush(stderr);
  reporter->shown_percent = percent;
}

void ReportPassEnd(Reporter* reporter) {
  if (reporter->form == RunForm::Original) {
    std::printf("\n");
  } else {
    ClearProgress(reporter);
    reporter->stage = "";
  }
}

void ReportFinished(const Reporter& reporter) {
  if (reporter.form == RunForm::Original) std::fputs(FinishedMessage, stdout);
}

void ReportUsage() { std::fputs(UsageText, stdout); }

void ReportVersion(const char* version) { std::printf("dff2wav %s\n", version); }

void ReportWrongArguments() {
  std::fputs(WrongArgumentsMessage, stdout);
  std::fflush(stdout);
  std::fputs(ShortUsage, stderr);
}

void ReportBadCommandLine(const char* problem) {
  std::fprintf(stderr, "dff2wav: %s\n", problem);
  std::fputs(ShortUsage, stderr);
}
