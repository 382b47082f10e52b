#include "driver/reporter.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "album/album.h"
#include "base/console.h"
#include "driver/messages.h"
#include "driver/output_formats.h"
#include "dst/dst.h"
#include "tags/tags.h"

namespace {

constexpr int RefusalLineBytes = 512;  // a disc image's reason may be long
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

// A time in samples at `rate` as m:ss.mmm.
std::string MinutesOf(uint64_t samples, uint32_t rate) {
  const auto ms = static_cast<unsigned long long>(samples * MillisecondsPerSecond / rate);
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%06.3f", ms / MillisecondsPerMinute,
                double(ms % MillisecondsPerMinute) / MillisecondsPerSecond);
  return text;
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
  reporter->progress = form == RunForm::Standard && isatty(STDERR_FILENO) && !reporter->in_library;
}

void ReportFailureLine(Reporter* reporter, const char* line, const Fault& fault) {
  const ConsoleLock console;
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
  const ConsoleLock console;
  FILE* out = Console(reporter);
  std::fprintf(out, "DsdLR64Size = %08X\n", sizes.DsdLR64Size);
  std::fprintf(out, "DivNum = %08X\n", sizes.DivNum);
  std::fprintf(out, "LastDivSize = %08X\n", sizes.FoundLastDivSize);
}

void ReportWavSizes(const Reporter& reporter, const RunSizes& sizes) {
  const ConsoleLock console;
  FILE* out = Console(reporter);
  std::fprintf(out, "WavSize = %08X\n", sizes.WavSize);
  std::fprintf(out, "DivWavSize = %08X\n", DivWavSize);
  std::fprintf(out, "WLastDivSize = %08X\n", sizes.WLastDivSize);
}

void ReportSoundTruncated(const Reporter& reporter, const SoundSource& source,
                          uint64_t converted_bytes) {
  const ConsoleLock console;
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
  const ConsoleLock console;
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

void ReportDamagedFrames(const char* in_path, const std::vector<DamagedFrame>& damaged,
                         const SoundSource& source) {
  const ConsoleLock console;
  for (size_t i = 0; i < damaged.size() && i < MaxDamageLines; ++i) {
    const DamagedFrame& d = damaged[i];
    const auto frame = static_cast<unsigned long long>(d.frame);
    const uint64_t at = d.frame * (source.sample_rate / DstFramesPerSecond);
    if (d.reason.empty()) {
      std::fprintf(stderr,
                   "dff2wav: %s: DST frame %llu (at %s) could not be decoded; its 1/75 s is "
                   "silence\n",
                   in_path, frame, MinutesOf(at, source.sample_rate).c_str());
      continue;
    }
    // A disc image's frame: in its track, from the track's start.
    const Track* track = nullptr;
    for (const Track& t : source.tracks) {
      if (t.start <= at) track = &t;
    }
    if (track) {
      std::fprintf(stderr, "dff2wav: %s: track %d at %s: %s; its 1/75 s is silence\n", in_path,
                   track->number, MinutesOf(at - track->start, source.sample_rate).c_str(),
                   d.reason.c_str());
    } else {
      std::fprintf(stderr, "dff2wav: %s: frame %llu (at %s): %s; its 1/75 s is silence\n", in_path,
                   frame, MinutesOf(at, source.sample_rate).c_str(), d.reason.c_str());
    }
  }
  if (damaged.size() > MaxDamageLines) {
    std::fprintf(stderr, "dff2wav: %s: and %llu more damaged %sframes, each 1/75 s of silence\n",
                 in_path, static_cast<unsigned long long>(damaged.size() - MaxDamageLines),
                 damaged[0].reason.empty() ? "DST " : "");
  }
}

void ReportTracksAbsent(const Reporter&, const char* in_path, const std::vector<int>& numbers) {
  const ConsoleLock console;
  std::string list;
  for (size_t i = 0; i < numbers.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == numbers.size() ? " and " : ", ") + std::to_string(numbers[i]);
  }
  std::fprintf(stderr, "dff2wav: %s: warning: the input ends before track%s %s, left out\n",
               in_path, numbers.size() == 1 ? "" : "s", list.c_str());
}

void ReportSummary(const Reporter& reporter, const Request& request, const SoundSource& source,
                   const StreamFormat& format, size_t track_files) {
  if (reporter.quiet) return;  // --quiet: failures and warnings only
  const ConsoleLock console;
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
  if (track_files > 0) {
    output += ", " + std::to_string(track_files) + (track_files == 1 ? " track" : " tracks");
  }
  std::fprintf(Console(reporter), "dff2wav: %s: %s, %s (%s), %s (%u Hz), %llu:%06.3f -> %s: %s\n",
               request.in, source.container, layout ? layout : channels, speakers, rate,
               static_cast<unsigned>(source.sample_rate), minutes, seconds, request.out,
               output.c_str());
}

