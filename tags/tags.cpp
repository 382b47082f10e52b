// The mapping from ID3 frames to Vorbis comment fields, and the reading of
// the frames libid3tag has parsed into a TagRecord.
#include "tags/tags.h"

#include <id3tag.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/io.h"
#include "tags/id3_frames.h"

namespace {

// How a frame's values become comment fields.
enum class Take {
  Text,         // each value of a text frame
  NumberPair,   // each "n/m": n under the field, m under the second field
  Date,         // each TDRC value; in 2.2 and 2.3 the year, day-month and time frames
  Genre,        // each genre, ID3v1 genre numbers ("(17)", "17") by name
  Comment,      // COMM without a description; those with one are left out
  Lyrics,       // USLT, whatever its description
  UserText,     // TXXX: each value under its description, upper-cased
  MusicBrainz,  // UFID of the owner MusicBrainzOwner
  Picture,      // APIC: a picture
};

struct FrameMapping {
  const char* frame;    // the frame's 2.3 and 2.4 id (libid3tag gives 2.2 frames these ids)
  const char* frame22;  // its 2.2 id, for the reader of this table
  const char* field;    // the Vorbis comment field
  const char* second_field;
  Take take;
};

// The mapping, in the order the record lists its fields.
constexpr FrameMapping Mapping[] = {
    {"TIT2", "TT2", "TITLE", nullptr, Take::Text},
    {"TPE1", "TP1", "ARTIST", nullptr, Take::Text},
    {"TPE2", "TP2", "ALBUMARTIST", nullptr, Take::Text},
    {"TALB", "TAL", "ALBUM", nullptr, Take::Text},
    {"TRCK", "TRK", "TRACKNUMBER", "TRACKTOTAL", Take::NumberPair},
    {"TPOS", "TPA", "DISCNUMBER", "DISCTOTAL", Take::NumberPair},
    {"TDRC", "TYE", "DATE", nullptr, Take::Date},
    {"TCON", "TCO", "GENRE", nullptr, Take::Genre},
    {"TCOM", "TCM", "COMPOSER", nullptr, Take::Text},
    {"TPE3", "TP3", "CONDUCTOR", nullptr, Take::Text},
    {"TPUB", "TPB", "LABEL", nullptr, Take::Text},
    {"TCOP", "TCR", "COPYRIGHT", nullptr, Take::Text},
    {"TSRC", "TRC", "ISRC", nullptr, Take::Text},
    {"COMM", "COM", "COMMENT", nullptr, Take::Comment},
    {"USLT", "ULT", "LYRICS", nullptr, Take::Lyrics},
    {"TXXX", "TXX", nullptr, nullptr, Take::UserText},
    {"UFID", "UFI", "MUSICBRAINZ_TRACKID", nullptr, Take::MusicBrainz},
    {"APIC", "PIC", nullptr, nullptr, Take::Picture},
};

// TXXX descriptions that taggers (MusicBrainz Picard, Mp3tag, foobar2000)
// write to ID3 under other names than the Vorbis field; compared without case.
struct UserTextName {
  const char* description;
  const char* field;
};
constexpr UserTextName UserTextNames[] = {
    {"MusicBrainz Artist Id", "MUSICBRAINZ_ARTISTID"},
    {"MusicBrainz Album Id", "MUSICBRAINZ_ALBUMID"},
    {"MusicBrainz Album Artist Id", "MUSICBRAINZ_ALBUMARTISTID"},
    {"MusicBrainz Release Group Id", "MUSICBRAINZ_RELEASEGROUPID"},
    {"MusicBrainz Release Track Id", "MUSICBRAINZ_RELEASETRACKID"},
    {"MusicBrainz Work Id", "MUSICBRAINZ_WORKID"},
    {"MusicBrainz Album Type", "RELEASETYPE"},
    {"MusicBrainz Album Status", "RELEASESTATUS"},
    {"MusicBrainz Album Release Country", "RELEASECOUNTRY"},
    {"Acoustid Id", "ACOUSTID_ID"},
};

// The UFID owner whose identifier is the MusicBrainz recording id.
constexpr char MusicBrainzOwner[] = "http://musicbrainz.org";
// The fixed fields of a FLAC PICTURE block: type, two lengths, width,
// height, depth, colours and the data length, 4 bytes each.
constexpr size_t FlacPictureFixedBytes = 32;
constexpr uint32_t ReplacementCharacter = 0xFFFD;  // for what is no Unicode character
constexpr uint32_t ByteOrderMark = 0xFEFF;         // a stray one is dropped from a value's start

void AppendUtf8(uint32_t c, std::string* out) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = ReplacementCharacter;
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | c >> 6));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | c >> 12));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | c >> 18));
    out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// libid3tag's own id3_ucs4_utf8duplicate writes any 31-bit value, and
