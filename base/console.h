// The console that every run in the process shares. Runs of several files
// side by side print whole lines under one lock, so that their lines never
// interleave; a run over many files keeps one status line at the bottom of a
// terminal, which any other line clears first (the next status redraws it).
#pragma once

#include <mutex>
#include <string>

// Held while a line is printed; recursive, so a printer may call another.
std::recursive_mutex& ConsoleMutex();

// Holds the console for the lines of one message, and clears the status line.
class ConsoleLock {
 public:
  ConsoleLock();
  ~ConsoleLock();
  ConsoleLock(const ConsoleLock&) = delete;
  ConsoleLock& operator=(const ConsoleLock&) = delete;
};

// Shows `text` as the status line on standard error (a terminal), in place of
// the one before.
void ShowStatusLine(const std::string& text);
