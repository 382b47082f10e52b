#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "base/byte_order.h"
#include "base/io.h"
#include "dsdiff/dsdiff.h"
#include "dsdiff/dsdiff_ids.h"
#include "dst/dst.h"
#include "tags/tags.h"

namespace {

constexpr uint64_t FrameCountBytes = 4;         // "FRTE": big-endian frame count
constexpr uint64_t TextCountBytes = 4;          // DIAR, DITI: big-endian count before the text
constexpr uint64_t MaxInfoTextBytes = 1 << 16;  // the longest DIIN text taken
constexpr uint64_t FormSizeOffset = 4;          // "FRM8": the container's size, 8 bytes
constexpr uint64_t FormDataOffset = 12;         // where the size counts from

// The channel IDs of "CHNL" and the speakers they stand for: stereo left and
// right, the multichannel left and right, centre, low frequency, and the
// surround pair.
struct ChannelIdSpeaker {
  char id[4];
  Speaker speaker;
};
constexpr ChannelIdSpeaker ChannelIdSpeakers[] = {
    {{'S', 'L', 'F', 'T'}, FrontLeft},   {{'S', 'R', 'G', 'T'}, FrontRight},
    {{'M', 'L', 'F', 'T'}, FrontLeft},   {{'M', 'R', 'G', 'T'}, FrontRight},
    {{'C', ' ', ' ', ' '}, FrontCenter}, {{'L', 'F', 'E', ' '}, LowFrequency},
    {{'L', 'S', ' ', ' '}, BackLeft},    {{'R', 'S', ' ', ' '}, BackRight},
};

constexpr int ChunkIdBytes = 4;
constexpr int ChunkSizeBytes = 8;  // unsigned, big-endian
constexpr int ChunkHeadBytes = ChunkIdBytes + ChunkSizeBytes;
constexpr uint64_t RateBytes = 4;                  // "FS  ": big-endian samples per second
constexpr uint64_t ChannelCountBytes = 2;          // "CHNL": big-endian count
constexpr uint64_t ChannelIdBytes = 4;             // "CHNL": one ID per channel after the count
constexpr uint64_t CompressionBytes = 4;           // "CMPR": the type, before its counted name
constexpr uint64_t FormHeadSkip = 8 + 4;           // container size, then form type
constexpr uint64_t FverSkip = ChunkSizeBytes + 4;  // its size field and 4 data bytes

// A reader of the input that knows its position, as a stream would. Reads
// go through a window of the file, so that a walk over many small chunks
// costs one system call per window, not two per chunk.
constexpr size_t WindowBytes = 4096;

struct Cursor {
  int fd = -1;
  uint64_t pos = 0;
  uint64_t window_start = 0;  // input byte of window[0]
  size_t window_bytes = 0;    // bytes of the input held in window
  uint8_t window[WindowBytes];
};

// Reads `bytes` (at most WindowBytes); false when the input ends first.
bool ReadExactly(Cursor* in, void* buffer, size_t bytes) {
  if (in->pos < in->window_start || in->pos - in->window_start + bytes > in->window_bytes) {
    if (!ReadAt(in->fd, in->window, WindowBytes, in->pos, &in->window_bytes)) {
      in->window_bytes = 0;
      return false;
    }
    in->window_start = in->pos;
    if (in->window_bytes < bytes) return false;
  }
  std::memcpy(buffer, in->window + (in->pos - in->window_start), bytes);
  in->pos += bytes;
  return true;
}

// Skips `bytes` forward. Skipping past the end is allowed; the next read then
// fails and the walk ends. False when the position would leave 63 bits.
bool SkipForward(Cursor* in, uint64_t bytes) {
  constexpr uint64_t MaxPosition = std::numeric_limits<int64_t>::max();
  if (bytes > MaxPosition - in->pos) return false;
  in->pos += bytes;
  return true;
}

bool IdIs(const uint8_t id[ChunkIdBytes], const char expected[ChunkIdBytes]) {
  return std::memcmp(id, expected, ChunkIdBytes) == 0;
}

uint64_t BigEndian64(const uint8_t bytes[8]) { return LoadBigEndian(bytes, 8); }

Speaker SpeakerOfId(const uint8_t id[ChunkIdBytes]) {
  for (const ChannelIdSpeaker& known : ChannelIdSpeakers) {
    if (IdIs(id, known.id)) return known.speaker;
  }
  return NoSpeaker;
}

// What a well-formed "PROP" chunk of type "SND " says.
struct PropertyChunk {
  SoundProperties properties;
  bool has_channels = false;
  Speaker speakers[MaxChannels] = {};  // of the first channels, when their count is taken
};

// Reads the local chunks of a "PROP" chunk whose data (after the property
// type) spans [in->pos, end) of the input. Returns false when the chunk is
// malformed or cut short: a local head that does not fit, a local chunk that
// runs past `end`, or a known local chunk too short for its fixed fields.
// Never reads at or past `end`.
bool ReadSoundProperties(Cursor in, uint64_t end, PropertyChunk* found) {
  PropertyChunk chunk;
  SoundProperties& properties = chunk.properties;
  while (in.pos < end) {
    uint8_t head[ChunkHeadBytes];
    if (end - in.pos < ChunkHeadBytes || !ReadExactly(&in, head, ChunkHeadBytes)) return false;
    const uint64_t data_bytes = BigEndian64(head + ChunkIdBytes);
    if (data_bytes > end - in.pos) return false;
    const uint64_t next = in.pos + data_bytes;
    uint8_t data[CompressionBytes + 1];
    if (IdIs(head, FS_ID)) {
      if (data_bytes < RateBytes || !ReadExactly(&in, data, RateBytes)) return false;
      properties.sample_rate = static_cast<uint32_t>(LoadBigEndian(data, RateBytes));
    } else if (IdIs(head, CHNL_ID)) {
      if (data_bytes < ChannelCountBytes || !ReadExactly(&in, data, ChannelCountBytes))
        return false;
      properties.channels = static_cast<uint32_t>(LoadBigEndian(data, ChannelCountBytes));
      properties.channel_ids = static_cast<uint32_t>(
          std::min<uint64_t>((data_bytes - ChannelCountBytes) / ChannelIdBytes, UINT32_MAX));
      chunk.has_channels = true;
      for (uint32_t c = 0; c < properties.channels && c < properties.channel_ids &&
                           c < static_cast<uint32_t>(MaxChannels);
           ++c) {
        uint8_t id[ChunkIdBytes];
        if (!ReadExactly(&in, id, ChunkIdBytes)) return false;
        chunk.speakers[c] = SpeakerOfId(id);
      }
    } else if (IdIs(head, CMPR_ID)) {
      // The type, then a count byte and that many bytes of name.
      if (data_bytes < CompressionBytes + 1 || !ReadExactly(&in, data, CompressionBytes + 1)) {
        return false;
      }
      if (data_bytes < CompressionBytes + 1 + data[CompressionBytes]) return false;
      std::memcpy(properties.compression, data, CompressionBytes);
    }
    // The pad byte after odd-sized data may be the PROP chunk's own last byte.
    in.pos = next;
    if (data_bytes & 1 && in.pos < end) ++in.pos;
  }
  *found = chunk;
  return true;
}

// Why the sound that a property chunk describes cannot be converted.
Refusal RefusalOf(const PropertyChunk& chunk) {
  const SoundProperties& p = chunk.properties;
  if (p.sample_rate != 0 && !IsConvertibleRate(p.sample_rate)) return Refusal::Rate;
  if (chunk.has_channels && (p.channels == 0 || p.channels > MaxChannels)) {
    return Refusal::Channels;
  }
  if (chunk.has_channels && p.channel_ids != p.channels) return Refusal::ChannelIds;
  if (p.compression[0] != '\0' && std::memcmp(p.compression, DSD_TYPE, 4) != 0 &&
      std::memcmp(p.compression, DST_TYPE, 4) != 0) {
    return Refusal::Compression;
  }
  return Refusal::None;
}

// The stream a convertible property chunk describes, or the stereo DSD64
// taken for granted without one.
void DescribeStream(const PropertyChunk* chunk, SoundSource* source) {
  const Speaker stereo[] = {FrontLeft, FrontRight};
  source->sample_rate =
      chunk && chunk->properties.sample_rate != 0 ? chunk->properties.sample_rate : Dsd64Rate;
  if (chunk && chunk->has_channels) {
    source->channels = static_cast<int>(chunk->properties.channels);
    OrderChannels(chunk->speakers, source->channels, source);
  } else {
    source->channels = StereoChannels;
    OrderChannels(stereo, StereoChannels, source);
  }
}

// Indexes the frames of the "DST " chunk whose data starts at in->pos and
// returns the words per channel they hold: as many frames as "FRTE" counts
// (or as there are, without one), the missing ones included. The index ends
// at the first frame that the chunk or the input cuts short, which it keeps
// as damaged, or at a chunk that does not fit.
uint64_t IndexDstFrames(Cursor* in, SoundSource* source) {
  auto index =
      std::make_shared<DstFrameIndex>(static_cast<uint32_t>(DstChannelBytes(source->sample_rate)));
  struct stat file;
  const uint64_t input_bytes = fstat(in->fd, &file) == 0 ? static_cast<uint64_t>(file.st_size) : 0;
  const uint64_t end = std::min(source->data_end, input_bytes);
  uint64_t counted = 0;
  bool has_count = false;
  uint8_t head[ChunkHeadBytes];
  while (end - std::min(end, in->pos) >= ChunkHeadBytes && ReadExactly(in, head, ChunkHeadBytes)) {
    const uint64_t bytes = BigEndian64(head + ChunkIdBytes);
    const uint64_t data = in->pos;
    const bool fits = bytes <= end - data;
    if (IdIs(head, DSTF_ID)) {
      // Longer than any frame can be, or cut short: damaged.
      const bool whole = fits && bytes <= std::numeric_limits<uint32_t>::max();
      index->payload.push_back(data);
      index->payload_bytes.push_back(whole ? static_cast<uint32_t>(bytes) : 0);
      if (!whole) break;
    } else if (IdIs(head, FRTE_ID) && bytes >= FrameCountBytes) {
      uint8_t count[FrameCountBytes];
      if (!ReadExactly(in, count, FrameCountBytes)) break;
      counted = LoadBigEndian(count, FrameCountBytes);
      has_count = true;
    }
    if (!fits) break;
    in->pos = data + bytes + (bytes & 1);  // the "DSTC" check chunks are skipped too
  }
  const uint64_t frames = has_count ? counted : index->payload.size();
  if (index->payload.size() > frames) {
    index->payload.resize(frames);
    index->payload_bytes.resize(frames);
  }
  const uint64_t frame_words = index->FrameWords();
  source->dst = std::move(index);
  return frames * frame_words;
}

}  // namespace

