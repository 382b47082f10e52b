#include "driver/messages.h"

#include <cctype>
#include <cstdio>
#include <cstring>

const char* FailureLine(Failure failure) {
  switch (failure) {
    case Failure::None:
      break;
    case Failure::FileOpen:
      return "File Open Error\n";
    case Failure::FileRead:
      return "File Read Error\n";
    case Failure::FileWrite:
      return "File Write Error\n";
    case Failure::NotDsd:
      return "This is not a DSDIFF file.\n";
    case Failure::NoSoundData:
      return "No DSD sound data found.\n";
    case Failure::DataTooSmall:
      return "Data Size is not enough to convert.\n";
    case Failure::MemoryAlloc:
      return "Memory Alloc Error\n";
    case Failure::SameFile:
      return "Input and output must be different files.\n";
    case Failure::ChannelFilesBusy:
      return "Channel files are in use by another conversion.\n";
    case Failure::UnsupportedSound:
      return "This sound data is not supported.\n";
    case Failure::OutputIsDsd:
      return "The output file is a DSD file; refusing to overwrite it.\n";
    case Failure::OutputBusy:
      return "The output file is in use by another conversion.\n";
  }
  return "";
}

const char* FailureReason(Failure failure) {
  switch (failure) {
    case Failure::NotDsd:
      return "neither a DSDIFF file nor a well-formed DSF file";
    case Failure::NoSoundData:
      return "the file ends before a \"DSD \" sound chunk";
    case Failure::DataTooSmall:
      return "less than 128 bytes (16 groups) of sound data";
    case Failure::MemoryAlloc:
      return "cannot allocate the conversion buffers";
    case Failure::UnsupportedSound:
      return "this sound cannot be converted";
    default:
      return "failed";
  }
}

void UnsupportedSoundLine(const SoundProperties& p, char* line, int size) {
  if (p.sample_rate != 0 && !IsConvertibleRate(p.sample_rate)) {
    std::snprintf(line, size,
                  "Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are "
                  "supported; this file is %u Hz.\n",
                  static_cast<unsigned>(p.sample_rate));
  } else if (p.has_channels && p.channels != StereoChannels) {
    std::snprintf(line, size, "Only 2-channel sound is supported; this file has %u channel%s.\n",
                  static_cast<unsigned>(p.channels), p.channels == 1 ? "" : "s");
  } else if (std::strcmp(p.compression, "DST ") == 0) {
    std::snprintf(line, size, "DST-compressed sound data is not supported.\n");
  } else {
    char type[sizeof p.compression];
    for (size_t i = 0; i < sizeof type; ++i) {
      type[i] = std::isprint(static_cast<unsigned char>(p.compression[i])) ? p.compression[i] : '?';
    }
    type[sizeof type - 1] = '\0';
    std::snprintf(
        line, size,
        "Only uncompressed DSD sound data is supported; this file's compression is \"%s\".\n",
        type);
  }
}

const char UsageText[] =
    "Usage: dff2wav IN OUT\n"
    "\n"
    "Converts stereo one-bit DSD audio into a 24-bit PCM WAV file.\n"
    "\n"
    "  IN   a DSDIFF (.dff) or DSF (.dsf) file, recognised by its content:\n"
    "       2 channels, uncompressed, DSD64 to DSD512 (2,822,400 or 3,072,000 Hz\n"
    "       times 1, 2, 4 or 8)\n"
    "  OUT  the WAV file to write, at the DSD rate / 32 (88,200 Hz for DSD64);\n"
    "       - writes it to standard output, and the console lines go to\n"
    "       standard error instead\n"
    "\n"
    "The run leaves each channel's one-bit sound in dsdl.tmp and dsdr.tmp in\n"
    "the working directory. It prints the sizes it derived, a number for each\n"
    "division of about 95 s of DSD64 sound, and a closing message in Shift-JIS\n"
    "(pipe it through iconv -f SHIFT_JIS on a UTF-8 terminal). Exit status: 0\n"
    "after a complete run, 1 after a failure or when sound was left out.\n"
    "\n"
    "  -h, --help   print this text\n"
    "  --version    print the version\n"
    "\n"
    "Example: dff2wav in.dsf - | flac -o out.flac -\n"
    "See dff2wav(1).\n";

const char ShortUsage[] = "usage: dff2wav IN OUT (dff2wav --help tells more)\n";
