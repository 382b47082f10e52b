// SACD disc images (.iso): recognises an image by its content, describes the
// disc (album and disc text, catalog numbers, genres, date) and its stereo and
// multichannel areas (rate, frame format, channels and speakers, their own
// text, tracks with their first frame, frame count, text, ISRC and genre),
// and reads any frame of 1/75 s of an area: a DST frame's bytes, or a plain
// frame's sound. Owns no file and never prints: problems that do not stop the
// reading are notes, for the caller to print. Asks of its caller an input
// that can be read at any offset and stays open while frames are read, and
// one SacdCursor per thread that reads frames.
//
// How a caller uses it:
//
//   SacdDisc disc;
//   Fault fault = ReadSacdDisc(fd, path, &disc);
//   // Failure::NotDsd: no master TOC; try the next container.
//   // Another failure: disc.refusal says why, in one line.
//   for (const SacdArea* area : {&disc.stereo, &disc.multichannel}) {
//     if (!area->present) continue;
//     for (const SacdTrack& track : area->tracks) {
//       // frames [track.first_frame, track.first_frame + track.frames)
//     }
//   }
//   // On each worker, for its range of frames:
//   SacdCursor cursor;
//   StartSacdCursor(area, &cursor);
//   SacdFrame frame;
//   for (uint32_t f = first; f < end; ++f) {
//     if (!ReadSacdFrame(&cursor, f, &frame)) {
//       // 1/75 s of silence, and a line saying frame.damage
//     } else if (frame.dst) {
//       // DecodeDstFrame(frame.bytes, area->channels, SacdChannelFrameBytes)
//     } else {
//       // frame.bytes is the plain sound, as SacdFrame says
//     }
//   }
//
// The facts of the layout this code relies on (sacd_format.h has every offset):
//  - Sectors of 2,048 bytes, or raw sectors of 2,064 whose user data follows a
//    12-byte header. Numbers big-endian. The master TOC is 10 sectors at 510,
//    repeated at 520 and 530; its sector 0 ("SACDMTOC") holds the album and
//    disc information, the text channels (language, character set) and where
//    each area's TOC-1 and TOC-2 lie and how long they are; sectors 1 to 8
//    ("SACDText") hold the album and disc text of each text channel.
//  - An area TOC ("TWOCHTOC", "MULCHTOC") lies before its track area (TOC-1)
//    and after it (TOC-2). Its header gives the rate (DSD64 only), the frame
//    format (DST; plain DSD 3 frames in 14 sectors or in 16, stereo only), the
//    channel count and loudspeaker configuration, the playing time, the track
//    count, the track area's sectors, the text channels, where the track text
//    lies and the area's own description and copyright. Then "SACDTRL1" (each
//    track's first sector and sector count), "SACDTRL2" (start time and
//    duration), "SACD_IGL" (ISRC and genre) and one "SACDTTxt" block of track
//    text per text channel, each found by its signature.
//  - An audio sector holds a header byte (packet count, frame start count,
//    DST flag), 2-byte packet infos (frame start flag, data type: audio,
//    supplementary or padding; length), frame infos (time code; for DST the
//    sectors the frame spans) and the packets. A frame is its audio packets
//    from the one that starts it up to the next that starts a frame.
//  - A plain frame holds 4,704 bytes of each channel, interleaved byte by byte
//    as in DSDIFF; a DST frame is the bitstream of a DSDIFF "DSTF" chunk.
// Where these facts come from: the public descriptions of the disc layout
// (the sacd-ripper project's "ScarletBook" page: 2,048-byte sectors, big-endian
// numbers, the master TOC at 510, 520 and 530, the allowed areas; Daisy
// Laser's SACD pages: the two-level TOC, area TOCs at both ends of an area,
// text channels; the DSDIFF 1.5 description: the loudspeaker configurations
// 0, 3 and 4 and their channel order, DST frames of 1/75 s), and the field
// layout of the format as commonly published, against which every offset,
// width and bit of sacd_format.h has been checked. Not checked against a
// pressed disc, and least certain: the loudspeaker configurations' values
// (an unknown one falls back to the channel count, with a note), what the DST
// frame info's sector count counts (only a hint: a frame ends where the next
// starts), that a plain frame's info is its time code alone, the track text
// record's layout within its block, and where the track text of text
// channels after the first lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/channel_layout.h"
#include "base/failure.h"