// surrogates, as if they were characters: this always gives valid UTF-8.
std::string Utf8Of(const id3_ucs4_t* text) {
  std::string out;
  if (text == nullptr) return out;
  if (*text == ByteOrderMark) ++text;  // a UTF-16BE value written with a byte-order mark
  for (; *text != 0; ++text) AppendUtf8(static_cast<uint32_t>(*text), &out);
  return out;
}

std::string Utf8OfLatin1(const std::string& text) {
  std::string out;
  for (unsigned char c : text) AppendUtf8(c, &out);
  return out;
}

// UTF-8 of Unicode characters, without NUL.
bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead == 0                     ? 0
                          : lead < 0x80                 ? 1
                          : lead >= 0xC2 && lead < 0xE0 ? 2
                          : lead >= 0xE0 && lead < 0xF0 ? 3
                          : lead >= 0xF0 && lead < 0xF5 ? 4
                                                        : 0;
    if (length == 0 || text.size() - i < length) return false;
    uint32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < shortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Vorbis comment field names are ASCII 0x20 to 0x7D, without '='.
bool IsFieldName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(),
                                      [](char c) { return c >= 0x20 && c <= 0x7D && c != '='; });
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The place of a field in the record: its row in Mapping; TXXX's for others.
size_t RankOf(const std::string& name) {
  size_t user_text = 0;
  for (size_t row = 0; row < std::size(Mapping); ++row) {
    const FrameMapping& m = Mapping[row];
    if ((m.field && name == m.field) || (m.second_field && name == m.second_field)) return row;
    if (m.take == Take::UserText) user_text = row;
  }
  return user_text;
}

// A field's value, unless empty or already in the record under that name.
void AddComment(const std::string& name, const std::string& value, TagRecord* record) {
  if (value.empty()) return;
  for (const TagComment& c : record->comments) {
    if (c.name == name && c.value == value) return;
  }
  record->comments.push_back({name, value});
}

union id3_field* FieldOf(const id3_frame* frame, unsigned index, enum id3_field_type type) {
  union id3_field* field = id3_frame_field(frame, index);
  return field != nullptr && id3_field_type(field) == type ? field : nullptr;
}

// Every value of the frame's text list (field 1 of a text frame).
std::vector<std::string> TextValues(const id3_frame* frame) {
  std::vector<std::string> values;
  const union id3_field* list = FieldOf(frame, 1, ID3_FIELD_TYPE_STRINGLIST);
  if (list == nullptr) return values;
  for (unsigned i = 0; i < id3_field_getnstrings(list); ++i) {
    values.push_back(Utf8Of(id3_field_getstrings(list, i)));
  }
  return values;
}

std::string StringField(const id3_frame* frame, unsigned index) {
  if (const union id3_field* f = FieldOf(frame, index, ID3_FIELD_TYPE_STRING)) {
    return Utf8Of(id3_field_getstring(f));
  }
  if (const union id3_field* f = FieldOf(frame, index, ID3_FIELD_TYPE_STRINGFULL)) {
    return Utf8Of(id3_field_getfullstring(f));
  }
  return "";
}

std::string Latin1Field(const id3_frame* frame, unsigned index) {
  const union id3_field* f = FieldOf(frame, index, ID3_FIELD_TYPE_LATIN1);
  const id3_latin1_t* text = f ? id3_field_getlatin1(f) : nullptr;
  return text ? Utf8OfLatin1(reinterpret_cast<const char*>(text)) : "";
}