Fault ChunkWalk(int fd, const char* path, SoundSource* source, SoundProperties* properties) {
  const Fault no_sound = Fault{Failure::NoSoundData, path};
  Cursor in;
  in.fd = fd;
  uint8_t id[ChunkIdBytes];
  uint8_t size[ChunkSizeBytes];
  PropertyChunk found;
  bool has_properties = false;  // the last well-formed sound property chunk is in `found`
  if (!ReadExactly(&in, id, ChunkIdBytes) || !IdIs(id, FRM8_ID)) {
    return Fault{Failure::NotDsd, path};
  }
  if (!SkipForward(&in, FormHeadSkip)) return no_sound;
  for (;;) {
    if (!ReadExactly(&in, id, ChunkIdBytes)) return no_sound;
    if (IdIs(id, DSD_ID) || IdIs(id, DST_ID)) break;
    if (IdIs(id, FVER_ID)) {
      if (!SkipForward(&in, FverSkip)) return no_sound;
      continue;
    }
    if (!ReadExactly(&in, size, ChunkSizeBytes)) return no_sound;
    const uint64_t data_bytes = BigEndian64(size);
    // Chunk data of odd length is followed by one pad byte it does not count.
    if (data_bytes == std::numeric_limits<uint64_t>::max()) return no_sound;
    if (IdIs(id, PROP_ID) && data_bytes <= std::numeric_limits<uint64_t>::max() - in.pos) {
      Cursor prop = in;
      uint8_t type[ChunkIdBytes];
      if (data_bytes >= ChunkIdBytes && ReadExactly(&prop, type, ChunkIdBytes) &&
          IdIs(type, SND_TYPE) && ReadSoundProperties(prop, in.pos + data_bytes, &found)) {
        has_properties = true;
        *properties = found.properties;
        properties->refusal = RefusalOf(found);
        if (properties->refusal != Refusal::None) return Fault{Failure::UnsupportedSound, path};
      }
    }
    if (!SkipForward(&in, data_bytes + (data_bytes & 1))) return no_sound;
  }
  if (!ReadExactly(&in, size, ChunkSizeBytes)) return no_sound;
  DescribeStream(has_properties ? &found : nullptr, source);
  const bool dst = IdIs(id, DST_ID);
  source->layout = dst ? SoundLayout::DstFrames : SoundLayout::Interleaved;
  source->offset = in.pos;
  source->declared_bytes = BigEndian64(size);
  source->data_end = source->declared_bytes <= std::numeric_limits<uint64_t>::max() - in.pos
                         ? in.pos + source->declared_bytes
                         : std::numeric_limits<uint64_t>::max();
  // Only whole words of every channel are converted; the bytes of a partial
  // last round are never read.
  source->words = source->declared_bytes / (sizeof(ChannelWord) * source->channels);
  source->fd = fd;
  source->path = path;
  if (dst) {
    // What the frames decode to, as an uncompressed file declares it.
    source->words = IndexDstFrames(&in, source);
    if (source->dst->payload.empty()) return no_sound;
    source->declared_bytes = source->words * sizeof(ChannelWord) * source->channels;
  }
  if (source->words < MinSourceWords) return Fault{Failure::DataTooSmall, path};
  return Fault{};
}