constexpr uint32_t SacdSampleRate = 2822400;    // DSD64, the only rate of the format
constexpr uint32_t SacdFramesPerSecond = 75;    // every frame is 1/75 s
constexpr size_t SacdChannelFrameBytes = 4704;  // bytes of one channel in a frame
constexpr int SacdMaxTracks = 255;
constexpr int SacdMaxTextChannels = 8;

// Where an image's sectors lie in its file.
struct SacdImage {
  int fd = -1;
  const char* path = nullptr;
  uint32_t sector_bytes = 2048;  // 2,048, or 2,064 for raw sectors
  uint32_t data_offset = 0;      // where a sector's 2,048 bytes start: 0, or 12 for raw sectors
  uint64_t sectors = 0;          // whole sectors the file holds
};

// A text channel: its language (two ISO 639 letters, "" when unset) and the
// character set its text is in (1 ISO 646, 2 ISO 8859-1, 3 Shift-JIS, 4 KS C
// 5601, 5 GB 2312, 6 Big5, 7 ISO 8859-1 that may escape to other sets, read
// as ISO 8859-1; other values unknown).
struct SacdTextChannel {
  std::string language;
  uint8_t character_set = 0;
};

// A genre: table 1 is the general list (SacdGenreName), 2 the Japanese one;
// table 0 is no genre.
struct SacdGenre {
  uint8_t table = 0;
  uint8_t code = 0;
};
// The name of a genre of the general list ("Classical", ...), or nullptr.
const char* SacdGenreName(SacdGenre genre);

// The master text of one text channel, in UTF-8; empty where the disc has none.
struct SacdAlbumText {
  std::string album_title, album_artist, album_publisher, album_copyright;
  std::string disc_title, disc_artist, disc_publisher, disc_copyright;
};

// The text of one track in one text channel, in UTF-8.
struct SacdTrackText {
  std::string title, performer, songwriter, composer, arranger, message;
};

enum class SacdFrameFormat {
  Dst,       // each frame one DST-coded frame
  Dsd3In14,  // plain stereo sound, 3 frames in every 14 sectors
  Dsd3In16,  // plain stereo sound, 3 frames in every 16 sectors
};

struct SacdTrack {
  // Frames [first_frame, first_frame + frames) of the area, placed by their
  // time codes against the track's start time; the next track may start
  // later than this one ends (a pause between them, in no track).
  uint32_t first_frame = 0;
  uint32_t frames = 0;
  // The sector that holds the track's first byte and the count up to the one
  // that holds its last; one sector may hold the end of a track and the start
  // of the next.
  uint32_t first_sector = 0;
  uint32_t sectors = 0;
  std::string isrc;  // 12 characters, or "" when the disc gives none
  SacdGenre genre;
  std::vector<SacdTrackText> text;  // one per text channel of the area
};

struct SacdArea {
  bool present = false;
  bool multichannel = false;
  const char* name = "";  // "stereo area" or "multichannel area", for messages
  uint32_t sample_rate = SacdSampleRate;
  SacdFrameFormat frame_format = SacdFrameFormat::Dst;
  // The channels in the order each frame stores them, and their speakers:
  // 2 FL FR; 5 FL FR FC BL BR; 6 FL FR FC LFE BL BR (the surround pair of
  // the format is BL BR, as everywhere in this converter).
  int channels = 0;
  Speaker speakers[MaxChannels] = {};
  uint32_t frames = 0;  // the area's playing time; frames are numbered from 0 by time code
  std::vector<SacdTextChannel> text_channels;
  std::string description, copyright;  // the area's own text, in UTF-8; empty where none
  std::vector<SacdTrack> tracks;       // 1 to 255, in order
  // Where the area lies: its TOC-1 and TOC-2 as the master TOC places them,
  // toc_sectors long; the copy that was read; the track area's first and last
  // sectors.
  uint32_t toc1_sector = 0, toc2_sector = 0, toc_sectors = 0;
  uint32_t toc_sector = 0;
  uint32_t first_sector = 0;
  uint32_t last_sector = 0;
  SacdImage image;
};

