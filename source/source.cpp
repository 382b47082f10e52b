// The channel order of a source, where each word of the sound lies in the
// input, and reading ranges of it as channel words.
#include "source/source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "base/io.h"
#include "dst/dst.h"

namespace {

constexpr uint32_t WordBytes = sizeof(ChannelWord);  // one channel's bytes of one word

// Input byte of byte `i` of file channel `channel`.
uint64_t BytePosition(const SoundSource& source, uint64_t i, int channel) {
  if (source.layout == SoundLayout::Interleaved) {
    return source.offset + i * source.channels + channel;
  }
  const uint64_t block = i / source.block_bytes;
  return source.offset + (block * source.channels + channel) * source.block_bytes +
         i % source.block_bytes;
}

// Whether the input holds every byte of word `w` on every channel: the last
// channel's last byte of the word comes after all its other bytes in either
// layout.
bool WordIsWhole(const SoundSource& source, uint64_t input_bytes, uint64_t w) {
  return BytePosition(source, (w + 1) * WordBytes - 1, source.channels - 1) < input_bytes;
}

// Copies bytes [from, to) of file channel `channel` out of `buffer`, which
// holds the input from byte `buffer_start` on.
void GatherChannel(const SoundSource& source, const uint8_t* buffer, uint64_t buffer_start,
                   uint64_t from, uint64_t to, int channel, uint8_t* out) {
  for (uint64_t i = from; i < to;) {
    const uint64_t run_end = std::min(to, (i / source.block_bytes + 1) * source.block_bytes);
    std::memcpy(out + (i - from), buffer + (BytePosition(source, i, channel) - buffer_start),
                run_end - i);
    i = run_end;
  }
}

Fault ReadWhole(const SoundSource& source, uint8_t* buffer, size_t bytes, uint64_t offset) {
  if (ReadExactlyAt(source.fd, buffer, bytes, offset)) return Fault{};
  if (errno != 0) return SystemFault(Failure::FileRead, source.path, errno);
  return FaultOf(Failure::FileRead, source.path, "the input shrank during the run");
}

// A DST frame holds at most this many bytes: a frame stored plainly is one
// byte of flags and the sound, and coding never needs more.
size_t MaxDstPayload(const DstFrameIndex& dst, int channels) {
  return 1 + size_t{dst.channel_bytes} * channels;
}

// The decoder's scratch at the start of the buffer, rounded up so that what
// follows it stays aligned.
constexpr size_t ScratchAlignment = alignof(std::max_align_t);
constexpr size_t ScratchBytes =
    (sizeof(DstScratch) + ScratchAlignment - 1) / ScratchAlignment * ScratchAlignment;

// The buffer of a DST source: the decoder's scratch, one frame's payload,
// then the frame's sound, each channel's bytes after the other's. A disc
// image's reader keeps the payload itself.
size_t DstBufferBytes(const SoundSource& source) {
  if (source.layout == SoundLayout::DiscFrames) {
    return ScratchBytes + SacdChannelFrameBytes * source.channels;
  }
  return ScratchBytes + MaxDstPayload(*source.dst, source.channels) +
         size_t{source.dst->channel_bytes} * source.channels;
}

// Words [from, to) of each file channel, within the frame whose first word
// is `frame_first`, from the frame's decoded `sound` (`channel_bytes` per
// channel, the earliest sample in each byte's top bit); the words of
// by_file[c] start at word `first`.
void PutFrameWords(const uint8_t* sound, size_t channel_bytes, int channels, uint64_t frame_first,
                   uint64_t from, uint64_t to, uint64_t first, WordKernel kernel,
                   ChannelWord* const by_file[]) {
  for (int c = 0; c < channels; ++c) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(by_file[c] + (from - first));
    const uint8_t* channel = sound + static_cast<size_t>(c) * channel_bytes;
    std::memcpy(bytes, channel + (from - frame_first) * WordBytes, (to - from) * WordBytes);
    ReverseBits(kernel, bytes, (to - from) * WordBytes);  // earliest sample in bit 0
  }
}

// `count` words of each of `channels` interleaved channels, one byte of each
// channel in turn (the stereo kernel for two).
void InterleavedBytesToWords(WordKernel kernel, const uint8_t* bytes, size_t count, int channels,
                             ChannelWord* const words[]) {
  if (channels == StereoChannels) {
    StereoBytesToWords(kernel, bytes, count, words[0], words[1]);
  } else {
    InterleavedToWords(bytes, count, channels, words);
  }
}