namespace {

// Where a chunk's data lies in the input.
struct ChunkPlace {
  bool found = false;
  uint64_t data = 0;
  uint64_t bytes = 0;
};

// The counted text of a DIAR or DITI chunk whose data spans `bytes` from
// in->pos on; at most MaxInfoTextBytes of it.
std::string InfoText(Cursor* in, uint64_t bytes) {
  uint8_t count[TextCountBytes];
  if (bytes < TextCountBytes || !ReadExactly(in, count, TextCountBytes)) return "";
  const uint64_t length =
      std::min({LoadBigEndian(count, TextCountBytes), bytes - TextCountBytes, MaxInfoTextBytes});
  std::string text(length, '\0');
  for (uint64_t done = 0; done < length;) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(length - done, WindowBytes));
    if (!ReadExactly(in, &text[done], step)) return "";
    done += step;
  }
  return text;
}

// Finds the local chunks of a chunk whose data spans [data, end): calls
// `found` with each one's id and place. Stops at one that does not fit.
template <class Found>
void WalkLocalChunks(Cursor in, uint64_t data, uint64_t end, Found found) {
  in.pos = data;
  uint8_t head[ChunkHeadBytes];
  while (end - in.pos >= ChunkHeadBytes && ReadExactly(&in, head, ChunkHeadBytes)) {
    const uint64_t bytes = BigEndian64(head + ChunkIdBytes);
    if (bytes > end - in.pos) return;
    found(head, ChunkPlace{true, in.pos, bytes});
    in.pos += bytes + (bytes & 1);
    if (in.pos > end) return;
  }
}

}  // namespace

