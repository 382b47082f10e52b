// The one-bit sound of an input file and how its container lays it out: what
// the DSDIFF and DSF readers find, and what turns any range of the sound into
// channel words. Reads the input at explicit offsets, so every core can make
// the words of its own pieces at once; owns no file and keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/failure.h"
#include "channel/channel_word.h"

// A group: the 32 samples per channel that make one channel word each, 8
// bytes of sound data in all.
constexpr uint32_t GroupBytes = 8;
constexpr uint32_t MinDsdSize = 128;         // 16 groups: one filter window
constexpr uint32_t MaxDsdSize = 0xFFFFFFF8;  // the largest multiple of 8 in 32 bits

// Sample rates the converter takes: DSD64 (64 x 44,100 Hz) or its 48 kHz
// sibling (64 x 48,000 Hz), times 1, 2, 4 or 8 (DSD64 .. DSD512).
constexpr uint32_t Dsd64Rate = 2822400;
constexpr uint32_t Dsd64Rate48k = 3072000;
constexpr uint32_t MaxRateMultiple = 8;
constexpr uint16_t StereoChannels = 2;

// What the container says about the sound, for refusing what cannot be
// converted. A field stays 0 (or empty) when the container does not say.
struct SoundProperties {
  uint32_t sample_rate = 0;  // samples per second per channel
  uint16_t channels = 0;
  bool has_channels = false;
  char compression[5] = {};  // four characters; "DSD " is uncompressed
};

bool IsConvertibleRate(uint32_t sample_rate);
// Whether the properties allow a conversion: a convertible rate (or none
// said), two channels (or none said), no compression (or none said).
bool IsConvertible(const SoundProperties& properties);

enum class SoundLayout {
  // DSDIFF: groups of bytes L,R,L,R,L,R,L,R, the earliest sample in each
  // byte's most significant bit.
  Interleaved,
  // DSF: blocks of `block_bytes` bytes, a left block then a right block, each
  // channel's bytes in order; `lsb_first` says where the earliest sample is.
  ChannelBlocks,
};

struct SoundData {
  SoundLayout layout = SoundLayout::Interleaved;
  uint64_t offset = 0;          // input byte where the sound starts
  uint64_t declared_bytes = 0;  // sound bytes of both channels as the container declares
  uint64_t data_end = 0;        // input byte just past the container's sound data
  uint32_t DsdSize = 0;         // bytes to convert: whole groups, at most MaxDsdSize
  bool beyond_32_bits = false;  // the sound needs more than 32 bits: DsdSize is MaxDsdSize
  uint32_t sample_rate = Dsd64Rate;
  uint32_t block_bytes = 0;  // ChannelBlocks: bytes per channel per block
  bool lsb_first = false;    // ChannelBlocks: earliest sample in each byte's bit 0
};

// Sets DsdSize and beyond_32_bits for `groups` whole groups of sound.
void MeasureSound(uint64_t groups, SoundData* sound);

// How many of the first `groups` groups an input of `input_bytes` bytes
// holds whole, on both channels.
uint32_t GroupsPresent(const SoundData& sound, uint64_t input_bytes, uint32_t groups);

// Bytes of buffer ReadSoundWords needs for `count` words.
size_t SoundBufferBytes(const SoundData& sound, uint32_t count);

// Makes words [first, first + count) of both channels. Groups from
// `groups_present` on are SilenceWord; the others are read from `fd` into
// `buffer` (SoundBufferBytes) and must be there: an input that has shrunk
// since it was measured gives Failure::FileRead.
Fault ReadSoundWords(int fd, const char* path, const SoundData& sound, uint32_t groups_present,
                     uint64_t first, uint32_t count, uint8_t* buffer, ChannelWord* left,
                     ChannelWord* right);

// The ways of turning bytes into words. Both give the same words; Vector
// needs AVX-512 VBMI and GFNI and is chosen at run time where the CPU has it.
enum class WordKernel {
  Table,   // a 256-entry bit-reversal table, any CPU
  Vector,  // vgf2p8affineqb reverses 64 bytes' bits, vpermb sorts them
};

bool WordKernelSupported(WordKernel kernel);
WordKernel BestWordKernel();

// Interleaved groups to words: left[g] from bytes 0, 2, 4, 6 of group g,
// right[g] from bytes 1, 3, 5, 7, each byte's bits reversed.
void GroupsToWords(WordKernel kernel, const uint8_t* groups, size_t count, ChannelWord* left,
                   ChannelWord* right);
// Reverses the bits of every byte in place.
void ReverseBits(WordKernel kernel, uint8_t* bytes, size_t count);
