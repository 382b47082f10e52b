// dff-tone: writes a DSD file of 1 to 6 channels, DSDIFF or DSF, holding a
// test signal, for checking the converter end to end. Each channel is produced by
// its own fifth-order one-bit sigma-delta modulator (error-feedback form, so
// the signal passes with a gain of exactly 1 and the noise is shaped by the
// NTF below). Levels are in dB relative to the converter's 24-bit full scale:
// 0 dB is a modulator input amplitude of 0.5, a bit-density swing of 25 %
// about one half. The output depends only on the options, and the samples
// only on the signal, the duration and the rate: a DSDIFF and a DSF file
// written with the same ones hold the same samples.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dsdiff/dsdiff_ids.h"
#include "tools/tool_options.h"

namespace {

// ---- DSDIFF layout ------------------------------------------------------

constexpr uint32_t FormatVersion = 0x01050000;        // version 1.5.0.0
constexpr char CompressionName[] = "not compressed";  // the name "CMPR" gives plain sound

constexpr int IdBytes = 4;            // every chunk id and type is 4 bytes
constexpr int SizeFieldBytes = 8;     // chunk sizes are 64-bit big-endian
constexpr int ChannelCountBytes = 2;  // "CHNL": big-endian count before the ids
constexpr int MaxChannels = 6;

// The layout written for each channel count: the DSF channel type and the
// DSDIFF channel ids, which name the same speakers in the same order: C;
// FL FR; FL FR C; FL FR BL BR; FL FR C BL BR; FL FR C LFE BL BR.
struct Layout {
  uint32_t dsf_type;
  const char* ids[MaxChannels];
};
constexpr Layout Layouts[MaxChannels] = {
    {1, {"C   "}},
    {2, {"SLFT", "SRGT"}},
    {3, {"MLFT", "MRGT", "C   "}},
    {4, {"MLFT", "MRGT", "LS  ", "RS  "}},
    {6, {"MLFT", "MRGT", "C   ", "LS  ", "RS  "}},
    {7, {"MLFT", "MRGT", "C   ", "LFE ", "LS  ", "RS  "}},
};

// ---- DSF layout (all numbers little-endian) -------------------------------

constexpr char DsfFileId[] = "DSD ";          // first chunk: sizes of the file
constexpr uint64_t DsfFileChunkBytes = 28;    // id, its size, file size, metadata offset
constexpr uint64_t DsfNoMetadata = 0;         // metadata offset when no ID3v2 tag follows
constexpr char DsfFormatId[] = "fmt ";        // second chunk: the sound's format
constexpr uint64_t DsfFormatChunkBytes = 52;  // id and size (12), then 40 bytes of fields
constexpr uint32_t DsfFormatVersion = 1;      // the only version
constexpr uint32_t DsfRawDsd = 0;             // format id: uncompressed one-bit samples
constexpr uint32_t DsfLsbFirst = 1;           // bits per sample 1: earliest sample in the LSB
constexpr uint32_t DsfMsbFirst = 8;           // bits per sample 8: earliest sample in the MSB
constexpr uint32_t DsfBlockBytes = 4096;      // per channel: blocks alternate left, right
constexpr uint32_t DsfReserved = 0;           // the format chunk's last 4 bytes
constexpr char DsfDataId[] = "data";          // third chunk: the blocks
constexpr uint64_t DsfDataHeadBytes = 12;     // id and size, which counts them too
constexpr uint8_t DsfPadByte = 0;             // fills each channel's last block
constexpr int DsfLongBytes = 8;  // chunk sizes, file size, metadata offset, sample count
constexpr int DsfWordBytes = 4;  // every other field of the format chunk

// ---- Sample rates -----------------------------------------------------------

// A rate is a base rate times a multiple.
constexpr uint32_t BaseRates[] = {2822400, 3072000};  // 64 x 44,100 Hz, 64 x 48,000 Hz
constexpr uint32_t RateMultiples[] = {1, 2, 4, 8};    // DSD64, DSD128, DSD256, DSD512
constexpr uint32_t DefaultRate = 2822400;             // DSD64

constexpr int SamplesPerByte = 8;      // earliest sample in the top bit
constexpr int GroupSamples = 32;       // samples per channel in one group
constexpr int ChannelGroupBytes = 4;   // one channel's bytes of a group; DSDIFF interleaves them
constexpr uint8_t SilenceByte = 0xAA;  // alternating bits 1010..., earliest 1

// ---- Modulator ----------------------------------------------------------

constexpr int NtfOrder = 5;
// NTF(z) = N(1/z) / D(1/z), coefficients of powers of 1/z from 0 to 5. Zeros
// on the unit circle spread over 0..22,050 Hz, poles of a Butterworth
// high-pass giving a peak NTF gain of 1.4. Printed by
// /usr/bin/python3 tests/quality/design_ntf.py. In-band (0..20 kHz) noise
// measured on the bit stream: about 111 dB below the 0 dB level.
constexpr double NtfNumerator[NtfOrder + 1] = {
    1, -4.997323065366885, 9.9919705781813732, -9.9919705781813732, 4.997323065366885, -1};
constexpr double NtfDenominator[NtfOrder + 1] = {
    1,
    -4.3275686707267784,
    7.5308394187748915,
    -6.5836927070936664,
    2.8902257588244611,
    -0.50952150665142326,
};

// The largest input amplitude the loop is allowed. Sines from 1 Hz to 100 kHz,
// sweeps and clicks stay stable up to 0.66 (the quantiser input never
// exceeds 3); slow inputs run away at 0.68. tests/quality checks this level.
constexpr double MaxAmplitude = 0.6;
constexpr double FullScaleAmplitude = 0.5;  // 0 dB: 24-bit full scale
// A stable loop keeps its quantiser input within a few units; far beyond this
// it has run away, and the output would be garbage.
constexpr double RunawayBound = 16.0;

constexpr double MaxFrequency = 100000.0;  // highest tone or sweep frequency, Hz
constexpr double MinFrequency = 1.0;
constexpr double MaxDuration = 3600.0;  // seconds
constexpr int ClickSamples = 32;        // length of a click's input pulse

constexpr int ExitWriteFailure = 1;
constexpr int ExitUsage = ToolExitUsage;  // bad options or a level refused

enum class SignalKind { Silence, Zero, Sine, Sweep, Click };

struct Signal {
  SignalKind kind = SignalKind::Silence;
  double frequency = 0;      // sine; sweep start
  double end_frequency = 0;  // sweep end
  double time = 0;           // click start, seconds
  double amplitude = 0;      // modulator input amplitude
};

enum class Container { Dsdiff, Dsf };

struct Options {
  double duration = 1.0;
  uint32_t rate = DefaultRate;  // samples per second per channel
  Container container = Container::Dsdiff;
  bool lsb_first = false;  // DSF only: bits per sample 1 instead of 8
  int channels = 2;
  Signal channel[MaxChannels];
  std::string path;
};

struct Modulator {
  double state[NtfOrder] = {};  // transposed direct form of NTF - 1
  bool runaway = false;
};

// ---- Options ------------------------------------------------------------

const char HelpText[] =
    "Usage: dff-tone [OPTIONS] OUT.dff|OUT.dsf\n"
    "Writes a DSD test signal of 1 to 6 channels as a DSDIFF or a DSF file.\n"
    "\n"
    "Options:\n"
    "  --duration SEC    length in seconds (default 1), rounded up to whole\n"
    "                    32-sample groups\n"
    "  --channels N      1 to 6 channels (default 2): C; FL FR; FL FR C;\n"
    "                    FL FR BL BR; FL FR C BL BR; FL FR C LFE BL BR\n"
    "  --left SIGNAL     signal on the first channel (default silence)\n"
    "  --right SIGNAL    signal on the second channel (default silence)\n"
    "  --channel K:SIGNAL  signal on channel K, 1 to N (default silence)\n"
    "  --rate N          samples per second: 2822400 or 3072000 times 1, 2, 4\n"
    "                    or 8 (DSD64 .. DSD512; default 2822400)\n"
    "  --format dff|dsf  container (default dsf when OUT ends in .dsf, else dff);\n"
    "                    both hold the same samples for the same options\n"
    "  --lsb-first       DSF only: earliest sample in each byte's lowest bit\n"
    "                    (bits per sample 1); default highest bit (8)\n"
    "  --help            this text\n"
    "\n"
    "SIGNAL is one of:\n"
    "  sine:FREQ:LEVEL          sine of FREQ Hz, phase 0 at the first sample\n"
    "  sweep:FROM:TO:LEVEL      logarithmic sweep from FROM to TO Hz over the\n"
    "                           whole duration, phase 0 at the first sample\n"
    "  click:TIME:LEVEL         zero input except a 32-sample pulse at LEVEL\n"
    "                           starting at TIME seconds (rounded to a sample)\n"
    "  zero                     the modulator running with zero input\n"
    "  silence                  alternating bits 1010... (no modulator), which\n"
    "                           the converter turns into exact zeros\n"
    "Frequencies are 1 .. 100000 Hz. The modulator runs at the chosen rate;\n"
    "its noise shaping was designed for DSD64, so at higher rates the noise\n"
    "lies further above the audio band.\n"
    "\n"
    "LEVEL is in dB relative to the converter's 24-bit full scale: 0 dB is a\n"
    "modulator input amplitude of 0.5, i.e. the density of one bits swings\n"
    "between 25 % and 75 %. The converter's gain is slightly above 1 (up to\n"
    "+0.024 dB in its passband), so a 0 dB sine already touches its rails;\n"
    "-0.1 dB and below come out unclipped. The highest level accepted is\n"
    "+1.58 dB (amplitude 0.6), where the fifth-order modulator is still stable.\n"
    "\n"
    "Exit status: 0 written, 1 write failure, 2 bad options or level refused.\n";

bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return fields;
    start = colon + 1;
  }
}

