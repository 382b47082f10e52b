// The tags of a recording, as the readers find them and the writers carry
// them on: Vorbis-comment fields, pictures, and the ID3v2 tag's own bytes.
// A plain record; filling it is the readers' work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One field: an upper-case Vorbis comment name and its UTF-8 value. A name
// may repeat, once for each of several values.
struct TagComment {
  std::string name;
  std::string value;
};

// An attached picture: its ID3v2 / FLAC picture type, MIME type, UTF-8
// description and bytes.
struct TagPicture {
  uint32_t type = 0;
  std::string mime;
  std::string description;
  std::string data;
};

struct TagRecord {
  std::vector<TagComment> comments;  // in a stable order
  std::vector<TagPicture> pictures;
  std::string id3;                 // the ID3v2 tag's own bytes as found, if any
  std::vector<std::string> notes;  // what was left out and why, one short line each
};
