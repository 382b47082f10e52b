#include "driver/reporter.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "album/album.h"
#include "driver/messages.h"
#include "driver/output_formats.h"
#include "dst/dst.h"
#include "tags/tags.h"

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
                   const StreamFormat& format, size_t track_files) {
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

void ReportAutoGain(const Reporter&, const char* in_path, double gain_db, uint64_t peak) {
  std::fprintf(stderr, "dff2wav: %s: --gain auto: %+.2f dB (peak %+.2f dBFS at 0 dB)\n", in_path,
               gain_db, DecibelsOfMagnitude(peak));
}

void ReportReplayGain(const Reporter&, const char* in_path, int track, const char* kind,
                      const ReplayGain& values) {
  const std::string which = track > 0 ? "track " + std::to_string(track) + ": " : "";
  std::fprintf(stderr, "dff2wav: %s: %sReplayGain: %s gain %s, %s peak %s\n", in_path,
               which.c_str(), kind, values.gain, kind, values.peak);
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

void ReportTagNotes(const Reporter&, const char* in_path, const std::vector<std::string>& notes,
                    int track) {
  const std::string which = track > 0 ? "track " + std::to_string(track) + ": " : "";
  for (const std::string& note : notes) {
    std::fprintf(stderr, "dff2wav: %s: %s%s\n", in_path, which.c_str(), note.c_str());
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

const char* OriginName(TrackOrigin origin) {
  switch (origin) {
    case TrackOrigin::Markers:
      return "markers";
    case TrackOrigin::CueSheet:
      return "a cue sheet";
    case TrackOrigin::Disc:
      return "the disc";
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

void ReportTrackList(const SoundSource& source, const std::string& sheet) {
  const std::vector<Track> tracks = ListedTracks(source);
  // Titles and names come from the file: each stays on its own line.
  std::string album = AlbumTitle(source).empty() ? "(untitled)" : PrintableText(AlbumTitle(source));
  if (!AlbumArtist(source).empty()) album += " / " + PrintableText(AlbumArtist(source));
  std::printf("%s: %s: %zu track%s from %s%s\n", source.path, album.c_str(), tracks.size(),
              tracks.size() == 1 ? "" : "s", OriginName(source.origin),
              sheet.empty() ? "" : (" " + sheet).c_str());
  for (const Track& track : tracks) {
    std::printf(
        "%3d  %s  %s  %s%s\n", track.number, ClockOf(track.start, source.sample_rate).c_str(),
        ClockOf(track.end - std::min(track.start, track.end), source.sample_rate).c_str(),
        PrintableText(track.title).c_str(),
        track.performer.empty() ? "" : ("  (" + PrintableText(track.performer) + ")").c_str());
  }
  std::fflush(stdout);
}

void ReportTrackJson(const SoundSource& source, const std::string& sheet) {
  const std::vector<Track> tracks = ListedTracks(source);
  const uint32_t rate = source.sample_rate;
  std::string speakers;
  for (int c = 0; c < source.channels; ++c) {
    speakers += (c ? ", " : "") + JsonString(SpeakerName(source.speakers[c]));
  }
  const char* layout = LayoutName(source.speakers, source.channels);
  const Album& a = source.album;
  std::printf("{\n  \"file\": %s,\n", JsonString(source.path).c_str());
  std::printf(
      "  \"stream\": {\"container\": %s, \"sample_rate\": %u, \"channels\": %d, \"speakers\": "
      "[%s], "
      "\"layout\": %s, \"seconds\": %s},\n",
      JsonString(source.container).c_str(), static_cast<unsigned>(rate), source.channels,
      speakers.c_str(), layout ? JsonString(layout).c_str() : "null",
      JsonSeconds(source.words_present * WordSamples, rate).c_str());
  std::printf(
      "  \"album\": {\"title\": %s, \"artist\": %s, \"catalog\": %s, \"genre\": %s, \"date\": %s, "
      "\"disc_number\": %d, \"disc_total\": %d},\n",
      JsonString(AlbumTitle(source)).c_str(), JsonString(AlbumArtist(source)).c_str(),
      JsonString(a.catalog).c_str(), JsonString(a.genre).c_str(), JsonString(a.date).c_str(),
      a.disc_number, a.disc_total);
  std::printf("  \"tracks_from\": %s,\n  \"cue_sheet\": %s,\n  \"tracks\": [",
              JsonString(OriginName(source.origin)).c_str(),
              sheet.empty() ? "null" : JsonString(sheet).c_str());
  for (size_t t = 0; t < tracks.size(); ++t) {
    const Track& track = tracks[t];
    const uint64_t length = track.end - std::min(track.start, track.end);
    std::printf(
        "%s\n    {\"number\": %d, \"start\": %s, \"length\": %s, \"pause\": %s, \"start_sample\": "
        "%llu, \"length_samples\": %llu, \"title\": %s, \"performer\": %s, \"composer\": %s, "
        "\"isrc\": %s}",
        t ? "," : "", track.number, JsonSeconds(track.start, rate).c_str(),
        JsonSeconds(length, rate).c_str(), JsonSeconds(track.pause, rate).c_str(),
        static_cast<unsigned long long>(track.start), static_cast<unsigned long long>(length),
        JsonString(track.title).c_str(), JsonString(track.performer).c_str(),
        JsonString(track.composer).c_str(), JsonString(track.isrc).c_str());
  }
  std::printf("\n  ]\n}\n");
  std::fflush(stdout);
}