struct SacdDisc {
  SacdImage image;
  uint32_t master_toc_sector = 0;  // the copy that was read: 510, 520 or 530
  uint16_t album_set_size = 0;
  uint16_t album_sequence_number = 0;
  std::string album_catalog_number, disc_catalog_number;  // trailing spaces dropped
  SacdGenre album_genres[4], disc_genres[4];
  uint16_t year = 0;  // the disc's date; 0 when unset
  uint8_t month = 0, day = 0;
  bool hybrid = false;  // the disc has a CD layer too
  std::vector<SacdTextChannel> text_channels;
  std::vector<SacdAlbumText> text;  // one per text channel
  SacdArea stereo, multichannel;
  // Lines for the caller to print: a damaged TOC copy read from another
  // copy, text in an unknown character set, an area the image cuts off.
  std::vector<std::string> notes;
  // Why the image is refused, when ReadSacdDisc fails after recognising it.
  std::string refusal;
};

// Reads the image on `fd` and describes it in `disc`. Failure::NotDsd when no
// copy of the master TOC carries its signature at sector 510, 520 or 530 of
// 2,048- or 2,064-byte sectors. Failure::UnsupportedSound, with the reason in
// disc->refusal (and the Fault's reason pointing to it, valid while `disc`
// lives), when every copy of a TOC that the image holds contradicts itself:
// an area TOC inside the master TOC's sectors, areas that overlap, a track
// area outside its area, no tracks, tracks that run backwards or overlap
// (more than the one sector two tracks may share), a track past the area's
// end, a rate other than DSD64, no channels or more than 6, a stereo area
// of other than 2 channels, plain frames of other than 2 channels, an unknown
// frame format. A damaged or contradicting copy gives way to the next (TOC-2
// for an area TOC; 520, then 530 for the master TOC), with a note. An area
// whose TOCs both lie past the end of the file is left out with a note, and
// the image is refused only when no area remains. Failure::FileRead when a
// read fails. Reads the TOCs only, never the audio sectors.
Fault ReadSacdDisc(int fd, const char* path, SacdDisc* disc);

// A frame of an area.
struct SacdFrame {
  // DST: bytes is the DST frame, as a DSDIFF "DSTF" chunk holds it. Plain:
  // bytes is channels x 4,704 bytes, one byte of each channel in turn in the
  // area's channel order (as a DSDIFF "DSD " chunk), the earliest sample in
  // each byte's most significant bit.
  bool dst = false;
  std::vector<uint8_t> bytes;
  // Why the frame cannot be read, when ReadSacdFrame returns false: "sector
  // 123456 cannot be read", "sector 2345 is malformed", "the image ends
  // before sector 3456", "frame 89 is not in the image", "frame 123's time
  // code reads 40:00:00" (its start's time code is out of line with those of
  // the frames around it).
  std::string damage;
};

// What one thread keeps between the frames it reads: a window of sectors read
// in one go, and where the next frame starts. Make one per thread; any number
// of cursors read one area at once. Reading frame f + 1 after f costs only
// the reading of its own sectors; any other frame is found by a binary search
// over the sectors of the track that holds it, by the time codes of the
// frames that start in them.
struct SacdCursor {
  const SacdArea* area = nullptr;
  std::vector<uint8_t> window;  // whole sectors as the file holds them
  uint64_t window_first = 0;    // the sector at window[0]
  uint32_t window_sectors = 0;
  bool positioned = false;  // `sector` and `packet` are where frame `next_frame` may start
  uint32_t next_frame = 0;
  uint32_t sector = 0;
  int packet = 0;
  std::string damage;  // the last damage passed since the last frame start
  // The time code of the frame start before `sector` and `packet`, with which
  // the next start is judged, or one of these.
  static constexpr int64_t AreaStart = -1;           // none: the track area starts first
  static constexpr int64_t NoNeighbour = INT64_MIN;  // a damaged sector lies between
  int64_t start_before = NoNeighbour;
};

// Readies `cursor` for frames of `area`, which must outlive it.
void StartSacdCursor(const SacdArea& area, SacdCursor* cursor);

// Reads frame `frame` (0 .. area.frames - 1) into `out`. Returns false when
// the frame cannot be read (out->damage says why): a sector it needs cannot
// be read or parsed, the image ends before it, or no sector holds its start.
// The damage stays with that frame: the frames around it read as they are.
bool ReadSacdFrame(SacdCursor* cursor, uint32_t frame, SacdFrame* out);

// The same, found the straightforward way: by reading the track area from its
// first sector. Slow; the reference ReadSacdFrame is tested against.
bool ReadSacdFrameReference(const SacdArea& area, uint32_t frame, SacdFrame* out);
