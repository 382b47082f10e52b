// The master TOC, the area TOCs and their text.
#include <iconv.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "base/byte_order.h"
#include "sacd/sacd.h"
#include "sacd/sectors.h"

using namespace sacd_format;

namespace {

// The character set iconv reads each of the format's sets as. The Japanese,
// Korean and Chinese sets are read as their common supersets, which decode
// every text of the set alike and more besides; Latin-1 that allows escapes
// to other sets is read as Latin-1, which the text is as long as it uses none.
const char* IconvName(uint8_t character_set) {
  switch (character_set) {
    case CharacterSetIso646:
      return "ISO646-US";
    case CharacterSetLatin1:
    case CharacterSetLatin1Escapes:
      return "ISO-8859-1";
    case CharacterSetShiftJis:
      return "CP932";
    case CharacterSetKsc5601:
      return "CP949";
    case CharacterSetGb2312:
      return "GBK";
    case CharacterSetBig5:
      return "BIG5";
  }
  return nullptr;
}

constexpr char ReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr char UnknownByte = '?';  // stands for each non-ASCII byte of text in an unknown set
constexpr uint8_t FirstPrintable = 0x20, LastPrintable = 0x7E;

// Text in `character_set` as UTF-8. A byte the set does not define becomes
// U+FFFD; text in an unknown set keeps its ASCII bytes. Either leaves a note.
std::string ToUtf8(const std::string& text, uint8_t character_set, const char* where,
                   std::vector<std::string>* notes) {
  if (text.empty()) return text;
  const char* name = IconvName(character_set);
  iconv_t convert = name ? iconv_open("UTF-8", name) : reinterpret_cast<iconv_t>(-1);
  std::string out;
  if (convert == reinterpret_cast<iconv_t>(-1)) {
    for (char c : text) {
      const auto byte = static_cast<uint8_t>(c);
      out.push_back(byte >= FirstPrintable && byte <= LastPrintable ? c : UnknownByte);
    }
    notes->push_back(std::string(where) + " is in character set " + std::to_string(character_set) +
                     ", which is not known: its ASCII kept");
    return out;
  }
  bool invalid = false;
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char buffer[256];
  while (in_left > 0) {
    char* next = buffer;
    size_t out_left = sizeof buffer;
    const size_t done = iconv(convert, &in, &in_left, &next, &out_left);
    out.append(buffer, next);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte the set does not define, or a character cut off at the end.
      out += ReplacementCharacter;
      ++in;
      --in_left;
      invalid = true;
    }
  }
  iconv_close(convert);
  if (invalid)
    notes->push_back(std::string(where) + " holds bytes its character set does not define");
  return out;
}

bool HasSignature(const uint8_t* sector, const char* signature) {
  return std::memcmp(sector, signature, SignatureBytes) == 0;
}

uint32_t Number(const uint8_t* bytes, int count) {
  return static_cast<uint32_t>(LoadBigEndian(bytes, count));
}

// The bytes of a text that starts `position` bytes into a block of `bytes`
// and runs to a zero byte or the block's end; "" for position 0.
std::string TextAt(const uint8_t* block, size_t bytes, size_t position) {
  if (position == 0 || position >= bytes) return "";
  const uint8_t* start = block + position;
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(start, 0, bytes - position));
  return std::string(reinterpret_cast<const char*>(start),
                     end ? end - start : static_cast<ptrdiff_t>(bytes - position));
}

