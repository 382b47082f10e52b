// Finding and gathering the frames of an area.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sacd/sacd.h"
#include "sacd/sectors.h"

using namespace sacd_format;

namespace {

// Sectors read at once when reading on in order: about 20 stereo DST frames.
constexpr uint32_t WindowSectors = 32;
// Sectors read at once by a binary search's probe, which needs one.
constexpr uint32_t ProbeSectors = 1;
// How far a probe looks for a frame start: a whole frame spans at most 15
// sectors, so only damage leaves longer runs without one, and a probe that
// finds none sends the search back; gathering then reads on through the run.
constexpr uint32_t ProbeSpanSectors = 64;
// The most a DST frame may exceed the plain sound it codes: a frame stored
// plainly is one byte longer; the rest is room for an encoder's padding.
constexpr size_t DstFrameSlackBytes = SectorBytes;
constexpr int64_t AreaStart = SacdCursor::AreaStart;
constexpr int64_t NoNeighbour = SacdCursor::NoNeighbour;

std::string SectorName(uint64_t sector) { return "sector " + std::to_string(sector); }
std::string FrameName(uint32_t frame) { return "frame " + std::to_string(frame); }

// A frame number as the time code that reads it: "40:00:00".
std::string TimeCodeText(uint32_t frame) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", frame / FramesPerSecond / SecondsPerMinute,
                frame / FramesPerSecond % SecondsPerMinute, frame % FramesPerSecond);
  return text;
}

bool StartsFrame(const AudioPacket& packet) {
  return packet.type == DataTypeAudio && packet.frame_start;
}

// Whether audio sector `data` parses, and is of the area's frame format.
bool Parses(const SacdArea& area, const uint8_t* data, AudioSector* sector) {
  return ParseAudioSector(data, sector) &&
         sector->dst == (area.frame_format == SacdFrameFormat::Dst);
}

// Sector `s` read on its own and parsed, which leaves a cursor's window, and
// the data a caller holds in it, as they are. False when it is damaged.
bool ParsedAlone(const SacdArea& area, uint32_t s, AudioSector* sector) {
  uint8_t raw[RawSectorBytes];
  uint32_t got = 0;
  return ReadSectors(area.image, s, 1, raw, &got) && got == 1 &&
         Parses(area, UserData(area.image, raw), sector);
}

// The user data of sector `s`, through the cursor's window (reading `ahead`
// sectors from `s` when it is not there), or nullptr with `damage` saying why.
const uint8_t* SectorData(SacdCursor* cursor, uint32_t s, uint32_t ahead, std::string* damage) {
  const SacdImage& image = cursor->area->image;
  if (s < cursor->window_first || s - cursor->window_first >= cursor->window_sectors) {
    cursor->window_sectors = 0;
    if (s >= image.sectors) {
      *damage = "the image ends before " + SectorName(s);
      return nullptr;
    }
    ahead = std::min(ahead, cursor->area->last_sector - s + 1);
    // Grown once, never shrunk: a probe's one sector uses the start of it.
    const size_t bytes = static_cast<size_t>(ahead) * image.sector_bytes;
    if (cursor->window.size() < bytes) cursor->window.resize(bytes);
    uint32_t got = 0;
    if (!ReadSectors(image, s, ahead, cursor->window.data(), &got)) {
      *damage = SectorName(s) + " cannot be read";
      return nullptr;
    }
    if (got == 0) {
      *damage = "the image ends before " + SectorName(s);
      return nullptr;
    }
    cursor->window_first = s;
    cursor->window_sectors = got;
  }
  return UserData(image, cursor->window.data() +
                             static_cast<size_t>(s - cursor->window_first) * image.sector_bytes);
}

// Sector `s` parsed, and its user data; nullptr with `damage` saying why it
// cannot be read or parsed.
const uint8_t* ParsedSector(SacdCursor* cursor, uint32_t s, uint32_t ahead, AudioSector* sector,
                            std::string* damage) {
  const uint8_t* data = SectorData(cursor, s, ahead, damage);
  if (!data) return nullptr;
  if (!Parses(*cursor->area, data, sector)) {
    *damage = SectorName(s) + " is malformed";
    return nullptr;
  }
  return data;
}

// The time code of the frame start before packet `p` of sector `s`, read back
// with no damaged sector between: AreaStart when the track area starts
// first, NoNeighbour when a damaged sector comes first or no start comes
// within ProbeSpanSectors (only damage leaves such a run).
int64_t StartBefore(const SacdArea& area, uint32_t s, int p) {
  for (uint32_t looked = 0; looked < ProbeSpanSectors; ++looked) {
    if (p > 0) {
      AudioSector sector;
      if (!ParsedAlone(area, s, &sector)) return NoNeighbour;
      for (int q = std::min(p, sector.packets) - 1; q >= 0; --q) {
        if (StartsFrame(sector.packet[q])) return sector.packet[q].frame;
      }
    }
    if (s <= area.first_sector) return AreaStart;
    --s;
    p = MaxPackets;
  }
  return NoNeighbour;
}