void ReportMeasuring(Reporter* reporter) { reporter->stage = "measuring "; }

void ReportAutoGain(const Reporter& reporter, const char* in_path, double gain_db, uint64_t peak) {
  if (reporter.quiet) return;  // --quiet: failures and warnings only
  const ConsoleLock console;
  std::fprintf(stderr, "dff2wav: %s: --gain auto: %+.2f dB (peak %+.2f dBFS at 0 dB)\n", in_path,
               gain_db, DecibelsOfMagnitude(peak));
}

void ReportReplayGain(const Reporter& reporter, const char* in_path, int track, const char* kind,
                      const ReplayGain& values) {
  if (reporter.quiet) return;  // --quiet: failures and warnings only
  const ConsoleLock console;
  const std::string which = track > 0 ? "track " + std::to_string(track) + ": " : "";
  std::fprintf(stderr, "dff2wav: %s: %sReplayGain: %s gain %s, %s peak %s\n", in_path,
               which.c_str(), kind, values.gain, kind, values.peak);
}

void ReportClips(const Reporter& reporter, const char* in_path, const ClipReport& clips,
                 const StreamFormat& format, double gain_db) {
  if (reporter.quiet) return;  // --quiet: failures and warnings only
  const ConsoleLock console;
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

void ReportTagNotes(const Reporter& reporter, const char* in_path,
                    const std::vector<std::string>& notes, int track) {
  if (reporter.quiet) return;  // --quiet: failures and warnings only
  const ConsoleLock console;
  const std::string which = track > 0 ? "track " + std::to_string(track) + ": " : "";
  for (const std::string& note : notes) {
    std::fprintf(stderr, "dff2wav: %s: %s%s\n", in_path, which.c_str(), note.c_str());
  }
}

void ReportProgress(Reporter* reporter, uint64_t done, uint64_t total) {
  const ConsoleLock console;
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
  const ConsoleLock console;
  if (reporter->form == RunForm::Original) {
    std::printf("\n");
  } else {
    ClearProgress(reporter);
    reporter->stage = "";
  }
}

void ReportFinished(const Reporter& reporter) {
  const ConsoleLock console;
  if (reporter.form == RunForm::Original) std::fputs(FinishedMessage, stdout);
}

void ReportUsage() { std::fputs(UsageText, stdout); }

void ReportVersion(const char* version) { std::printf("dff2wav %s\n", version); }

void ReportWrongArguments() {
  const ConsoleLock console;
  std::fputs(WrongArgumentsMessage, stdout);
  std::fflush(stdout);
  std::fputs(ShortUsage, stderr);
}

void ReportBadCommandLine(const char* problem) {
  const ConsoleLock console;
  std::fprintf(stderr, "dff2wav: %s\n", problem);
  std::fputs(ShortUsage, stderr);
}

namespace {

// A time in samples at `rate` as mm:ss.hh (minutes, seconds, hundredths).
std::string ClockOf(uint64_t samples, uint32_t rate) {
  constexpr uint64_t HundredthsPerSecond = 100, HundredthsPerMinute = 6000;
  const uint64_t hundredths = samples * HundredthsPerSecond / rate;
  char text[32];
  std::snprintf(text, sizeof text, "%02llu:%02llu.%02llu",
                static_cast<unsigned long long>(hundredths / HundredthsPerMinute),
                static_cast<unsigned long long>(hundredths % HundredthsPerMinute / 100),
                static_cast<unsigned long long>(hundredths % 100));
  return text;
}

// The tracks to list: the source's, or the whole sound as one.
std::vector<Track> ListedTracks(const SoundSource& source) {
  std::vector<Track> tracks = source.tracks;
  if (tracks.empty()) tracks.push_back(WholeTrack());
  const uint64_t sound_samples = source.words_present * WordSamples;
  for (Track& track : tracks) track.end = std::min(track.end, sound_samples);
  return tracks;
}

std::string OriginName(const SoundSource& source) {
  switch (source.origin) {
    case TrackOrigin::Markers:
      return "markers";
    case TrackOrigin::CueSheet:
      return "a cue sheet";
    case TrackOrigin::Disc:
      return std::string("the disc's ") + source.area->name;
    case TrackOrigin::Whole:
      break;
  }
  return "one track";
}

// `text` as a JSON string: quotes, backslashes and control characters
// escaped. JSON is UTF-8: a text that is not (a path named in another
// encoding) is taken as Latin-1, so that the document still reads.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : Utf8OrLatin1(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonSeconds(uint64_t samples, uint32_t rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", double(samples) / rate);
  return text;
}

}  // namespace

