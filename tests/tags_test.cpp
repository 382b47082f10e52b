// ID3v2 tags into tag records: versions, encodings, the mapping, the gaps of
// libid3tag, broken tags, and FFmpeg's reading of the same tags.
#include "tags/tags.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

namespace {

using Bytes = std::string;
using Values = std::vector<std::string>;

// Tags built in memory as tests/id3_files.py writes them. Text is given as
// UTF-16 without surrogates; Utf16 puts a little-endian byte-order mark first.
enum Encoding : char { Latin1, Utf16, Utf16Be, Utf8 };

Bytes Encode(const std::u16string& text, Encoding e, bool terminate = false) {
  Bytes out = e == Utf16 ? "\xFF\xFE" : "";
  for (char16_t c : text) {
    if (e == Latin1 || (e == Utf8 && c < 0x80)) {
      out += static_cast<char>(c);
    } else if (e == Utf8) {
      if (c >= 0x800) out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(c >= 0x800 ? 0x80 | (c >> 6 & 0x3F) : 0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += e == Utf16 ? Bytes{char(c), char(c >> 8)} : Bytes{char(c >> 8), char(c)};
    }
  }
  return terminate ? out + Bytes(e == Utf16 || e == Utf16Be ? 2 : 1, '\0') : out;
}

Bytes Text(const std::vector<std::u16string>& values, Encoding e = Latin1) {
  Bytes body(1, e);
  for (size_t i = 0; i < values.size(); ++i) body += Encode(values[i], e, i + 1 < values.size());
  return body;
}

Bytes Comm(const std::u16string& description, const std::u16string& text, Encoding e = Latin1) {
  return Bytes(1, e) + "eng" + Encode(description, e, true) + Encode(text, e);
}

// Big-endian, in `bytes` bytes of `bits` bits each (7: syncsafe).
Bytes Number(uint64_t value, int bytes, int bits = 8) {
  Bytes out;
  while (bytes-- > 0) out += static_cast<char>(value >> (bits * bytes) & 0xFF >> (8 - bits));
  return out;
}

Bytes Frame(int version, const Bytes& id, const Bytes& body, uint16_t flags = 0) {
  if (version == 2) return id + Number(body.size(), 3) + body;
  return id + Number(body.size(), 4, version == 3 ? 8 : 7) + Number(flags, 2) + body;
}

Bytes Tag(int version, const std::vector<Bytes>& frames, char flags = 0, Bytes body = "") {
  for (const Bytes& frame : frames) body += frame;
  return "ID3" + Bytes{char(version), 0, flags} + Number(body.size(), 4, 7) + body;
}

TagRecord Read(const Bytes& tag, bool read = true) {
  TagRecord record;
  EXPECT_EQ(ReadId3Tag(reinterpret_cast<const uint8_t*>(tag.data()), tag.size(), &record), read);
  return record;
}

// "NAME=value" of every comment, or the values of `name`.
Values Fields(const TagRecord& record, const std::string& name = "") {
  Values fields;
  for (const TagComment& c : record.comments) {
    if (name.empty()) fields.push_back(c.name + "=" + c.value);
    if (c.name == name) fields.push_back(c.value);
  }
  return fields;
}

// Every mapped frame, in the reverse of the record's order, and one unmapped.
// A title of letters beyond ASCII (beyond Latin-1 unless in Latin-1), and two
// artists, which in UTF-16 have byte-order marks of their own.
Bytes MappingTag(int version, Encoding e) {
  const bool v22 = version == 2;
  const Bytes artists = e == Utf16 ? Text({u"\u00C5sa"}, e) + Bytes(2, '\0') + "\xFE\xFF" +
                                         Encode(u"Bj\u00F6rk", Utf16Be)
                                   : Text({u"\u00C5sa", u"Bj\u00F6rk"}, e);
  std::vector<Bytes> frames = {
      Frame(version, v22 ? "UFI" : "UFID", Bytes("http://musicbrainz.org\0abc-123", 30)),
      Frame(version, v22 ? "TXX" : "TXXX", Text({u"replaygain_track_gain", u"-6.50 dB"}, e)),
      Frame(version, v22 ? "ULT" : "USLT", Comm(u"", u"La\nla", e)),
      Frame(version, v22 ? "COM" : "COMM", Comm(u"", u"Nice", e))};
  // The 2.2 id, the 2.3 and 2.4 id, the value.
  for (const char* text : {"TRC TSRC USRC17607839", "TCR TCOP (C)2004", "TPB TPUB Label",
                           "TP3 TPE3 Cond", "TCM TCOM Comp", "TCO TCON (17)", "TYE TDRC 2004",
                           "TPA TPOS 1/2", "TRK TRCK 3/12", "TAL TALB Album", "TP2 TPE2 Band"}) {
    std::istringstream words(text);
    std::string id22, id, value;
    words >> id22 >> id >> value;
    if (id == "TDRC" && version == 3) id = "TYER";
    frames.push_back(Frame(version, v22 ? id22 : id, Text({{value.begin(), value.end()}}, e)));
  }
  frames.push_back(Frame(version, v22 ? "TP1" : "TPE1", artists));
  frames.push_back(
      Frame(version, v22 ? "TT2" : "TIT2", Text({e ? u"T\u00EFtle \u2713" : u"T\u00EFtle"}, e)));
  frames.push_back(Frame(version, v22 ? "TEN" : "TENC", Text({u"Encoder"}, e)));
  return Tag(version, frames);
}

std::vector<std::pair<int, Encoding>> MappingCases() {
  std::vector<std::pair<int, Encoding>> cases;
  for (int version : {2, 3, 4}) {
    for (Encoding e : {Latin1, Utf16, Utf16Be, Utf8}) cases.emplace_back(version, e);
  }
  return cases;
}

// ffprobe's "key=value" tags of a WAV file that carries `tag` in an "id3 " chunk.
std::map<std::string, std::string> FfprobeTags(const Bytes& tag) {
  const auto chunk = [](const Bytes& id, const Bytes& data) {
    const Bytes size = Number(data.size(), 4);  // little-endian in RIFF
    return id + Bytes(size.rbegin(), size.rend()) + data + Bytes(data.size() % 2, '\0');
  };
  const Bytes format("\1\0\2\0\x44\xAC\0\0\x10\xB1\2\0\4\0\x10\0", 16);  // 16-bit stereo
  const Bytes wav = chunk("RIFF", "WAVE" + chunk("fmt ", format) + chunk("data", Bytes(400, '\0')) +
                                      chunk("id3 ", tag));
  // A name of this process's own: other test processes probe at the same time.
  const Bytes path = testing::TempDir() + "tagged-" + std::to_string(getpid()) + ".wav";
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(wav.data(), 1, wav.size(), file);
  std::fclose(file);
  FILE* probe =
      popen(("ffprobe -v error -show_entries format_tags -of default=nw=1 " + path).c_str(), "r");
  std::map<std::string, std::string> tags;
  char line[4096];
  while (
      std::fgets(line, sizeof line, probe)) {  // "TAG:key=value"; a line break in a value ends it
    const std::string text(line, strcspn(line, "\n"));
    if (text.rfind("TAG:", 0) == 0)
      tags[text.substr(4, text.find('=') - 4)] = text.substr(text.find('=') + 1);
  }
  pclose(probe);
  return tags;
}

TEST(Id3TagSize, CountsHeaderBodyAndOnly24Footers) {
  // 300 bytes after each header.
  const std::pair<Bytes, size_t> headers[] = {
      {Bytes("ID3\3\0\0\0\0\2\x2C", 10), 310},   {Bytes("ID3\2\0\0\0\0\2\x2C", 10), 310},
      {Bytes("ID3\4\0\x10\0\0\2\x2C", 10), 320}, {Bytes("ID3\3\0\x10\0\0\2\x2C", 10), 310},
      {Bytes("ID3\5\0\0\0\0\2\x2C", 10), 0},     {Bytes("ID3\3\0\0\0\0\x82\x2C", 10), 0},
      {Bytes("TAG\3\0\0\0\0\2\x2C", 10), 0},     {Bytes("ID3\3\0\0\0\0\2", 9), 0}};
  for (const auto& [header, size] : headers) {
    EXPECT_EQ(Id3TagSize(reinterpret_cast<const uint8_t*>(header.data()), header.size()), size);
  }
}

TEST(ReadId3Tag, MapsEachFrameOfEveryVersionAndEncoding) {
  for (const auto& [version, e] : MappingCases()) {
    const TagRecord record = Read(MappingTag(version, e));
    Values fields = Fields(record);
    EXPECT_EQ(fields.at(0), e ? "TITLE=T\u00EFtle \u2713" : "TITLE=T\u00EFtle");
    EXPECT_EQ(Values(fields.begin() + 1, fields.end()),
              (Values{"ARTIST=\u00C5sa", "ARTIST=Bj\u00F6rk", "ALBUMARTIST=Band", "ALBUM=Album",
                      "TRACKNUMBER=3", "TRACKTOTAL=12", "DISCNUMBER=1", "DISCTOTAL=2", "DATE=2004",
                      "GENRE=Rock", "COMPOSER=Comp", "CONDUCTOR=Cond", "LABEL=Label",
                      "COPYRIGHT=(C)2004", "ISRC=USRC17607839", "COMMENT=Nice", "LYRICS=La\nla",
                      "REPLAYGAIN_TRACK_GAIN=-6.50 dB", "MUSICBRAINZ_TRACKID=abc-123"}))
        << "2." << version << " encoding " << int(e);
    EXPECT_EQ(record.notes, Values{"ID3v2 frames with no Vorbis comment field left out: TENC"});
  }
  // UTF-16BE with a byte-order mark all the same: the mark is no part of the value.
  EXPECT_EQ(Fields(Read(Tag(4, {Frame(4, "TIT2", "\x02\xFE\xFF" + Encode(u"T", Utf16Be))}))),
            Values{"TITLE=T"});
}

// FFmpeg's own ID3v2 reader, which shares no code with libid3tag, on the same tags.
TEST(ReadId3Tag, FfmpegReadsTheSameValues) {
  if (std::system("ffprobe -version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no ffprobe";
  for (const auto& [version, encoding] : MappingCases()) {
    const Bytes tag = MappingTag(version, encoding);
    const TagRecord record = Read(tag);
    const auto theirs = FfprobeTags(tag);  // the first value of each frame
    for (const char* names :
         {"title TITLE", "artist ARTIST", "album_artist ALBUMARTIST", "album ALBUM", "genre GENRE",
          "date DATE", "comment COMMENT", "performer CONDUCTOR",
          "replaygain_track_gain REPLAYGAIN_TRACK_GAIN", "track TRACKNUMBER"}) {
      std::istringstream words(names);
      std::string key, field;
      words >> key >> field;
      Bytes ours = Fields(record, field).at(0);
      if (key == "track") ours += "/" + Fields(record, "TRACKTOTAL").at(0);
      EXPECT_EQ(theirs.count(key) ? theirs.at(key) : "(none)", ours) << key << " in 2." << version;
    }
  }
}

TEST(ReadId3Tag, NumbersGenresAndDates) {
  const Bytes genres = Text({u"17", u"(4)Disco", u"((Paren)", u"(RX)(CR)", u"Jazz+Funk", u"200"});
  EXPECT_EQ(
      Fields(Read(Tag(4, {Frame(4, "TRCK", Text({u" 4 / 10 "})), Frame(4, "TPOS", Text({u"/7"})),
                          Frame(4, "TCON", genres)}))),
      (Values{"TRACKNUMBER=4", "TRACKTOTAL=10", "DISCTOTAL=7", "GENRE=Rock", "GENRE=Disco",
              "GENRE=(Paren)", "GENRE=Remix", "GENRE=Cover", "GENRE=Jazz+Funk", "GENRE=200"}));
  // 2.3 puts references before a refinement: "(17)Rock" is the one genre Rock.
  EXPECT_EQ(Fields(Read(Tag(
                3, {Frame(3, "TCON", Text({u"(17)Rock"})), Frame(3, "TCON", Text({u"(20)Alt"}))}))),
            (Values{"GENRE=Rock", "GENRE=Alternative", "GENRE=Alt"}));
  const auto date = [](int version, const std::map<Bytes, std::u16string>& frames) {
    std::vector<Bytes> built;
    for (const auto& [id, text] : frames) built.push_back(Frame(version, id, Text({text}, Utf16)));
    return Fields(Read(Tag(version, built)), "DATE");
  };
  EXPECT_EQ(date(3, {{"TIME", u"1230"}, {"TDAT", u"3112"}, {"TYER", u"2004"}}),
            Values{"2004-12-31T12:30"});
  EXPECT_EQ(date(2, {{"TYE", u"1999"}, {"TDA", u"0102"}}), Values{"1999-02-01"});
  // libid3tag alone drops a year of other than four characters, or cuts it to four.
  EXPECT_EQ(date(3, {{"TYER", u"99"}}), Values{"99"});
  EXPECT_EQ(date(3, {{"TYER", u"2004-05-06"}, {"TDAT", u"3112"}}), Values{"2004-05-06"});
  EXPECT_EQ(date(3, {{"TDAT", u"3112"}}), Values{});
}

TEST(ReadId3Tag, UserTextCommentsAndLyrics) {
  const TagRecord record =
      Read(Tag(4, {Frame(4, "TXXX", Text({u"Artists", u"A", u"B"}, Utf8)),
                   Frame(4, "TXXX", Text({u"MusicBrainz Album Id", u"f00"}, Utf16)),
                   Frame(4, "TXXX", Text({u"bad=name", u"x"})),
                   Frame(4, "COMM", Comm(u"iTunNORM", u" 0000")),
                   Frame(4, "COMM", Comm(u"", u"First", Utf16)),
                   Frame(4, "USLT", Comm(u"verse", u"Line", Utf16Be))}));
  EXPECT_EQ(Fields(record), (Values{"COMMENT=First", "LYRICS=Line", "ARTISTS=A", "ARTISTS=B",
                                    "MUSICBRAINZ_ALBUMID=f00"}));
  EXPECT_EQ(record.notes,
            (Values{"COMM \"iTunNORM\" left out: only comments without a description are taken",
                    "TXXX \"bad=name\" left out: no Vorbis comment field name"}));
}

TEST(ReadId3Tag, PicturesAndTheirLimit) {
  const Bytes image = "\x89PNG\r\n\x1A\n image";
  const TagRecord record = Read(Tag(
      2, {Frame(2, "PIC", Bytes(1, Utf16) + "PNG\x04" + Encode(u"B\u00E4ck", Utf16, true) + image),
          Frame(2, "PIC", Bytes("\0JPG\3\0", 6) + image),
          Frame(2, "PIC", Bytes("\0-->\3\0", 6) + "http://example.com/a.jpg")}));
  ASSERT_EQ(record.pictures.size(), 2u);
  const TagPicture& back = record.pictures[0];
  EXPECT_EQ(Values({std::to_string(back.type), back.mime, back.description, back.data}),
            (Values{"4", "image/png", "B\u00E4ck", image}));
  EXPECT_EQ(record.pictures[1].mime, "image/jpeg");
  EXPECT_EQ(record.notes, Values{"a picture given as a link left out"});
  // The largest picture whose FLAC PICTURE block fits 24 bits, and one byte more.
  const size_t largest = MaxPictureBlockBytes - 32 - 9 - 1;  // "image/png", "d"
  for (size_t bytes : {largest, largest + 1}) {
    const Bytes apic = Bytes("\0image/png\0\3d\0", 14) + Bytes(bytes, 'x');
    const TagRecord big = Read(Tag(4, {Frame(4, "APIC", apic), Frame(4, "TIT2", Text({u"Kept"}))}));
    EXPECT_EQ(big.pictures.size(), bytes == largest ? 1u : 0u);
    EXPECT_EQ(Fields(big), Values{"TITLE=Kept"});
  }
}

TEST(ReadId3Tag, UnsynchronisationExtendedHeadersAndCompression) {
  // A $00 follows each $FF before $00 or $E0 and up, and a final $FF.
  const Bytes apic("\0image/jpeg\0\3\0", 14), data("\xFF\0\xD8\xFF", 4),
      data_unsynchronised("\xFF\0\0\xD8\xFF\0", 6), title("\0\xFF\xE0", 3),
      title_unsynchronised("\0\xFF\0\xE0", 4);
  const Bytes whole23 = Frame(3, "TIT2", title).substr(0, 10) + title_unsynchronised +
                        Frame(3, "APIC", apic + data).substr(0, 10) + apic + data_unsynchronised;
  const Bytes frames24 =
      Frame(4, "TIT2", title_unsynchronised) + Frame(4, "APIC", apic + data_unsynchronised);
  const Bytes flagged24 =
      Frame(4, "TIT2", title_unsynchronised, 2) + Frame(4, "APIC", apic + data_unsynchronised, 2);
  // A CRC that is wrong (libid3tag refuses such a tag whole), and a 2.4 extended header.
  const Bytes extended23("\0\0\0\x0A\x80\0\0\0\0\0\xDE\xAD\xBE\xEF", 14);
  const Bytes extended24 = Number(6, 4, 7) + Bytes("\1\0", 2);
  for (const Bytes& tag : {Tag(3, {}, '\x80', whole23), Tag(3, {}, '\xC0', extended23 + whole23),
                           Tag(4, {}, '\x80', flagged24),  // each frame says so
                           Tag(4, {}, '\x80', frames24),   // only the header says so
                           Tag(4, {}, '\xC0', extended24 + flagged24)}) {
    const TagRecord record = Read(tag);
    EXPECT_EQ(Fields(record), Values{"TITLE=\u00FF\u00E0"});
    ASSERT_EQ(record.pictures.size(), 1u);
    EXPECT_EQ(record.pictures[0].data, data);  // libid3tag alone keeps a byte after $FF $00
    EXPECT_EQ(record.id3, tag);
  }
  const Bytes plain = Text({u"Squeezed"});
  Bytes packed(128, '\0');
  uLongf packed_bytes = packed.size();
  compress(reinterpret_cast<Bytef*>(&packed[0]), &packed_bytes,
           reinterpret_cast<const Bytef*>(plain.data()), plain.size());
  packed.resize(packed_bytes);
  ASSERT_EQ(packed.find('\xFF'), Bytes::npos);  // nothing in it to unsynchronise
  const TagRecord record = Read(Tag(3, {Frame(3, "TIT2", Number(plain.size(), 4) + packed, 0x80),
                                        Frame(3, "TALB", Number(0xFFFFFFF0, 4) + packed, 0x80)}));
  EXPECT_EQ(Fields(record), Values{"TITLE=Squeezed"});  // libid3tag would allocate 4 GiB for TALB
  EXPECT_EQ(record.notes, Values{"the ID3v2 frame TALB of 4294967280 bytes uncompressed left out"});
  // Grouped, compressed, unsynchronised, with a data length: the group byte $FF and
  // the length's first byte $00 come before the unsynchronised data.
  const Bytes grouped = "\xFF" + Number(plain.size(), 4, 7) + packed;
  EXPECT_EQ(Fields(Read(Tag(4, {Frame(4, "TIT2", grouped, 0x4B)}))), Values{"TITLE=Squeezed"});
}

TEST(ReadId3Tag, ABrokenFrameCostsOnlyItself) {
  const Bytes good = Frame(3, "TPE1", Text({u"Kept"}));
  for (const Bytes& broken : {Frame(3, "Tcmp", Text({u"1"})), Frame(3, "COMM", "\0en"),
                              Frame(3, "TIT2", "\x07x"), Frame(3, "TIT2", "")}) {
    const TagRecord record = Read(Tag(3, {good, broken, good}) + "bytes after the tag");
    EXPECT_EQ(Fields(record), Values{"ARTIST=Kept"});
    EXPECT_EQ(record.notes,
              Values{"the ID3v2 frame " + broken.substr(0, 4) + " cannot be read; left out"});
    EXPECT_EQ(record.id3, Tag(3, {good, broken, good}));
  }
  EXPECT_EQ(Read(Tag(3, {good, Frame(3, "TCP ", Text({u"1"}))})).notes,
            Values{"the ID3v2 frame TCP? cannot be read; left out"});
  EXPECT_EQ(Read(Tag(4, {}, 0, good + "TALB\1\1\1")).notes,
            Values{"the ID3v2 tag ends in 7 bytes that are no whole frame; left out"});
}

TEST(ReadId3Tag, AnUnreadableTagLeavesOnlyANote) {
  const Bytes tag = Tag(3, {Frame(3, "TIT2", Text({u"Title"}))});
  EXPECT_EQ(Read(tag.substr(0, 25), false).notes,
            Values{"the ID3v2 tag is cut short (25 of 26 bytes); tags left out"});
  for (const Bytes& bytes : {Bytes(), Bytes("ID3"), "TAG" + tag.substr(3),
                             Tag(2, {}, 0x40, Frame(2, "TT2", Text({u"x"}))),  // compressed
                             Tag(4, {}, 0x40, Number(99, 4, 7) + Frame(4, "TIT2", Text({u"x"})))}) {
    EXPECT_EQ(Read(bytes, false).notes.size(), 1u);
  }
}

TEST(MergeDsdiffInfo, FillsOnlyWhatTheId3TagLacks) {
  TagRecord record =
      Read(Tag(4, {Frame(4, "TPE1", Text({u"Id3"})), Frame(4, "TALB", Text({u"A"}))}));
  MergeDsdiffInfo(Bytes("Diin\0", 5), "Caf\xE9  ", &record);  // Latin-1, padded
  EXPECT_EQ(Fields(record), (Values{"TITLE=Caf\u00E9", "ARTIST=Id3", "ALBUM=A"}));
  EXPECT_TRUE(record.notes.empty());
}

}  // namespace

TEST(RenderId3Tag, ReadsBackAsTheSameFieldsAndPictures) {
  TagRecord record;
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"TITLE", "T\u00EFtle \u2713 \U0001F3B5"},
                                                        {"ARTIST", "One"},
                                                        {"ARTIST", "Two"},
                                                        {"ALBUM", "Album"},
                                                        {"TRACKNUMBER", "3"},
                                                        {"TRACKTOTAL", "12"},
                                                        {"DATE", "1999-05-04"},
                                                        {"GENRE", "Jazz"},
                                                        {"ISRC", "USABC1234567"},
                                                        {"COMMENT", "Nice"},
                                                        {"REPLAYGAIN_ALBUM_GAIN", "-6.50 dB"}}) {
    record.comments.push_back({name, value});
  }
  record.pictures.push_back({3, "image/png", "cover", Bytes("\x89PNG\0\1\2", 7)});
  const Bytes rendered = RenderId3Tag(record);
  TagRecord read;
  ASSERT_TRUE(
      ReadId3Tag(reinterpret_cast<const uint8_t*>(rendered.data()), rendered.size(), &read));
  EXPECT_EQ(Fields(read), Fields(record));
  ASSERT_EQ(read.pictures.size(), 1u);
  EXPECT_EQ(read.pictures[0].data, record.pictures[0].data);
  EXPECT_EQ(read.pictures[0].description, "cover");
  // A reader written elsewhere agrees.
  const auto probed = FfprobeTags(rendered);
  EXPECT_EQ(probed.at("title"), "T\u00EFtle \u2713 \U0001F3B5");
  EXPECT_EQ(probed.at("track"), "3/12");
}