// The time code of the frame start after packet `p` of sector `s`, read on
// with no damaged sector between: NoNeighbour when a damaged sector comes
// first, or no start within ProbeSpanSectors; when the track area's end
// does, the area's frame count, as if the frame after its last started there.
int64_t StartAfter(const SacdArea& area, uint32_t s, int p) {
  for (uint32_t looked = 0; s <= area.last_sector; ++s, p = -1) {
    if (looked++ == ProbeSpanSectors) return NoNeighbour;
    AudioSector sector;
    if (!ParsedAlone(area, s, &sector)) return NoNeighbour;
    for (int q = p + 1; q < sector.packets; ++q) {
      if (StartsFrame(sector.packet[q])) return sector.packet[q].frame;
    }
  }
  return area.frames;
}

// Whether a frame start whose time code is `code` is out of line with the
// frame starts before and after it (`before`, `after`; NoNeighbour where a
// damaged sector lies between): they leave room for a frame between them,
// and its code does not fall there. Its time code is damaged, then, and the
// frame it starts is lost rather than taken for a frame far from it. Beside
// a damaged sector, or between neighbours out of order themselves, which of
// them is wrong cannot be told, and the code is taken as it reads. Codes
// that only increase, whatever their gaps, are all in line, but for a last
// one past the area's playing time, whose frame cannot be asked for.
bool OutOfLine(int64_t before, int64_t code, int64_t after) {
  if (before == NoNeighbour || after == NoNeighbour || before + 1 >= after) return false;
  return code <= before || code >= after;
}

// The same for the start at packet `p` of sector `s`, after a start whose
// code is `before`: one that follows it by one is in line whatever comes
// next, which spares reading on for the next start.
bool StartOutOfLine(const SacdArea& area, uint32_t s, int p, int64_t before, uint32_t code) {
  return code != before + 1 && OutOfLine(before, code, StartAfter(area, s, p));
}

// The first frame that starts in a sector from `from` to `to` (at most
// ProbeSpanSectors of them) in line with its neighbours: its sector and time
// code. False when none does.
bool FirstStartFrom(SacdCursor* cursor, uint32_t from, uint32_t to, uint32_t* sector,
                    uint32_t* frame) {
  const SacdArea& area = *cursor->area;
  to = static_cast<uint32_t>(std::min<uint64_t>(to, uint64_t{from} + ProbeSpanSectors - 1));
  for (uint32_t s = from; s <= to && s < area.image.sectors; ++s) {
    AudioSector parsed;
    std::string damage;
    if (!ParsedSector(cursor, s, ProbeSectors, &parsed, &damage)) continue;
    for (int p = 0; p < parsed.packets; ++p) {
      const uint32_t code = parsed.packet[p].frame;
      if (StartsFrame(parsed.packet[p]) &&
          !StartOutOfLine(area, s, p, StartBefore(area, s, p), code)) {
        *sector = s;
        *frame = code;
        return true;
      }
    }
  }
  return false;
}

// The last sector from `low` to `high` in which a frame not later than
// `frame` starts, by a binary search; false when there is none.
bool Search(SacdCursor* cursor, uint32_t frame, uint32_t low, uint32_t high, uint32_t* best) {
  bool found = false;
  while (low <= high) {
    const uint32_t middle = low + (high - low) / 2;
    uint32_t sector = 0, first = 0;
    if (FirstStartFrom(cursor, middle, high, &sector, &first) && first <= frame) {
      *best = sector;
      found = true;
      low = sector + 1;
    } else {
      if (middle == 0) break;
      high = middle - 1;
    }
  }
  return found;
}

// Places the cursor at the last sector in which a frame not later than
// `frame` starts: searched among the sectors of the track that holds
// `frame`, then, when the track list puts that track too late, among those
// before it.
void Seek(SacdCursor* cursor, uint32_t frame) {
  const SacdArea& area = *cursor->area;
  const auto later =
      std::upper_bound(area.tracks.begin(), area.tracks.end(), frame,
                       [](uint32_t f, const SacdTrack& track) { return f < track.first_frame; });
  const uint32_t low = later == area.tracks.begin() ? area.first_sector : (later - 1)->first_sector;
  const uint32_t high = later == area.tracks.end() ? area.last_sector : later->first_sector;
  uint32_t best = area.first_sector;
  if (!Search(cursor, frame, low, high, &best) && low > area.first_sector) {
    Search(cursor, frame, area.first_sector, low, &best);
  }
  cursor->positioned = true;
  cursor->next_frame = frame;
  cursor->sector = best;
  cursor->packet = 0;
  cursor->damage.clear();
  cursor->start_before = StartBefore(area, best, 0);
}

// Whether the frame gathered in `out` is whole: a plain frame by its size, a
// DST frame by the sectors its frame info says it spans, of which `sector`
// is past the last.
bool Whole(const SacdArea& area, const SacdFrame& out, uint32_t first_sector, uint32_t span,
           uint32_t sector) {
  if (!out.dst) return out.bytes.size() == area.channels * SacdChannelFrameBytes;
  return span != 0 && sector >= static_cast<uint64_t>(first_sector) + span;
}