std::string BinaryField(const id3_frame* frame, unsigned index) {
  const union id3_field* f = FieldOf(frame, index, ID3_FIELD_TYPE_BINARYDATA);
  id3_length_t length = 0;
  const id3_byte_t* data = f ? id3_field_getbinarydata(f, &length) : nullptr;
  return data ? std::string(reinterpret_cast<const char*>(data), length) : "";
}

// A genre value: leading ID3v1 references "(17)", "(RX)", "(CR)" by name,
// then the text after them, which may itself be a bare number ("17"); "(("
// starts a text that begins with "(". libid3tag splits 2.2 and 2.3 values at
// the references already, but leaves 2.4 values whole.
void AddGenres(const char* field, const id3_ucs4_t* value, TagRecord* record) {
  const id3_ucs4_t* at = value;
  while (at[0] == '(' && at[1] != '(') {
    const id3_ucs4_t* close = at + 1;
    while (*close != 0 && *close != ')') ++close;
    if (*close == 0) break;
    std::vector<id3_ucs4_t> reference(at + 1, close);
    reference.push_back(0);
    AddComment(field, Utf8Of(id3_genre_name(reference.data())), record);
    at = close + 1;
  }
  if (at[0] == '(' && at[1] == '(') ++at;
  if (*at != 0) AddComment(field, Utf8Of(id3_genre_name(at)), record);
}

void AddNumberPair(const FrameMapping& m, const std::string& value, TagRecord* record) {
  const size_t slash = value.find('/');
  AddComment(m.field, Trimmed(value.substr(0, slash)), record);
  if (slash != std::string::npos) {
    AddComment(m.second_field, Trimmed(value.substr(slash + 1)), record);
  }
}

// The ASCII text of a 2.2 or 2.3 date frame's body (encoding byte, then the
// text); "" when it holds anything else.
std::string DateText(const std::string& body) {
  if (body.empty()) return "";
  const uint8_t encoding = static_cast<uint8_t>(body[0]);
  const size_t unit =
      encoding == ID3_FIELD_TEXTENCODING_UTF_16 || encoding == ID3_FIELD_TEXTENCODING_UTF_16BE ? 2
                                                                                               : 1;
  size_t at = 1;
  bool little_endian = false;
  if (unit == 2 && body.size() >= 3) {
    const std::string mark = body.substr(1, 2);
    if (mark == "\xFF\xFE" || mark == "\xFE\xFF") {
      little_endian = mark == "\xFF\xFE";
      at = 3;
    }
  }
  std::string text;
  for (; at + unit <= body.size(); at += unit) {
    const auto low = static_cast<unsigned char>(body[at + (little_endian ? 0 : unit - 1)]);
    const auto high =
        unit == 2 ? static_cast<unsigned char>(body[at + (little_endian ? 1 : 0)]) : 0;
    if (low == 0 && high == 0) break;
    if (high != 0 || low < 0x20 || low > 0x7E) return "";
    text.push_back(static_cast<char>(low));
  }
  return Trimmed(text);
}

