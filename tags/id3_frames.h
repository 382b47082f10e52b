// Inside tags/: the frame layout of an ID3v2 tag, beneath libid3tag. Finds
// the frames of a tag and rebuilds it with only the changes that let
// libid3tag 0.15.1b read every frame right; a frame libid3tag refuses is
// dropped here, so that it does not cost the whole tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tags/tags.h"

// The user-defined text frame of 2.3 and 2.4: a description, then the values.
constexpr char UserTextId[] = "TXXX";
// libid3tag reads a TXXX value as one string and drops the rest; under this
// id, of a text frame it does not know, it reads the same body as a list:
// the description, then every value.
constexpr char TxxxAsListId[] = "TXXL";
// An APIC MIME type, and a 2.2 PIC image format, that says the data is a link.
constexpr char PictureLinkMime[] = "-->";

struct PreparedTag {
  unsigned version = 0;  // 2, 3 or 4
  std::string tag;       // the tag rebuilt for id3_tag_parse
  // The bodies of the 2.2 and 2.3 year, day-month and time frames ("TYE"/"TYER",
  // "TDA"/"TDAT", "TIM"/"TIME"), left out of `tag`: libid3tag's own date from
  // them drops a year shorter than four characters and cuts a longer one to four.
  std::string year, day_month, time;
  std::vector<std::string> notes;  // frames dropped, and why
};

// Fills `*prepared` from the tag at `bytes`, whose whole Id3TagSize the
// caller holds. False, with the reason in `*failure`, when the extended
// header is unusable or the rebuilt tag would not fit a tag's size field.
bool PrepareId3Tag(const uint8_t* bytes, PreparedTag* prepared, std::string* failure);

// The tag `id3` (2.3 or 2.4; empty for none, which makes a new 2.4 tag) with
// a TXXX frame for each of `fields`, in place of any TXXX frames it had of
// those descriptions (in any case). Its other frames are kept as they were;
// the extended header is dropped, as its CRC and sizes would be wrong. Empty
// when the tag cannot be changed so: ID3v2.2, or unsynchronised as a whole.
std::string Id3WithUserText(const std::string& id3, const std::vector<TagComment>& fields);

// A frame id fit for a note: letters and digits kept, anything else '?'.
std::string PrintableId(const std::string& id);