void PutSilence(int channels, uint64_t from, uint64_t to, uint64_t first,
                ChannelWord* const by_file[]) {
  for (int c = 0; c < channels; ++c) {
    std::fill(by_file[c] + (from - first), by_file[c] + (to - first), SilenceWord);
  }
}

// Decodes DST frame `frame` into out[c] (channel_bytes per file channel).
// `*decoded` is false for a frame the index marks cut short, one longer than
// any frame can be, and one that does not decode; a Fault only when reading
// the input fails.
Fault DecodeFrameOf(const SoundSource& source, uint64_t frame, uint8_t* payload,
                    uint8_t* const out[], DstScratch* scratch, bool* decoded) {
  const DstFrameIndex& dst = *source.dst;
  *decoded = false;
  const uint32_t bytes = dst.payload_bytes[frame];
  if (bytes == 0 || bytes > MaxDstPayload(dst, source.channels)) return Fault{};
  const Fault fault = ReadWhole(source, payload, bytes, dst.payload[frame]);
  if (Failed(fault)) return fault;
  *decoded = DecodeDstFrame(payload, bytes, source.channels, dst.channel_bytes, out, scratch);
  return Fault{};
}

// Takes decoded frame `frame` (`bytes` long) from `shared` into `sound`.
bool TakeShared(SharedFrames* shared, uint64_t frame, size_t bytes, uint8_t* sound) {
  if (shared == nullptr) return false;
  SharedFrames::Slot& slot = shared->slots[frame % SharedFrames::Slots];
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (slot.frame != frame || slot.sound.size() != bytes) return false;
  std::memcpy(sound, slot.sound.data(), bytes);
  return true;
}

void LeaveShared(SharedFrames* shared, uint64_t frame, size_t bytes, const uint8_t* sound) {
  if (shared == nullptr) return;
  SharedFrames::Slot& slot = shared->slots[frame % SharedFrames::Slots];
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.sound.assign(sound, sound + bytes);
  slot.frame = frame;
}

// How the words of a frame are made: a frame that the range holds whole is
// decoded straight into the words (their bits then reversed in place); one
// at an end of the range, into the buffer's room for a frame, and shared.
struct FrameRoom {
  uint8_t* out[MaxChannels];
  bool in_words;
};

FrameRoom RoomFor(uint64_t frame_first, uint64_t from, uint64_t to, uint64_t frame_words,
                  uint64_t first, size_t channel_bytes, int channels, uint8_t* sound,
                  ChannelWord* const by_file[]) {
  FrameRoom room;
  room.in_words = from == frame_first && to == frame_first + frame_words;
  for (int c = 0; c < channels; ++c) {
    room.out[c] = room.in_words ? reinterpret_cast<uint8_t*>(by_file[c] + (from - first))
                                : sound + static_cast<size_t>(c) * channel_bytes;
  }
  return room;
}

// The words of a decoded frame from its room.
void PutDecodedWords(const FrameRoom& room, const uint8_t* sound, size_t channel_bytes,
                     int channels, uint64_t frame_first, uint64_t from, uint64_t to, uint64_t first,
                     WordKernel kernel, ChannelWord* const by_file[]) {
  if (!room.in_words) {
    PutFrameWords(sound, channel_bytes, channels, frame_first, from, to, first, kernel, by_file);
    return;
  }
  for (int c = 0; c < channels; ++c) ReverseBits(kernel, room.out[c], channel_bytes);
}

