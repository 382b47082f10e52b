#include "base/console.h"

#include <cstdio>

namespace {

constexpr char ClearLine[] = "\r\033[K";  // back to the line's start, erase to its end

bool status_shown = false;  // guarded by ConsoleMutex

}  // namespace

std::recursive_mutex& ConsoleMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

ConsoleLock::ConsoleLock() {
  ConsoleMutex().lock();
  if (status_shown) {
    std::fputs(ClearLine, stderr);
    status_shown = false;
  }
}

ConsoleLock::~ConsoleLock() {
  std::fflush(stdout);
  ConsoleMutex().unlock();
}

void ShowStatusLine(const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(ConsoleMutex());
  std::fprintf(stderr, "%s%s", ClearLine, text.c_str());
  std::fflush(stderr);
  status_shown = true;
}