bool FrequencyInRange(double f) { return f >= MinFrequency && f <= MaxFrequency; }

bool RateAllowed(double rate) {
  for (const uint32_t base : BaseRates) {
    for (const uint32_t multiple : RateMultiples) {
      if (rate == static_cast<double>(base) * multiple) return true;
    }
  }
  return false;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Reads LEVEL into a modulator amplitude; refuses levels above the stable
// range. Returns an error message, empty on success.
std::string ParseLevel(const std::string& text, double* amplitude) {
  double level_db = 0;
  if (!ParseNumber(text, &level_db)) return "level '" + text + "' is not a number";
  const double a = FullScaleAmplitude * std::pow(10.0, level_db / 20.0);
  if (a > MaxAmplitude) {
    return "level " + text + " dB (amplitude " + std::to_string(a) +
           ") is above the modulator's stable range; the highest is " +
           std::to_string(20.0 * std::log10(MaxAmplitude / FullScaleAmplitude)) + " dB";
  }
  *amplitude = a;
  return "";
}

std::string ParseSignal(const std::string& text, double duration, Signal* signal) {
  const std::vector<std::string> f = SplitFields(text);
  const std::string& kind = f[0];
  if (kind == "silence" && f.size() == 1) {
    signal->kind = SignalKind::Silence;
    return "";
  }
  if (kind == "zero" && f.size() == 1) {
    signal->kind = SignalKind::Zero;
    return "";
  }
  if (kind == "sine" && f.size() == 3) {
    signal->kind = SignalKind::Sine;
    if (!ParseNumber(f[1], &signal->frequency) || !FrequencyInRange(signal->frequency))
      return "sine frequency '" + f[1] + "' is not in 1 .. 100000 Hz";
    return ParseLevel(f[2], &signal->amplitude);
  }
  if (kind == "sweep" && f.size() == 4) {
    signal->kind = SignalKind::Sweep;
    if (!ParseNumber(f[1], &signal->frequency) || !FrequencyInRange(signal->frequency) ||
        !ParseNumber(f[2], &signal->end_frequency) || !FrequencyInRange(signal->end_frequency))
      return "sweep frequencies '" + f[1] + "', '" + f[2] + "' are not in 1 .. 100000 Hz";
    if (signal->frequency == signal->end_frequency)
      return "a sweep needs two different frequencies (use sine for one)";
    return ParseLevel(f[3], &signal->amplitude);
  }
  if (kind == "click" && f.size() == 3) {
    signal->kind = SignalKind::Click;
    if (!ParseNumber(f[1], &signal->time) || signal->time < 0 || signal->time >= duration)
      return "click time '" + f[1] + "' is not within the duration";
    return ParseLevel(f[2], &signal->amplitude);
  }
  return "signal '" + text +
         "' is not sine:FREQ:LEVEL, sweep:FROM:TO:LEVEL, "
         "click:TIME:LEVEL, zero or silence";
}

// Fills `options`; returns an error message, empty on success. "--help" is
// reported as the message "help".
std::string ParseOptions(int argc, char** argv, Options* options) {
  std::string signal_text[MaxChannels];
  for (std::string& text : signal_text) text = "silence";
  std::string format;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ToolHelpAnswer;
    const bool takes_value = arg == "--duration" || arg == "--left" || arg == "--right" ||
                             arg == "--rate" || arg == "--format" || arg == "--channels" ||
                             arg == "--channel";
    if (takes_value) {
      if (i + 1 >= argc) return "option " + arg + " needs a value";
      const std::string value = argv[++i];
      if (arg == "--duration") {
        if (!ParseNumber(value, &options->duration) || options->duration <= 0 ||
            options->duration > MaxDuration)
          return "duration '" + value + "' is not in (0, 3600] seconds";
      } else if (arg == "--rate") {
        double rate = 0;
        if (!ParseNumber(value, &rate) || !RateAllowed(rate))
          return "rate '" + value + "' is not 2822400 or 3072000 times 1, 2, 4 or 8";
        options->rate = static_cast<uint32_t>(rate);
      } else if (arg == "--format") {
        if (value != "dff" && value != "dsf") return "format '" + value + "' is not dff or dsf";
        format = value;
      } else if (arg == "--channels") {
        double channels = 0;
        if (!ParseNumber(value, &channels) || channels < 1 || channels > MaxChannels ||
            channels != std::floor(channels))
          return "channels '" + value + "' is not 1 .. 6";
        options->channels = static_cast<int>(channels);
      } else if (arg == "--channel") {
        const size_t colon = value.find(':');
        double k = 0;
        if (colon == std::string::npos || !ParseNumber(value.substr(0, colon), &k) || k < 1 ||
            k > MaxChannels || k != std::floor(k))
          return "channel '" + value + "' is not K:SIGNAL with K in 1 .. 6";
        signal_text[static_cast<int>(k) - 1] = value.substr(colon + 1);
      } else {
        signal_text[arg == "--left" ? 0 : 1] = value;
      }
    } else if (arg == "--lsb-first") {
      options->lsb_first = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (options->path.empty()) {
      options->path = arg;
    } else {
      return "more than one output file given";
    }
  }
  if (options->path.empty()) return "no output file given";
  if (format.empty()) format = EndsWith(options->path, ".dsf") ? "dsf" : "dff";
  options->container = format == "dsf" ? Container::Dsf : Container::Dsdiff;
  if (options->lsb_first && options->container != Container::Dsf)
    return "--lsb-first applies to DSF only (DSDIFF puts the earliest sample in the highest bit)";
  for (int c = 0; c < MaxChannels; ++c) {
    if (c >= options->channels && signal_text[c] != "silence") {
      return "channel " + std::to_string(c + 1) + " is beyond --channels";
    }
    const std::string error = ParseSignal(signal_text[c], options->duration, &options->channel[c]);
    if (!error.empty()) return "channel " + std::to_string(c + 1) + ": " + error;
  }
  return "";
}

// ---- Signal and modulator -------------------------------------------------

// The modulator input at sample k of a channel of `samples` samples at
// `sample_rate` samples per second.
double InputSample(const Signal& s, uint64_t k, uint64_t samples, uint32_t sample_rate) {
  const double pi = 3.14159265358979323846;
  switch (s.kind) {
    case SignalKind::Sine: {
      // Reduce the cycle count before the sine: exact for integer k * f.
      const double cycles = static_cast<double>(k) * s.frequency / sample_rate;
      return s.amplitude * std::sin(2 * pi * (cycles - std::floor(cycles)));
    }
    case SignalKind::Sweep: {
      // Phase of a sweep whose frequency grows by exp(rate * t).
      const double length = static_cast<double>(samples) / sample_rate;
      const double rate = std::log(s.end_frequency / s.frequency) / length;
      const double t = static_cast<double>(k) / sample_rate;
      const double cycles = s.frequency / rate * std::expm1(rate * t);
      return s.amplitude * std::sin(2 * pi * (cycles - std::floor(cycles)));
    }
    case SignalKind::Click: {
      const uint64_t start = static_cast<uint64_t>(std::llround(s.time * sample_rate));
      return k >= start && k < start + ClickSamples ? s.amplitude : 0.0;
    }
    case SignalKind::Zero:
    case SignalKind::Silence:
      break;
  }
  return 0.0;
}

// One step of the error-feedback loop: v = u + (NTF - 1) e, bit = v >= 0,
// e = (bit ? +1 : -1) - v, so the bit stream is u + NTF e.
bool ModulatorStep(Modulator* m, double u) {
  const double w = m->state[0];
  const double v = u + w;
  const bool bit = v >= 0;
  const double e = (bit ? 1.0 : -1.0) - v;
  for (int i = 0; i + 1 < NtfOrder; ++i) {
    m->state[i] = m->state[i + 1] + (NtfNumerator[i + 1] - NtfDenominator[i + 1]) * e -
                  NtfDenominator[i + 1] * w;
  }
  m->state[NtfOrder - 1] =
      (NtfNumerator[NtfOrder] - NtfDenominator[NtfOrder]) * e - NtfDenominator[NtfOrder] * w;
  if (!(std::fabs(v) < RunawayBound)) m->runaway = true;
  return bit;
}

// Fills `bytes` (ChannelGroupBytes per group) with one channel's bits for
// groups [first_group, first_group + groups), earliest sample in the top bit.
void ChannelBytes(const Signal& s, Modulator* m, uint64_t first_group, uint64_t groups,
                  uint64_t total_samples, uint32_t sample_rate, uint8_t* bytes) {
  const uint64_t count = groups * ChannelGroupBytes;
  if (s.kind == SignalKind::Silence) {
    std::memset(bytes, SilenceByte, count);
    return;
  }
  uint64_t k = first_group * GroupSamples;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t byte = 0;
    for (int b = 0; b < SamplesPerByte; ++b, ++k) {
      byte = static_cast<uint8_t>(byte << 1 |
                                  ModulatorStep(m, InputSample(s, k, total_samples, sample_rate)));
    }
    bytes[i] = byte;
  }
}

