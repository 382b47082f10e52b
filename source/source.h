// The source: one plain description of the one-bit sound in an input file,
// whatever its container (rate, channels and their speakers, where the sound
// lies, the tags), and the channel words of any range of it. The DSDIFF and
// DSF readers fill the description; everything after them reads words from
// here. Reads the input at explicit offsets, so every core can make the words
// of its own pieces at once; owns no file and keeps no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/channel_layout.h"
#include "base/channel_word.h"
#include "base/failure.h"
#include "sacd/sacd.h"
#include "tags/tags.h"

// Sample rates the converter takes: DSD64 (64 x 44,100 Hz) or its 48 kHz
// sibling (64 x 48,000 Hz), times 1, 2, 4 or 8 (DSD64 .. DSD512).
constexpr uint32_t Dsd64Rate = 2822400;
constexpr uint32_t Dsd64Rate48k = 3072000;
constexpr uint32_t MaxRateMultiple = 8;
constexpr uint16_t StereoChannels = 2;
// A channel needs one filter window of words to give a frame.
constexpr uint64_t MinSourceWords = 16;

bool IsConvertibleRate(uint32_t sample_rate);

// Why the container's own description of the sound cannot be converted.
enum class Refusal {
  None,
  Rate,         // a sample rate IsConvertibleRate refuses
  Channels,     // no channels, or more than MaxChannels
  ChannelType,  // DSF: the channel type contradicts the channel count
  ChannelIds,   // DSDIFF: "CHNL" holds another number of ids than its count
  Compression,  // compressed sound ("DST ", or another type)
  Disc,         // a disc image whose TOCs contradict themselves, or without the area asked for
};

// What the container says about the sound, for telling why it is refused. A
// field stays 0 (or empty) when the container does not say.
struct SoundProperties {
  Refusal refusal = Refusal::None;
  uint32_t sample_rate = 0;   // samples per second per channel
  uint32_t channels = 0;      // as the container counts them
  uint32_t channel_ids = 0;   // DSDIFF: ids in "CHNL"
  uint32_t channel_type = 0;  // DSF: the channel type
  char compression[5] = {};   // four characters; "DSD " is uncompressed
  std::string reason;         // Disc: what is wrong with the image
};

enum class SoundLayout {
  // DSDIFF: one byte of each channel in turn, in the file's channel order,
  // the earliest sample in each byte's most significant bit.
  Interleaved,
  // DSF: blocks of `block_bytes` bytes, one block of each channel in turn,
  // each channel's bytes in order; `lsb_first` says where the earliest
  // sample is.
  ChannelBlocks,
  // DSDIFF with DST: frames of 1/75 s of every channel, each compressed in a
  // "DSTF" chunk that `dst` indexes.
  DstFrames,
  // An area of an SACD disc image: frames of 1/75 s that the image reader
  // gathers from its sectors, plain or DST.
  DiscFrames,
};

// Where the DST frames of a source lie. A frame whose chunk the input cuts
// short, or that cannot be decoded, reads as SilenceWord, and the read says so.
struct DstFrameIndex {
  uint32_t channel_bytes = 0;           // bytes per channel in a frame
  std::vector<uint64_t> payload;        // input byte where frame f's "DSTF" data starts
  std::vector<uint32_t> payload_bytes;  // its size; 0 for a frame the input cuts short

  explicit DstFrameIndex(uint32_t bytes_per_channel) : channel_bytes(bytes_per_channel) {}
  // Words per channel in one frame.
  uint32_t FrameWords() const { return channel_bytes / sizeof(ChannelWord); }
};

// A frame of 1/75 s that read as silence, and why.
struct DamagedFrame {
  uint64_t frame = 0;  // from the sound's start
  std::string reason;  // empty: it does not decode
};

// The recording as an album, as far as the container or a cue sheet says.
struct Album {
  std::string title, artist, catalog, genre, date;
  int disc_number = 0, disc_total = 0;  // 0: not known
};

// Where the tracks of a source come from.
enum class TrackOrigin {
  Whole,     // none: the whole sound is one track
  Markers,   // DSDIFF "MARK" chunks
  CueSheet,  // a cue sheet beside the input, or given
  Disc,      // a disc image's track list
};

// Marks the end of a track that runs to the end of the sound.
constexpr uint64_t SoundEnd = UINT64_MAX;

// One track of the sound, in samples per channel from the sound's start.
// A track runs from its start to the next track's start: the pause before
// the next track belongs to it.
struct Track {
  int number = 0;           // as the container or the sheet numbers it, from 1
  uint64_t start = 0;       // its first sample
  uint64_t end = SoundEnd;  // one past its last, or SoundEnd
  uint64_t pause = 0;       // samples of pause before `start`, held by the track before
  std::string title, performer, composer, isrc;
  bool has_tags = false;  // `tags` is the track's own ID3v2 tag, and wins over the text above
  TagRecord tags;
};

struct SoundSource {
  // The container, as the summary line names it: "DSDIFF", "DSF", ...
  const char* container = "";