// Words [first, first + count) of every file channel of a DST source, from
// the frames that hold them; a damaged frame's words are SilenceWord.
Fault ReadDstWords(const SoundSource& source, uint64_t first, uint32_t count, WordKernel kernel,
                   uint8_t* buffer, ChannelWord* const by_file[],
                   std::vector<DamagedFrame>* damaged, SharedFrames* shared) {
  const DstFrameIndex& dst = *source.dst;
  DstScratch* scratch = new (buffer) DstScratch;  // plain data: nothing is initialised
  uint8_t* payload = buffer + ScratchBytes;
  uint8_t* sound = payload + MaxDstPayload(dst, source.channels);
  const size_t frame_bytes = size_t{dst.channel_bytes} * source.channels;
  const uint64_t frame_words = dst.FrameWords();
  const uint64_t end = first + count;
  for (uint64_t frame = first / frame_words; frame * frame_words < end; ++frame) {
    const uint64_t frame_first = frame * frame_words;
    const uint64_t from = std::max(first, frame_first);
    const uint64_t to = std::min(end, frame_first + frame_words);
    const FrameRoom room = RoomFor(frame_first, from, to, frame_words, first, dst.channel_bytes,
                                   source.channels, sound, by_file);
    bool decoded = !room.in_words && TakeShared(shared, frame, frame_bytes, sound);
    if (!decoded) {
      const Fault fault = DecodeFrameOf(source, frame, payload, room.out, scratch, &decoded);
      if (Failed(fault)) return fault;
      if (decoded && !room.in_words) LeaveShared(shared, frame, frame_bytes, sound);
    }
    if (decoded) {
      PutDecodedWords(room, sound, dst.channel_bytes, source.channels, frame_first, from, to, first,
                      kernel, by_file);
    } else {
      damaged->push_back(DamagedFrame{frame, {}});
      PutSilence(source.channels, from, to, first, by_file);
    }
  }
  return Fault{};
}

// Words [first, first + count) of every channel of a disc image's area, in
// the area's channel order, from the frames that hold them: DST frames
// decoded, plain ones as they are; a frame that cannot be read or decoded
// is SilenceWord, and is said in `*damaged`.
void ReadDiscWords(const SoundSource& source, uint64_t first, uint32_t count, WordKernel kernel,
                   uint8_t* buffer, ChannelWord* const by_file[],
                   std::vector<DamagedFrame>* damaged, SharedFrames* shared) {
  const SacdArea& area = *source.area;
  DstScratch* scratch = new (buffer) DstScratch;  // plain data: nothing is initialised
  uint8_t* sound = buffer + ScratchBytes;
  constexpr uint64_t frame_words = SacdChannelFrameBytes / WordBytes;
  const size_t frame_bytes = SacdChannelFrameBytes * source.channels;
  SacdCursor cursor;
  StartSacdCursor(area, &cursor);
  SacdFrame frame;
  const uint64_t end = first + count;
  for (uint64_t f = first / frame_words; f * frame_words < end; ++f) {
    const uint64_t frame_first = f * frame_words;
    const uint64_t from = std::max(first, frame_first);
    const uint64_t to = std::min(end, frame_first + frame_words);
    // Read even when shared: the cursor reads on from it to the next frame.
    bool read = ReadSacdFrame(&cursor, static_cast<uint32_t>(f), &frame);
    if (read && !frame.dst) {
      // Plain: one byte of each channel in turn, as DSDIFF interleaves them.
      const uint8_t* bytes =
          frame.bytes.data() + (from - frame_first) * WordBytes * source.channels;
      ChannelWord* words[MaxChannels];
      for (int c = 0; c < source.channels; ++c) words[c] = by_file[c] + (from - first);
      InterleavedBytesToWords(kernel, bytes, to - from, source.channels, words);
      continue;
    }
    const FrameRoom room = RoomFor(frame_first, from, to, frame_words, first, SacdChannelFrameBytes,
                                   source.channels, sound, by_file);
    const bool taken = read && !room.in_words && TakeShared(shared, f, frame_bytes, sound);
    if (read && !taken) {
      read = DecodeDstFrame(frame.bytes.data(), frame.bytes.size(), source.channels,
                            SacdChannelFrameBytes, room.out, scratch);
      if (!read) frame.damage = "its DST frame could not be decoded";
      if (read && !room.in_words) LeaveShared(shared, f, frame_bytes, sound);
    }
    if (read) {
      PutDecodedWords(room, sound, SacdChannelFrameBytes, source.channels, frame_first, from, to,
                      first, kernel, by_file);
    } else {
      damaged->push_back(DamagedFrame{f, frame.damage});
      PutSilence(source.channels, from, to, first, by_file);
    }
  }
}

}  // namespace

bool IsConvertibleRate(uint32_t sample_rate) {
  for (uint32_t multiple = 1; multiple <= MaxRateMultiple; multiple *= 2) {
    if (sample_rate == Dsd64Rate * multiple || sample_rate == Dsd64Rate48k * multiple) return true;
  }
  return false;
}