// A frame gathered up to its end: whether its bytes can be a frame.
bool Finish(const SacdArea& area, uint32_t frame, SacdFrame* out) {
  const size_t plain_bytes = area.channels * SacdChannelFrameBytes;
  if (!out->dst && out->bytes.size() != plain_bytes) {
    out->damage = FrameName(frame) + " holds " + std::to_string(out->bytes.size()) +
                  " bytes, not " + std::to_string(plain_bytes);
    return false;
  }
  if (out->bytes.empty()) {
    out->damage = FrameName(frame) + " is empty";
    return false;
  }
  return true;
}

// Reads on from the cursor's place: past the frames before `frame`, then
// gathers the audio packets of `frame` up to the start of the next one. A
// start out of line with its neighbours is passed like an earlier frame's,
// so that one damaged time code costs only the frame it starts.
bool Gather(SacdCursor* cursor, uint32_t frame, SacdFrame* out) {
  const SacdArea& area = *cursor->area;
  const size_t most_bytes =
      area.channels * SacdChannelFrameBytes + (out->dst ? DstFrameSlackBytes : 0);
  bool gathering = false;
  uint32_t first_sector = 0, span = 0;
  int64_t before = cursor->start_before;  // the last start passed, as the cursor keeps it
  auto place = [&](uint32_t s, int p) {
    cursor->positioned = true;
    cursor->next_frame = frame + 1;
    cursor->sector = s;
    cursor->packet = p;
    cursor->start_before = before;
  };
  auto missing = [&]() {
    out->damage =
        cursor->damage.empty() ? FrameName(frame) + " is not in the image" : cursor->damage;
    return false;
  };
  for (uint32_t s = cursor->sector;; ++s) {
    if (s > area.last_sector) {
      // The track area ends, and with it the last frame.
      place(s, 0);
      if (gathering) return Finish(area, frame, out);
      cursor->positioned = false;
      return missing();
    }
    AudioSector sector;
    std::string damage;
    const uint8_t* data = ParsedSector(cursor, s, WindowSectors, &sector, &damage);
    if (!data) {
      const bool past_end = s >= area.image.sectors;
      if (gathering && Whole(area, *out, first_sector, span, s)) {
        place(s, 0);
        cursor->damage = damage;
        return Finish(area, frame, out);
      }
      cursor->damage = damage;
      before = NoNeighbour;
      if (gathering || past_end) {
        place(s + 1, 0);
        if (past_end) cursor->positioned = false;
        out->damage = damage;
        return false;
      }
      continue;
    }
    for (int p = s == cursor->sector ? cursor->packet : 0; p < sector.packets; ++p) {
      const AudioPacket& packet = sector.packet[p];
      if (packet.type != DataTypeAudio) continue;
      if (packet.frame_start) {
        if (gathering) {
          place(s, p);
          cursor->damage.clear();
          return Finish(area, frame, out);
        }
        if (StartOutOfLine(area, s, p, before, packet.frame)) {
          before = packet.frame;
          cursor->damage = FrameName(frame) + "'s time code reads " + TimeCodeText(packet.frame);
          continue;
        }
        if (packet.frame > frame) {
          // The frame's start is not where it would be: keep this place for the next.
          place(s, p);
          return missing();
        }
        before = packet.frame;
        cursor->damage.clear();
        if (packet.frame < frame) continue;
        gathering = true;
        first_sector = s;
        span = packet.sectors;
      }
      if (!gathering) continue;
      if (out->bytes.size() + packet.length > most_bytes) {
        place(s, p + 1);
        out->damage = FrameName(frame) + " is longer than " + std::to_string(most_bytes) + " bytes";
        return false;
      }
      out->bytes.insert(out->bytes.end(), data + packet.offset,
                        data + packet.offset + packet.length);
    }
  }
}

bool StartFrame(const SacdArea& area, uint32_t frame, SacdFrame* out) {
  out->dst = area.frame_format == SacdFrameFormat::Dst;
  out->bytes.clear();
  out->damage.clear();
  if (frame < area.frames) return true;
  out->damage = FrameName(frame) + " is past the area's end";
  return false;
}

}  // namespace

void StartSacdCursor(const SacdArea& area, SacdCursor* cursor) {
  *cursor = SacdCursor{};
  cursor->area = &area;
}

bool ReadSacdFrame(SacdCursor* cursor, uint32_t frame, SacdFrame* out) {
  if (!StartFrame(*cursor->area, frame, out)) return false;
  if (!cursor->positioned || cursor->next_frame != frame) Seek(cursor, frame);
  return Gather(cursor, frame, out);
}

bool ReadSacdFrameReference(const SacdArea& area, uint32_t frame, SacdFrame* out) {
  if (!StartFrame(area, frame, out)) return false;
  SacdCursor cursor;
  StartSacdCursor(area, &cursor);
  cursor.sector = area.first_sector;
  cursor.start_before = AreaStart;
  return Gather(&cursor, frame, out);
}
