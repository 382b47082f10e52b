// The channel word, the unit of one-bit sound that every stage passes on: a
// plain value, with no files or state behind it.
#pragma once

#include <cstdint>

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "channel words are built and stored as they lie in memory: a little-endian host is required"
#endif

// 32 one-bit samples of one channel, the earliest in bit 0; stored
// little-endian, 4 bytes per word, in the channel-word files.
using ChannelWord = uint32_t;
constexpr int WordSamples = 32;

// A frame is filtered from a window of this many consecutive words of each
// channel (512 samples), so a channel of n words gives n - 15 frames.
constexpr int WindowWords = 16;
// Words a window reaches past its own frame's word: the next frames' share.
constexpr uint32_t OverlapWords = WindowWords - 1;

// Alternating bits, DSD silence: pads a short last division, and stands for
// sound the input does not hold.
constexpr ChannelWord SilenceWord = 0xAAAAAAAA;
