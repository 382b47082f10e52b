// The frame walk beneath libid3tag. What it changes, and why:
// - unsynchronisation is undone here, of the whole tag (2.2, 2.3) or of each
//   frame (2.4), and the tag handed on says none: libid3tag's own undoing reads
//   one byte past a frame that ends in $FF $00 and keeps that byte as data;
// - in 2.4 every frame is undone when the header says "unsynchronised", as the
//   2.4 document asks (libid3tag reads only the frames' own flags);
// - the extended header is left out (libid3tag refuses a whole tag whose
//   extended header CRC is off);
// - a 2.2 "PIC" gets a MIME type in place of its three-letter image format
//   (libid3tag reads the format as a NUL-terminated MIME type and garbles
//   the picture type, the description and the first bytes of the image);
// - "TXXX" is renamed TxxxAsListId, and the 2.2 and 2.3 date frames are taken
//   out (see id3_frames.h);
// - a compressed frame that says it inflates to more than a FLAC picture can
//   hold is dropped with a note (libid3tag allocates that much before inflating:
//   up to 4 GiB for a 2.3 frame);
// - a frame that libid3tag refuses on its own (an id with a lower-case letter or
//   a space, a cut-short COMM, an unknown text encoding) is dropped with a note,
//   where libid3tag would refuse the whole tag.
#include "tags/id3_frames.h"

#include <id3tag.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "tags/tags.h"

namespace {

constexpr char Id3Magic[3] = {'I', 'D', '3'};   // the first bytes of every ID3v2 tag
constexpr size_t VersionOffset = 3;             // tag header: the major version, 2 to 4
constexpr size_t RevisionOffset = 4;            // then the revision
constexpr size_t FlagsOffset = 5;               // then the flags
constexpr size_t SizeOffset = 6;                // then the syncsafe size of what follows
constexpr uint8_t NoRevision = 0xFF;            // a revision byte no tag may have
constexpr uint8_t Utf8Encoding = 3;             // a text frame's encoding byte: UTF-8
constexpr uint8_t Latin1Encoding = 0;           // and Latin-1
constexpr size_t FrameIdBytes = 4;              // 2.3, 2.4; 3 in 2.2
constexpr unsigned NewTagVersion = 4;           // the version of a tag made afresh
constexpr size_t Id3FooterBytes = 10;           // 2.4: "3DI" and the header's other fields
constexpr uint8_t TagUnsynchronised = 0x80;     // 2.2, 2.3: the whole tag; 2.4: every frame
constexpr uint8_t TagExtendedHeader = 0x40;     // 2.3, 2.4; in 2.2 the same bit means compressed
constexpr uint8_t TagFooterPresent = 0x10;      // 2.4 only
constexpr uint16_t Frame24Grouped = 0x0040;     // 2.4: a group id byte leads the data
constexpr uint16_t Frame24Compressed = 0x0008;  // 2.4: zlib, with a data length given
constexpr uint16_t Frame24Encrypted = 0x0004;   // 2.4: then an encryption method byte
constexpr uint16_t Frame24Unsynchronised = 0x0002;  // 2.4: this frame is unsynchronised
constexpr uint16_t Frame24DataLength = 0x0001;      // 2.4: then a 4-byte syncsafe data length
constexpr uint16_t Frame23FormatFlags = 0x00E0;     // 2.3: compressed, encrypted, grouped
constexpr uint16_t Frame23Compressed = 0x0080;      // 2.3: zlib, after a 4-byte uncompressed size
constexpr size_t Frame22HeaderBytes = 6;            // 3-letter id, 3-byte size
constexpr size_t FrameHeaderBytes = 10;             // 2.3, 2.4: id, 4-byte size, 2 bytes of flags
constexpr size_t Extended24MinBytes = 6;  // 2.4: the size, the flag byte count, one flag byte
constexpr uint32_t MaxSyncsafe = (1u << 28) - 1;      // a 4-byte syncsafe field's largest value
constexpr uint32_t MaxFrame22Bytes = (1u << 24) - 1;  // a 2.2 frame's 3-byte size field
constexpr char Picture22Id[] = "PIC";  // 2.2: the attached picture, APIC in 2.3 and 2.4
// The 2.2 and the 2.3 ids of the year ("YYYY"), day-month ("DDMM") and time
// ("HHMM") frames, which 2.4 has merged into TDRC.
constexpr const char* YearIds[] = {"TYE", "TYER"};
constexpr const char* DayMonthIds[] = {"TDA", "TDAT"};
constexpr const char* TimeIds[] = {"TIM", "TIME"};
constexpr char JpegFormat22[] = "JPG";  // 2.2 image format whose MIME type is image/jpeg
constexpr char JpegMime[] = "image/jpeg";
constexpr char ImageMimePrefix[] = "image/";  // and any other 2.2 image format in lower case
// libid3tag's own id for a frame it keeps as raw bytes, with the original id
// in its first field; a tag's own frame of this id would pass for one.
constexpr char ObsoleteFrameId[] = "ZOBS";

uint32_t BigEndianAt(const uint8_t* bytes, int count) {
  return static_cast<uint32_t>(LoadBigEndian(bytes, count));
}

uint32_t SyncsafeAt(const uint8_t* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 7 | (bytes[i] & 0x7F);
  return value;
}

void AppendBigEndian(uint32_t value, int count, std::string* out) {
  uint8_t bytes[4];
  StoreBigEndian(value, count, bytes);
  out->append(reinterpret_cast<const char*>(bytes), count);
}

void AppendSyncsafe(uint32_t value, std::string* out) {
  for (int i = 3; i >= 0; --i) out->push_back(static_cast<char>((value >> (7 * i)) & 0x7F));
}

// Unsynchronisation put a zero after every 0xFF that needed one: drop them.
std::string Deunsynchronise(const uint8_t* bytes, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(static_cast<char>(bytes[i]));
    if (bytes[i] == 0xFF && i + 1 < count && bytes[i + 1] == 0) ++i;
  }
  return out;
}

