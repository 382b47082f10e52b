// The channels of a stream: how many there may be, and their loudspeaker
// positions. Each position is the bit that stands for it in a
// WAVE_FORMAT_EXTENSIBLE channel mask (also FLAC's
// WAVEFORMATEXTENSIBLE_CHANNEL_MASK); files that carry such a mask hold their
// channels in increasing order of these bits.
#pragma once

#include <cstdint>

// The most channels a stream may have: 5.1.
constexpr int MaxChannels = 6;

enum Speaker : uint32_t {
  NoSpeaker = 0,       // a channel of unknown position: no bit in the mask
  FrontLeft = 0x1,     // FL
  FrontRight = 0x2,    // FR
  FrontCenter = 0x4,   // FC
  LowFrequency = 0x8,  // LFE
  BackLeft = 0x10,     // BL: a surround left
  BackRight = 0x20,    // BR: a surround right
};

// The short name of a speaker ("FL", "LFE", ...), "?" for NoSpeaker.
inline const char* SpeakerName(Speaker speaker) {
  switch (speaker) {
    case FrontLeft:
      return "FL";
    case FrontRight:
      return "FR";
    case FrontCenter:
      return "FC";
    case LowFrequency:
      return "LFE";
    case BackLeft:
      return "BL";
    case BackRight:
      return "BR";
    case NoSpeaker:
      break;
  }
  return "?";
}

// The mask of the speakers of `channels` channels: the bits of those that have one.
inline uint32_t ChannelMask(const Speaker* speakers, int channels) {
  uint32_t mask = 0;
  for (int c = 0; c < channels; ++c) mask |= speakers[c];
  return mask;
}
