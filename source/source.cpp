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
// then the frame's sound, each channel's bytes after the other's.
size_t DstBufferBytes(const SoundSource& source) {
  return ScratchBytes + MaxDstPayload(*source.dst, source.channels) +
         size_t{source.dst->channel_bytes} * source.channels;
}

// Decodes DST frame `frame` into `sound` (channel_bytes per file channel).
// `*decoded` is false for a frame the index marks cut short, one longer than
// any frame can be, and one that does not decode; a Fault only when reading
// the input fails.
Fault DecodeFrameOf(const SoundSource& source, uint64_t frame, uint8_t* payload, uint8_t* sound,
                    DstScratch* scratch, bool* decoded) {
  const DstFrameIndex& dst = *source.dst;
  *decoded = false;
  const uint32_t bytes = dst.payload_bytes[frame];
  if (bytes == 0 || bytes > MaxDstPayload(dst, source.channels)) return Fault{};
  const Fault fault = ReadWhole(source, payload, bytes, dst.payload[frame]);
  if (Failed(fault)) return fault;
  uint8_t* out[MaxChannels];
  for (int c = 0; c < source.channels; ++c)
    out[c] = sound + static_cast<size_t>(c) * dst.channel_bytes;
  *decoded = DecodeDstFrame(payload, bytes, source.channels, dst.channel_bytes, out, scratch);
  return Fault{};
}

// Words [first, first + count) of every file channel of a DST source, from
// the frames that hold them; a damaged frame's words are SilenceWord.
Fault ReadDstWords(const SoundSource& source, uint64_t first, uint32_t count, WordKernel kernel,
                   uint8_t* buffer, ChannelWord* const by_file[],
                   std::vector<DamagedFrame>* damaged) {
  const DstFrameIndex& dst = *source.dst;
  DstScratch* scratch = new (buffer) DstScratch;  // plain data: nothing is initialised
  uint8_t* payload = buffer + ScratchBytes;
  uint8_t* sound = payload + MaxDstPayload(dst, source.channels);
  const uint64_t frame_words = dst.FrameWords();
  const uint64_t end = first + count;
  for (uint64_t frame = first / frame_words; frame * frame_words < end; ++frame) {
    const uint64_t from = std::max(first, frame * frame_words);
    const uint64_t to = std::min(end, (frame + 1) * frame_words);
    bool decoded = false;
    const Fault fault = DecodeFrameOf(source, frame, payload, sound, scratch, &decoded);
    if (Failed(fault)) return fault;
    if (!decoded) damaged->push_back(DamagedFrame{frame, {}});
    for (int c = 0; c < source.channels; ++c) {
      ChannelWord* words = by_file[c] + (from - first);
      if (!decoded) {
        std::fill(words, words + (to - from), SilenceWord);
        continue;
      }
      uint8_t* bytes = reinterpret_cast<uint8_t*>(words);
      const uint8_t* channel = sound + static_cast<size_t>(c) * dst.channel_bytes;
      std::memcpy(bytes, channel + (from - frame * frame_words) * WordBytes,
                  (to - from) * WordBytes);
      ReverseBits(kernel, bytes, (to - from) * WordBytes);  // earliest sample in bit 0
    }
  }
  return Fault{};
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
  if (source.layout == SoundLayout::DstFrames) return DstBufferBytes(source);
  // Blocks: the words' bytes of every channel, plus up to one partial round
  // of blocks at each end.
  const size_t words_bytes = size_t{count} * WordBytes * source.channels;
  if (source.layout == SoundLayout::Interleaved) return words_bytes;
  return words_bytes + 2 * static_cast<size_t>(source.channels) * source.block_bytes;
}

Fault ReadSourceWords(const SoundSource& source, uint64_t first, uint32_t count, uint8_t* buffer,
                      ChannelWord* const words[], std::vector<DamagedFrame>* damaged) {
  const uint32_t held =
      first < source.words_present
          ? static_cast<uint32_t>(std::min<uint64_t>(count, source.words_present - first))
          : 0;
  // The words of each channel of the file, wherever the stream puts it.
  ChannelWord* by_file[MaxChannels];
  for (int c = 0; c < source.channels; ++c) by_file[source.file_channel[c]] = words[c];
  const WordKernel kernel = BestWordKernel();
  if (held > 0 && source.layout == SoundLayout::DstFrames) {
    const Fault fault = ReadDstWords(source, first, held, kernel, buffer, by_file, damaged);
    if (Failed(fault)) return fault;
  } else if (held > 0 && source.layout == SoundLayout::Interleaved) {
    const size_t word_round = size_t{WordBytes} * source.channels;
    const Fault fault =
        ReadWhole(source, buffer, held * word_round, source.offset + first * word_round);
    if (Failed(fault)) return fault;
    if (source.channels == StereoChannels) {
      StereoBytesToWords(kernel, buffer, held, by_file[0], by_file[1]);
    } else {
      InterleavedToWords(buffer, held, source.channels, by_file);
    }
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
