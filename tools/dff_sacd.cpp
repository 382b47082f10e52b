// dff-sacd: writes an SACD disc image from DSDIFF files, one file a track, for
// testing readers of SACD images. A stereo area and/or a multichannel area of
// 5 or 6 channels; plain DSD (3 frames in 14 or 16 sectors) from uncompressed
// files, DST from DST files, whose "DSTF" payloads become the image's frames
// unchanged; album and track text in Latin-1 or Shift-JIS, converted with
// iconv from the UTF-8 of the command line; 2,048- or 2,064-byte sectors. It
// reads DSDIFF on its own, trusting its inputs, and never the reader's code.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sacd/sacd_format.h"
#include "tools/tool_options.h"

namespace {

using namespace sacd_format;
using Bytes = std::vector<uint8_t>;

// ---- DSDIFF, as the inputs hold it ---------------------------------------------

constexpr char ContainerId[] = "FRM8";  // outermost chunk, form type "DSD "
constexpr char PropertyId[] = "PROP";   // property chunk of type "SND "
constexpr char ChannelsId[] = "CHNL";   // in "PROP": channel count (16-bit), then ids
constexpr char RateId[] = "FS  ";       // in "PROP": sample rate (32-bit)
constexpr char PlainSoundId[] = "DSD ";
constexpr char DstSoundId[] = "DST ";
constexpr char DstFrameId[] = "DSTF";  // in "DST ": one frame
constexpr int IdBytes = 4;
constexpr int SizeBytes = 8;  // chunk sizes, big-endian
constexpr int ChunkHeadBytes = IdBytes + SizeBytes;
constexpr int RateBytes = 4;          // "FS  "
constexpr int ChannelCountBytes = 2;  // "CHNL"
constexpr int FormHeadBytes = 16;     // "FRM8", its size, the form type
constexpr int PropertyTypeBytes = 4;  // "SND " before the local chunks
constexpr uint32_t Dsd64Rate = 2822400;
constexpr size_t ChannelFrameBytes = 4704;  // one channel's 1/75 s at DSD64
constexpr uint8_t IdleByte = 0x69;          // fills a last plain frame the sound does not fill

constexpr int ExitFailure = 1;

const char HelpText[] =
    "Usage: dff-sacd [OPTIONS] OUT.iso\n"
    "Writes an SACD disc image from DSDIFF files of DSD64 sound, one file a\n"
    "track: a stereo area and/or a multichannel area of 5 or 6 channels. A\n"
    "plain area comes from uncompressed files, a DST area from DST files,\n"
    "whose frames it takes unchanged. A last plain frame that the sound does\n"
    "not fill is filled with the idle pattern 0x69.\n"
    "\n"
    "Tracks, in order:\n"
    "  --stereo FILE          a track of the stereo area (2 channels)\n"
    "  --multichannel FILE    a track of the multichannel area (5 or 6 channels)\n"
    "Of the track named last:\n"
    "  --title, --performer, --songwriter, --composer, --arranger, --message TEXT\n"
    "  --isrc CODE            12 characters\n"
    "  --genre N              its genre in the general list (1 to 29)\n"
    "Of the disc:\n"
    "  --album-title, --album-artist, --album-publisher, --album-copyright TEXT\n"
    "  --disc-title, --disc-artist, --disc-publisher, --disc-copyright TEXT\n"
    "  --area-description, --area-copyright TEXT   of each area\n"
    "  --catalog TEXT         the album's and the disc's catalog number (16 at most)\n"
    "  --album-genre N        the album's genre in the general list\n"
    "  --date YYYY-MM-DD      the disc's date\n"
    "  --set N/M              disc N of an album set of M\n"
    "  --charset latin1|sjis  the character set of every text (default latin1);\n"
    "                         the text itself is given in UTF-8\n"
    "  --language XX          the text's language (default en)\n"
    "Of the image:\n"
    "  --sector-bytes 2048|2064   raw sectors of 2,064 bytes keep a 12-byte header\n"
    "                         and 4 bytes after the data (default 2048)\n"
    "  --plain-format 3in14|3in16 how plain frames fill sectors (default 3in14)\n"
    "  --supplementary        a 16-byte supplementary data packet before each frame\n"
    "  --help                 this text\n"
    "\n"
    "Exit status: 0 written, 1 input refused or write failure, 2 bad options.\n";

struct TrackText {
  std::string title, performer, songwriter, composer, arranger, message;  // UTF-8
};

struct Track {
  std::string path;
  TrackText text;
  std::string isrc;
  int genre = 0;
  // The sound, once read.
  int channels = 0;
  bool dst = false;
  std::vector<Bytes> frames;
};

struct Options {
  std::vector<Track> areas[2];  // stereo, multichannel
  std::string album_title, album_artist, album_publisher, album_copyright;
  std::string disc_title, disc_artist, disc_publisher, disc_copyright;
  std::string area_description, area_copyright;
  std::string catalog;
  int album_genre = 0;
  int year = 0, month = 0, day = 0;
  int set_number = 1, set_size = 1;
  uint8_t character_set = CharacterSetLatin1;
  std::string language = "en";
  uint32_t sector_bytes = SectorBytes;
  uint32_t group_sectors = SectorsPer3In14Group;
  bool supplementary = false;
  std::string out;
};

// Fills `options`; returns an error message, empty on success, "help" for --help.
std::string ParseOptions(int argc, char** argv, Options* options) {
  std::vector<std::string> files;
  Track* last = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ToolHelpAnswer;
    if (arg == "--supplementary") {
      options->supplementary = true;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    if (i + 1 >= argc) return "option " + arg + " needs a value";
    const std::string value = argv[++i];
    std::string* track_text = nullptr;
    if (last) {
      TrackText& t = last->text;
      track_text = arg == "--title"        ? &t.title
                   : arg == "--performer"  ? &t.performer
                   : arg == "--songwriter" ? &t.songwriter
                   : arg == "--composer"   ? &t.composer
                   : arg == "--arranger"   ? &t.arranger
                   : arg == "--message"    ? &t.message
                   : arg == "--isrc"       ? &last->isrc
                                           : nullptr;
    }
    std::string* disc_text = arg == "--album-title"        ? &options->album_title
                             : arg == "--album-artist"     ? &options->album_artist
                             : arg == "--album-publisher"  ? &options->album_publisher
                             : arg == "--album-copyright"  ? &options->album_copyright
                             : arg == "--disc-title"       ? &options->disc_title
                             : arg == "--disc-artist"      ? &options->disc_artist
                             : arg == "--disc-publisher"   ? &options->disc_publisher
                             : arg == "--disc-copyright"   ? &options->disc_copyright
                             : arg == "--area-description" ? &options->area_description
                             : arg == "--area-copyright"   ? &options->area_copyright
                             : arg == "--catalog"          ? &options->catalog
                             : arg == "--language"         ? &options->language
                                                           : nullptr;
    if (arg == "--stereo" || arg == "--multichannel") {
      std::vector<Track>& area = options->areas[arg == "--multichannel"];
      area.push_back(Track{});
      area.back().path = value;
      last = &area.back();
    } else if (track_text) {
      *track_text = value;
    } else if (disc_text) {
      *disc_text = value;
    } else if (arg == "--genre") {
      if (!last) return "--genre names no track: give it after --stereo or --multichannel";
      if (!ParseWholeNumber(value, 1, LastGenre, &last->genre)) return "--genre takes 1 to 29";
    } else if (arg == "--album-genre") {
      if (!ParseWholeNumber(value, 1, LastGenre, &options->album_genre))
        return "--album-genre takes 1 to 29";
    } else if (arg == "--date") {
      if (value.size() != 10 || value[4] != '-' || value[7] != '-' ||
          !ParseWholeNumber(value.substr(0, 4), 1, 9999, &options->year) ||
          !ParseWholeNumber(value.substr(5, 2), 1, 12, &options->month) ||
          !ParseWholeNumber(value.substr(8, 2), 1, 31, &options->day))
        return "--date takes YYYY-MM-DD";
    } else if (arg == "--set") {
      const size_t slash = value.find('/');
      if (slash == std::string::npos ||
          !ParseWholeNumber(value.substr(slash + 1), 1, 65535, &options->set_size) ||
          !ParseWholeNumber(value.substr(0, slash), 1, options->set_size, &options->set_number))
        return "--set takes N/M, 1 <= N <= M";
    } else if (arg == "--charset") {
      if (value == "latin1")
        options->character_set = CharacterSetLatin1;
      else if (value == "sjis")
        options->character_set = CharacterSetShiftJis;
      else
        return "--charset takes latin1 or sjis";
    } else if (arg == "--sector-bytes") {
      if (value == "2048")
        options->sector_bytes = SectorBytes;
      else if (value == "2064")
        options->sector_bytes = RawSectorBytes;
      else
        return "--sector-bytes takes 2048 or 2064";
    } else if (arg == "--plain-format") {
      if (value == "3in14")
        options->group_sectors = SectorsPer3In14Group;
      else if (value == "3in16")
        options->group_sectors = SectorsPer3In16Group;
      else
        return "--plain-format takes 3in14 or 3in16";
    } else if (!last && (arg == "--title" || arg == "--performer" || arg == "--songwriter" ||
                         arg == "--composer" || arg == "--arranger" || arg == "--message" ||
                         arg == "--isrc")) {
      return arg + " names no track: give it after --stereo or --multichannel";
    } else {
      return "unknown option " + arg;
    }
  }
  if (files.size() != 1) return "give one output file";
  if (options->areas[0].empty() && options->areas[1].empty()) return "give at least one track";
  if (options->language.size() != LanguageBytes) return "--language takes two letters";
  if (options->catalog.size() > CatalogBytes) return "--catalog takes 16 characters at most";
  for (const auto& area : options->areas) {
    if (area.size() > MaxTracks) return "an area holds 255 tracks at most";
    for (const Track& t : area) {
      if (!t.isrc.empty() && t.isrc.size() != IsrcBytes) return "--isrc takes 12 characters";
    }
  }
  options->out = files[0];
  return "";
}

// ---- Bytes --------------------------------------------------------------------------

void Put(Bytes* out, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    (*out)[at + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

void PutText(Bytes* out, size_t at, const std::string& text) {
  std::copy(text.begin(), text.end(), out->begin() + at);
}

uint64_t BigEndianAt(const Bytes& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
  return v;
}

bool IdIs(const Bytes& b, size_t at, const char* id) {
  return b.size() >= at + IdBytes && std::memcmp(b.data() + at, id, IdBytes) == 0;
}

// ---- The tracks' sound ------------------------------------------------------------------

// Calls `found(head, data, size)` for each chunk in [begin, end).
template <class Found>
void Chunks(const Bytes& file, size_t begin, size_t end, Found found) {
  for (size_t at = begin; at + ChunkHeadBytes <= end;) {
    const uint64_t size = BigEndianAt(file, at + IdBytes, SizeBytes);
    const size_t data = at + ChunkHeadBytes;
    if (size > end - data) return;
    found(at, data, static_cast<size_t>(size));
    at = data + size + size % 2;
  }
}

// Reads a track's DSDIFF file into its frames; returns an error, or "".
std::string ReadTrack(Track* track) {
  Bytes file;
  if (!ReadWholeFile(track->path, &file))
    return std::string("cannot read: ") + std::strerror(errno);
  if (!IdIs(file, 0, ContainerId) || file.size() < FormHeadBytes) return "not a DSDIFF file";
  uint32_t rate = 0;
  bool found_sound = false;
  Chunks(file, FormHeadBytes, file.size(), [&](size_t head, size_t data, size_t size) {
    if (IdIs(file, head, PropertyId)) {
      Chunks(file, data + PropertyTypeBytes, data + size, [&](size_t h, size_t d, size_t) {
        if (IdIs(file, h, RateId)) rate = static_cast<uint32_t>(BigEndianAt(file, d, RateBytes));
        if (IdIs(file, h, ChannelsId))
          track->channels = static_cast<int>(BigEndianAt(file, d, ChannelCountBytes));
      });
    } else if (IdIs(file, head, PlainSoundId) && track->channels > 0) {
      const size_t frame_bytes = ChannelFrameBytes * track->channels;
      for (size_t at = 0; at < size; at += frame_bytes) {
        Bytes frame(frame_bytes, IdleByte);
        std::copy_n(file.begin() + data + at, std::min(frame_bytes, size - at), frame.begin());
        track->frames.push_back(std::move(frame));
      }
      found_sound = true;
    } else if (IdIs(file, head, DstSoundId)) {
      track->dst = true;
      Chunks(file, data, data + size, [&](size_t h, size_t d, size_t s) {
        if (IdIs(file, h, DstFrameId))
          track->frames.emplace_back(file.begin() + d, file.begin() + d + s);
      });
      found_sound = true;
    }
  });
  if (!found_sound || track->frames.empty()) return "no sound (a property chunk must come first)";
  if (rate != Dsd64Rate) return "only DSD64 (2822400 Hz) is taken";
  return "";
}

// ---- Text -----------------------------------------------------------------------------------

// UTF-8 text in the image's character set; false when it cannot be.
bool Encode(const std::string& utf8, uint8_t character_set, std::string* out) {
  out->clear();
  if (utf8.empty()) return true;
  // CP932 is Shift-JIS whose single bytes are ASCII.
  iconv_t convert =
      iconv_open(character_set == CharacterSetShiftJis ? "CP932" : "ISO-8859-1", "UTF-8");
  if (convert == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buffer(4 * utf8.size() + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  char* next = &buffer[0];
  size_t out_left = buffer.size();
  const bool ok = iconv(convert, &in, &in_left, &next, &out_left) != static_cast<size_t>(-1);
  iconv_close(convert);
  out->assign(&buffer[0], next);
  return ok && out->find('\0') == std::string::npos;
}

// ---- Audio sectors -----------------------------------------------------------------------

// A packet placed in a sector: a piece of a frame, or padding, or
// supplementary data.
struct Packet {
  uint8_t type = DataTypeAudio;
  bool frame_start = false;
  uint32_t frame = 0;             // the area's frame number it belongs to
  const uint8_t* data = nullptr;  // nullptr: zeros
  uint16_t length = 0;
};

struct Sector {
  std::vector<Packet> packets;
  int frame_starts = 0;
  uint32_t used = SectorHeaderBytes;
};

constexpr uint32_t MaxPacketBytes = PacketLengthMask;
constexpr uint16_t SupplementaryBytes = 16;

// The area's sectors, and where each frame starts and ends.
struct AudioLayout {
  int channels = 0;
  std::vector<Sector> sectors;
  std::vector<uint32_t> first_sector, last_sector;  // per frame, from the track area's start
};

class Packer {
 public:
  Packer(bool dst, AudioLayout* layout) : dst_(dst), layout_(layout) {
    layout_->sectors.emplace_back();
  }

  // Appends a packet of up to `length` bytes, in a new sector when this one
  // cannot take it; returns the bytes it took.
  uint32_t Add(Packet packet, uint32_t length) {
    Sector* sector = &layout_->sectors.back();
    const uint32_t info = PacketInfoBytes + (packet.frame_start ? FrameInfoBytes() : 0);
    if (sector->packets.size() == MaxPackets ||
        (packet.frame_start && sector->frame_starts == MaxFrameStarts) ||
        sector->used + info >= SectorBytes) {
      Close();
      sector = &layout_->sectors.back();
    }
    packet.length = static_cast<uint16_t>(
        std::min({length, SectorBytes - sector->used - info, MaxPacketBytes}));
    sector->packets.push_back(packet);
    sector->used += info + packet.length;
    sector->frame_starts += packet.frame_start;
    return packet.length;
  }

  // Fills the rest of this sector with padding and starts the next.
  void Close() {
    Sector& sector = layout_->sectors.back();
    if (sector.packets.size() < MaxPackets && sector.used + PacketInfoBytes < SectorBytes) {
      Packet padding;
      padding.type = DataTypePadding;
      padding.length = static_cast<uint16_t>(SectorBytes - sector.used - PacketInfoBytes);
      sector.packets.push_back(padding);
      sector.used = SectorBytes;
    }
    layout_->sectors.emplace_back();
  }

  uint32_t Current() const { return static_cast<uint32_t>(layout_->sectors.size() - 1); }

 private:
  uint32_t FrameInfoBytes() const { return dst_ ? DstFrameInfoBytes : TimeCodeBytes; }
  bool dst_;
  AudioLayout* layout_;
};

// Lays out every frame of the area's tracks in sectors.
AudioLayout LayOut(const std::vector<Track>& tracks, const Options& options) {
  AudioLayout layout;
  layout.channels = tracks[0].channels;
  const bool dst = tracks[0].dst;
  Packer packer(dst, &layout);
  uint32_t frame = 0;
  for (const Track& track : tracks) {
    for (const Bytes& bytes : track.frames) {
      if (options.supplementary) {
        Packet extra;
        extra.type = DataTypeSupplementary;
        packer.Add(extra, SupplementaryBytes);
      }
      layout.first_sector.push_back(packer.Current());
      for (uint32_t done = 0; done < bytes.size();) {
        Packet piece;
        piece.frame_start = done == 0;
        piece.frame = frame;
        piece.data = bytes.data() + done;
        // A frame's first packet opens a sector's frame infos with it, so it
        // is never empty.
        const uint32_t took = packer.Add(piece, static_cast<uint32_t>(bytes.size() - done));
        if (took == 0) continue;
        if (done == 0) layout.first_sector.back() = packer.Current();
        done += took;
      }
      layout.last_sector.push_back(packer.Current());
      ++frame;
      // Plain frames: every 3 fill a group of sectors exactly. They always
      // fit: 3 x 9,408 bytes and their sectors' infos in 14 sectors.
      if (!dst && frame % FramesPerPlainGroup == 0) {
        packer.Close();
        while (packer.Current() % options.group_sectors != 0) packer.Close();
      }
    }
  }
  if (layout.sectors.back().packets.empty()) layout.sectors.pop_back();
  if (layout.sectors.back().used < SectorBytes) packer.Close(), layout.sectors.pop_back();
  return layout;
}

// The 2,048 bytes of an audio sector.
Bytes AudioSectorBytes(const Sector& sector, const AudioLayout& layout, bool dst) {
  Bytes out(SectorBytes, 0);
  out[0] =
      static_cast<uint8_t>(sector.packets.size() << PacketCountShift |
                           sector.frame_starts << FrameStartCountShift | (dst ? DstCodedFlag : 0));
  size_t info = SectorHeaderBytes;
  size_t frame_info = info + PacketInfoBytes * sector.packets.size();
  size_t data = frame_info + (dst ? DstFrameInfoBytes : TimeCodeBytes) * sector.frame_starts;
  for (const Packet& p : sector.packets) {
    Put(&out, info, (p.frame_start ? FrameStartFlag : 0) | p.type << DataTypeShift | p.length,
        PacketInfoBytes);
    info += PacketInfoBytes;
    if (p.frame_start) {
      out[frame_info] = static_cast<uint8_t>(p.frame / FramesPerSecond / SecondsPerMinute);
      out[frame_info + 1] = static_cast<uint8_t>(p.frame / FramesPerSecond % SecondsPerMinute);
      out[frame_info + 2] = static_cast<uint8_t>(p.frame % FramesPerSecond);
      frame_info += TimeCodeBytes;
      if (dst) {
        const uint32_t span = layout.last_sector[p.frame] - layout.first_sector[p.frame] + 1;
        const uint8_t channel_flags = layout.channels == 6   ? SixChannelsFlag
                                      : layout.channels == 5 ? FiveChannelsFlag
                                                             : 0;
        out[frame_info++] = static_cast<uint8_t>(
            std::min<uint32_t>(span, SectorCountMask) << SectorCountShift | channel_flags);
      }
    }
    if (p.data) std::copy_n(p.data, p.length, out.begin() + data);
    data += p.length;
  }
  return out;
}

// ---- TOCs -----------------------------------------------------------------------------------

void PutSignature(Bytes* out, size_t at, const char* signature) {
  std::copy_n(signature, SignatureBytes, out->begin() + at);
}

void PutTimeCode(Bytes* out, size_t at, uint32_t frames) {
  (*out)[at] = static_cast<uint8_t>(frames / FramesPerSecond / SecondsPerMinute);
  (*out)[at + 1] = static_cast<uint8_t>(frames / FramesPerSecond % SecondsPerMinute);
  (*out)[at + 2] = static_cast<uint8_t>(frames % FramesPerSecond);
}

void PutTextChannel(Bytes* out, size_t at, const Options& options) {
  PutText(out, at + TextChannelLanguageOffset, options.language);
  (*out)[at + TextChannelCharacterSetOffset] = options.character_set;
}

void PutGenre(Bytes* out, size_t at, int genre) {
  if (genre == 0) return;
  (*out)[at + GenreTableOffset] = GenreTableGeneral;
  (*out)[at + GenreCodeOffset] = static_cast<uint8_t>(genre);
}

// The sectors of an area TOC as dff-sacd writes it: the header, the two
// track lists, ISRC and genre, then the track text.
constexpr uint32_t TrackList1Sector = 1;
constexpr uint32_t TrackList2Sector = 2;
constexpr uint32_t IsrcGenreSector = 3;
constexpr uint32_t TrackTextSector = IsrcGenreSector + IsrcGenreSectors;
// Text items start at offsets that are multiples of 4.
constexpr size_t TextItemAlignBytes = 4;

// Where an area lies in the image.
struct AreaPlace {
  uint32_t toc1 = 0, toc2 = 0, length = 0;
  uint32_t first = 0, last = 0;  // its track area
};

// One text record of a track text block: the items of `text` in the image's
// character set, aligned to 4 bytes; false when a text cannot be encoded.
bool TextRecord(const TrackText& text, const Options& options, Bytes* record) {
  const std::pair<uint8_t, const std::string*> items[] = {
      {TextTitle, &text.title},           {TextPerformer, &text.performer},
      {TextSongwriter, &text.songwriter}, {TextComposer, &text.composer},
      {TextArranger, &text.arranger},     {TextMessage, &text.message}};
  record->assign(TextRecordHeadBytes, 0);
  for (const auto& item : items) {
    std::string encoded;
    if (item.second->empty()) continue;
    if (!Encode(*item.second, options.character_set, &encoded)) return false;
    ++(*record)[0];
    record->push_back(item.first);
    record->push_back(0);
    record->insert(record->end(), encoded.begin(), encoded.end());
    do record->push_back(0);  // the terminator, then zeros up to the next item
    while (record->size() % TextItemAlignBytes != 0);
  }
  return true;
}

// The track text block: its sectors; false when a text cannot be encoded.
bool TrackTextBlock(const std::vector<Track>& tracks, const Options& options, Bytes* block) {
  block->assign(SectorBytes, 0);
  PutSignature(block, 0, TrackTextSignature);
  size_t at =
      (TrackTextFirstByte + TextItemAlignBytes - 1) / TextItemAlignBytes * TextItemAlignBytes;
  for (size_t t = 0; t < tracks.size(); ++t) {
    Bytes record;
    if (!TextRecord(tracks[t].text, options, &record)) return false;
    if (record[0] == 0) continue;
    if (at + record.size() > MaxTrackTextSectors * SectorBytes) return false;
    if (at + record.size() > block->size())
      block->resize((at + record.size() + SectorBytes - 1) / SectorBytes * SectorBytes, 0);
    Put(block, TrackTextPositionsOffset + WordBytes * t, at, WordBytes);
    std::copy(record.begin(), record.end(), block->begin() + at);
    at += record.size();
  }
  return true;
}

// The area TOC, header sector first; false when a text cannot be encoded.
bool AreaToc(const std::vector<Track>& tracks, bool multichannel, const AudioLayout& layout,
             const AreaPlace& place, const Options& options, Bytes* toc) {
  Bytes text;
  if (!TrackTextBlock(tracks, options, &text)) return false;
  const uint32_t text_sector = TrackTextSector;
  toc->assign(text_sector * SectorBytes, 0);
  toc->insert(toc->end(), text.begin(), text.end());
  const int channels = tracks[0].channels;
  PutSignature(toc, 0, multichannel ? MultichannelTocSignature : StereoTocSignature);
  (*toc)[VersionOffset] = VersionMajor;
  (*toc)[VersionOffset + 1] = VersionMinor;
  Put(toc, AreaTocLengthOffset, toc->size() / SectorBytes, WordBytes);
  Put(toc, MaxByteRateOffset, ChannelFrameBytes * FramesPerSecond * channels, LongBytes);
  (*toc)[RateCodeOffset] = Dsd64RateCode;
  (*toc)[FrameFormatOffset] = tracks[0].dst                                   ? FrameFormatDst
                              : options.group_sectors == SectorsPer3In14Group ? FrameFormatDsd3In14
                                                                              : FrameFormatDsd3In16;
  (*toc)[ChannelCountOffset] = static_cast<uint8_t>(channels);
  const uint8_t configuration = channels == 2   ? LoudspeakerStereo
                                : channels == 5 ? LoudspeakerFive
                                                : LoudspeakerFivePointOne;
  (*toc)[LoudspeakerOffset] = static_cast<uint8_t>(configuration << LoudspeakerShift);
  PutTimeCode(toc, PlayTimeOffset, static_cast<uint32_t>(layout.first_sector.size()));
  (*toc)[TrackCountOffset] = static_cast<uint8_t>(tracks.size());
  Put(toc, TrackAreaFirstOffset, place.first, LongBytes);
  Put(toc, TrackAreaLastOffset, place.last, LongBytes);
  (*toc)[AreaTextChannelCountOffset] = 1;
  PutTextChannel(toc, AreaTextChannelsOffset, options);
  size_t at = AreaTextFirstByte;
  for (const auto& [position, text] :
       {std::pair{AreaDescriptionPositionOffset, &options.area_description},
        {AreaCopyrightPositionOffset, &options.area_copyright}}) {
    std::string encoded;
    if (!Encode(*text, options.character_set, &encoded)) return false;
    if (encoded.empty()) continue;
    if (at + encoded.size() + 1 > SectorBytes) return false;
    Put(toc, position, at, WordBytes);
    PutText(toc, at, encoded);
    at += encoded.size() + 1;
  }
  Put(toc, TrackTextPointerOffset, text_sector, WordBytes);
  const size_t list1 = TrackList1Sector * SectorBytes, list2 = TrackList2Sector * SectorBytes,
               igl = IsrcGenreSector * SectorBytes;
  PutSignature(toc, list1, TrackList1Signature);
  PutSignature(toc, list2, TrackList2Signature);
  PutSignature(toc, igl, IsrcGenreSignature);
  uint32_t frame = 0;
  for (size_t t = 0; t < tracks.size(); ++t) {
    const uint32_t frames = static_cast<uint32_t>(tracks[t].frames.size());
    const uint32_t first = layout.first_sector[frame],
                   last = layout.last_sector[frame + frames - 1];
    Put(toc, list1 + TrackStartSectorsOffset + LongBytes * t, place.first + first, LongBytes);
    Put(toc, list1 + TrackSectorCountsOffset + LongBytes * t, last - first + 1, LongBytes);
    PutTimeCode(toc, list2 + TrackStartTimesOffset + TimeEntryBytes * t, frame);
    PutTimeCode(toc, list2 + TrackDurationsOffset + TimeEntryBytes * t, frames);
    PutText(toc, igl + IsrcOffset + IsrcBytes * t, tracks[t].isrc);
    PutGenre(toc, igl + TrackGenresOffset + GenreBytes * t, tracks[t].genre);
    frame += frames;
  }
  return true;
}

// The master TOC's 10 sectors; false when a text cannot be encoded.
bool MasterToc(const Options& options, const AreaPlace places[2], Bytes* toc) {
  toc->assign(MasterTocSectors * SectorBytes, 0);
  PutSignature(toc, 0, MasterTocSignature);
  (*toc)[VersionOffset] = VersionMajor;
  (*toc)[VersionOffset + 1] = VersionMinor;
  Put(toc, AlbumSetSizeOffset, options.set_size, WordBytes);
  Put(toc, AlbumSequenceOffset, options.set_number, WordBytes);
  std::string catalog = options.catalog;
  catalog.resize(CatalogBytes, ' ');
  PutText(toc, AlbumCatalogOffset, catalog);
  PutText(toc, DiscCatalogOffset, catalog);
  PutGenre(toc, AlbumGenresOffset, options.album_genre);
  PutGenre(toc, DiscGenresOffset, options.album_genre);
  const int toc1[] = {StereoToc1Offset, MultichannelToc1Offset};
  const int toc2[] = {StereoToc2Offset, MultichannelToc2Offset};
  const int length[] = {StereoTocLengthOffset, MultichannelTocLengthOffset};
  for (int a = 0; a < 2; ++a) {
    Put(toc, toc1[a], places[a].toc1, LongBytes);
    Put(toc, toc2[a], places[a].toc2, LongBytes);
    Put(toc, length[a], places[a].length, WordBytes);
  }
  Put(toc, DateYearOffset, options.year, WordBytes);
  (*toc)[DateMonthOffset] = static_cast<uint8_t>(options.month);
  (*toc)[DateDayOffset] = static_cast<uint8_t>(options.day);
  (*toc)[TextChannelCountOffset] = 1;
  PutTextChannel(toc, TextChannelsOffset, options);
  const size_t text = MasterTextFirstSector * SectorBytes;
  PutSignature(toc, text, MasterTextSignature);
  const std::pair<int, const std::string*> fields[] = {
      {AlbumTitlePositionOffset, &options.album_title},
      {AlbumArtistPositionOffset, &options.album_artist},
      {AlbumPublisherPositionOffset, &options.album_publisher},
      {AlbumCopyrightPositionOffset, &options.album_copyright},
      {DiscTitlePositionOffset, &options.disc_title},
      {DiscArtistPositionOffset, &options.disc_artist},
      {DiscPublisherPositionOffset, &options.disc_publisher},
      {DiscCopyrightPositionOffset, &options.disc_copyright}};
  size_t at = MasterTextFirstByte;
  for (const auto& field : fields) {
    std::string encoded;
    if (!Encode(*field.second, options.character_set, &encoded)) return false;
    if (encoded.empty()) continue;
    if (at + encoded.size() + 1 > SectorBytes) return false;
    Put(toc, text + field.first, at, WordBytes);
    PutText(toc, text + at, encoded);
    at += encoded.size() + 1;
  }
  PutSignature(toc, ManufacturerSector * SectorBytes, ManufacturerSignature);
  return true;
}

// ---- The image ----------------------------------------------------------------------------

class ImageWriter {
 public:
  ImageWriter(std::FILE* file, uint32_t sector_bytes) : file_(file), sector_bytes_(sector_bytes) {}

  // Writes user data of whole sectors, each in its raw frame when the image has one.
  void Write(const Bytes& data) {
    for (size_t at = 0; at < data.size(); at += SectorBytes) {
      if (sector_bytes_ == RawSectorBytes) {
        uint8_t head[RawHeaderBytes] = {};
        for (int i = 0; i < RawSectorNumberBytes; ++i)
          head[RawSectorNumberOffset + i] =
              static_cast<uint8_t>(next_ >> (8 * (RawSectorNumberBytes - 1 - i)));
        ok_ &= std::fwrite(head, 1, sizeof head, file_) == sizeof head;
      }
      ok_ &= std::fwrite(data.data() + at, 1, SectorBytes, file_) == SectorBytes;
      if (sector_bytes_ == RawSectorBytes) {
        const uint8_t tail[RawTrailerBytes] = {};
        ok_ &= std::fwrite(tail, 1, sizeof tail, file_) == sizeof tail;
      }
      ++next_;
    }
  }
  uint32_t Next() const { return next_; }
  bool Ok() const { return ok_; }

 private:
  std::FILE* file_;
  uint32_t sector_bytes_;
  uint32_t next_ = 0;
  bool ok_ = true;
};

const char* AreaName(int a) { return a == 0 ? "stereo area" : "multichannel area"; }

// Checks the tracks of each area agree; returns an error, or "".
std::string CheckArea(const std::vector<Track>& tracks, int a) {
  for (const Track& t : tracks) {
    if (t.channels != tracks[0].channels || t.dst != tracks[0].dst)
      return std::string("the tracks of the ") + AreaName(a) + " differ in channels or coding";
  }
  const int channels = tracks[0].channels;
  if (a == 0 && channels != 2) return "the stereo area takes 2-channel tracks";
  if (a == 1 && channels != 5 && channels != 6)
    return "the multichannel area takes 5- or 6-channel tracks";
  if (a == 1 && !tracks[0].dst) return "the multichannel area takes DST tracks only";
  return "";
}

std::string Write(Options* options, size_t* sectors_written) {
  AudioLayout layouts[2];
  AreaPlace places[2];
  Bytes tocs[2];
  uint32_t next = FirstAreaSector;
  for (int a = 0; a < 2; ++a) {
    std::vector<Track>& tracks = options->areas[a];
    if (tracks.empty()) continue;
    for (Track& t : tracks) {
      const std::string error = ReadTrack(&t);
      if (!error.empty()) return t.path + ": " + error;
    }
    const std::string error = CheckArea(tracks, a);
    if (!error.empty()) return error;
    layouts[a] = LayOut(tracks, *options);
    // The TOC's length does not depend on where it lies: lay it out once to learn it.
    if (!AreaToc(tracks, a == 1, layouts[a], places[a], *options, &tocs[a]))
      return std::string("the text of the ") + AreaName(a) +
             " cannot be written in this character set";
    AreaPlace& place = places[a];
    place.length = static_cast<uint32_t>(tocs[a].size() / SectorBytes);
    place.toc1 = next;
    place.first = next + place.length;
    place.last = place.first + static_cast<uint32_t>(layouts[a].sectors.size()) - 1;
    place.toc2 = place.last + 1;
    next = place.toc2 + place.length;
    AreaToc(tracks, a == 1, layouts[a], place, *options, &tocs[a]);
  }
  Bytes master;
  if (!MasterToc(*options, places, &master))
    return "the album text cannot be written in this character set";
  std::FILE* file = std::fopen(options->out.c_str(), "wb");
  if (file == nullptr) return "cannot write " + options->out + ": " + std::strerror(errno);
  ImageWriter image(file, options->sector_bytes);
  image.Write(Bytes(MasterTocCopies[0] * SectorBytes, 0));
  for (int copy = 0; copy < MasterTocCopyCount; ++copy) image.Write(master);
  for (int a = 0; a < 2; ++a) {
    if (options->areas[a].empty()) continue;
    image.Write(tocs[a]);
    const bool dst = options->areas[a][0].dst;
    for (const Sector& sector : layouts[a].sectors)
      image.Write(AudioSectorBytes(sector, layouts[a], dst));
    image.Write(tocs[a]);
  }
  *sectors_written = image.Next();
  const bool ok = image.Ok();
  if (std::fclose(file) != 0 || !ok) return "cannot write " + options->out;
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int answered = AnswerToOptions("dff-sacd", HelpText, ParseOptions(argc, argv, &options));
  if (answered >= 0) return answered;
  size_t sectors = 0;
  const std::string failed = Write(&options, &sectors);
  if (!failed.empty()) {
    std::fprintf(stderr, "dff-sacd: %s\n", failed.c_str());
    return ExitFailure;
  }
  for (int a = 0; a < 2; ++a) {
    size_t frames = 0;
    for (const Track& t : options.areas[a]) frames += t.frames.size();
    if (frames == 0) continue;
    std::printf("%s: %zu tracks, %zu frames, %s\n", AreaName(a), options.areas[a].size(), frames,
                options.areas[a][0].dst ? "DST" : "plain DSD");
  }
  std::printf("%zu sectors of %u bytes\n", sectors, static_cast<unsigned>(options.sector_bytes));
  return 0;
}
