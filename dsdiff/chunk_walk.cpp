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
  std::string damage;                  // a local chunk passed over, and why; empty for none
};

// Whether a local chunk of this id is one the sound's description reads.
bool DescribesTheSound(const uint8_t id[ChunkIdBytes]) {
  return IdIs(id, FS_ID) || IdIs(id, CHNL_ID) || IdIs(id, CMPR_ID);
}

// A four-character id fit for a message: anything but printable ASCII as '?'.
std::string ShownId(const uint8_t id[ChunkIdBytes]) {
  std::string shown;
  for (int i = 0; i < ChunkIdBytes; ++i)
    shown.push_back(id[i] >= 0x20 && id[i] < 0x7F ? id[i] : '?');
  return shown;
}

// Reads the local chunks of a "PROP" chunk whose data (after the property
// type) spans [in->pos, end) of the input. Returns false when the chunk
// cannot be trusted: the input ends inside it, or a local chunk that
// describes the sound ("FS  ", "CHNL", "CMPR") runs past `end` or is too
// short for its fixed fields. Any other local chunk that runs past `end`,
// and bytes at the end too few for a local chunk's head, end the walk: what
// the chunk said before them stays said, and `damage` says what was passed
// over. Never reads at or past `end`.
bool ReadSoundProperties(Cursor in, uint64_t end, PropertyChunk* found) {
  PropertyChunk chunk;
  SoundProperties& properties = chunk.properties;
  while (in.pos < end) {
    uint8_t head[ChunkHeadBytes];
    if (end - in.pos < ChunkHeadBytes) {
      chunk.damage = "its last " + std::to_string(end - in.pos) + " bytes are no whole chunk";
      break;
    }
    if (!ReadExactly(&in, head, ChunkHeadBytes)) return false;
    const uint64_t data_bytes = BigEndian64(head + ChunkIdBytes);
    if (data_bytes > end - in.pos) {
      if (DescribesTheSound(head)) return false;
      chunk.damage = "its \"" + ShownId(head) + "\" chunk runs past its end";
      break;
    }
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
        if (!found.damage.empty()) {
          source->notes.push_back("the sound property chunk is damaged: " + found.damage +
                                  "; passed over, and what came before it is kept");
        }
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
  source->container = dst ? "DSDIFF (DST)" : "DSDIFF";
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

namespace {

// A "MARK" chunk: the time (hours, minutes, seconds, samples), an offset in
// samples, the kind of mark, its channel and flags, then a counted text.
constexpr size_t MarkHoursOffset = 0;    // 2 bytes
constexpr size_t MarkMinutesOffset = 2;  // 1 byte
constexpr size_t MarkSecondsOffset = 3;  // 1 byte
constexpr size_t MarkSamplesOffset = 4;  // 4 bytes
constexpr size_t MarkOffsetOffset = 8;   // 4 bytes, signed
constexpr size_t MarkTypeOffset = 12;    // 2 bytes; markChannel (2) and TrackFlags (2) follow
constexpr size_t MarkFixedBytes = 18;    // then the counted text
constexpr uint16_t TrackStartMark = 0;
constexpr uint16_t TrackStopMark = 1;
// "ABSS": the sound's absolute start time, as a mark gives it (hours,
// minutes, seconds, samples): marks are absolute times.
constexpr size_t AbssBytes = 8;
constexpr int SecondsPerMinute = 60;
constexpr int MinutesPerHour = 60;

// A time as hours, minutes, seconds and samples: samples from 00:00:00:00.
int64_t SamplesOfTime(const uint8_t* time, uint32_t sample_rate) {
  const int64_t seconds =
      (static_cast<int64_t>(LoadBigEndian(time + MarkHoursOffset, 2)) * MinutesPerHour +
       time[MarkMinutesOffset]) *
          SecondsPerMinute +
      time[MarkSecondsOffset];
  return seconds * sample_rate + static_cast<int64_t>(LoadBigEndian(time + MarkSamplesOffset, 4));
}

struct Mark {
  int64_t time;  // in samples from the sound's start
  uint16_t type;
  std::string text;
};

// The tracks that TrackStart and TrackStop marks, in time order, describe:
// each TrackStart starts a track that runs to the next; a TrackStop before
// that starts the pause that belongs to it; the last track ends at the last
// TrackStop after it, or with the sound. Marks before the sound count from
// its start.
std::vector<Track> TracksOfMarks(std::vector<Mark> marks) {
  std::stable_sort(marks.begin(), marks.end(),
                   [](const Mark& a, const Mark& b) { return a.time < b.time; });
  std::vector<Track> tracks;
  uint64_t stop = SoundEnd;  // the last TrackStop after the current track's start
  for (const Mark& mark : marks) {
    const uint64_t time = static_cast<uint64_t>(std::max<int64_t>(mark.time, 0));
    if (mark.type == TrackStopMark && !tracks.empty()) stop = time;
    if (mark.type != TrackStartMark) continue;
    Track track;
    track.number = static_cast<int>(tracks.size()) + 1;
    track.start = time;
    track.title = DsdiffText(mark.text);
    if (!tracks.empty()) {
      tracks.back().end = time;
      if (stop != SoundEnd && stop >= tracks.back().start) track.pause = time - stop;
    }
    tracks.push_back(std::move(track));
    stop = SoundEnd;
  }
  if (!tracks.empty()) tracks.back().end = stop;
  return tracks;
}

// The mark in a "MARK" chunk's `bytes` bytes at in->pos; false when it is
// too short for its fixed fields.
bool ReadMark(Cursor* in, uint64_t bytes, uint32_t sample_rate, int64_t start, Mark* mark) {
  uint8_t fixed[MarkFixedBytes];
  if (bytes < MarkFixedBytes || !ReadExactly(in, fixed, MarkFixedBytes)) return false;
  const auto offset = static_cast<int32_t>(LoadBigEndian(fixed + MarkOffsetOffset, 4));
  mark->time = SamplesOfTime(fixed, sample_rate) - start + offset;
  mark->type = static_cast<uint16_t>(LoadBigEndian(fixed + MarkTypeOffset, 2));
  mark->text = InfoText(in, bytes - MarkFixedBytes);
  return true;
}

}  // namespace

void ReadDsdiffDetails(uint64_t input_bytes, SoundSource* source) {
  Cursor in;
  in.fd = source->fd;
  in.pos = FormSizeOffset;
  uint8_t size[ChunkSizeBytes];
  if (!ReadExactly(&in, size, ChunkSizeBytes)) return;
  const uint64_t form_bytes = BigEndian64(size);
  const uint64_t end =
      form_bytes < input_bytes - FormDataOffset ? FormDataOffset + form_bytes : input_bytes;
  std::vector<ChunkPlace> top_id3;
  ChunkPlace prop_id3, abss, diin;
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
      top_id3.push_back(ChunkPlace{true, data, bytes});
    } else if (IdIs(head, DIIN_ID)) {
      diin = ChunkPlace{true, data, bytes};
    } else if (IdIs(head, PROP_ID) && bytes >= ChunkIdBytes) {
      WalkLocalChunks(in, data + ChunkIdBytes, data + bytes,
                      [&](const uint8_t* id, const ChunkPlace& place) {
                        if (IdIs(id, ID3_ID)) prop_id3 = place;
                        if (IdIs(id, ABSS_ID) && place.bytes >= AbssBytes) abss = place;
                      });
    }
    in.pos = data + bytes + (bytes & 1);
  }
  int64_t start = 0;
  if (abss.found) {
    uint8_t time[AbssBytes];
    Cursor at = in;
    at.pos = abss.data;
    if (ReadExactly(&at, time, AbssBytes)) start = SamplesOfTime(time, source->sample_rate);
  }
  std::vector<Mark> marks;
  if (diin.found) {
    WalkLocalChunks(in, diin.data, diin.data + diin.bytes,
                    [&](const uint8_t* id, const ChunkPlace& place) {
                      Cursor text = in;
                      text.pos = place.data;
                      Mark mark;
                      if (IdIs(id, DIAR_ID)) artist = InfoText(&text, place.bytes);
                      if (IdIs(id, DITI_ID)) title = InfoText(&text, place.bytes);
                      if (IdIs(id, MARK_ID) &&
                          ReadMark(&text, place.bytes, source->sample_rate, start, &mark)) {
                        marks.push_back(std::move(mark));
                      }
                    });
  }
  TagRecord record;
  const ChunkPlace* id3 = !top_id3.empty() ? &top_id3.back() : prop_id3.found ? &prop_id3 : nullptr;
  if (id3) ReadId3TagAt(source->fd, id3->data, id3->bytes, &record);
  MergeDsdiffInfo(artist, title, &record);
  source->tags = std::move(record);
  source->album.title = DsdiffText(title);
  source->album.artist = DsdiffText(artist);
  source->tracks = TracksOfMarks(std::move(marks));
  if (source->tracks.empty()) return;
  source->origin = TrackOrigin::Markers;
  // The ripping tools' convention: one "ID3 " chunk per track, in order.
  if (top_id3.size() > 1 && top_id3.size() == source->tracks.size()) {
    for (size_t t = 0; t < top_id3.size(); ++t) {
      Track& track = source->tracks[t];
      ReadId3TagAt(source->fd, top_id3[t].data, top_id3[t].bytes, &track.tags);
      track.has_tags = true;
      // Its fields win over the marker's text.
      for (const auto& [field, value] : {std::pair{"TITLE", &track.title},
                                         {"ARTIST", &track.performer},
                                         {"COMPOSER", &track.composer},
                                         {"ISRC", &track.isrc}}) {
        for (const TagComment& c : track.tags.comments) {
          if (c.name == field) {
            *value = c.value;
            break;
          }
        }
      }
    }
  }
}
