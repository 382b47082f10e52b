#include "wav/wav.h"

#include <cstring>

#include "decimate/filter.h"

namespace {

constexpr uint32_t RiffSizeOffset = 4;    // the RIFF chunk's size field
constexpr uint32_t FrameRateOffset = 24;  // frames per second
constexpr uint32_t ByteRateOffset = 28;   // bytes per second
constexpr uint32_t DataSizeOffset = 40;   // the data chunk's size field
// The RIFF size counts "WAVE" (4), the whole "fmt " chunk (8 + 16) and the
// data chunk's head (8) on top of the data: 36 bytes.
constexpr uint32_t RiffSizeOverData = 36;

// 2 channels, 88,200 frames per second, 6 bytes per frame, 24 bits, PCM.
// The size fields hold placeholders and the rate fields DSD64's rates until
// BuildWavHeader fills them.
// clang-format off
constexpr uint8_t WavHeaderTemplate[WavHeaderBytes] = {
    'R',  'I',  'F',  'F',  0x24, 0xFF, 0xFF, 0xFF,  // RIFF, size WavSize + 36
    'W',  'A',  'V',  'E',                           // form type
    'f',  'm',  't',  ' ',  16,   0,    0,    0,     // format chunk of 16 bytes
    1,    0,                                         // format tag: PCM
    2,    0,                                         // channels
    0x88, 0x58, 0x01, 0x00,                          // 88200 frames per second
    0x30, 0x13, 0x08, 0x00,                          // 529200 bytes per second
    PcmFrameBytes, 0,                                // bytes per frame
    24,   0,                                         // bits per sample
    'd',  'a',  't',  'a',  0x00, 0xFF, 0xFF, 0xFF,  // data, size WavSize
};
// clang-format on

void StoreLittleEndian32(uint32_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

void BuildWavHeader(uint32_t WavSize, uint32_t frame_rate, uint8_t header[WavHeaderBytes]) {
  std::memcpy(header, WavHeaderTemplate, WavHeaderBytes);
  StoreLittleEndian32(WavSize + RiffSizeOverData, header + RiffSizeOffset);
  StoreLittleEndian32(frame_rate, header + FrameRateOffset);
  StoreLittleEndian32(frame_rate * PcmFrameBytes, header + ByteRateOffset);
  StoreLittleEndian32(WavSize, header + DataSizeOffset);
}
