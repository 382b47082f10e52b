// Inside the sacd module: reading whole sectors of an image, and the layout
// of one audio sector (its packets, which frames start in it and where).
#pragma once

#include <cstdint>
#include <string>

#include "sacd/sacd.h"
#include "sacd/sacd_format.h"

// Reads up to `count` sectors from `first` into `buffer` (count x
// image.sector_bytes bytes) and returns how many whole sectors it holds: fewer
// at the end of the file, 0 from it on. False when a read fails (errno set).
bool ReadSectors(const SacdImage& image, uint64_t first, uint32_t count, uint8_t* buffer,
                 uint32_t* got);

// The 2,048 bytes of user data of the sector whose file bytes start at `raw`.
inline const uint8_t* UserData(const SacdImage& image, const uint8_t* raw) {
  return raw + image.data_offset;
}

// One packet of an audio sector.
struct AudioPacket {
  uint16_t offset = 0;  // of its first byte in the sector
  uint16_t length = 0;
  uint8_t type = 0;  // sacd_format::DataTypeAudio, ...
  bool frame_start = false;
  uint32_t frame = 0;   // frame_start: the frame's time code, in frames from the area's start
  uint8_t sectors = 0;  // frame_start, DST: the sectors the frame spans, as the sector says
};

struct AudioSector {
  bool dst = false;
  int packets = 0;
  AudioPacket packet[sacd_format::MaxPackets];
};

// Parses the audio sector `data` (2,048 bytes). False when it contradicts
// itself: no packets, more frame infos than packets that start a frame (or
// fewer), packets that run past the sector, a time code out of range.
bool ParseAudioSector(const uint8_t* data, AudioSector* sector);

// A time code (minutes, seconds, frames) as a frame number; false when the
// seconds or frames are out of range.
bool TimeCodeFrames(const uint8_t* time_code, uint32_t* frames);
