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
    case Failure::BadTracks:
      return "Its tracks cannot be cut.\n";
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
      return "less than one filter window of sound: 16 words (512 samples) per channel";
    case Failure::MemoryAlloc:
      return "cannot allocate the conversion buffers";
    case Failure::UnsupportedSound:
      return "this sound cannot be converted";
    default:
      return "failed";
  }
}

void UnsupportedSoundLine(const SoundProperties& p, char* line, int size) {
  switch (p.refusal) {
    case Refusal::Rate:
      std::snprintf(line, size,
                    "Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are "
                    "supported; this file is %u Hz.\n",
                    static_cast<unsigned>(p.sample_rate));
      return;
    case Refusal::Channels:
      std::snprintf(line, size, "Only 1 to %d channels are supported; this file has %u.\n",
                    MaxChannels, static_cast<unsigned>(p.channels));
      return;
    case Refusal::ChannelType:
      std::snprintf(line, size, "This DSF file's channel type %u does not fit its %u channel%s.\n",
                    static_cast<unsigned>(p.channel_type), static_cast<unsigned>(p.channels),
                    p.channels == 1 ? "" : "s");
      return;
    case Refusal::ChannelIds:
      std::snprintf(line, size, "This DSDIFF file counts %u channel%s but names %u.\n",
                    static_cast<unsigned>(p.channels), p.channels == 1 ? "" : "s",
                    static_cast<unsigned>(p.channel_ids));
      return;
    case Refusal::Disc:
      std::snprintf(line, size, "This disc image cannot be converted: %s.\n", p.reason.c_str());
      return;
    case Refusal::Compression:
    case Refusal::None:
      break;
  }
  char type[sizeof p.compression];
  for (size_t i = 0; i < sizeof type; ++i) {
    type[i] = std::isprint(static_cast<unsigned char>(p.compression[i])) ? p.compression[i] : '?';
  }
  type[sizeof type - 1] = '\0';
  std::snprintf(line, size,
                "Only DSD and DST sound data are supported; this file's compression is \"%s\".\n",
                type);
}

const char* LayoutName(const Speaker* speakers, int channels) {
  struct Named {
    uint32_t mask;
    int channels;
    const char* name;
  };
  static constexpr Named layouts[] = {
      {FrontCenter, 1, "mono"},
      {FrontLeft | FrontRight, 2, "stereo"},
      {FrontLeft | FrontRight | FrontCenter, 3, "3.0"},
      {FrontLeft | FrontRight | BackLeft | BackRight, 4, "quad"},
      {FrontLeft | FrontRight | FrontCenter | LowFrequency, 4, "3.1"},
      {FrontLeft | FrontRight | FrontCenter | BackLeft | BackRight, 5, "5.0"},
      {FrontLeft | FrontRight | FrontCenter | LowFrequency | BackLeft | BackRight, 6, "5.1"},
  };
  const uint32_t mask = ChannelMask(speakers, channels);
  for (const Named& layout : layouts) {
    if (layout.mask == mask && layout.channels == channels) return layout.name;
  }
  return nullptr;
}