void AppendFrame(unsigned version, const std::string& id, uint16_t flags, const std::string& body,
                 std::string* out) {
  out->append(id);
  if (version == 2) {
    AppendBigEndian(static_cast<uint32_t>(body.size()), 3, out);
  } else {
    if (version == 3) {
      AppendBigEndian(static_cast<uint32_t>(body.size()), 4, out);
    } else {
      AppendSyncsafe(static_cast<uint32_t>(body.size()), out);
    }
    AppendBigEndian(flags, 2, out);
  }
  out->append(body);
}

// A tag of `version` around `frames`, with no flags and no extended header.
std::string TagOf(unsigned version, const std::string& frames) {
  std::string tag(Id3Magic, sizeof Id3Magic);
  tag.push_back(static_cast<char>(version));
  tag.append(2, '\0');  // revision, flags
  AppendSyncsafe(static_cast<uint32_t>(frames.size()), &tag);
  return tag + frames;
}

bool LibraryReads(const std::string& tag) {
  id3_tag* parsed = id3_tag_parse(reinterpret_cast<const id3_byte_t*>(tag.data()), tag.size());
  if (parsed == nullptr) return false;
  id3_tag_delete(parsed);
  return true;
}

// The MIME type of a 2.2 image format ("JPG" and "PNG" in the 2.2 document).
std::string MimeOfImageFormat(const std::string& format) {
  if (format == JpegFormat22) return JpegMime;
  if (format == PictureLinkMime) return format;
  std::string mime = ImageMimePrefix;
  for (char c : format) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      mime.push_back(static_cast<char>(c | 0x20));
    }
  }
  return mime;
}

// A 2.2 PIC body (encoding, 3-letter format, type, description, data) laid
// out as an APIC body: the format becomes a NUL-terminated MIME type.
std::string PicAsApic(const std::string& body) {
  constexpr size_t FormatAt = 1, FormatBytes = 3;
  if (body.size() < FormatAt + FormatBytes) return body;  // libid3tag refuses it either way
  return body.substr(0, FormatAt) + MimeOfImageFormat(body.substr(FormatAt, FormatBytes)) + '\0' +
         body.substr(FormatAt + FormatBytes);
}

// The size a compressed frame gives for its data uncompressed, which
// libid3tag allocates before it inflates anything; 0 for other frames.
uint64_t InflatedBytes(unsigned version, uint16_t flags, const std::string& content) {
  const auto* data = reinterpret_cast<const uint8_t*>(content.data());
  if (version == 3 && (flags & Frame23Compressed) && content.size() >= 4) {
    return BigEndianAt(data, 4);
  }
  const size_t at = (flags & Frame24Grouped ? 1 : 0) + (flags & Frame24Encrypted ? 1 : 0);
  if (version == 4 && (flags & Frame24Compressed) && (flags & Frame24DataLength) &&
      content.size() >= at + 4) {
    return SyncsafeAt(data + at);
  }
  return 0;
}