void ReportTrackList(const std::vector<SoundSource>& sources, const std::string& sheet) {
  const ConsoleLock console;
  for (const SoundSource& source : sources) {
    const std::vector<Track> tracks = ListedTracks(source);
    // Titles and names come from the file: each stays on its own line.
    std::string album =
        AlbumTitle(source).empty() ? "(untitled)" : PrintableText(AlbumTitle(source));
    if (!AlbumArtist(source).empty()) album += " / " + PrintableText(AlbumArtist(source));
    std::printf("%s: %s: %zu track%s from %s%s\n", source.path, album.c_str(), tracks.size(),
                tracks.size() == 1 ? "" : "s", OriginName(source).c_str(),
                sheet.empty() ? "" : (" " + sheet).c_str());
    for (const Track& track : tracks) {
      std::printf(
          "%3d  %s  %s  %s%s\n", track.number, ClockOf(track.start, source.sample_rate).c_str(),
          ClockOf(track.end - std::min(track.start, track.end), source.sample_rate).c_str(),
          PrintableText(track.title).c_str(),
          track.performer.empty() ? "" : ("  (" + PrintableText(track.performer) + ")").c_str());
    }
  }
  std::fflush(stdout);
}

namespace {

std::string JsonStream(const SoundSource& source) {
  std::string speakers;
  for (int c = 0; c < source.channels; ++c) {
    speakers += (c ? ", " : "") + JsonString(SpeakerName(source.speakers[c]));
  }
  const char* layout = LayoutName(source.speakers, source.channels);
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"container\": %s, \"sample_rate\": %u, \"channels\": %d, \"speakers\": [%s], "
                "\"layout\": %s, \"seconds\": %s}",
                JsonString(source.container).c_str(), static_cast<unsigned>(source.sample_rate),
                source.channels, speakers.c_str(), layout ? JsonString(layout).c_str() : "null",
                JsonSeconds(source.words_present * WordSamples, source.sample_rate).c_str());
  return text;
}

std::string JsonAlbum(const SoundSource& source) {
  const Album& a = source.album;
  return "{\"title\": " + JsonString(AlbumTitle(source)) +
         ", \"artist\": " + JsonString(AlbumArtist(source)) +
         ", \"catalog\": " + JsonString(a.catalog) + ", \"genre\": " + JsonString(a.genre) +
         ", \"date\": " + JsonString(a.date) +
         ", \"disc_number\": " + std::to_string(a.disc_number) +
         ", \"disc_total\": " + std::to_string(a.disc_total) + "}";
}

// The tracks as a JSON list, each line indented by `indent`.
std::string JsonTracks(const SoundSource& source, const std::string& indent) {
  const uint32_t rate = source.sample_rate;
  std::string out = "[";
  const std::vector<Track> tracks = ListedTracks(source);
  for (size_t t = 0; t < tracks.size(); ++t) {
    const Track& track = tracks[t];
    const uint64_t length = track.end - std::min(track.start, track.end);
    out += (t ? ",\n" : "\n") + indent + "  {\"number\": " + std::to_string(track.number) +
           ", \"start\": " + JsonSeconds(track.start, rate) +
           ", \"length\": " + JsonSeconds(length, rate) +
           ", \"pause\": " + JsonSeconds(track.pause, rate) +
           ", \"start_sample\": " + std::to_string(track.start) +
           ", \"length_samples\": " + std::to_string(length) +
           ", \"title\": " + JsonString(track.title) +
           ", \"performer\": " + JsonString(track.performer) +
           ", \"composer\": " + JsonString(track.composer) +
           ", \"isrc\": " + JsonString(track.isrc) + "}";
  }
  return out + "\n" + indent + "]";
}

}  // namespace

void ReportTrackJson(const std::vector<SoundSource>& sources, const std::string& sheet) {
  const ConsoleLock console;
  const SoundSource& first = sources[0];
  std::string out = "{\n  \"file\": " + JsonString(first.path) + ",\n";
  if (first.disc) {
    out += "  \"album\": " + JsonAlbum(first) + ",\n  \"areas\": [";
    for (size_t s = 0; s < sources.size(); ++s) {
      const SoundSource& area = sources[s];
      out += std::string(s ? "," : "") + "\n    {\"area\": " + JsonString(area.area->name) +
             ", \"description\": " + JsonString(area.area->description) +
             ",\n     \"stream\": " + JsonStream(area) +
             ",\n     \"tracks\": " + JsonTracks(area, "     ") + "}";
    }
    out += "\n  ]\n}\n";
  } else {
    out += "  \"stream\": " + JsonStream(first) + ",\n  \"album\": " + JsonAlbum(first) +
           ",\n  \"tracks_from\": " + JsonString(OriginName(first)) +
           ",\n  \"cue_sheet\": " + (sheet.empty() ? "null" : JsonString(sheet)) +
           ",\n  \"tracks\": " + JsonTracks(first, "  ") + "\n}\n";
  }
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}
