// The byte layout of an SACD disc image: where the master TOC, the area TOCs
// and the audio sectors lie, and the offset, width and meaning of every field
// the reader takes. Plain constants only, shared by the reader (sacd/) and by
// dff-sacd, which writes test images, so that the two read and write one
// layout. Every number is big-endian; offsets are in bytes from the start of
// the sector (or block of sectors) that holds the field.
#pragma once

#include <cstdint>

namespace sacd_format {

// ---- Sectors ----------------------------------------------------------------

constexpr uint32_t SectorBytes = 2048;  // the user data of one sector
// A raw sector as some rippers keep it: a 12-byte header (sector id 4, IED 2,
// CPR_MAI 6), the 2,048 bytes of user data, then a 4-byte EDC.
constexpr uint32_t RawSectorBytes = 2064;
constexpr uint32_t RawHeaderBytes = 12;
constexpr uint32_t RawTrailerBytes = 4;
constexpr int RawSectorNumberOffset = 1;  // in the raw header: the sector's number, 3 bytes
constexpr int RawSectorNumberBytes = 3;

constexpr int SignatureBytes = 8;  // every TOC sector opens with 8 ASCII bytes naming it
// The two widths of the TOCs' numbers.
constexpr int WordBytes = 2;  // lengths in sectors, text positions, counts of discs, the year
constexpr int LongBytes = 4;  // sector numbers, sector counts, the byte rate

// ---- Master TOC ---------------------------------------------------------------

// Ten sectors from sector 510, and the same ten again from 520 and from 530.
constexpr uint32_t MasterTocCopies[] = {510, 520, 530};
constexpr int MasterTocCopyCount = 3;
constexpr uint32_t MasterTocSectors = 10;
// The first sector past the last copy: no area TOC may lie before it.
constexpr uint32_t FirstAreaSector = 540;

constexpr char MasterTocSignature[] = "SACDMTOC";     // sector 0 of the master TOC
constexpr char MasterTextSignature[] = "SACDText";    // sectors 1 to 8: one per text channel
constexpr char ManufacturerSignature[] = "SACD_Man";  // sector 9: the manufacturer's own
constexpr uint32_t MasterTextFirstSector = 1;
constexpr uint32_t ManufacturerSector = 9;

// Sector 0 of the master TOC.
constexpr int VersionOffset = 8;  // 2 bytes: major, minor
constexpr uint8_t VersionMajor = 1;
constexpr uint8_t VersionMinor = 20;
constexpr int AlbumSetSizeOffset = 16;           // 2 bytes: discs in the album set
constexpr int AlbumSequenceOffset = 18;          // 2 bytes: this disc's number in the set, from 1
constexpr int AlbumCatalogOffset = 24;           // 16 bytes of text, padded with spaces or zeros
constexpr int AlbumGenresOffset = 40;            // 4 genre entries
constexpr int StereoToc1Offset = 64;             // 4 bytes: first sector of the stereo area's TOC-1
constexpr int StereoToc2Offset = 68;             // 4 bytes: and of its TOC-2; 0 for no stereo area
constexpr int MultichannelToc1Offset = 72;       // 4 bytes: the same for the multichannel area
constexpr int MultichannelToc2Offset = 76;       // 4 bytes
constexpr int DiscFlagsOffset = 80;              // 1 byte
constexpr uint8_t HybridDiscFlag = 0x80;         // the disc also has a CD layer
constexpr int StereoTocLengthOffset = 84;        // 2 bytes: sectors in each stereo area TOC
constexpr int MultichannelTocLengthOffset = 86;  // 2 bytes: sectors in each multichannel TOC
constexpr int DiscCatalogOffset = 88;            // 16 bytes of text
constexpr int DiscGenresOffset = 104;            // 4 genre entries
constexpr int DateYearOffset = 120;              // 2 bytes
constexpr int DateMonthOffset = 122;             // 1 byte, 1 to 12
constexpr int DateDayOffset = 123;               // 1 byte, 1 to 31
constexpr int TextChannelCountOffset = 128;      // 1 byte, 0 to 8
constexpr int TextChannelsOffset = 136;          // 8 text channel entries
constexpr int CatalogBytes = 16;

// A genre entry: the genre table (1 the general one, 2 the Japanese one; 0
// none), a reserved pair, and the genre's number in that table.
constexpr int GenreBytes = 4;
constexpr int Genres = 4;
constexpr int GenreTableOffset = 0;
constexpr int GenreCodeOffset = 3;
// The general table numbers its genres from 1, "not defined", to 29, Blues.
constexpr uint8_t GenreTableGeneral = 1;
constexpr int LastGenre = 29;

// A text channel entry: a two-letter ISO 639 language code, the character set
// (below) and a reserved byte.
constexpr int TextChannelBytes = 4;
constexpr int TextChannelLanguageOffset = 0;
constexpr int TextChannelCharacterSetOffset = 2;
constexpr int MaxTextChannels = 8;
constexpr int LanguageBytes = 2;

// The character sets a text channel names.
constexpr uint8_t CharacterSetIso646 = 1;    // ISO 646, international reference version (ASCII)
constexpr uint8_t CharacterSetLatin1 = 2;    // ISO 8859-1
constexpr uint8_t CharacterSetShiftJis = 3;  // RIS-506, the music Shift-JIS
constexpr uint8_t CharacterSetKsc5601 = 4;   // KS C 5601, Korean
constexpr uint8_t CharacterSetGb2312 = 5;    // GB 2312, simplified Chinese
constexpr uint8_t CharacterSetBig5 = 6;      // Big5, traditional Chinese
// ISO 8859-1 in which escape sequences to other single-byte sets are allowed.
constexpr uint8_t CharacterSetLatin1Escapes = 7;

// A master text sector: where each text starts, as 2-byte offsets into the
// sector (0 for none); each text runs to a zero byte. The album's four texts,
// then their phonetic spellings (24 to 30, not read), then the disc's four
// and theirs (40 to 46); the texts themselves follow the table.
constexpr int AlbumTitlePositionOffset = 16;
constexpr int AlbumArtistPositionOffset = 18;
constexpr int AlbumPublisherPositionOffset = 20;
constexpr int AlbumCopyrightPositionOffset = 22;
constexpr int DiscTitlePositionOffset = 32;
constexpr int DiscArtistPositionOffset = 34;
constexpr int DiscPublisherPositionOffset = 36;
constexpr int DiscCopyrightPositionOffset = 38;
constexpr int MasterTextFirstByte = 48;  // past the table's 16 positions

// ---- Area TOC -------------------------------------------------------------------

// Each audio area has two copies of its TOC: TOC-1 just before its track
// area and TOC-2 just after it. A TOC is a header sector, then the blocks
// below, each found by the signature of its first sector.
constexpr char StereoTocSignature[] = "TWOCHTOC";
constexpr char MultichannelTocSignature[] = "MULCHTOC";

// The header sector.
constexpr int AreaTocLengthOffset = 10;  // 2 bytes: sectors in this TOC
constexpr int MaxByteRateOffset = 16;    // 4 bytes: the most bytes per second the area reads
constexpr int RateCodeOffset = 20;       // 1 byte
constexpr uint8_t Dsd64RateCode = 4;     // 64 x 44,100 Hz: 2,822,400 Hz, the only rate
constexpr int FrameFormatOffset = 21;    // low 4 bits of the byte
constexpr uint8_t FrameFormatMask = 0x0F;
constexpr uint8_t FrameFormatDst = 0;       // every frame DST-coded
constexpr uint8_t FrameFormatDsd3In14 = 2;  // plain stereo DSD, 3 frames in every 14 sectors
constexpr uint8_t FrameFormatDsd3In16 = 3;  // plain stereo DSD, 3 frames in every 16 sectors
constexpr int ChannelCountOffset = 32;      // 1 byte
constexpr int LoudspeakerOffset = 33;       // the top 5 bits; the low 3 are extra settings
constexpr int LoudspeakerShift = 3;
constexpr uint8_t LoudspeakerStereo = 0;        // 2 channels: L R
constexpr uint8_t LoudspeakerFive = 3;          // 5 channels, ITU-R BS.775: L R C LS RS
constexpr uint8_t LoudspeakerFivePointOne = 4;  // 6 channels: L R C LFE LS RS
constexpr int PlayTimeOffset = 64;          // 3 bytes: minutes, seconds, frames of the whole area
constexpr int FirstTrackNumberOffset = 68;  // 1 byte: tracks on earlier discs of the set
constexpr int TrackCountOffset = 69;        // 1 byte
constexpr int TrackAreaFirstOffset = 72;    // 4 bytes: the first sector of the track area
constexpr int TrackAreaLastOffset = 76;     // 4 bytes: its last sector
constexpr int AreaTextChannelCountOffset = 80;  // 1 byte, then entries as in the master TOC
constexpr int AreaTextChannelsOffset = 88;
constexpr int AreaTextChannelSlots = 10;  // room for 10 entries, of which 8 at most are used
// 2 bytes, after the 10 entries' room: sectors from the TOC's first to its
// track text, 0 for none.
constexpr int TrackTextPointerOffset =
    AreaTextChannelsOffset + TextChannelBytes * AreaTextChannelSlots;
// The area's own text in the header sector: 2-byte offsets into the sector
// (0 for none) of its description and its copyright, each running to a zero
// byte, then of their phonetic spellings (148 and 150, not read); the texts
// themselves follow from 152. In the character set of the area's first text
// channel.
constexpr int AreaDescriptionPositionOffset = 144;
constexpr int AreaCopyrightPositionOffset = 146;
constexpr int AreaTextFirstByte = 152;

// "SACDTRL1": per track, the sector that holds its first byte, then the
// number of sectors from that one to the one that holds its last byte.
constexpr char TrackList1Signature[] = "SACDTRL1";
constexpr int TrackStartSectorsOffset = 8;     // 255 entries of 4 bytes
constexpr int TrackSectorCountsOffset = 1028;  // 255 entries of 4 bytes
constexpr int MaxTracks = 255;

// "SACDTRL2": per track, its start time and its duration, 4 bytes each:
// minutes, seconds, frames (75 a second), and a byte of flags.
constexpr char TrackList2Signature[] = "SACDTRL2";
constexpr int TrackStartTimesOffset = 8;
constexpr int TrackDurationsOffset = 1028;
constexpr int TimeEntryBytes = 4;

// "SACD_IGL", two sectors: per track an ISRC of 12 ASCII characters (country
// 2, owner 3, year 2, designation 5), 4 reserved bytes, then per track a
// genre entry, from byte 3,072.
constexpr char IsrcGenreSignature[] = "SACD_IGL";
constexpr uint32_t IsrcGenreSectors = 2;
constexpr int IsrcOffset = 8;
constexpr int IsrcBytes = 12;
constexpr int IsrcGenreReservedBytes = 4;
constexpr int TrackGenresOffset = IsrcOffset + MaxTracks * IsrcBytes + IsrcGenreReservedBytes;

// "SACDTTxt", one block of sectors per text channel, in the order of the
// area's text channels: right after the signature, per track, a 2-byte
// offset into the block of its text record (0 for none). A record is a count
// of items and 3 reserved bytes; an item is its type, a reserved byte, and
// its text up to a zero byte, followed by zeros up to the next item.
constexpr char TrackTextSignature[] = "SACDTTxt";
constexpr int TrackTextPositionsOffset = SignatureBytes;  // 255 entries of 2 bytes
constexpr int TrackTextFirstByte = TrackTextPositionsOffset + 2 * MaxTracks;
constexpr int TextRecordHeadBytes = 4;
constexpr int TextItemHeadBytes = 2;
constexpr uint32_t MaxTrackTextSectors = 32;  // a block's offsets reach 64 KiB
constexpr uint8_t TextTitle = 1;
constexpr uint8_t TextPerformer = 2;
constexpr uint8_t TextSongwriter = 3;
constexpr uint8_t TextComposer = 4;
constexpr uint8_t TextArranger = 5;
constexpr uint8_t TextMessage = 6;

// ---- Audio sectors ----------------------------------------------------------------

// A sector of the track area: a header byte, one 2-byte packet info per
// packet, one frame info per frame that starts in the sector, then the
// packets' bytes in order.
constexpr int PacketCountShift = 5;      // header bits 7-5: packets, 1 to 7
constexpr int FrameStartCountShift = 2;  // header bits 4-2: frame starts, 0 to 7
constexpr uint8_t CountMask = 0x07;
constexpr uint8_t DstCodedFlag = 0x01;  // header bit 0: the frames are DST-coded
constexpr int SectorHeaderBytes = 1;
constexpr int PacketInfoBytes = 2;
constexpr uint16_t FrameStartFlag = 0x8000;  // packet info bit 15: a frame starts here
constexpr int DataTypeShift = 11;            // packet info bits 13-11
constexpr uint16_t DataTypeMask = 0x07;
constexpr uint16_t PacketLengthMask = 0x07FF;  // packet info bits 10-0: its bytes
constexpr uint8_t DataTypeAudio = 2;
constexpr uint8_t DataTypeSupplementary = 3;
constexpr uint8_t DataTypePadding = 7;
// A frame info: the frame's time code (minutes, seconds, frames, from the
// start of the area), and in a DST-coded sector one more byte whose bits 6-2
// count the sectors the frame spans, its first included, and whose bits 1
// and 0 say 6 and 5 channels (both clear for 2); bit 7 is not known.
constexpr int TimeCodeBytes = 3;
constexpr int DstFrameInfoBytes = 4;
constexpr int SectorCountShift = 2;
constexpr uint8_t SectorCountMask = 0x1F;
constexpr uint8_t SixChannelsFlag = 0x02;
constexpr uint8_t FiveChannelsFlag = 0x01;
constexpr int MaxPackets = 7;
constexpr int MaxFrameStarts = 7;

// Plain DSD frames come in groups of 3 that fill 14 or 16 sectors.
constexpr int FramesPerPlainGroup = 3;
constexpr uint32_t SectorsPer3In14Group = 14;
constexpr uint32_t SectorsPer3In16Group = 16;

constexpr uint32_t SecondsPerMinute = 60;
constexpr uint32_t FramesPerSecond = 75;

}  // namespace sacd_format