// Keeps the body of a 2.2 or 2.3 year, day-month or time frame (the first of
// each) in `prepared`; false for any other frame.
bool TakeDateFrame(unsigned version, const std::string& id, uint16_t flags, const std::string& body,
                   PreparedTag* prepared) {
  if (version > 3 || (flags & Frame23FormatFlags) != 0) return false;  // libid3tag decodes those
  std::string* kept = nullptr;
  const size_t of_version = version == 2 ? 0 : 1;
  if (id == YearIds[of_version]) kept = &prepared->year;
  if (id == DayMonthIds[of_version]) kept = &prepared->day_month;
  if (id == TimeIds[of_version]) kept = &prepared->time;
  if (kept == nullptr) return false;
  if (kept->empty()) *kept = body;
  return true;
}

}  // namespace

std::string PrintableId(const std::string& id) {
  std::string out;
  for (char c : id) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    out.push_back(plain ? c : '?');
  }
  return out;
}

size_t Id3TagSize(const uint8_t* bytes, size_t size) {
  if (size < Id3HeaderBytes || memcmp(bytes, Id3Magic, sizeof Id3Magic) != 0) return 0;
  const uint8_t version = bytes[VersionOffset], revision = bytes[RevisionOffset],
                flags = bytes[FlagsOffset];
  if (version < 2 || version > 4 || revision == NoRevision) return 0;
  for (size_t i = SizeOffset; i < Id3HeaderBytes; ++i) {
    if (bytes[i] & 0x80) return 0;  // a size byte of a syncsafe field keeps its top bit clear
  }
  // id3_tag_query would count a footer for this flag in any version; only 2.4 has one.
  const size_t footer = version == 4 && (flags & TagFooterPresent) ? Id3FooterBytes : 0;
  return Id3HeaderBytes + SyncsafeAt(bytes + SizeOffset) + footer;
}

bool PrepareId3Tag(const uint8_t* bytes, PreparedTag* prepared, std::string* failure) {
  *prepared = PreparedTag();
  const unsigned version = bytes[VersionOffset];
  const uint8_t flags = bytes[FlagsOffset];
  prepared->version = version;
  const uint8_t* start = bytes + Id3HeaderBytes;
  const size_t body_bytes = SyncsafeAt(bytes + SizeOffset);
  const std::string body = version < 4 && (flags & TagUnsynchronised)
                               ? Deunsynchronise(start, body_bytes)
                               : std::string(start, start + body_bytes);
  const auto* data = reinterpret_cast<const uint8_t*>(body.data());
  size_t at = 0;
  if (flags & TagExtendedHeader) {
    if (version == 2) {
      *failure = "it is compressed, and 2.2 never defined how";
      return false;
    }
    // 2.3 counts the bytes after the size field, 2.4 the whole extended header.
    const uint64_t extended = body.size() < 4 ? 0
                              : version == 3  ? 4ull + BigEndianAt(data, 4)
                                              : SyncsafeAt(data);
    if (extended > body.size() || (version == 4 && extended < Extended24MinBytes)) {
      *failure = "its extended header is damaged";
      return false;
    }
    at = extended;
  }
  const size_t header_bytes = version == 2 ? Frame22HeaderBytes : FrameHeaderBytes;
  const size_t id_bytes = version == 2 ? 3 : FrameIdBytes;
  std::string frames;
  while (at < body.size() && data[at] != 0) {  // a zero byte starts the padding
    const uint8_t* head = data + at;
    if (body.size() - at < header_bytes) break;
    const uint32_t size = version == 2   ? BigEndianAt(head + 3, 3)
                          : version == 3 ? BigEndianAt(head + 4, 4)
                                         : SyncsafeAt(head + 4);
    if (size > body.size() - at - header_bytes) break;
    const std::string original_id(reinterpret_cast<const char*>(head), id_bytes);
    std::string id = original_id;
    uint16_t frame_flags = version == 2 ? 0 : static_cast<uint16_t>(BigEndianAt(head + 8, 2));
    std::string content = body.substr(at + header_bytes, size);
    at += header_bytes + size;

    if (TakeDateFrame(version, id, frame_flags, content, prepared)) continue;
    if (id == ObsoleteFrameId || id == TxxxAsListId) continue;
    if (version == 4 && ((flags & TagUnsynchronised) || (frame_flags & Frame24Unsynchronised))) {
      // Only what follows the bytes that the flags put before the data.
      const size_t prefix =
          std::min<size_t>(content.size(), (frame_flags & Frame24Grouped ? 1 : 0) +
                                               (frame_flags & Frame24Encrypted ? 1 : 0) +
                                               (frame_flags & Frame24DataLength ? 4 : 0));
      const auto* data_start = reinterpret_cast<const uint8_t*>(content.data()) + prefix;
      content = content.substr(0, prefix) + Deunsynchronise(data_start, content.size() - prefix);
      frame_flags &= ~Frame24Unsynchronised;
    }
    if (version > 2 && id == UserTextId) id = TxxxAsListId;
    if (version == 2 && id == Picture22Id) {
      content = PicAsApic(content);
      if (content.size() > MaxFrame22Bytes) {
        prepared->notes.push_back("a picture of " + std::to_string(content.size()) +
                                  " bytes left out: too large for FLAC");
        continue;
      }
    }
    // No frame we take is larger than a picture FLAC can hold.
    const uint64_t inflated = InflatedBytes(version, frame_flags, content);
    if (inflated > MaxPictureBlockBytes) {
      prepared->notes.push_back("the ID3v2 frame " + PrintableId(original_id) + " of " +
                                std::to_string(inflated) + " bytes uncompressed left out");
      continue;
    }
    std::string frame;
    AppendFrame(version, id, frame_flags, content, &frame);
    if (!LibraryReads(TagOf(version, frame))) {
      prepared->notes.push_back("the ID3v2 frame " + PrintableId(original_id) +
                                " cannot be read; left out");
      continue;
    }
    frames += frame;
  }
  if (at < body.size() && data[at] != 0) {
    prepared->notes.push_back("the ID3v2 tag ends in " + std::to_string(body.size() - at) +
                              " bytes that are no whole frame; left out");
  }
  if (frames.size() > MaxSyncsafe) {
    *failure = "it is too large";
    return false;
  }
  prepared->tag = TagOf(version, frames);
  return true;
}

