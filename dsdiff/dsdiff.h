// DSDIFF input: finds the sound data in a DSDIFF container and splits its
// interleaved one-bit samples into two headerless files of channel words,
// "dsdl.tmp" and "dsdr.tmp" in the working directory. The caller owns the
// input stream; ChannelSplit owns the channel-file streams until it closes
// them, and hands back locks that keep other conversions away from the files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "decimate/filter.h"
#include "driver/failure.h"

constexpr uint32_t GroupBytes = 8;               // L,R,L,R,L,R,L,R: 32 samples per channel
constexpr uint32_t MinDsdSize = 128;             // 16 groups: one filter window
constexpr uint32_t MaxDsdSize = 0xFFFFFFF8;      // the largest multiple of 8 in 32 bits
constexpr ChannelWord SilenceWord = 0xAAAAAAAA;  // alternating bits: DSD silence

// The channel-word files, relative to the working directory.
constexpr const char* LeftChannelFile = "dsdl.tmp";
constexpr const char* RightChannelFile = "dsdr.tmp";

// What a well-formed "PROP" chunk of type "SND " says about the sound; a
// field stays at 0 (or empty) when no such local chunk was found.
struct SoundProperties {
  uint32_t sample_rate = 0;  // "FS  ", samples per second per channel
  uint16_t channels = 0;     // "CHNL"
  bool has_channels = false;
  char compression[5] = {};  // "CMPR" type, four characters
};

constexpr uint32_t Dsd64Rate = 2822400;  // 64 x 44,100 samples per second
constexpr uint16_t StereoChannels = 2;

struct SoundChunk {
  uint64_t declared_bytes;     // the "DSD " chunk's size field, all 64 bits
  uint32_t DsdSize;            // bytes to convert: whole groups, at most MaxDsdSize
  bool beyond_32_bits;         // the size needs more than 32 bits: DsdSize is MaxDsdSize
  SoundProperties properties;  // of the last well-formed "PROP" chunk passed
};

// Walks the container from its start to the first "DSD " chunk and leaves the
// stream at its first sound byte. Chunks before it are skipped by their full
// size plus the pad byte of odd sizes; "FVER" always by its 4 data bytes.
// A well-formed "PROP" chunk of type "SND " is read on the way: if it says
// the sound is not uncompressed two-channel DSD64, the walk ends with
// Failure::UnsupportedSound and `sound->properties` tells why. A malformed,
// cut short or other "PROP" chunk is skipped like any other chunk.
Failure ChunkWalk(FILE* in, SoundChunk* sound);

// Exclusive locks on the two channel files, on descriptors of their own so
// that closing and reopening the files keeps them. -1 when not held.
struct ChannelLocks {
  int left = -1;
  int right = -1;
};

// Writes both channel files (replacing old ones, after taking their locks),
// writes one word per group to each, pads both with SilenceWord up to 16 words
// in the last division, and closes them. `in` stands at the first sound byte.
// `LastDivSize` is raised to 16 when it was smaller; `missing_groups` counts
// groups the input held only partly or not at all, written as SilenceWord.
Failure ChannelSplit(FILE* in, uint32_t DsdLR64Size, uint32_t* LastDivSize,
                     uint32_t* missing_groups, ChannelLocks* locks);

// Releases what ChannelSplit locked.
void ReleaseChannelLocks(ChannelLocks* locks);

// The split itself, on every core: reads `groups` groups from `in_fd`,
// starting at byte `sound_offset`, and writes `words` words (the groups, then
// SilenceWord padding) to `left_fd` and `right_fd` from their start. A group
// cut short by the end of the input, and every group after it, becomes
// SilenceWord on both channels. Bytes of the files past `words` words are
// left as they were: the caller cuts the files to size.
Failure SplitGroups(int in_fd, uint64_t sound_offset, int left_fd, int right_fd, uint32_t groups,
                    uint32_t words, uint32_t* missing_groups);

// Opens a channel file for reading, at explicit offsets from any thread;
// -1 when it cannot be opened.
int OpenChannelFile(const char* path);

// Reads words [first, first + count) of a channel file into `words`;
// FileRead when the file holds fewer.
Failure ReadChannelWords(int fd, uint64_t first, uint32_t count, ChannelWord* words);