bool IsDigits(const std::string& text, size_t count) {
  return text.size() == count &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The date of 2.2 and 2.3 frames: the year ("YYYY", or whatever the tag
// holds), then "-MM-DD" from "DDMM" and "THH:MM" from "HHMM" as far as each
// is complete. libid3tag's own date keeps only years of four characters.
void AddOldDate(const char* field, const PreparedTag& prepared, TagRecord* record) {
  if (prepared.year.empty()) return;
  std::string date = DateText(prepared.year);
  if (date.empty()) {
    record->notes.push_back("the ID3v2 year is no plain text; left out");
    return;
  }
  const std::string day_month = DateText(prepared.day_month), time = DateText(prepared.time);
  if (IsDigits(date, 4) && IsDigits(day_month, 4)) {
    date += "-" + day_month.substr(2, 2) + "-" + day_month.substr(0, 2);
    if (IsDigits(time, 4)) date += "T" + time.substr(0, 2) + ":" + time.substr(2, 2);
  }
  AddComment(field, date, record);
}

// TXXX: from TxxxAsListId (2.3, 2.4) a list of description and values; from
// "TXXX" (2.2 "TXX" through libid3tag) a description and one value.
void AddUserText(const id3_frame* frame, TagRecord* record) {
  std::vector<std::string> values;
  if (strcmp(frame->id, TxxxAsListId) == 0) {
    values = TextValues(frame);
  } else {
    values = {StringField(frame, 1), StringField(frame, 2)};
  }
  if (values.size() < 2) return;
  const std::string description = Trimmed(values[0]);
  std::string name = UpperCase(description);
  for (const UserTextName& known : UserTextNames) {
    if (name == UpperCase(known.description)) name = known.field;
  }
  if (!IsFieldName(name)) {
    record->notes.push_back("TXXX \"" + PrintableText(description) +
                            "\" left out: no Vorbis comment field name");
    return;
  }
  for (size_t i = 1; i < values.size(); ++i) AddComment(name, values[i], record);
}

void AddPicture(const id3_frame* frame, TagRecord* record) {
  const union id3_field* type = FieldOf(frame, 2, ID3_FIELD_TYPE_INT8);
  TagPicture picture{type ? static_cast<uint32_t>(id3_field_getint(type)) : 0,
                     Latin1Field(frame, 1), StringField(frame, 3), BinaryField(frame, 4)};
  if (picture.mime == PictureLinkMime) {
    record->notes.push_back("a picture given as a link left out");
    return;
  }
  const size_t block = FlacPictureFixedBytes + picture.mime.size() + picture.description.size() +
                       picture.data.size();
  if (block > MaxPictureBlockBytes) {
    record->notes.push_back("a picture of " + std::to_string(picture.data.size()) +
                            " bytes left out: too large for FLAC");
    return;
  }
  if (!picture.data.empty()) record->pictures.push_back(std::move(picture));
}

void AddFrame(const FrameMapping& m, const id3_frame* frame, TagRecord* record) {
  switch (m.take) {
    case Take::Text:
    case Take::Date:
      for (const std::string& value : TextValues(frame)) AddComment(m.field, value, record);
      break;
    case Take::NumberPair:
      for (const std::string& value : TextValues(frame)) AddNumberPair(m, value, record);
      break;
    case Take::Genre:
      if (const union id3_field* list = FieldOf(frame, 1, ID3_FIELD_TYPE_STRINGLIST)) {
        for (unsigned i = 0; i < id3_field_getnstrings(list); ++i) {
          AddGenres(m.field, id3_field_getstrings(list, i), record);
        }
      }
      break;
    case Take::Comment:
      if (StringField(frame, 2).empty()) {
        AddComment(m.field, StringField(frame, 3), record);
      } else {
        record->notes.push_back("COMM \"" + PrintableText(StringField(frame, 2)) +
                                "\" left out: only comments without a description are taken");
      }
      break;
    case Take::Lyrics:
      AddComment(m.field, StringField(frame, 3), record);
      break;
    case Take::UserText:
      AddUserText(frame, record);
      break;
    case Take::MusicBrainz:
      if (Latin1Field(frame, 0) == MusicBrainzOwner) {
        const std::string id = BinaryField(frame, 1);
        if (IsUtf8(id)) {
          AddComment(m.field, id, record);
        } else {
          record->notes.push_back("the MusicBrainz UFID left out: its identifier is no text");
        }
      }
      break;
    case Take::Picture:
      AddPicture(frame, record);
      break;
  }
}

const FrameMapping* MappingOf(const id3_frame* frame) {
  const char* id = strcmp(frame->id, TxxxAsListId) == 0 ? UserTextId : frame->id;
  for (const FrameMapping& m : Mapping) {
    if (strcmp(m.frame, id) == 0) return &m;
  }
  return nullptr;
}

// The id a frame had in the tag: libid3tag keeps obsolete frames under its
// own id and prefixes 2.2 ids that it does not know with "Y".
std::string OriginalId(const id3_frame* frame, unsigned version) {
  if (const union id3_field* f = FieldOf(frame, 0, ID3_FIELD_TYPE_FRAMEID)) {
    return id3_field_getframeid(f);
  }
  if (version == 2 && frame->id[0] == 'Y') return frame->id + 1;
  return frame->id;
}

void MapFrames(const id3_tag* tag, const PreparedTag& prepared, TagRecord* record) {
  std::string unmapped;
  for (unsigned i = 0; i < tag->nframes; ++i) {
    const id3_frame* frame = tag->frames[i];
    if (frame->encoded != nullptr) {  // what libid3tag keeps undecoded
      record->notes.push_back("the ID3v2 frame " + PrintableId(frame->id) +
                              " is encrypted or of unknown flags; left out");
    } else if (MappingOf(frame) == nullptr) {
      const std::string id = PrintableId(OriginalId(frame, prepared.version));
      if (unmapped.find(" " + id) == std::string::npos) unmapped += " " + id;
    }
  }
  for (const FrameMapping& m : Mapping) {
    for (unsigned i = 0; i < tag->nframes; ++i) {
      if (tag->frames[i]->encoded == nullptr && MappingOf(tag->frames[i]) == &m) {
        AddFrame(m, tag->frames[i], record);
      }
    }
    if (m.take == Take::Date) AddOldDate(m.field, prepared, record);
  }
  if (!unmapped.empty()) {
    record->notes.push_back("ID3v2 frames with no Vorbis comment field left out:" + unmapped);
  }
}

}  // namespace

bool ReadId3Tag(const uint8_t* bytes, size_t size, TagRecord* record) {
  *record = TagRecord();
  const size_t tag_bytes = Id3TagSize(bytes, size);
  std::string failure;
  PreparedTag prepared;
  if (tag_bytes == 0) {
    record->notes.push_back("no ID3v2 tag where one should be; tags left out");
    return false;
  }
  if (tag_bytes > size) {
    record->notes.push_back("the ID3v2 tag is cut short (" + std::to_string(size) + " of " +
                            std::to_string(tag_bytes) + " bytes); tags left out");
    return false;
  }
  if (!PrepareId3Tag(bytes, &prepared, &failure)) {
    record->notes.push_back("the ID3v2 tag cannot be read: " + failure + "; tags left out");
    return false;
  }
  id3_tag* tag =
      id3_tag_parse(reinterpret_cast<const id3_byte_t*>(prepared.tag.data()), prepared.tag.size());
  if (tag == nullptr) {
    record->notes.push_back("the ID3v2 tag cannot be read; tags left out");
    return false;
  }
  record->id3.assign(reinterpret_cast<const char*>(bytes), tag_bytes);
  record->notes = prepared.notes;
  MapFrames(tag, prepared, record);
  id3_tag_delete(tag);
  return true;
}

bool ReadId3TagAt(int fd, uint64_t offset, uint64_t available, TagRecord* record) {
  *record = TagRecord();
  uint8_t header[Id3HeaderBytes];
  const auto left_out = [&](const std::string& why) {
    record->notes.push_back("the ID3v2 tag " + why + "; tags left out");
    return false;
  };
  if (available < Id3HeaderBytes || !ReadExactlyAt(fd, header, Id3HeaderBytes, offset)) {
    return left_out("points outside the file");
  }
  const size_t tag_bytes = Id3TagSize(header, Id3HeaderBytes);
  if (tag_bytes == 0) return ReadId3Tag(header, Id3HeaderBytes, record);  // says what is there
  if (tag_bytes > available) return left_out("runs past the end of its place in the file");
  if (tag_bytes > MaxId3TagBytes) {
    return left_out("is larger than " + std::to_string(MaxId3TagBytes >> 20) + " MiB");
  }
  std::vector<uint8_t> bytes(tag_bytes);
  if (!ReadExactlyAt(fd, bytes.data(), tag_bytes, offset)) {
    return left_out(errno != 0 ? std::string("cannot be read: ") + std::strerror(errno)
                               : std::string("points outside the file"));
  }
  return ReadId3Tag(bytes.data(), bytes.size(), record);
}

std::string Utf8OrLatin1(const std::string& bytes) {
  return IsUtf8(bytes) ? bytes : Utf8OfLatin1(bytes);
}

std::string PrintableText(const std::string& text) {
  std::string shown;
  for (char c : text) {
    shown.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
  }
  return shown;
}

std::string DsdiffText(const std::string& bytes) {
  std::string value = bytes.substr(0, bytes.find('\0'));  // the chunks pad with NULs
  value.erase(value.find_last_not_of(' ') + 1);
  return Utf8OrLatin1(value);
}

void MergeDsdiffInfo(const std::string& artist, const std::string& title, TagRecord* record) {
  // The field each "DIIN" chunk (DITI, DIAR) fills, in the record's order.
  const struct {
    const char* field;
    const std::string& text;
  } infos[] = {{"TITLE", title}, {"ARTIST", artist}};
  for (const auto& info : infos) {
    const std::string value = DsdiffText(info.text);
    if (value.empty()) continue;
    auto& comments = record->comments;
    const auto has = [&](const TagComment& c) { return c.name == info.field; };
    // The ID3v2 tag's field wins, as documented: no note, since files that
    // carry both are common and nothing is lost that the user would miss.
    if (std::any_of(comments.begin(), comments.end(), has)) continue;
    const size_t rank = RankOf(info.field);
    const auto after = std::find_if(comments.begin(), comments.end(),
                                    [&](const TagComment& c) { return RankOf(c.name) > rank; });
    comments.insert(after, {info.field, value});
  }
}

void SetUserFields(const std::vector<TagComment>& fields, TagRecord* record) {
  auto& comments = record->comments;
  comments.erase(std::remove_if(comments.begin(), comments.end(),
                                [&](const TagComment& c) {
                                  return std::any_of(fields.begin(), fields.end(),
                                                     [&](const TagComment& field) {
                                                       return field.name == c.name;
                                                     });
                                }),
                 comments.end());
  comments.insert(comments.end(), fields.begin(), fields.end());
  const std::string id3 = Id3WithUserText(record->id3, fields);
  if (id3.empty()) {
    record->notes.push_back(
        "the ID3v2 tag is of version 2.2 or unsynchronised as a whole: its ReplayGain frames are "
        "left as they were");
  } else {
    record->id3 = id3;
  }
}

namespace {

// Attaches a frame of `id` whose field `index` holds `value` in UTF-8, after
// an encoding field; false when memory runs out.
id3_frame* NewFrame(const char* id) {
  id3_frame* frame = id3_frame_new(id);
  if (frame && id3_frame_field(frame, 0) &&
      id3_field_type(id3_frame_field(frame, 0)) == ID3_FIELD_TYPE_TEXTENCODING) {
    id3_field_settextencoding(id3_frame_field(frame, 0), ID3_FIELD_TEXTENCODING_UTF_8);
  }
  return frame;
}

// Sets field `index` of `frame` from UTF-8 `values`: a list, one string, or
// a full string, whichever kind of field it is.
void SetText(id3_frame* frame, unsigned index, const std::vector<std::string>& values) {
  union id3_field* field = id3_frame_field(frame, index);
  if (field == nullptr) return;
  std::vector<id3_ucs4_t*> texts;
  for (const std::string& value : values) {
    texts.push_back(id3_utf8_ucs4duplicate(reinterpret_cast<const id3_utf8_t*>(value.c_str())));
  }
  switch (id3_field_type(field)) {
    case ID3_FIELD_TYPE_STRINGLIST:
      id3_field_setstrings(field, static_cast<unsigned>(texts.size()), texts.data());
      break;
    case ID3_FIELD_TYPE_STRING:
      if (!texts.empty()) id3_field_setstring(field, texts[0]);
      break;
    case ID3_FIELD_TYPE_STRINGFULL:
      if (!texts.empty()) id3_field_setfullstring(field, texts[0]);
      break;
    default:
      break;
  }
  for (id3_ucs4_t* text : texts) std::free(text);
}

std::vector<std::string> ValuesOf(const TagRecord& record, const char* name) {
  std::vector<std::string> values;
  for (const TagComment& c : record.comments) {
    if (c.name == name) values.push_back(c.value);
  }
  return values;
}

// "n/m" from the two fields of a number pair, "n" without a total.
std::string NumberPairOf(const TagRecord& record, const FrameMapping& m) {
  const std::vector<std::string> number = ValuesOf(record, m.field);
  const std::vector<std::string> total = ValuesOf(record, m.second_field);
  if (number.empty()) return "";
  return total.empty() ? number[0] : number[0] + "/" + total[0];
}

}  // namespace

std::string RenderId3Tag(const TagRecord& record) {
  id3_tag* tag = id3_tag_new();
  if (tag == nullptr) return "";
  // A plain ID3v2.4 tag: no unsynchronisation, compression, CRC or padding.
  id3_tag_options(tag, ~0, 0);
  id3_tag_setlength(tag, 0);
  std::vector<bool> taken(record.comments.size());
  for (const FrameMapping& m : Mapping) {
    id3_frame* frame = nullptr;
    switch (m.take) {
      case Take::Text:
      case Take::Date:
      case Take::Genre:
        if (!ValuesOf(record, m.field).empty()) {
          frame = NewFrame(m.frame);
          if (frame) SetText(frame, 1, ValuesOf(record, m.field));
        }
        break;
      case Take::NumberPair:
        if (!NumberPairOf(record, m).empty()) {
          frame = NewFrame(m.frame);
          if (frame) SetText(frame, 1, {NumberPairOf(record, m)});
        }
        break;
      case Take::Comment:
      case Take::Lyrics:
        for (const std::string& value : ValuesOf(record, m.field)) {
          id3_frame* text = NewFrame(m.frame);
          if (!text) continue;
          id3_field_setlanguage(id3_frame_field(text, 1), "und");
          SetText(text, 3, {value});
          id3_tag_attachframe(tag, text);
        }
        break;
      case Take::MusicBrainz:
        for (const std::string& value : ValuesOf(record, m.field)) {
          id3_frame* id = id3_frame_new(m.frame);
          if (!id) continue;
          id3_field_setlatin1(id3_frame_field(id, 0),
                              reinterpret_cast<const id3_latin1_t*>(MusicBrainzOwner));
          id3_field_setbinarydata(id3_frame_field(id, 1),
                                  reinterpret_cast<const id3_byte_t*>(value.data()), value.size());
          id3_tag_attachframe(tag, id);
        }
        break;
      case Take::UserText:
        // Every field no other row takes: its name is the description.
        for (size_t i = 0; i < record.comments.size(); ++i) {
          const TagComment& c = record.comments[i];
          if (Mapping[RankOf(c.name)].take != Take::UserText) continue;
          id3_frame* text = NewFrame(m.frame);
          if (!text) continue;
          SetText(text, 1, {c.name});
          SetText(text, 2, {c.value});
          id3_tag_attachframe(tag, text);
        }
        break;
      case Take::Picture:
        for (const TagPicture& picture : record.pictures) {
          id3_frame* image = NewFrame(m.frame);
          if (!image) continue;
          id3_field_setlatin1(id3_frame_field(image, 1),
                              reinterpret_cast<const id3_latin1_t*>(picture.mime.c_str()));
          id3_field_setint(id3_frame_field(image, 2), static_cast<signed long>(picture.type));
          SetText(image, 3, {picture.description});
          id3_field_setbinarydata(id3_frame_field(image, 4),
                                  reinterpret_cast<const id3_byte_t*>(picture.data.data()),
                                  picture.data.size());
          id3_tag_attachframe(tag, image);
        }
        break;
    }
    if (frame) id3_tag_attachframe(tag, frame);
  }
  std::string bytes(id3_tag_render(tag, nullptr), '\0');
  id3_tag_render(tag, reinterpret_cast<id3_byte_t*>(bytes.data()));
  id3_tag_delete(tag);
  return bytes;
}

void SetField(const std::string& name, const std::string& value, TagRecord* record) {
  auto& comments = record->comments;
  comments.erase(std::remove_if(comments.begin(), comments.end(),
                                [&](const TagComment& c) { return c.name == name; }),
                 comments.end());
  if (value.empty()) return;
  const size_t rank = RankOf(name);
  const auto after = std::find_if(comments.begin(), comments.end(),
                                  [&](const TagComment& c) { return RankOf(c.name) > rank; });
  comments.insert(after, {name, value});
}