  // The stream.
  uint32_t sample_rate = Dsd64Rate;
  int channels = StereoChannels;
  // Channel c of the stream, in the order a channel mask gives (the known
  // speakers in increasing bit order, then those of unknown position), is
  // channel file_channel[c] of the file.
  Speaker speakers[MaxChannels] = {FrontLeft, FrontRight};
  uint8_t file_channel[MaxChannels] = {0, 1};

  // Where the sound lies in the input.
  SoundLayout layout = SoundLayout::Interleaved;
  uint64_t offset = 0;                   // input byte where the sound starts
  uint64_t declared_bytes = 0;           // sound bytes of all channels as the container declares
  uint64_t data_end = 0;                 // input byte just past the container's sound data
  uint32_t block_bytes = 0;              // ChannelBlocks: bytes per channel per block
  bool lsb_first = false;                // ChannelBlocks: earliest sample in each byte's bit 0
  uint64_t words = 0;                    // whole words per channel the container declares
  uint64_t tag_offset = 0;               // DSF: where the head says an ID3v2 tag lies, 0 for none
  std::shared_ptr<DstFrameIndex> dst;    // DstFrames: the frames
  std::shared_ptr<const SacdDisc> disc;  // DiscFrames: the disc
  const SacdArea* area = nullptr;        // DiscFrames: the area read, one of the disc's
  uint64_t frames_present = 0;           // DiscFrames: frames before the image ends, if it is cut

  // The input, and how many of the words it holds whole on every channel;
  // the rest read as SilenceWord.
  int fd = -1;
  const char* path = nullptr;
  uint64_t words_present = 0;

  TagRecord tags;
  Album album;
  TrackOrigin origin = TrackOrigin::Whole;
  std::vector<Track> tracks;       // in order of their starts; empty for TrackOrigin::Whole
  std::vector<std::string> notes;  // what the reader passed over in the container, a line each
};

// Orders the channels of a file whose channel c stands at `file_speakers[c]`:
// fills `speakers` and `file_channel`. A speaker that an earlier channel
// already has counts as unknown.
void OrderChannels(const Speaker* file_speakers, int channels, SoundSource* source);

// How many of the first `words` words per channel an input of `input_bytes`
// bytes holds whole, on every channel (for DST, the words of the frames
// indexed, cut ones included).
uint64_t WordsPresent(const SoundSource& source, uint64_t input_bytes, uint64_t words);

// Bytes of buffer ReadSourceWords needs for `count` words per channel.
size_t SourceBufferBytes(const SoundSource& source, uint32_t count);

// Decoded frames that neighbouring reads share. A read of words decodes the
// whole frames that hold them, so the frame where one read ends and the
// next begins (the next one's first, the words the windows reach past the
// one's end) would be decoded twice: the first read to decode it leaves it
// here, and the other takes it. Any number of threads may use it at once.
struct SharedFrames {
  static constexpr size_t Slots = 64;  // frames kept: more than the reads in flight
  struct Slot {
    std::mutex mutex;  // guards the members below
    uint64_t frame = UINT64_MAX;
    std::vector<uint8_t> sound;  // each channel's bytes after the other's
  };
  Slot slots[Slots];
};

// Makes words [first, first + count) of every channel, channel c into
// words[c]. Words from `words_present` on are SilenceWord; the others are
// read from the input into `buffer` (SourceBufferBytes) and must be there:
// an input that has shrunk since it was measured gives Failure::FileRead.
// DST frames are decoded whole; with `shared` (which may be null) a frame
// at either end of the range that another call decoded is taken from there,
// and one this call decodes is left there. A damaged frame gives silence and
// an entry in `*damaged`, not a Fault.
Fault ReadSourceWords(const SoundSource& source, uint64_t first, uint32_t count, uint8_t* buffer,
                      ChannelWord* const words[], std::vector<DamagedFrame>* damaged,
                      SharedFrames* shared = nullptr);

// The ways of turning bytes into words. Both give the same words; Vector
// needs AVX-512 VBMI and GFNI and is chosen at run time where the CPU has it.
enum class WordKernel {
  Table,   // a 256-entry bit-reversal table, any CPU
  Vector,  // vgf2p8affineqb reverses 64 bytes' bits, vpermb sorts them
};

bool WordKernelSupported(WordKernel kernel);
WordKernel BestWordKernel();

// Two interleaved channels to words: left[g] from bytes 0, 2, 4, 6 of each
// 8 bytes g, right[g] from bytes 1, 3, 5, 7, each byte's bits reversed.
void StereoBytesToWords(WordKernel kernel, const uint8_t* bytes, size_t count, ChannelWord* left,
                        ChannelWord* right);
// Interleaved bytes of `channels` channels (any number) to the words of
// each, with the table: words[c][w] from bytes c, c + channels,
// c + 2 x channels and c + 3 x channels of word w's 4 x channels bytes.
void InterleavedToWords(const uint8_t* bytes, size_t count, int channels,
                        ChannelWord* const words[]);
// Reverses the bits of every byte in place.
void ReverseBits(WordKernel kernel, uint8_t* bytes, size_t count);