void OrderChannels(const Speaker* file_speakers, int channels, SoundSource* source) {
  uint32_t taken = 0;
  Speaker known[MaxChannels];
  for (int c = 0; c < channels; ++c) {
    known[c] = (file_speakers[c] & taken) != 0 ? NoSpeaker : file_speakers[c];
    taken |= known[c];
  }
  int next = 0;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    for (int c = 0; c < channels; ++c) {
      if (known[c] == bit) {
        source->speakers[next] = known[c];
        source->file_channel[next++] = static_cast<uint8_t>(c);
      }
    }
  }
  for (int c = 0; c < channels; ++c) {
    if (known[c] == NoSpeaker) {
      source->speakers[next] = NoSpeaker;
      source->file_channel[next++] = static_cast<uint8_t>(c);
    }
  }
}

uint64_t WordsPresent(const SoundSource& source, uint64_t input_bytes, uint64_t words) {
  if (source.layout == SoundLayout::DiscFrames) {
    return std::min<uint64_t>(words, source.frames_present * SacdChannelFrameBytes / WordBytes);
  }
  if (source.layout == SoundLayout::DstFrames) {
    return std::min<uint64_t>(words, source.dst->payload.size() * source.dst->FrameWords());
  }
  // Words are whole from the first on, up to the first that is not.
  uint64_t low = 0, high = words;  // the answer lies in [low, high]
  while (low < high) {
    const uint64_t mid = low + (high - low + 1) / 2;
    if (WordIsWhole(source, input_bytes, mid - 1)) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

size_t SourceBufferBytes(const SoundSource& source, uint32_t count) {
  if (source.layout == SoundLayout::DstFrames || source.layout == SoundLayout::DiscFrames) {
    return DstBufferBytes(source);
  }
  // Blocks: the words' bytes of every channel, plus up to one partial round
  // of blocks at each end.
  const size_t words_bytes = size_t{count} * WordBytes * source.channels;
  if (source.layout == SoundLayout::Interleaved) return words_bytes;
  return words_bytes + 2 * static_cast<size_t>(source.channels) * source.block_bytes;
}

Fault ReadSourceWords(const SoundSource& source, uint64_t first, uint32_t count, uint8_t* buffer,
                      ChannelWord* const words[], std::vector<DamagedFrame>* damaged,
                      SharedFrames* shared) {
  const uint32_t held =
      first < source.words_present
          ? static_cast<uint32_t>(std::min<uint64_t>(count, source.words_present - first))
          : 0;
  // The words of each channel of the file, wherever the stream puts it.
  ChannelWord* by_file[MaxChannels];
  for (int c = 0; c < source.channels; ++c) by_file[source.file_channel[c]] = words[c];
  const WordKernel kernel = BestWordKernel();
  if (held > 0 && source.layout == SoundLayout::DstFrames) {
    const Fault fault = ReadDstWords(source, first, held, kernel, buffer, by_file, damaged, shared);
    if (Failed(fault)) return fault;
  } else if (held > 0 && source.layout == SoundLayout::DiscFrames) {
    ReadDiscWords(source, first, held, kernel, buffer, by_file, damaged, shared);
  } else if (held > 0 && source.layout == SoundLayout::Interleaved) {
    const size_t word_round = size_t{WordBytes} * source.channels;
    const Fault fault =
        ReadWhole(source, buffer, held * word_round, source.offset + first * word_round);
    if (Failed(fault)) return fault;
    InterleavedBytesToWords(kernel, buffer, held, source.channels, by_file);
  } else if (held > 0) {
    const uint64_t from = first * WordBytes;
    const uint64_t to = (first + held) * WordBytes;
    const uint64_t start = BytePosition(source, from, 0);
    const uint64_t end = BytePosition(source, to - 1, source.channels - 1) + 1;
    const Fault fault = ReadWhole(source, buffer, end - start, start);
    if (Failed(fault)) return fault;
    for (int c = 0; c < source.channels; ++c) {
      uint8_t* bytes = reinterpret_cast<uint8_t*>(by_file[c]);
      GatherChannel(source, buffer, start, from, to, c, bytes);
      if (!source.lsb_first) ReverseBits(kernel, bytes, to - from);
    }
  }
  for (int c = 0; c < source.channels; ++c)
    std::fill(words[c] + held, words[c] + count, SilenceWord);
  return Fault{};
}