void ReadDsdiffTags(uint64_t input_bytes, SoundSource* source) {
  Cursor in;
  in.fd = source->fd;
  in.pos = FormSizeOffset;
  uint8_t size[ChunkSizeBytes];
  if (!ReadExactly(&in, size, ChunkSizeBytes)) return;
  const uint64_t form_bytes = BigEndian64(size);
  const uint64_t end =
      form_bytes < input_bytes - FormDataOffset ? FormDataOffset + form_bytes : input_bytes;
  ChunkPlace top_id3, prop_id3;
  std::string artist, title;
  in.pos = FormDataOffset + ChunkIdBytes;  // past the form type
  uint8_t head[ChunkHeadBytes];
  while (end > in.pos && end - in.pos >= ChunkHeadBytes && ReadExactly(&in, head, ChunkHeadBytes)) {
    const uint64_t data = in.pos;
    // "FVER" holds 4 bytes, whatever its size says, as the sound's walk takes it.
    const uint64_t bytes =
        IdIs(head, FVER_ID) ? FverSkip - ChunkSizeBytes : BigEndian64(head + ChunkIdBytes);
    if (bytes > end - data) break;  // the rest of the file is not whole chunks
    if (IdIs(head, ID3_ID)) {
      top_id3 = ChunkPlace{true, data, bytes};
    } else if (IdIs(head, DIIN_ID)) {
      WalkLocalChunks(in, data, data + bytes, [&](const uint8_t* id, const ChunkPlace& place) {
        Cursor text = in;
        text.pos = place.data;
        if (IdIs(id, DIAR_ID)) artist = InfoText(&text, place.bytes);
        if (IdIs(id, DITI_ID)) title = InfoText(&text, place.bytes);
      });
    } else if (IdIs(head, PROP_ID) && bytes >= ChunkIdBytes) {
      WalkLocalChunks(in, data + ChunkIdBytes, data + bytes,
                      [&](const uint8_t* id, const ChunkPlace& place) {
                        if (IdIs(id, ID3_ID)) prop_id3 = place;
                      });
    }
    in.pos = data + bytes + (bytes & 1);
  }
  TagRecord record;
  const ChunkPlace& id3 = top_id3.found ? top_id3 : prop_id3;
  if (id3.found) ReadId3TagAt(source->fd, id3.data, id3.bytes, &record);
  MergeDsdiffInfo(artist, title, &record);
  source->tags = std::move(record);
}