// ---- Writing --------------------------------------------------------------

void PutId(std::vector<uint8_t>* out, const char* id) { out->insert(out->end(), id, id + IdBytes); }

void PutBigEndian(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutLittleEndian(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Appends a complete chunk; odd-length data is followed by a pad byte that
// its size does not count.
void PutChunk(std::vector<uint8_t>* out, const char* id, const std::vector<uint8_t>& data) {
  PutId(out, id);
  PutBigEndian(out, data.size(), SizeFieldBytes);
  out->insert(out->end(), data.begin(), data.end());
  if (data.size() % 2 != 0) out->push_back(0);
}

// Everything before the sound data of a DSDIFF file: the container header,
// FVER, PROP and the header of the "DSD " chunk, with sizes for `groups`
// groups of sound data.
std::vector<uint8_t> DsdiffHeader(uint64_t groups, uint32_t sample_rate, int channel_count) {
  std::vector<uint8_t> version;
  PutBigEndian(&version, FormatVersion, sizeof FormatVersion);

  std::vector<uint8_t> rate;
  PutBigEndian(&rate, sample_rate, sizeof sample_rate);

  std::vector<uint8_t> channels;
  PutBigEndian(&channels, channel_count, ChannelCountBytes);
  for (int c = 0; c < channel_count; ++c) PutId(&channels, Layouts[channel_count - 1].ids[c]);

  // The name is a counted string padded to an even length (count byte
  // included); the pad belongs to the string, so the size counts it.
  std::vector<uint8_t> compression;
  PutId(&compression, DSD_TYPE);
  const size_t name_length = std::strlen(CompressionName);
  compression.push_back(static_cast<uint8_t>(name_length));
  compression.insert(compression.end(), CompressionName, CompressionName + name_length);
  if ((1 + name_length) % 2 != 0) compression.push_back(0);

  std::vector<uint8_t> property;
  PutId(&property, SND_TYPE);
  PutChunk(&property, FS_ID, rate);
  PutChunk(&property, CHNL_ID, channels);
  PutChunk(&property, CMPR_ID, compression);

  std::vector<uint8_t> body;  // the container's data up to the sound data
  PutId(&body, DSD_FORM);
  PutChunk(&body, FVER_ID, version);
  PutChunk(&body, PROP_ID, property);
  const uint64_t sound_bytes = groups * ChannelGroupBytes * channel_count;  // even: no pad
  PutId(&body, DSD_ID);
  PutBigEndian(&body, sound_bytes, SizeFieldBytes);

  std::vector<uint8_t> header;
  PutId(&header, FRM8_ID);
  PutBigEndian(&header, body.size() + sound_bytes, SizeFieldBytes);
  header.insert(header.end(), body.begin(), body.end());
  return header;
}

// Blocks per channel that `groups` groups fill, the last one partly.
uint64_t DsfBlocks(uint64_t groups) {
  return (groups * ChannelGroupBytes + DsfBlockBytes - 1) / DsfBlockBytes;
}

// Everything before the blocks of a DSF file of `groups` groups per channel.
std::vector<uint8_t> DsfHeader(uint64_t groups, uint32_t rate, bool lsb_first, int channels) {
  const uint64_t data_bytes = DsfBlocks(groups) * DsfBlockBytes * channels;
  const uint64_t file_bytes =
      DsfFileChunkBytes + DsfFormatChunkBytes + DsfDataHeadBytes + data_bytes;
  std::vector<uint8_t> header;
  PutId(&header, DsfFileId);
  PutLittleEndian(&header, DsfFileChunkBytes, DsfLongBytes);
  PutLittleEndian(&header, file_bytes, DsfLongBytes);
  PutLittleEndian(&header, DsfNoMetadata, DsfLongBytes);

  PutId(&header, DsfFormatId);
  PutLittleEndian(&header, DsfFormatChunkBytes, DsfLongBytes);
  PutLittleEndian(&header, DsfFormatVersion, DsfWordBytes);
  PutLittleEndian(&header, DsfRawDsd, DsfWordBytes);
  PutLittleEndian(&header, Layouts[channels - 1].dsf_type, DsfWordBytes);
  PutLittleEndian(&header, channels, DsfWordBytes);
  PutLittleEndian(&header, rate, DsfWordBytes);
  PutLittleEndian(&header, lsb_first ? DsfLsbFirst : DsfMsbFirst, DsfWordBytes);
  PutLittleEndian(&header, groups * GroupSamples, DsfLongBytes);  // samples per channel
  PutLittleEndian(&header, DsfBlockBytes, DsfWordBytes);
  PutLittleEndian(&header, DsfReserved, DsfWordBytes);

  PutId(&header, DsfDataId);
  PutLittleEndian(&header, DsfDataHeadBytes + data_bytes, DsfLongBytes);
  return header;
}

// Moves the earliest sample from a byte's top bit to its lowest, for DSF's
// bits per sample 1.
uint8_t ReverseBits(uint8_t byte) {
  uint8_t reversed = 0;
  for (int b = 0; b < SamplesPerByte; ++b)
    reversed = static_cast<uint8_t>(reversed << 1 | (byte >> b & 1));
  return reversed;
}

bool WriteAll(std::FILE* file, const uint8_t* data, size_t size) {
  return std::fwrite(data, 1, size, file) == size;
}

enum class WriteResult { Done, IoFailure, Runaway };

// Generates and writes the file. The channels are produced one DSF block
// (StepGroups groups) at a time; DSDIFF interleaves their bytes, DSF writes
// the block of each channel in turn, padding the last ones.
WriteResult WriteFile(const Options& options, std::FILE* file) {
  const int channels = options.channels;
  const uint64_t groups =
      static_cast<uint64_t>(std::ceil(options.duration * options.rate / GroupSamples));
  const uint64_t samples = groups * GroupSamples;
  const bool dsf = options.container == Container::Dsf;
  const std::vector<uint8_t> header =
      dsf ? DsfHeader(groups, options.rate, options.lsb_first, channels)
          : DsdiffHeader(groups, options.rate, channels);
  if (!WriteAll(file, header.data(), header.size())) return WriteResult::IoFailure;

  constexpr uint64_t StepGroups = DsfBlockBytes / ChannelGroupBytes;
  Modulator modulator[MaxChannels];
  std::vector<uint8_t> channel_bytes[MaxChannels];
  std::vector<uint8_t> block(StepGroups * ChannelGroupBytes * channels);
  for (uint64_t first = 0; first < groups; first += StepGroups) {
    const uint64_t n = std::min(StepGroups, groups - first);
    const uint64_t bytes = n * ChannelGroupBytes;
    for (int c = 0; c < channels; ++c) {
      channel_bytes[c].assign(DsfBlockBytes, DsfPadByte);
      ChannelBytes(options.channel[c], &modulator[c], first, n, samples, options.rate,
                   channel_bytes[c].data());
      if (modulator[c].runaway) return WriteResult::Runaway;
    }
    if (dsf) {
      for (int c = 0; c < channels; ++c) {
        if (options.lsb_first) {
          for (uint64_t i = 0; i < bytes; ++i)
            channel_bytes[c][i] = ReverseBits(channel_bytes[c][i]);
        }
        if (!WriteAll(file, channel_bytes[c].data(), DsfBlockBytes)) return WriteResult::IoFailure;
      }
    } else {
      for (uint64_t i = 0; i < bytes; ++i) {
        for (int c = 0; c < channels; ++c) block[channels * i + c] = channel_bytes[c][i];
      }
      if (!WriteAll(file, block.data(), bytes * channels)) return WriteResult::IoFailure;
    }
  }
  return WriteResult::Done;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int answered = AnswerToOptions("dff-tone", HelpText, ParseOptions(argc, argv, &options));
  if (answered >= 0) return answered;
  std::FILE* file = std::fopen(options.path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "dff-tone: cannot create %s: %s\n", options.path.c_str(),
                 std::strerror(errno));
    return ExitWriteFailure;
  }
  const WriteResult result = WriteFile(options, file);
  const bool closed = std::fclose(file) == 0;
  if (result == WriteResult::Done && closed) return 0;
  // Leave no half-written file behind, but never remove what is not a plain
  // file (the output may be a device such as /dev/full).
  struct stat info;
  if (stat(options.path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    std::remove(options.path.c_str());
  }
  if (result == WriteResult::Runaway) {
    std::fprintf(stderr, "dff-tone: the modulator ran away; lower the level\n");
    return ExitUsage;
  }
  std::fprintf(stderr, "dff-tone: writing %s failed\n", options.path.c_str());
  return ExitWriteFailure;
}