const char UsageText[] =
    "Usage: dff2wav [OPTIONS] IN OUT\n"
    "       dff2wav [OPTIONS] IN... OUTDIR\n"
    "       dff2wav --list|--json IN\n"
    "\n"
    "Converts one-bit DSD audio into a PCM WAV or FLAC file, or an album in one\n"
    "file into one file per track.\n"
    "\n"
    "  IN   a DSDIFF (.dff) or DSF (.dsf) file, or an SACD disc image (.iso),\n"
    "       recognised by its content: 1 to 6 channels (mono to 5.1),\n"
    "       uncompressed or DST, DSD64 to DSD512 (2,822,400 or 3,072,000 Hz\n"
    "       times 1, 2, 4 or 8)\n"
    "  OUT  the file to write: FLAC when it ends in .flac, WAV otherwise; -\n"
    "       writes to standard output. A directory (existing, or ending in /)\n"
    "       receives one file per track. By default at the DSD rate / 32\n"
    "       (88,200 Hz for DSD64)\n"
    "\n"
    "  -f, --format wav|flac   the output's format, whatever OUT's name\n"
    "  --compression 0..8      FLAC's compression level (default 5)\n"
    "  --no-tags               no tags: by default the input's ID3v2 tag (and a\n"
    "                          DSDIFF file's DIIN artist and title) go into FLAC\n"
    "                          comments and pictures, or the WAV's INFO and id3\n"
    "  --gain DB|auto          gain in dB, -40 to +20 (default 0); auto lowers\n"
    "                          the level just enough that no peak saturates\n"
    "  --bits 16|24|32         16-bit with TPDF dither, 24-bit (default), or\n"
    "                          32-bit float with full scale 1.0 (WAV only)\n"
    "  --no-dither             16-bit samples rounded instead of dithered\n"
    "  --rate HZ               output rate: 44100, 48000, 88200, 96000, 176400,\n"
    "                          192000, 352800, 384000, 705600 or 768000\n"
    "  --replaygain            write the track's ReplayGain gain and peak (and\n"
    "                          the album's, when the run splits)\n"
    "\n"
    "Tracks: a disc image's track list, a DSDIFF edited master's markers, else\n"
    "a cue sheet beside IN with its base name (album.dsf: album.cue), else the\n"
    "whole sound as one track.\n"
    "  --split                 one file per track into the directory OUT\n"
    "  --tracks LIST           only these tracks (3, or 1,4-6); implies --split\n"
    "  --name TEMPLATE         each file's name without its ending: %n the\n"
    "                          track's number (two digits), %t its title, %p its\n"
    "                          performer, %a the album, %% a percent sign\n"
    "                          (default \"%n - %t\", or \"%n\" without a title)\n"
    "  --cue FILE              the tracks of this cue sheet, taken as given\n"
    "  --list                  print the album and its tracks, write nothing\n"
    "  --json                  the same as one JSON document\n"
    "  --area stereo|multichannel  which area of a disc image (default: the\n"
    "                          stereo one when the disc has one)\n"
    "\n"
    "Many files: more than one IN, or an IN that is a folder (walked for .dsf,\n"
    ".dff and .iso files), are mirrored into OUTDIR; an album in one file\n"
    "becomes a folder of its tracks, and cover, folder and front pictures are\n"
    "copied. Outputs appear only when complete (as .NAME.part until then).\n"
    "  -j, --jobs N            files at once (default: one per core)\n"
    "  --overwrite             convert again what a run before completed\n"
    "  --quiet                 only failures, warnings and the summary\n"
    "  --print-commands        print a shell command per output, convert nothing\n"
    "\n"
    "  -h, --help              print this text\n"
    "  --version               print the version\n"
    "  --                      every argument after it is a file name\n"
    "\n"
    "A stereo input converted to WAV with no options runs in the original form:\n"
    "it leaves each channel's one-bit sound in dsdl.tmp and dsdr.tmp in the\n"
    "working directory, and prints the sizes it derived, a number for each\n"
    "division of about 95 s of DSD64 sound, and a closing message in Shift-JIS\n"
    "(pipe it through iconv -f SHIFT_JIS on a UTF-8 terminal) on standard\n"
    "output, or on standard error when the WAV goes to standard output. Every\n"
    "other run writes a WAVE_FORMAT_EXTENSIBLE WAV (or FLAC) with the channel\n"
    "mask, no channel files, and one summary line on standard error. Exit\n"
    "status: 0 after a complete run, 1 after a failure or when sound was left\n"
    "out.\n"
    "\n"
    "Tracks are cut from one conversion of the whole sound: put together they\n"
    "are the frames of the one-file run, byte for byte; a pause belongs to the\n"
    "track before it. Names made from tags stay inside OUT.\n"
    "\n"
    "Full scale is SACD's 0 dB; a master may peak up to about 3 dB above it.\n"
    "When samples saturate, one line on standard error says how many, the\n"
    "peak, and the --gain that would keep every peak.\n"
    "\n"
    "Examples: dff2wav track.dsf track.flac\n"
    "          dff2wav --format flac in.dff - > out.flac\n"
    "          dff2wav --rate 44100 --bits 16 --replaygain track.dsf track.flac\n"
    "          dff2wav --bits 32 hot-master.dff hot-master.wav\n"
    "          dff2wav -f flac album.dff album/     # one FLAC file per track\n"
    "          dff2wav --list album.dsf             # the tracks of album.cue\n"
    "          dff2wav --area multichannel -f flac album.iso album/\n"
    "          dff2wav -f flac --rate 44100 --bits 16 Music/ Music-flac/\n"
    "See dff2wav(1).\n";

const char ShortUsage[] = "usage: dff2wav IN OUT (dff2wav --help tells more)\n";
