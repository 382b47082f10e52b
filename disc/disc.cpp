#include "disc/disc.h"

#include <cstdio>
#include <memory>

namespace {

constexpr uint64_t SamplesPerFrame = SacdSampleRate / SacdFramesPerSecond;  // per channel
constexpr uint64_t WordsPerFrame = SacdChannelFrameBytes / sizeof(ChannelWord);

const SacdArea* Chosen(const SacdDisc& disc, DiscArea area) {
  switch (area) {
    case DiscArea::Stereo:
      return disc.stereo.present ? &disc.stereo : nullptr;
    case DiscArea::Multichannel:
      return disc.multichannel.present ? &disc.multichannel : nullptr;
    case DiscArea::Default:
      break;
  }
  return disc.stereo.present ? &disc.stereo : &disc.multichannel;
}

// How many of the area's frames an image cut short still holds: the first
// frame that the image ends before, found by a binary search.
uint64_t FramesPresent(const SacdArea& area) {
  if (area.image.sectors > area.last_sector) return area.frames;
  SacdCursor cursor;
  StartSacdCursor(area, &cursor);
  SacdFrame frame;
  uint64_t low = 0, high = area.frames;  // frames [0, low) are held; the answer is in [low, high]
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    const bool held = ReadSacdFrame(&cursor, static_cast<uint32_t>(mid), &frame) ||
                      frame.damage.rfind("the image ends", 0) != 0;
    if (held) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// The date of the disc, as the DATE field writes it: "YYYY", "YYYY-MM" or
// "YYYY-MM-DD", as far as the disc gives it.
std::string DateOf(const SacdDisc& disc) {
  if (disc.year == 0) return "";
  char date[16];
  if (disc.month == 0) {
    std::snprintf(date, sizeof date, "%04u", static_cast<unsigned>(disc.year));
  } else if (disc.day == 0) {
    std::snprintf(date, sizeof date, "%04u-%02u", static_cast<unsigned>(disc.year),
                  static_cast<unsigned>(disc.month));
  } else {
    std::snprintf(date, sizeof date, "%04u-%02u-%02u", static_cast<unsigned>(disc.year),
                  static_cast<unsigned>(disc.month), static_cast<unsigned>(disc.day));
  }
  return date;
}

std::string FirstOf(const std::string& a, const std::string& b) { return !a.empty() ? a : b; }

}  // namespace

Fault ReadDiscHead(int fd, const char* path, DiscArea which, SoundSource* source,
                   SoundProperties* properties) {
  auto disc = std::make_shared<SacdDisc>();
  const Fault fault = ReadSacdDisc(fd, path, disc.get());
  source->notes.insert(source->notes.end(), disc->notes.begin(), disc->notes.end());
  if (fault.failure == Failure::UnsupportedSound) {
    properties->refusal = Refusal::Disc;
    properties->reason = disc->refusal;
    return Fault{Failure::UnsupportedSound, path};
  }
  if (Failed(fault)) return fault;
  const SacdArea* area = Chosen(*disc, which);
  if (area == nullptr || !area->present) {
    properties->refusal = Refusal::Disc;
    properties->reason = std::string("the disc has no ") +
                         (which == DiscArea::Stereo ? "stereo" : "multichannel") + " area";
    return Fault{Failure::UnsupportedSound, path};
  }
  source->container =
      area->multichannel
          ? (area->frame_format == SacdFrameFormat::Dst ? "SACD image, multichannel area (DST)"
                                                        : "SACD image, multichannel area")
          : (area->frame_format == SacdFrameFormat::Dst ? "SACD image, stereo area (DST)"
                                                        : "SACD image, stereo area");
  source->sample_rate = area->sample_rate;
  source->channels = area->channels;
  OrderChannels(area->speakers, area->channels, source);
  source->layout = SoundLayout::DiscFrames;
  source->words = uint64_t{area->frames} * WordsPerFrame;
  source->declared_bytes = source->words * sizeof(ChannelWord) * area->channels;
  source->data_end = UINT64_MAX;
  source->fd = fd;
  source->path = path;
  source->area = area;
  source->frames_present = FramesPresent(*area);
  source->disc = std::move(disc);
  if (source->words < MinSourceWords) return Fault{Failure::DataTooSmall, path};
  return Fault{};
}

void ReadDiscDetails(uint64_t /*input_bytes*/, SoundSource* source) {
  const SacdDisc& disc = *source->disc;
  const SacdArea& area = *source->area;
  const SacdAlbumText text = disc.text.empty() ? SacdAlbumText{} : disc.text[0];
  Album& album = source->album;
  album.title = FirstOf(text.album_title, text.disc_title);
  album.artist = FirstOf(text.album_artist, text.disc_artist);
  album.catalog = FirstOf(disc.album_catalog_number, disc.disc_catalog_number);
  const char* genre = SacdGenreName(disc.album_genres[0]);
  if (genre == nullptr) genre = SacdGenreName(disc.disc_genres[0]);
  album.genre = genre ? genre : "";
  album.date = DateOf(disc);
  album.disc_number = disc.album_sequence_number;
  album.disc_total = disc.album_set_size;
  // The whole area's file: the album's fields.
  TagRecord& tags = source->tags;
  tags = TagRecord();
  for (const auto& [field, value] :
       {std::pair{"TITLE", album.title},
        {"ARTIST", album.artist},
        {"ALBUMARTIST", album.artist},
        {"ALBUM", album.title},
        {"DATE", album.date},
        {"GENRE", album.genre},
        {"LABEL", FirstOf(text.album_publisher, text.disc_publisher)},
        {"COPYRIGHT", FirstOf(FirstOf(text.album_copyright, text.disc_copyright), area.copyright)},
        {"CATALOGNUMBER", album.catalog}}) {
    SetField(field, value, &tags);
  }
  if (album.disc_number > 0) SetField("DISCNUMBER", std::to_string(album.disc_number), &tags);
  if (album.disc_total > 0) SetField("DISCTOTAL", std::to_string(album.disc_total), &tags);
  // The tracks: a pause before a track belongs to the one before it.
  source->tracks.clear();
  for (size_t t = 0; t < area.tracks.size(); ++t) {
    const SacdTrack& entry = area.tracks[t];
    Track track;
    track.number = static_cast<int>(t) + 1;
    track.start = entry.first_frame * SamplesPerFrame;
    if (t + 1 == area.tracks.size())
      track.end = uint64_t{entry.first_frame + entry.frames} * SamplesPerFrame;
    if (t > 0) {
      const SacdTrack& before = area.tracks[t - 1];
      source->tracks.back().end = track.start;
      const uint64_t before_end = uint64_t{before.first_frame} + before.frames;
      if (entry.first_frame > before_end)
        track.pause = (entry.first_frame - before_end) * SamplesPerFrame;
    }
    if (!entry.text.empty()) {
      const SacdTrackText& words = entry.text[0];
      track.title = words.title;
      track.performer = words.performer;
      track.composer = FirstOf(words.composer, words.songwriter);
    }
    track.isrc = entry.isrc;
    source->tracks.push_back(std::move(track));
  }
  source->origin = TrackOrigin::Disc;
}
