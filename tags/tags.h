// Tags for the outputs: reads an ID3v2 tag (2.2, 2.3 or 2.4) held in memory
// into a TagRecord of Vorbis comment fields and pictures, mapped from the ID3
// frames the way the common taggers map them, with libid3tag reading the
// frames. Owns nothing but the record it fills and never prints: what a tag
// loses is said in the record's notes, and a broken tag costs only its own values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TagComment {
  std::string name;   // Vorbis comment field name, upper case
  std::string value;  // UTF-8
};

struct TagPicture {
  uint32_t type;            // the ID3 picture type: 3 front cover, 4 back cover, ...
  std::string mime;         // "image/jpeg", "image/png", ...
  std::string description;  // UTF-8
  std::string data;         // the image file's bytes
};

struct TagRecord {
  std::vector<TagComment> comments;  // in the order of the mapping table, then of the tag
  std::vector<TagPicture> pictures;  // in the order of the tag
  std::string id3;                   // the tag's own bytes as found, for a WAV "id3 " chunk
  std::vector<std::string> notes;    // what was left out and why, one short line each
};

// "ID3", the version (2 bytes), the flags and the syncsafe size of the rest.
constexpr size_t Id3HeaderBytes = 10;

// The longest FLAC metadata block libFLAC writes: its length field has 24
// bits, but libFLAC refuses the last three lengths it could hold (the block
// and its 4-byte header must fit in 2^24 bytes).
constexpr size_t MaxFlacBlockBytes = (1u << 24) - 4;
// The largest picture taken: a FLAC PICTURE block (32 bytes of fixed fields,
// the MIME type, the description and the data) must fit MaxFlacBlockBytes.
constexpr size_t MaxPictureBlockBytes = MaxFlacBlockBytes;

// The size of the whole tag, header and 2.4 footer included, that the
// Id3HeaderBytes at `bytes` declare; 0 when they are no ID3v2.2, 2.3 or 2.4
// header (or `size` is smaller). A reader reads the header, then the rest.
size_t Id3TagSize(const uint8_t* bytes, size_t size);

// Replaces `*record` with the tag that starts at `bytes`, which must hold the
// whole tag (Id3TagSize bytes; any bytes after it are ignored). A frame that
// libid3tag cannot read, a picture too large for FLAC, a comment field name
// Vorbis does not allow, each costs only itself and a note. Returns false, and
// leaves one note and nothing else, when there is no tag, or the tag is cut
// short or cannot be read at all.
bool ReadId3Tag(const uint8_t* bytes, size_t size, TagRecord* record);

// The largest ID3v2 tag taken from a file: room for several large pictures.
constexpr uint64_t MaxId3TagBytes = uint64_t{64} << 20;

// Reads the ID3v2 tag that starts at byte `offset` of the file `fd`, within
// the `available` bytes its container gives it there, as ReadId3Tag does. A
// tag that points outside those bytes or the file, or that is larger than
// MaxId3TagBytes, is left out with a note that says so.
bool ReadId3TagAt(int fd, uint64_t offset, uint64_t available, TagRecord* record);

// The ReplayGain fields, as FLAC comments and ID3v2 TXXX descriptions.
constexpr char ReplayGainTrackGain[] = "REPLAYGAIN_TRACK_GAIN";
constexpr char ReplayGainTrackPeak[] = "REPLAYGAIN_TRACK_PEAK";
constexpr char ReplayGainAlbumGain[] = "REPLAYGAIN_ALBUM_GAIN";
constexpr char ReplayGainAlbumPeak[] = "REPLAYGAIN_ALBUM_PEAK";

// Sets each of `fields` (ReplayGain values, say) in `record`: as comments,
// in place of any of those names there were, and as TXXX frames of its
// ID3v2 tag (a new ID3v2.4 tag when it had none). The tag's other frames are
// kept as they were; one that cannot be changed so (ID3v2.2, or
// unsynchronised as a whole) is kept unchanged, with a note.
void SetUserFields(const std::vector<TagComment>& fields, TagRecord* record);

// `bytes` in UTF-8: as they are when they are UTF-8, else taken as Latin-1.
std::string Utf8OrLatin1(const std::string& bytes);

// `text` for a line of the console: control characters shown as '?', so
// that text from a file can neither break the line nor steer the terminal.
std::string PrintableText(const std::string& text);

// The text of a DSDIFF counted text (a "DIIN" title or artist, a marker's
// text): up to its first NUL, without trailing spaces, in UTF-8 (bytes that
// are not UTF-8 are taken as Latin-1).
std::string DsdiffText(const std::string& bytes);

// Sets the field `name` of `record` to `value` alone, in place of every value
// it had, in the record's order of fields; an empty value removes the field.
void SetField(const std::string& name, const std::string& value, TagRecord* record);

// An ID3v2.4 tag of `record`'s fields and pictures, in UTF-8, made with
// libid3tag: each field in the frame it is read from (TRACKNUMBER and
// TRACKTOTAL as "n/m" in TRCK, and so on), any other as a TXXX frame that
// the field names. Empty when memory runs out.
std::string RenderId3Tag(const TagRecord& record);

// Adds the DSDIFF "DIIN" artist ("DIAR") and title ("DITI") text to `record`:
// each only where the record has no ARTIST or TITLE of its own, since an ID3
// tag is what taggers edit later, and DIIN values then are older. Each text
// ends at its first NUL, without trailing spaces; an empty one adds nothing;
// one that is not UTF-8 is taken as Latin-1.
void MergeDsdiffInfo(const std::string& artist, const std::string& title, TagRecord* record);
