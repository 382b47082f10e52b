// What the test-file writers share: whole numbers in a range and the answer
// to options that were asked for help or wrong, on their command lines, and
// the reading of a whole input file.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

constexpr int ToolExitUsage = 2;  // the options were wrong

// The ParseOptions of a tool answers this for --help.
constexpr char ToolHelpAnswer[] = "help";

// A whole decimal number from `low` to `high`, and nothing after it.
inline bool ParseWholeNumber(const std::string& text, int low, int high, int* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == text.c_str() || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// What `tool` does with its ParseOptions's answer `error`: for --help, the
// help on standard output and exit status 0; for a wrong option, one line on
// standard error and ToolExitUsage; -1 when the options are good.
inline int AnswerToOptions(const char* tool, const char* help, const std::string& error) {
  if (error == ToolHelpAnswer) {
    std::fputs(help, stdout);
    return 0;
  }
  if (error.empty()) return -1;
  std::fprintf(stderr, "%s: %s (see --help)\n", tool, error.c_str());
  return ToolExitUsage;
}

// Appends the bytes of the file at `path` to `data`; false when it cannot be read.
inline bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    data->insert(data->end(), buffer, buffer + got);
  }
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}
