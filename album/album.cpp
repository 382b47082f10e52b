#include "album/album.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "base/channel_word.h"
#include "resample/resample.h"

namespace {

constexpr int TrackNumberDigits = 2;  // %n: "01"
constexpr char Replacement = '_';     // for what a name may not hold
// Fields of the file's tag that belong to one track, not to its album.
constexpr const char* TrackOnlyFields[] = {
    "TITLE",
    "TRACKNUMBER",
    "TRACKTOTAL",
    "ISRC",
    "LYRICS",
    "MUSICBRAINZ_TRACKID",
    "MUSICBRAINZ_RELEASETRACKID",
    "REPLAYGAIN_TRACK_GAIN",
    "REPLAYGAIN_TRACK_PEAK",
};

uint64_t FilterFrameOf(uint64_t sample) { return sample / WordSamples; }

std::string FirstValue(const TagRecord& record, const char* name) {
  for (const TagComment& c : record.comments) {
    if (c.name == name) return c.value;
  }
  return "";
}

// Sets `name` to `value` unless `value` is empty, or the field is there and
// `keep` says to leave it.
void Put(const char* name, const std::string& value, bool keep, TagRecord* record) {
  if (value.empty() || (keep && !FirstValue(*record, name).empty())) return;
  SetField(name, value, record);
}

std::string TwoDigits(int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", TrackNumberDigits, number);
  return text;
}

// `text` cut to at most `bytes` bytes, at the start of a UTF-8 character.
std::string CutAtCharacter(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

Track WholeTrack() {
  Track track;
  track.number = 1;
  return track;
}

TrackCut CutOf(const Track& track, uint64_t filtered_frames, uint32_t filter_rate,
               uint32_t out_rate) {
  const uint64_t start = std::min(FilterFrameOf(track.start), filtered_frames);
  const uint64_t end =
      track.end == SoundEnd ? filtered_frames : std::min(FilterFrameOf(track.end), filtered_frames);
  const uint64_t first = ResampledFrames(start, filter_rate, out_rate);
  const uint64_t last = ResampledFrames(std::max(start, end), filter_rate, out_rate);
  return TrackCut{first, last - first};
}

std::string TrackProblem(const std::vector<Track>& tracks, uint64_t filtered_frames) {
  for (size_t t = 0; t < tracks.size(); ++t) {
    const Track& track = tracks[t];
    const std::string name = "track " + std::to_string(track.number);
    if (FilterFrameOf(track.start) >= filtered_frames) {
      return name + " starts past the end of the sound";
    }
    if (t > 0 && track.start == tracks[t - 1].start) {
      return name + " starts at the same time as track " + std::to_string(tracks[t - 1].number);
    }
    if (t > 0 && track.start < tracks[t - 1].start) {
      return name + " starts before track " + std::to_string(tracks[t - 1].number);
    }
  }
  return "";
}

bool ParseTrackList(const std::string& text, std::vector<int>* numbers) {
  constexpr int MaxTrack = 9999;
  numbers->clear();
  size_t at = 0;
  const auto number = [&](int* value) {
    const size_t from = at;
    long n = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && n <= MaxTrack) {
      n = n * 10 + (text[at++] - '0');
    }
    *value = static_cast<int>(n);
    return at > from && n >= 1 && n <= MaxTrack;
  };
  while (true) {
    int low = 0, high = 0;
    if (!number(&low)) return false;
    high = low;
    if (at < text.size() && text[at] == '-') {
      ++at;
      if (!number(&high) || high < low) return false;
    }
    for (int n = low; n <= high; ++n) numbers->push_back(n);
    if (at == text.size()) break;
    if (text[at++] != ',') return false;
  }
  std::sort(numbers->begin(), numbers->end());
  numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
  return true;
}

std::string AlbumTitle(const SoundSource& source) {
  return !source.album.title.empty() ? source.album.title : FirstValue(source.tags, "ALBUM");
}

std::string AlbumArtist(const SoundSource& source) {
  if (!source.album.artist.empty()) return source.album.artist;
  const std::string album_artist = FirstValue(source.tags, "ALBUMARTIST");
  return !album_artist.empty() ? album_artist : FirstValue(source.tags, "ARTIST");
}

TagRecord TrackTags(const SoundSource& source, const std::vector<Track>& tracks, size_t t) {
  const Track& track = tracks[t];
  const bool own = track.has_tags;
  TagRecord record = own ? track.tags : source.tags;
  record.notes.clear();
  if (!own) {
    for (const char* field : TrackOnlyFields) SetField(field, "", &record);
    // The file's artist is the album's unless the track names its own.
    if (!track.performer.empty()) SetField("ARTIST", "", &record);
  }
  if (!own && record.pictures.empty()) record.pictures = source.tags.pictures;
  Put("TITLE", track.title, own, &record);
  Put("ARTIST", !track.performer.empty() ? track.performer : AlbumArtist(source), true, &record);
  Put("COMPOSER", track.composer, own, &record);
  Put("ISRC", track.isrc, own, &record);
  Put("ALBUM", AlbumTitle(source), true, &record);
  Put("ALBUMARTIST", AlbumArtist(source), true, &record);
  Put("DATE", source.album.date, true, &record);
  Put("GENRE", source.album.genre, true, &record);
  Put("CATALOGNUMBER", source.album.catalog, true, &record);
  Put("TRACKNUMBER", std::to_string(track.number), own, &record);
  Put("TRACKTOTAL", std::to_string(tracks.size()), own, &record);
  if (source.album.disc_number > 0) {
    Put("DISCNUMBER", std::to_string(source.album.disc_number), true, &record);
  }
  if (source.album.disc_total > 0) {
    Put("DISCTOTAL", std::to_string(source.album.disc_total), true, &record);
  }
  record.id3 = RenderId3Tag(record);
  return record;
}

std::string TrackFileName(const std::string& tmpl, const Track& track, const std::string& album,
                          const std::string& album_artist, const std::string& ending) {
  const std::string number = TwoDigits(track.number);
  std::string name;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%' || i + 1 == tmpl.size()) {
      name.push_back(tmpl[i]);
      continue;
    }
    switch (tmpl[++i]) {
      case 'n':
        name += number;
        break;
      case 't':
        name += track.title;
        break;
      case 'p':
        name += !track.performer.empty() ? track.performer : album_artist;
        break;
      case 'a':
        name += album;
        break;
      case '%':
        name.push_back('%');
        break;
      default:  // not a field: kept as written
        name.push_back('%');
        name.push_back(tmpl[i]);
    }
  }
  return SafeFileName(name, track.number, ending);
}

std::string SafeFileName(std::string name, int number, const std::string& ending) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = Replacement;
  }
  if (name.empty() || name == "." || name == "..") name = TwoDigits(number);
  if (name[0] == '-' || name[0] == '.') name.insert(name.begin(), Replacement);
  return CutAtCharacter(name, MaxNameBytes - ending.size());
}

void MakeDistinct(const std::string& ending, std::vector<std::string>* names) {
  std::unordered_set<std::string> taken;
  // The copy number each name tries next: the ones before it are taken, and
  // an album of a thousand equal titles costs no more than one of distinct ones.
  std::unordered_map<std::string, int> next_copy;
  for (std::string& name : *names) {
    std::string candidate = name;
    int& copy = next_copy.emplace(name, 2).first->second;
    while (!taken.insert(candidate).second) {
      const std::string suffix = " (" + std::to_string(copy++) + ")";
      candidate = CutAtCharacter(name, MaxNameBytes - ending.size() - suffix.size()) + suffix;
    }
    name = candidate;
  }
}
