// The identifiers of DSDIFF: four bytes each, compared case-sensitively, as
// the format spells them. The reader and the test-file writers take them
// from here. Plain constants only.
#pragma once

inline constexpr char FRM8_ID[] = "FRM8";   // the container; the file's first four bytes
inline constexpr char DSD_FORM[] = "DSD ";  // the container's form type
inline constexpr char FVER_ID[] = "FVER";   // format version
inline constexpr char PROP_ID[] = "PROP";   // property chunk
inline constexpr char SND_TYPE[] = "SND ";  // property type: sound
// Local chunks of a sound property chunk.
inline constexpr char FS_ID[] = "FS  ";     // sample rate, 4 bytes
inline constexpr char CHNL_ID[] = "CHNL";   // channel count (2 bytes), then 4-byte ids
inline constexpr char CMPR_ID[] = "CMPR";   // compression type (4), then a counted name
inline constexpr char ABSS_ID[] = "ABSS";   // the absolute start time of the sound
inline constexpr char DSD_TYPE[] = "DSD ";  // "CMPR" type of plain one-bit sound
inline constexpr char DST_TYPE[] = "DST ";  // "CMPR" type of DST
// Sound data.
inline constexpr char DSD_ID[] = "DSD ";  // uncompressed sound data
inline constexpr char DST_ID[] = "DST ";  // DST-compressed sound data
// Local chunks of "DST ", and the index after it.
inline constexpr char FRTE_ID[] = "FRTE";  // frame count (4 bytes), frame rate (2)
inline constexpr char DSTF_ID[] = "DSTF";  // one frame of every channel
inline constexpr char DSTC_ID[] = "DSTC";  // a frame's check value
inline constexpr char DSTI_ID[] = "DSTI";  // per frame, its offset and length
// Edited master information, and tags.
inline constexpr char DIIN_ID[] = "DIIN";  // edited master information
inline constexpr char DIAR_ID[] = "DIAR";  // DIIN: the artist, a counted text
inline constexpr char DITI_ID[] = "DITI";  // DIIN: the title, a counted text
inline constexpr char MARK_ID[] = "MARK";  // DIIN: a marker (a track's start or stop, ...)
inline constexpr char ID3_ID[] = "ID3 ";   // an ID3v2 tag, top level or in PROP
