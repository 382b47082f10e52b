// libFuzzer target: an ID3v2 tag read into a tag record, then DSDIFF text
// merged into it. Traps when the record breaks a promise: a tag left out
// leaves one note and nothing else, a tag read keeps its own bytes, names are
// Vorbis field names, text is UTF-8, and every picture fits a FLAC block.
#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>

#include "tags/tags.h"

namespace {

// UTF-8 of Unicode characters and no NUL, as a Vorbis comment holds.
bool IsUtf8(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  std::wstring wide(text.size() + 1, L'\0');  // never more characters than bytes
  const size_t count = std::mbstowcs(&wide[0], text.c_str(), wide.size());
  return count != static_cast<size_t>(-1) &&
         std::all_of(wide.begin(), wide.begin() + count, [](wchar_t c) { return c <= 0x10FFFF; });
}

void Check(const TagRecord& record) {
  for (const TagComment& c : record.comments) {
    const bool name = !c.name.empty() && std::all_of(c.name.begin(), c.name.end(), [](char x) {
      return x >= 0x20 && x <= 0x7D && x != '=' && !(x >= 'a' && x <= 'z');
    });
    if (!name || c.value.empty() || !IsUtf8(c.value)) __builtin_trap();
  }
  for (const TagPicture& p : record.pictures) {
    const size_t block = 32 + p.mime.size() + p.description.size() + p.data.size();
    if (!IsUtf8(p.description) || p.data.empty() || block > MaxPictureBlockBytes) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) __builtin_trap();
  TagRecord record;
  if (ReadId3Tag(data, size, &record)) {
    if (record.id3 != std::string(reinterpret_cast<const char*>(data), Id3TagSize(data, size))) {
      __builtin_trap();
    }
  } else if (record.notes.size() != 1 || !record.comments.empty() || !record.pictures.empty() ||
             !record.id3.empty()) {
    __builtin_trap();
  }
  Check(record);
  const std::string tail(reinterpret_cast<const char*>(data) + size - std::min<size_t>(size, 12),
                         std::min<size_t>(size, 12));
  MergeDsdiffInfo(tail, tail.substr(tail.size() / 2), &record);
  Check(record);
  return 0;
}