// A fixed field of ASCII (a catalog number, an ISRC): its printable bytes,
// trailing spaces dropped.
std::string AsciiField(const uint8_t* field, int bytes) {
  std::string text;
  for (int i = 0; i < bytes; ++i) {
    if (field[i] >= FirstPrintable && field[i] <= LastPrintable) text.push_back(field[i]);
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

SacdGenre GenreAt(const uint8_t* entry) {
  return SacdGenre{entry[GenreTableOffset], entry[GenreCodeOffset]};
}

// `count` text channel entries from `entries`; false when more than 8.
bool TextChannels(const uint8_t* entries, int count, std::vector<SacdTextChannel>* channels) {
  if (count > MaxTextChannels) return false;
  for (int c = 0; c < count; ++c) {
    const uint8_t* entry = entries + TextChannelBytes * c;
    SacdTextChannel channel;
    channel.language = AsciiField(entry + TextChannelLanguageOffset, LanguageBytes);
    channel.character_set = entry[TextChannelCharacterSetOffset];
    channels->push_back(channel);
  }
  return true;
}

// Reads `count` sectors from `first` and keeps their user data, 2,048 bytes
// each, in `data`; fewer where the file ends.
bool ReadUserData(const SacdImage& image, uint64_t first, uint32_t count,
                  std::vector<uint8_t>* data) {
  data->clear();
  if (first >= image.sectors) return true;
  count = static_cast<uint32_t>(std::min<uint64_t>(count, image.sectors - first));
  std::vector<uint8_t> raw(static_cast<size_t>(count) * image.sector_bytes);
  uint32_t got = 0;
  if (!ReadSectors(image, first, count, raw.data(), &got)) return false;
  data->assign(static_cast<size_t>(got) * SectorBytes, 0);
  for (uint32_t s = 0; s < got; ++s) {
    std::memcpy(data->data() + s * SectorBytes,
                UserData(image, raw.data() + s * image.sector_bytes), SectorBytes);
  }
  return true;
}

// ---- Master TOC ---------------------------------------------------------------------

// Where the master TOC puts an area.
struct AreaPlace {
  bool present = false;
  uint32_t toc1 = 0, toc2 = 0;
  uint32_t length = 0;  // sectors of each TOC
};

// The reasons a master TOC contradicts itself, or "".
std::string CheckPlaces(const AreaPlace places[2]) {
  const char* names[2] = {"stereo area", "multichannel area"};
  if (!places[0].present && !places[1].present) return "it names no audio area";
  for (int a = 0; a < 2; ++a) {
    const AreaPlace& p = places[a];
    if (!p.present) continue;
    const std::string name = names[a];
    if (p.length == 0) return "the " + name + "'s TOC has no sectors";
    if (p.toc1 < FirstAreaSector || p.toc2 < FirstAreaSector) {
      return "the " + name + "'s TOC lies inside the master TOC's sectors";
    }
    if (static_cast<uint64_t>(p.toc1) + p.length > p.toc2) {
      return "the " + name + "'s TOC-2 (sector " + std::to_string(p.toc2) +
             ") starts before its TOC-1 ends";
    }
  }
  if (places[0].present && places[1].present) {
    const uint64_t end0 = static_cast<uint64_t>(places[0].toc2) + places[0].length;
    const uint64_t end1 = static_cast<uint64_t>(places[1].toc2) + places[1].length;
    if (places[0].toc1 < end1 && places[1].toc1 < end0) return "the two areas overlap";
  }
  return "";
}

AreaPlace PlaceAt(const uint8_t* toc, int toc1, int toc2, int length) {
  AreaPlace place;
  place.toc1 = Number(toc + toc1, LongBytes);
  place.toc2 = Number(toc + toc2, LongBytes);
  place.length = Number(toc + length, WordBytes);
  place.present = place.toc1 != 0 || place.toc2 != 0;
  return place;
}

// Describes the disc from one copy of the master TOC (`toc`, `sectors` of
// it); returns why the copy cannot be taken, or "".
std::string ParseMasterToc(const std::vector<uint8_t>& toc, SacdDisc* disc, AreaPlace places[2]) {
  if (toc.size() < SectorBytes || !HasSignature(toc.data(), MasterTocSignature)) {
    return "it has no SACDMTOC signature";
  }
  const uint8_t* head = toc.data();
  SacdDisc described;
  described.album_set_size = static_cast<uint16_t>(Number(head + AlbumSetSizeOffset, WordBytes));
  described.album_sequence_number =
      static_cast<uint16_t>(Number(head + AlbumSequenceOffset, WordBytes));
  described.album_catalog_number = AsciiField(head + AlbumCatalogOffset, CatalogBytes);
  described.disc_catalog_number = AsciiField(head + DiscCatalogOffset, CatalogBytes);
  for (int g = 0; g < Genres; ++g) {
    described.album_genres[g] = GenreAt(head + AlbumGenresOffset + GenreBytes * g);
    described.disc_genres[g] = GenreAt(head + DiscGenresOffset + GenreBytes * g);
  }
  described.year = static_cast<uint16_t>(Number(head + DateYearOffset, WordBytes));
  described.month = head[DateMonthOffset];
  described.day = head[DateDayOffset];
  described.hybrid = (head[DiscFlagsOffset] & HybridDiscFlag) != 0;
  places[0] = PlaceAt(head, StereoToc1Offset, StereoToc2Offset, StereoTocLengthOffset);
  places[1] =
      PlaceAt(head, MultichannelToc1Offset, MultichannelToc2Offset, MultichannelTocLengthOffset);
  if (!TextChannels(head + TextChannelsOffset, head[TextChannelCountOffset],
                    &described.text_channels)) {
    return "it names more than 8 text channels";
  }
  const std::string contradiction = CheckPlaces(places);
  if (!contradiction.empty()) return contradiction;
  for (size_t c = 0; c < described.text_channels.size(); ++c) {
    SacdAlbumText text;
    const size_t at = (MasterTextFirstSector + c) * SectorBytes;
    const uint8_t* sector = toc.data() + at;
    if (toc.size() < at + SectorBytes || !HasSignature(sector, MasterTextSignature)) {
      disc->notes.push_back("the master text of text channel " + std::to_string(c + 1) +
                            " is missing");
      described.text.push_back(text);
      continue;
    }
    const uint8_t set = described.text_channels[c].character_set;
    const std::string where = "the master text of text channel " + std::to_string(c + 1);
    auto field = [&](int position_offset) {
      return ToUtf8(TextAt(sector, SectorBytes, Number(sector + position_offset, WordBytes)), set,
                    where.c_str(), &disc->notes);
    };
    text.album_title = field(AlbumTitlePositionOffset);
    text.album_artist = field(AlbumArtistPositionOffset);
    text.album_publisher = field(AlbumPublisherPositionOffset);
    text.album_copyright = field(AlbumCopyrightPositionOffset);
    text.disc_title = field(DiscTitlePositionOffset);
    text.disc_artist = field(DiscArtistPositionOffset);
    text.disc_publisher = field(DiscPublisherPositionOffset);
    text.disc_copyright = field(DiscCopyrightPositionOffset);
    described.text.push_back(text);
  }
  described.image = disc->image;
  described.notes = std::move(disc->notes);
  *disc = std::move(described);
  return "";
}

// ---- Area TOC ------------------------------------------------------------------------

struct LoudspeakerLayout {
  uint8_t configuration;
  int channels;
  Speaker speakers[MaxChannels];
};
constexpr LoudspeakerLayout LoudspeakerLayouts[] = {
    {LoudspeakerStereo, 2, {FrontLeft, FrontRight}},
    {LoudspeakerFive, 5, {FrontLeft, FrontRight, FrontCenter, BackLeft, BackRight}},
    {LoudspeakerFivePointOne,
     6,
     {FrontLeft, FrontRight, FrontCenter, LowFrequency, BackLeft, BackRight}},
};
// The speakers taken, for a configuration this reader does not know, from
// the channel count alone: the layouts of the same counts elsewhere in the
// converter.
constexpr Speaker SpeakersByCount[MaxChannels + 1][MaxChannels] = {
    {},
    {FrontCenter},
    {FrontLeft, FrontRight},
    {FrontLeft, FrontRight, FrontCenter},
    {FrontLeft, FrontRight, BackLeft, BackRight},
    {FrontLeft, FrontRight, FrontCenter, BackLeft, BackRight},
    {FrontLeft, FrontRight, FrontCenter, LowFrequency, BackLeft, BackRight},
};

std::string TrackName(size_t t) { return "track " + std::to_string(t + 1); }

// The sector of `toc` that opens with `signature`, from sector `from` on, or -1.
int FindBlock(const std::vector<uint8_t>& toc, const char* signature, size_t from) {
  for (size_t s = from; s < toc.size() / SectorBytes; ++s) {
    if (HasSignature(toc.data() + s * SectorBytes, signature)) return static_cast<int>(s);
  }
  return -1;
}

// The track list: each track's sectors and times, checked against each other
// and the area; returns the contradiction, or "".
std::string ReadTrackLists(const uint8_t* list1, const uint8_t* list2, SacdArea* area) {
  for (size_t t = 0; t < area->tracks.size(); ++t) {
    SacdTrack& track = area->tracks[t];
    track.first_sector = Number(list1 + TrackStartSectorsOffset + LongBytes * t, LongBytes);
    track.sectors = Number(list1 + TrackSectorCountsOffset + LongBytes * t, LongBytes);
    uint32_t start = 0, duration = 0;
    if (!TimeCodeFrames(list2 + TrackStartTimesOffset + TimeEntryBytes * t, &start) ||
        !TimeCodeFrames(list2 + TrackDurationsOffset + TimeEntryBytes * t, &duration)) {
      return TrackName(t) + " has a time out of range";
    }
    track.first_frame = start;
    track.frames = duration;
    if (track.sectors == 0 || track.frames == 0) return TrackName(t) + " is empty";
    const uint64_t last_sector = static_cast<uint64_t>(track.first_sector) + track.sectors - 1;
    if (track.first_sector < area->first_sector || last_sector > area->last_sector) {
      return TrackName(t) + " lies outside the track area";
    }
    if (static_cast<uint64_t>(track.first_frame) + track.frames > area->frames) {
      return TrackName(t) + " ends after the area's playing time";
    }
    if (t == 0) continue;
    const SacdTrack& before = area->tracks[t - 1];
    if (track.first_sector < before.first_sector || track.first_frame < before.first_frame) {
      return TrackName(t) + " starts before " + TrackName(t - 1);
    }
    // The sector that holds the end of one track may hold the start of the next.
    if (track.first_sector + 1 < before.first_sector + before.sectors ||
        track.first_frame < before.first_frame + before.frames) {
      return TrackName(t) + " overlaps " + TrackName(t - 1);
    }
  }
  return "";
}

// ISRC and genre of every track, from the "SACD_IGL" block at `block`
// (IsrcGenreSectors long).
void ReadIsrcGenres(const uint8_t* block, SacdArea* area) {
  for (size_t t = 0; t < area->tracks.size(); ++t) {
    area->tracks[t].isrc = AsciiField(block + IsrcOffset + IsrcBytes * t, IsrcBytes);
    area->tracks[t].genre = GenreAt(block + TrackGenresOffset + GenreBytes * t);
  }
}

// The track text of text channel `channel` from its block of `bytes`.
void ReadTrackText(const uint8_t* block, size_t bytes, size_t channel, SacdArea* area,
                   std::vector<std::string>* notes) {
  const uint8_t set = area->text_channels[channel].character_set;
  for (size_t t = 0; t < area->tracks.size(); ++t) {
    SacdTrackText& text = area->tracks[t].text[channel];
    size_t at = Number(block + TrackTextPositionsOffset + WordBytes * t, WordBytes);
    if (at == 0 || at + TextRecordHeadBytes > bytes) continue;
    const int items = block[at];
    at += TextRecordHeadBytes;
    const std::string where = "the text of " + std::string(area->name) + " " + TrackName(t);
    for (int i = 0; i < items && at + TextItemHeadBytes < bytes; ++i) {
      const uint8_t type = block[at];
      const std::string raw = TextAt(block, bytes, at + TextItemHeadBytes);
      at += TextItemHeadBytes + raw.size();
      while (at < bytes && block[at] == 0) ++at;  // the terminator and the padding after it
      std::string* field = type == TextTitle        ? &text.title
                           : type == TextPerformer  ? &text.performer
                           : type == TextSongwriter ? &text.songwriter
                           : type == TextComposer   ? &text.composer
                           : type == TextArranger   ? &text.arranger
                           : type == TextMessage    ? &text.message
                                                    : nullptr;
      if (field) *field = ToUtf8(raw, set, where.c_str(), notes);
    }
  }
}

// Describes the area from one copy of its TOC (`toc`, the sectors of it the
// image holds) and checks it against itself and `place`; returns why the
// copy cannot be taken, or "".
std::string ParseAreaToc(const std::vector<uint8_t>& toc, const AreaPlace& place, SacdArea* area,
                         std::vector<std::string>* notes) {
  const char* signature = area->multichannel ? MultichannelTocSignature : StereoTocSignature;
  if (toc.size() < SectorBytes || !HasSignature(toc.data(), signature)) {
    return std::string("it has no ") + std::string(signature, SignatureBytes) + " signature";
  }
  const uint8_t* head = toc.data();
  if (head[RateCodeOffset] != Dsd64RateCode) {
    return "its sample rate code is " + std::to_string(head[RateCodeOffset]) +
           "; only 4, DSD64, is known";
  }
  switch (head[FrameFormatOffset] & FrameFormatMask) {
    case FrameFormatDst:
      area->frame_format = SacdFrameFormat::Dst;
      break;
    case FrameFormatDsd3In14:
      area->frame_format = SacdFrameFormat::Dsd3In14;
      break;
    case FrameFormatDsd3In16:
      area->frame_format = SacdFrameFormat::Dsd3In16;
      break;
    default:
      return "its frame format " + std::to_string(head[FrameFormatOffset] & FrameFormatMask) +
             " is not known";
  }
  area->channels = head[ChannelCountOffset];
  if (area->channels < 1 || area->channels > MaxChannels) {
    return "it has " + std::to_string(area->channels) + " channels; 1 to 6 are taken";
  }
  if (!area->multichannel && area->channels != 2) {
    return "a stereo area of " + std::to_string(area->channels) + " channels";
  }
  if (area->frame_format != SacdFrameFormat::Dst && area->channels != 2) {
    return "plain frames of " + std::to_string(area->channels) + " channels";
  }
  const uint8_t configuration = head[LoudspeakerOffset] >> LoudspeakerShift;
  const LoudspeakerLayout* layout = nullptr;
  for (const LoudspeakerLayout& known : LoudspeakerLayouts) {
    if (known.configuration == configuration && known.channels == area->channels) layout = &known;
  }
  std::copy_n(layout ? layout->speakers : SpeakersByCount[area->channels], MaxChannels,
              area->speakers);
  if (!layout) {
    notes->push_back("the " + std::string(area->name) + "'s loudspeaker configuration " +
                     std::to_string(configuration) + " is not known for " +
                     std::to_string(area->channels) +
                     " channels: the speakers are taken from the channel count");
  }
  if (!TimeCodeFrames(head + PlayTimeOffset, &area->frames)) {
    return "its playing time is out of range";
  }
  const int tracks = head[TrackCountOffset];
  if (tracks == 0) return "it has no tracks";
  area->first_sector = Number(head + TrackAreaFirstOffset, LongBytes);
  area->last_sector = Number(head + TrackAreaLastOffset, LongBytes);
  if (area->first_sector > area->last_sector ||
      static_cast<uint64_t>(place.toc1) + place.length > area->first_sector ||
      area->last_sector >= place.toc2) {
    return "its track area (sectors " + std::to_string(area->first_sector) + " to " +
           std::to_string(area->last_sector) + ") lies outside the area";
  }
  if (!TextChannels(head + AreaTextChannelsOffset, head[AreaTextChannelCountOffset],
                    &area->text_channels)) {
    return "it names more than 8 text channels";
  }
  const uint8_t set =
      area->text_channels.empty() ? CharacterSetIso646 : area->text_channels[0].character_set;
  const std::string where = "the text of the " + std::string(area->name);
  auto own_text = [&](int position_offset) {
    return ToUtf8(TextAt(head, SectorBytes, Number(head + position_offset, WordBytes)), set,
                  where.c_str(), notes);
  };
  area->description = own_text(AreaDescriptionPositionOffset);
  area->copyright = own_text(AreaCopyrightPositionOffset);
  const int list1 = FindBlock(toc, TrackList1Signature, 1);
  const int list2 = FindBlock(toc, TrackList2Signature, 1);
  if (list1 < 0 || list2 < 0) return "its track list is missing";
  area->tracks.assign(tracks, SacdTrack{});
  for (SacdTrack& track : area->tracks) track.text.resize(area->text_channels.size());
  const std::string contradiction =
      ReadTrackLists(toc.data() + list1 * SectorBytes, toc.data() + list2 * SectorBytes, area);
  if (!contradiction.empty()) return contradiction;
  const int isrc_genre = FindBlock(toc, IsrcGenreSignature, 1);
  if (isrc_genre >= 0 &&
      static_cast<size_t>(isrc_genre + IsrcGenreSectors) * SectorBytes <= toc.size()) {
    ReadIsrcGenres(toc.data() + isrc_genre * SectorBytes, area);
  }
  const uint32_t text_sector = Number(head + TrackTextPointerOffset, WordBytes);
  int block = text_sector == 0 ? -1 : FindBlock(toc, TrackTextSignature, text_sector);
  for (size_t c = 0; c < area->text_channels.size() && block >= 0; ++c) {
    const int next = FindBlock(toc, TrackTextSignature, block + 1);
    const size_t end_sector =
        std::min<size_t>(next >= 0 ? next : toc.size() / SectorBytes, block + MaxTrackTextSectors);
    ReadTrackText(toc.data() + block * SectorBytes, (end_sector - block) * SectorBytes, c, area,
                  notes);
    block = next;
  }
  return "";
}

// Reads the area `place` names: TOC-1, else TOC-2. Returns the refusal, or "".
std::string ReadArea(const SacdImage& image, const AreaPlace& place, bool multichannel,
                     SacdArea* area, std::vector<std::string>* notes, bool* read_failed) {
  const std::string name = multichannel ? "multichannel area" : "stereo area";
  const uint32_t copies[2] = {place.toc1, place.toc2};
  std::string first_reason;
  bool in_image = false;
  for (int copy = 0; copy < 2; ++copy) {
    const std::string which =
        (copy == 0 ? "TOC-1 (sector " : "TOC-2 (sector ") + std::to_string(copies[copy]) + ")";
    if (copies[copy] >= image.sectors) {
      if (first_reason.empty()) first_reason = which + " lies past the image's end";
      continue;
    }
    in_image = true;
    std::vector<uint8_t> toc;
    if (!ReadUserData(image, copies[copy], place.length, &toc)) {
      *read_failed = true;
      return "";
    }
    SacdArea described;
    described.multichannel = multichannel;
    described.name = multichannel ? "multichannel area" : "stereo area";
    described.image = image;
    described.toc1_sector = place.toc1;
    described.toc2_sector = place.toc2;
    described.toc_sectors = place.length;
    described.toc_sector = copies[copy];
    std::vector<std::string> copy_notes;
    const std::string reason = ParseAreaToc(toc, place, &described, &copy_notes);
    if (reason.empty()) {
      if (copy == 1) notes->push_back("the " + name + "'s " + first_reason + "; read its TOC-2");
      notes->insert(notes->end(), copy_notes.begin(), copy_notes.end());
      described.present = true;
      *area = std::move(described);
      return "";
    }
    if (first_reason.empty()) first_reason = which + ": " + reason;
  }
  if (!in_image) {
    notes->push_back("the " + name + " lies past the end of the image (its TOC-1 at sector " +
                     std::to_string(place.toc1) + "): left out");
    return "";
  }
  return "the " + name + "'s " + first_reason;
}

Fault Refuse(SacdDisc* disc, const std::string& reason) {
  disc->refusal = reason;
  return FaultOf(Failure::UnsupportedSound, disc->image.path, disc->refusal.c_str());
}

// 2,048-byte sectors, then raw ones of 2,064.
constexpr uint32_t SectorSizes[] = {SectorBytes, RawSectorBytes};
constexpr uint32_t DataOffsets[] = {0, RawHeaderBytes};

}  // namespace

const char* SacdGenreName(SacdGenre genre) {
  // The general genre list, from 2 (1 is "not defined").
  static constexpr const char* Names[] = {"Adult Contemporary",
                                          "Alternative Rock",
                                          "Children's Music",
                                          "Classical",
                                          "Contemporary Christian",
                                          "Country",
                                          "Dance",
                                          "Easy Listening",
                                          "Erotic",
                                          "Folk",
                                          "Gospel",
                                          "Hip Hop",
                                          "Jazz",
                                          "Latin",
                                          "Musical",
                                          "New Age",
                                          "Opera",
                                          "Operetta",
                                          "Pop Music",
                                          "Rap",
                                          "Reggae",
                                          "Rock Music",
                                          "Rhythm & Blues",
                                          "Sound Effects",
                                          "Soundtrack",
                                          "Spoken Word",
                                          "World Music",
                                          "Blues"};
  constexpr uint8_t FirstNamed = 2;
  static_assert(std::size(Names) == LastGenre - 1, "a name for each genre from 2 on");
  const size_t index = static_cast<size_t>(genre.code) - FirstNamed;
  if (genre.table != GenreTableGeneral || genre.code < FirstNamed || index >= std::size(Names)) {
    return nullptr;
  }
  return Names[index];
}

Fault ReadSacdDisc(int fd, const char* path, SacdDisc* disc) {
  *disc = SacdDisc{};
  struct stat file;
  if (fstat(fd, &file) != 0) return SystemFault(Failure::FileRead, path, errno);
  const uint64_t file_bytes = static_cast<uint64_t>(file.st_size);
  // The geometry whose master TOC signature is in place, in any copy.
  bool found = false;
  for (size_t g = 0; g < std::size(SectorSizes) && !found; ++g) {
    disc->image = SacdImage{fd, path, SectorSizes[g], DataOffsets[g], file_bytes / SectorSizes[g]};
    for (uint32_t copy : MasterTocCopies) {
      std::vector<uint8_t> sector;
      if (!ReadUserData(disc->image, copy, 1, &sector)) {
        return SystemFault(Failure::FileRead, path, errno);
      }
      if (!sector.empty() && HasSignature(sector.data(), MasterTocSignature)) found = true;
    }
  }
  if (!found) return Fault{Failure::NotDsd, path};
  const SacdImage image = disc->image;
  AreaPlace places[2];
  std::string first_reason;
  bool described = false;
  for (uint32_t copy : MasterTocCopies) {
    std::vector<uint8_t> toc;
    if (!ReadUserData(image, copy, MasterTocSectors, &toc)) {
      return SystemFault(Failure::FileRead, path, errno);
    }
    const std::string reason = ParseMasterToc(toc, disc, places);
    if (reason.empty()) {
      disc->master_toc_sector = copy;
      if (!first_reason.empty()) {
        disc->notes.push_back(first_reason + "; read the copy at sector " + std::to_string(copy));
      }
      described = true;
      break;
    }
    if (first_reason.empty()) {
      first_reason = "the master TOC at sector " + std::to_string(copy) + ": " + reason;
    }
  }
  if (!described) return Refuse(disc, first_reason);
  SacdArea* areas[2] = {&disc->stereo, &disc->multichannel};
  for (int a = 0; a < 2; ++a) {
    if (!places[a].present) continue;
    bool read_failed = false;
    const std::string refusal =
        ReadArea(image, places[a], a == 1, areas[a], &disc->notes, &read_failed);
    if (read_failed) return SystemFault(Failure::FileRead, path, errno);
    if (!refusal.empty()) return Refuse(disc, refusal);
  }
  if (!disc->stereo.present && !disc->multichannel.present) {
    return Refuse(disc, "no area of the image can be read: the image ends at sector " +
                            std::to_string(image.sectors));
  }
  return Fault{};
}
