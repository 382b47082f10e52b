// libFuzzer target: the SACD image reader on an in-memory file, its TOCs and
// text, then a few frames of each area, found by search and read in order,
// each checked against the reading from the track area's start wherever the
// time codes of the frames in line with their neighbours increase along the
// area; then the image as a source, its tracks and the words of its first
// frames. The first byte picks the sector size (even 2,048, odd 2,064); the
// rest is the image from sector 510 on, the 510 sectors before it being
// zeros, so that seeds and mutations stay small.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "disc/disc.h"
#include "sacd/sacd.h"
#include "sacd/sacd_format.h"
#include "sacd/sectors.h"

namespace {

constexpr uint32_t SectorsBefore = sacd_format::MasterTocCopies[0];
constexpr uint32_t FramesReadInOrder = 3;  // keeps every execution short

// Whether the time codes of the frames that start in the area's sectors (those
// the image holds whole and that parse) only increase, leaving out those out
// of line with their neighbours: the starts before and after with no damaged
// sector between (the area's start and end standing for frames -1 and
// area.frames) and fewer than ProbeSpan sectors away, which leave room for a
// frame between them where the code does not fall. Where they do, a frame is found alike by any way
// of looking; where they do not, the reader need only stay safe.
bool InLineStartsIncrease(const SacdArea& area) {
  constexpr int64_t Damage = INT64_MIN;  // a damaged sector, or no start near, between the starts
  constexpr uint64_t ProbeSpan = 64;     // how far the readers look for a start's neighbours
  std::vector<int64_t> codes = {-1};     // the area's start, then starts and damage
  uint64_t last_place = area.first_sector;  // the sector of the last entry
  auto push = [&](uint64_t s, int64_t code) {
    if (code != Damage && s >= last_place + ProbeSpan) codes.push_back(Damage);
    codes.push_back(code);
    last_place = s;
  };
  std::vector<uint8_t> raw(area.image.sector_bytes);
  for (uint64_t s = area.first_sector; s <= area.last_sector; ++s) {
    if (s >= area.image.sectors) {  // the image ends: damage up to the area's end
      push(s, Damage);
      break;
    }
    uint32_t got = 0;
    AudioSector sector;
    if (!ReadSectors(area.image, s, 1, raw.data(), &got) || got != 1 ||
        !ParseAudioSector(UserData(area.image, raw.data()), &sector) ||
        sector.dst != (area.frame_format == SacdFrameFormat::Dst)) {
      push(s, Damage);
      continue;
    }
    for (int p = 0; p < sector.packets; ++p) {
      const AudioPacket& packet = sector.packet[p];
      if (packet.type == sacd_format::DataTypeAudio && packet.frame_start) {
        push(s, packet.frame);
      }
    }
  }
  push(area.last_sector, area.frames);  // the area's end
  bool started = false;
  int64_t last = 0;
  for (size_t i = 1; i + 1 < codes.size(); ++i) {
    const int64_t before = codes[i - 1], code = codes[i], after = codes[i + 1];
    if (code == Damage) continue;
    if (before != Damage && after != Damage && before + 1 < after &&
        (code <= before || code >= after)) {
      continue;
    }
    if (started && code <= last) return false;
    started = true;
    last = code;
  }
  return true;
}

// A frame read with a cursor must be what the reading from the start gives.
void CheckFrame(const SacdArea& area, bool increasing, SacdCursor* cursor, uint32_t frame) {
  SacdFrame found, reference;
  const bool readable = ReadSacdFrame(cursor, frame, &found);
  const bool reference_readable = ReadSacdFrameReference(area, frame, &reference);
  if (readable != found.damage.empty()) __builtin_trap();
  if (increasing && (readable != reference_readable || found.bytes != reference.bytes)) {
    __builtin_trap();
  }
  const size_t plain = area.channels * SacdChannelFrameBytes;
  if (readable && !found.dst && found.bytes.size() != plain) __builtin_trap();
  if (found.bytes.size() > plain + sacd_format::SectorBytes) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t sector_bytes =
      data[0] % 2 ? sacd_format::RawSectorBytes : sacd_format::SectorBytes;
  const off_t before = static_cast<off_t>(SectorsBefore) * sector_bytes;
  const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, before) != 0 ||
      pwrite(fd, data + 1, size - 1, before) != static_cast<ssize_t>(size - 1)) {
    __builtin_trap();
  }
  SacdDisc disc;
  const Fault fault = ReadSacdDisc(fd, "image", &disc);
  if (fault.failure == Failure::UnsupportedSound && disc.refusal.empty()) __builtin_trap();
  if (!Failed(fault)) {
    if (!disc.stereo.present && !disc.multichannel.present) __builtin_trap();
    for (const SacdArea* area : {&disc.stereo, &disc.multichannel}) {
      if (!area->present) continue;
      if (area->channels < 1 || area->channels > MaxChannels || area->tracks.empty()) {
        __builtin_trap();
      }
      for (const SacdTrack& track : area->tracks) {
        if (track.first_frame + static_cast<uint64_t>(track.frames) > area->frames) {
          __builtin_trap();
        }
        if (track.text.size() != area->text_channels.size()) __builtin_trap();
      }
      const bool increasing = InLineStartsIncrease(*area);
      SacdCursor cursor;
      StartSacdCursor(*area, &cursor);
      for (uint32_t f = 0; f < FramesReadInOrder && f < area->frames; ++f) {
        CheckFrame(*area, increasing, &cursor, f);
      }
      // Then by search: the last frame, and one the input picks.
      if (area->frames > 0) CheckFrame(*area, increasing, &cursor, area->frames - 1);
      if (area->frames > 0) {
        CheckFrame(*area, increasing, &cursor, data[size / 2] % area->frames);
      }
    }
  }
  // The image as a run reads it: described, then its first words.
  SoundSource source;
  SoundProperties properties;
  if (!Failed(ReadDiscHead(fd, "image", DiscArea::Default, &source, &properties))) {
    ReadDiscDetails(0, &source);
    for (size_t t = 1; t < source.tracks.size(); ++t) {
      if (source.tracks[t].start < source.tracks[t - 1].start) __builtin_trap();
    }
    if (source.frames_present > source.area->frames) __builtin_trap();
    constexpr uint32_t Words = 3000;  // across the first frames' boundaries
    source.words_present =
        WordsPresent(source, UINT64_MAX, std::min<uint64_t>(source.words, Words));
    std::vector<uint8_t> buffer(SourceBufferBytes(source, Words));
    std::vector<ChannelWord> channels[MaxChannels];
    ChannelWord* words[MaxChannels];
    for (int c = 0; c < source.channels; ++c) {
      channels[c].resize(Words);
      words[c] = channels[c].data();
    }
    std::vector<DamagedFrame> damaged;
    if (Failed(ReadSourceWords(source, 0, Words, buffer.data(), words, &damaged))) __builtin_trap();
  } else if (properties.refusal == Refusal::Disc && properties.reason.empty()) {
    __builtin_trap();
  }
  close(fd);
  return 0;
}