namespace {

// A TXXX frame of `version` (3 or 4) in UTF-8 (Latin-1 for 2.3, whose text
// frames know no UTF-8; the values are ASCII).
std::string UserTextFrame(unsigned version, const std::string& description,
                          const std::string& value) {
  std::string body(1, static_cast<char>(version == 3 ? Latin1Encoding : Utf8Encoding));
  body += description + '\0' + value;
  std::string frame;
  AppendFrame(version, UserTextId, 0, body, &frame);
  return frame;
}

// Whether a TXXX body (2.3 or 2.4, not unsynchronised), in a single-byte
// encoding, has the description of one of `fields`, in any case.
bool DescribesOneOf(const std::string& body, const std::vector<TagComment>& fields) {
  if (body.empty() || (body[0] != Latin1Encoding && body[0] != Utf8Encoding)) return false;
  const std::string description = body.substr(1, body.find('\0', 1) - 1);
  return std::any_of(fields.begin(), fields.end(), [&](const TagComment& field) {
    return strcasecmp(description.c_str(), field.name.c_str()) == 0;
  });
}

}  // namespace

std::string Id3WithUserText(const std::string& id3, const std::vector<TagComment>& fields) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(id3.data());
  const unsigned version = id3.empty() ? NewTagVersion : bytes[VersionOffset];
  const uint8_t flags = id3.empty() ? 0 : bytes[FlagsOffset];
  if (!id3.empty() && (version < 3 || (flags & TagUnsynchronised))) return "";
  const bool syncsafe = version == 4;
  std::string frames;
  if (!id3.empty()) {
    size_t pos = Id3HeaderBytes;
    const size_t end = Id3HeaderBytes + SyncsafeAt(bytes + SizeOffset);
    if (flags & TagExtendedHeader) {  // dropped: its CRC and sizes would be wrong
      if (end < pos + 4) return "";
      pos += syncsafe ? SyncsafeAt(bytes + pos) : BigEndianAt(bytes + pos, 4) + 4;
    }
    while (pos + FrameHeaderBytes <= end && bytes[pos] != 0) {
      const uint32_t size = syncsafe ? SyncsafeAt(bytes + pos + FrameIdBytes)
                                     : BigEndianAt(bytes + pos + FrameIdBytes, 4);
      if (size > end - pos - FrameHeaderBytes) return "";
      const std::string frame = id3.substr(pos, FrameHeaderBytes + size);
      const bool replaced = frame.compare(0, FrameIdBytes, UserTextId) == 0 &&
                            DescribesOneOf(frame.substr(FrameHeaderBytes), fields);
      if (!replaced) frames += frame;
      pos += FrameHeaderBytes + size;
    }
  }
  for (const TagComment& field : fields) frames += UserTextFrame(version, field.name, field.value);
  std::string tag(Id3Magic, sizeof Id3Magic);
  tag += static_cast<char>(version);
  tag += '\0';  // revision
  tag += static_cast<char>(flags & ~(TagExtendedHeader | TagFooterPresent));
  AppendSyncsafe(static_cast<uint32_t>(frames.size()), &tag);  // a tag's size is always syncsafe
  return tag + frames;
}
