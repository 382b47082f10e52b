#include "sacd/sectors.h"

#include <cerrno>

#include "base/byte_order.h"
#include "base/io.h"

using namespace sacd_format;

bool ReadSectors(const SacdImage& image, uint64_t first, uint32_t count, uint8_t* buffer,
                 uint32_t* got) {
  *got = 0;
  if (first >= image.sectors) return true;
  if (count > image.sectors - first) count = static_cast<uint32_t>(image.sectors - first);
  size_t bytes = 0;
  if (!ReadAt(image.fd, buffer, static_cast<size_t>(count) * image.sector_bytes,
              first * image.sector_bytes, &bytes)) {
    return false;
  }
  *got = static_cast<uint32_t>(bytes / image.sector_bytes);
  return true;
}

bool TimeCodeFrames(const uint8_t* time_code, uint32_t* frames) {
  const uint32_t minutes = time_code[0], seconds = time_code[1], frame = time_code[2];
  if (seconds >= SecondsPerMinute || frame >= FramesPerSecond) return false;
  *frames = (minutes * SecondsPerMinute + seconds) * FramesPerSecond + frame;
  return true;
}

bool ParseAudioSector(const uint8_t* data, AudioSector* sector) {
  const uint8_t header = data[0];
  sector->dst = (header & DstCodedFlag) != 0;
  sector->packets = header >> PacketCountShift & CountMask;
  const int frame_starts = header >> FrameStartCountShift & CountMask;
  if (sector->packets == 0) return false;
  const int frame_info_bytes = sector->dst ? DstFrameInfoBytes : TimeCodeBytes;
  const uint8_t* info = data + SectorHeaderBytes;
  const uint8_t* frame_info = info + PacketInfoBytes * sector->packets;
  uint32_t offset =
      SectorHeaderBytes + PacketInfoBytes * sector->packets + frame_info_bytes * frame_starts;
  int starts = 0;
  for (int p = 0; p < sector->packets; ++p) {
    const uint16_t word =
        static_cast<uint16_t>(LoadBigEndian(info + PacketInfoBytes * p, PacketInfoBytes));
    AudioPacket& packet = sector->packet[p];
    packet.frame_start = (word & FrameStartFlag) != 0;
    packet.type = static_cast<uint8_t>(word >> DataTypeShift & DataTypeMask);
    packet.length = word & PacketLengthMask;
    packet.offset = static_cast<uint16_t>(offset);
    offset += packet.length;
    if (offset > SectorBytes) return false;
    if (!packet.frame_start) continue;
    if (starts == frame_starts) return false;
    const uint8_t* this_info = frame_info + frame_info_bytes * starts++;
    if (!TimeCodeFrames(this_info, &packet.frame)) return false;
    packet.sectors =
        sector->dst ? this_info[TimeCodeBytes] >> SectorCountShift & SectorCountMask : 0;
  }
  return starts == frame_starts;
}
