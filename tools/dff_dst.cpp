// dff-dst: compresses the sound of an uncompressed DSD64 DSDIFF file (1 to 6
// channels) with DST, for testing readers of DST files. Every chunk but the
// sound and the compression type is copied as it stands; the "DSD " chunk
// becomes a "DST " chunk of "FRTE" and one "DSTF" chunk per 1/75 s frame, and
// "--index" adds a "DSTI" index after it. Each frame is decoded again with
// the dst module before it is written, so a file is only written whole and right.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsdiff/dsdiff_ids.h"
#include "dst/dst.h"
#include "tools/dst_encoder.h"
#include "tools/tool_options.h"

namespace {

// ---- DSDIFF layout ------------------------------------------------------

constexpr char DstName[] = "DST Encoded";  // the name "CMPR" gives DST
constexpr int IdBytes = 4;                 // every chunk id and type
constexpr int SizeBytes = 8;               // chunk sizes are 64-bit big-endian
constexpr int ChunkHeadBytes = IdBytes + SizeBytes;
constexpr int IndexOffsetBytes = 8;  // "DSTI" entry: file offset of the "DSTF" chunk
constexpr int IndexLengthBytes = 4;  // and the length of its frame
constexpr uint32_t Dsd64Rate = 2822400;
constexpr uint16_t FrameRate = 75;  // frames per second, as "FRTE" says

constexpr int ExitFailure = 1;

const char HelpText[] =
    "Usage: dff-dst [OPTIONS] IN.dff OUT.dff\n"
    "Compresses the sound of an uncompressed DSD64 DSDIFF file (1 to 6 channels)\n"
    "with DST. The other chunks are kept. A last frame that the sound does not\n"
    "fill is filled with the idle pattern 0x69: DST frames are all 1/75 s.\n"
    "\n"
    "Options (the arrangement of every arithmetic-coded frame):\n"
    "  --filters N          prediction filters per frame (default: one per\n"
    "                       channel and segment, at most 11)\n"
    "  --tables N           probability tables per frame (default: one per filter)\n"
    "  --segments N         filter segments per channel in time, 1 to 4 (default 1)\n"
    "  --table-segments N   probability table segments, 1 to 8 (default: those of\n"
    "                       the filters)\n"
    "  --channel-segments   segment each channel differently\n"
    "  --order N            filter order, 1 to 128 (default 64)\n"
    "  --coefficients best|plain|predicted\n"
    "                       how filters and tables are stored (default best)\n"
    "  --no-coef-prediction the same as --coefficients plain\n"
    "  --half-probability   code the first bits of each channel at probability 1/2\n"
    "  --plain-frames       store every frame plainly\n"
    "  --index              write a DSTI index after the sound\n"
    "  --help               this text\n"
    "\n"
    "Exit status: 0 written, 1 input refused or write failure, 2 bad options.\n";

struct Options {
  DstEncoderOptions encoder;
  bool index = false;
  std::string in, out;
};

// Fills `options`; returns an error message, empty on success, "help" for --help.
std::string ParseOptions(int argc, char** argv, Options* options) {
  DstEncoderOptions& e = options->encoder;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takes_value = arg == "--filters" || arg == "--tables" || arg == "--segments" ||
                             arg == "--table-segments" || arg == "--order" ||
                             arg == "--coefficients";
    if (takes_value && i + 1 >= argc) return "option " + arg + " needs a value";
    const char* value = takes_value ? argv[++i] : nullptr;
    if (arg == "--help" || arg == "-h") return ToolHelpAnswer;
    if (arg == "--filters" && !ParseWholeNumber(value, 1, DstMaxTables, &e.filters))
      return "--filters takes 1 to 12";
    if (arg == "--tables" && !ParseWholeNumber(value, 1, DstMaxTables, &e.tables))
      return "--tables takes 1 to 12";
    if (arg == "--segments" && !ParseWholeNumber(value, 1, 4, &e.segments))
      return "--segments takes 1 to 4";
    if (arg == "--table-segments" && !ParseWholeNumber(value, 1, 8, &e.table_segments))
      return "--table-segments takes 1 to 8";
    if (arg == "--order" && !ParseWholeNumber(value, 1, DstMaxOrder, &e.order))
      return "--order takes 1 to 128";
    if (arg == "--coefficients") {
      const std::string v = value;
      if (v == "best")
        e.coding = CoefficientCoding::Best;
      else if (v == "plain")
        e.coding = CoefficientCoding::Plain;
      else if (v == "predicted")
        e.coding = CoefficientCoding::Predicted;
      else
        return "--coefficients takes best, plain or predicted";
    }
    if (takes_value) continue;
    if (arg == "--no-coef-prediction")
      e.coding = CoefficientCoding::Plain;
    else if (arg == "--channel-segments")
      e.per_channel_segments = true;
    else if (arg == "--half-probability")
      e.half_probability = true;
    else if (arg == "--plain-frames")
      e.plain = true;
    else if (arg == "--index")
      options->index = true;
    else if (arg.size() > 1 && arg[0] == '-')
      return "unknown option " + arg;
    else
      files.push_back(arg);
  }
  if (files.size() != 2) return "give one input and one output file";
  options->in = files[0];
  options->out = files[1];
  return "";
}

// ---- Bytes ----------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

uint64_t BigEndianAt(const Bytes& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
  return v;
}

void PutBigEndian(Bytes* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutId(Bytes* out, const char* id) { out->insert(out->end(), id, id + IdBytes); }

bool IdIs(const Bytes& b, size_t at, const char* id) {
  return std::memcmp(b.data() + at, id, IdBytes) == 0;
}

// A whole chunk; odd data is followed by a pad byte its size does not count.
void PutChunk(Bytes* out, const char* id, const Bytes& data) {
  PutId(out, id);
  PutBigEndian(out, data.size(), SizeBytes);
  out->insert(out->end(), data.begin(), data.end());
  if (data.size() % 2 != 0) out->push_back(0);
}

// One chunk of a walk: where its data lies, and where the next chunk starts.
struct ChunkSpan {
  size_t head, data, size, next;
};

// The chunks in [begin, end); false when one claims more than is there.
bool Chunks(const Bytes& file, size_t begin, size_t end, std::vector<ChunkSpan>* chunks) {
  for (size_t at = begin; at < end;) {
    if (end - at < ChunkHeadBytes) return false;
    const uint64_t size = BigEndianAt(file, at + IdBytes, SizeBytes);
    if (size > end - at - ChunkHeadBytes) return false;
    const size_t data = at + ChunkHeadBytes;
    chunks->push_back({at, data, static_cast<size_t>(size), std::min(end, data + size + size % 2)});
    at = chunks->back().next;
  }
  return true;
}

// ---- The conversion -----------------------------------------------------------

struct Sound {
  uint32_t rate = 0;
  int channels = 0;
  bool uncompressed = false;
};

// The property chunk with "CMPR" saying DST; reads the rate, channels and compression.
bool RewriteProperties(const Bytes& file, const ChunkSpan& prop, Sound* sound, Bytes* out) {
  if (prop.size < IdBytes || !IdIs(file, prop.data, SND_TYPE)) return false;
  std::vector<ChunkSpan> local;
  if (!Chunks(file, prop.data + IdBytes, prop.data + prop.size, &local)) return false;
  Bytes body;
  PutId(&body, SND_TYPE);
  for (const ChunkSpan& c : local) {
    if (IdIs(file, c.head, FS_ID) && c.size >= 4) {
      sound->rate = static_cast<uint32_t>(BigEndianAt(file, c.data, 4));
    } else if (IdIs(file, c.head, CHNL_ID) && c.size >= 2) {
      sound->channels = static_cast<int>(BigEndianAt(file, c.data, 2));
    } else if (IdIs(file, c.head, CMPR_ID) && c.size >= IdBytes) {
      sound->uncompressed = IdIs(file, c.data, DSD_TYPE);
      Bytes compression;
      PutId(&compression, DST_TYPE);
      const size_t name_length = std::strlen(DstName);
      compression.push_back(static_cast<uint8_t>(name_length));
      compression.insert(compression.end(), DstName, DstName + name_length);
      if ((1 + name_length) % 2 != 0) compression.push_back(0);  // the name's own pad
      PutChunk(&body, CMPR_ID, compression);
      continue;
    }
    body.insert(body.end(), file.begin() + c.head, file.begin() + c.next);
  }
  PutChunk(out, PROP_ID, body);
  return true;
}

struct Tally {
  size_t frames = 0, coded = 0, sound_bytes = 0, frame_bytes = 0;
};

// The "DST " chunk for `bytes` of interleaved sound at `data`, appended to
// `out` (which starts at file offset `out_offset`); each frame's offset and
// length go to `index`.
bool WriteDstChunk(const uint8_t* data, size_t bytes, int channels, const Options& options,
                   size_t out_offset, Bytes* out, Bytes* index, Tally* tally) {
  const size_t channel_bytes = DstChannelBytes(Dsd64Rate);
  const size_t per_channel = bytes / channels;
  const size_t frames = (per_channel + channel_bytes - 1) / channel_bytes;
  Bytes body;
  Bytes info;
  PutBigEndian(&info, frames, 4);
  PutBigEndian(&info, FrameRate, 2);
  PutChunk(&body, FRTE_ID, info);
  std::vector<Bytes> frame(channels, Bytes(channel_bytes)), check = frame;
  std::vector<uint8_t*> check_out;
  std::vector<const uint8_t*> in;
  for (int c = 0; c < channels; ++c) {
    in.push_back(frame[c].data());
    check_out.push_back(check[c].data());
  }
  auto scratch = std::make_unique<DstScratch>();
  for (size_t f = 0; f < frames; ++f) {
    for (size_t i = 0; i < channel_bytes; ++i) {
      const size_t at = f * channel_bytes + i;
      for (int c = 0; c < channels; ++c)
        frame[c][i] = at < per_channel ? data[at * channels + c] : DstIdleByte;
    }
    const Bytes payload = EncodeDstFrame(in.data(), channels, channel_bytes, options.encoder);
    if (!DecodeDstFrame(payload.data(), payload.size(), channels, channel_bytes, check_out.data(),
                        scratch.get()) ||
        check != frame) {
      std::fprintf(stderr, "dff-dst: frame %zu does not decode to its sound\n", f);
      return false;
    }
    PutBigEndian(index, out_offset + ChunkHeadBytes + body.size(), IndexOffsetBytes);
    PutBigEndian(index, payload.size(), IndexLengthBytes);
    PutChunk(&body, DSTF_ID, payload);
    tally->coded += IsCodedFrame(payload);
    tally->frame_bytes += payload.size();
  }
  tally->frames = frames;
  tally->sound_bytes = bytes;
  PutChunk(out, DST_ID, body);
  return true;
}

// The whole output file, or an error message.
std::string Convert(const Bytes& file, const Options& options, Bytes* out, Tally* tally) {
  if (file.size() < ChunkHeadBytes + IdBytes || !IdIs(file, 0, FRM8_ID) ||
      !IdIs(file, ChunkHeadBytes, DSD_FORM))
    return "not a DSDIFF file";
  const size_t end = std::min<uint64_t>(file.size(), ChunkHeadBytes + BigEndianAt(file, 4, 8));
  std::vector<ChunkSpan> chunks;
  if (!Chunks(file, ChunkHeadBytes + IdBytes, end, &chunks)) return "a chunk runs past the file";
  Bytes body;
  PutId(&body, DSD_FORM);
  Sound sound;
  bool have_properties = false, have_sound = false;
  for (const ChunkSpan& c : chunks) {
    if (IdIs(file, c.head, PROP_ID)) {
      if (!RewriteProperties(file, c, &sound, &body)) return "the property chunk is malformed";
      have_properties = true;
    } else if (IdIs(file, c.head, DSD_ID)) {
      if (!have_properties) return "no property chunk before the sound";
      if (!sound.uncompressed) return "the sound is not uncompressed DSD";
      if (sound.rate != Dsd64Rate) return "only DSD64 (2822400 Hz) is taken";
      if (sound.channels < 1 || sound.channels > DstMaxChannels) return "only 1 to 6 channels";
      Bytes index;
      if (!WriteDstChunk(file.data() + c.data, c.size - c.size % sound.channels, sound.channels,
                         options, ChunkHeadBytes + body.size(), &body, &index, tally))
        return "encoding failed";
      if (options.index) PutChunk(&body, DSTI_ID, index);
      have_sound = true;
    } else {
      body.insert(body.end(), file.begin() + c.head, file.begin() + c.next);
    }
  }
  if (!have_sound) return "no DSD sound chunk";
  PutId(out, FRM8_ID);
  PutBigEndian(out, body.size(), SizeBytes);
  out->insert(out->end(), body.begin(), body.end());
  return "";
}

bool WriteFile(const std::string& path, const Bytes& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return (std::fclose(f) == 0) && written;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int answered = AnswerToOptions("dff-dst", HelpText, ParseOptions(argc, argv, &options));
  if (answered >= 0) return answered;
  Bytes in, out;
  if (!ReadWholeFile(options.in, &in)) {
    std::fprintf(stderr, "dff-dst: cannot read %s: %s\n", options.in.c_str(), std::strerror(errno));
    return ExitFailure;
  }
  Tally tally;
  const std::string refused = Convert(in, options, &out, &tally);
  if (!refused.empty()) {
    std::fprintf(stderr, "dff-dst: %s: %s\n", options.in.c_str(), refused.c_str());
    return ExitFailure;
  }
  if (!WriteFile(options.out, out)) {
    std::fprintf(stderr, "dff-dst: cannot write %s\n", options.out.c_str());
    return ExitFailure;
  }
  std::printf("%zu frames, %zu arithmetic-coded; sound %zu bytes, frames %zu bytes (%.3f)\n",
              tally.frames, tally.coded, tally.sound_bytes, tally.frame_bytes,
              tally.sound_bytes ? static_cast<double>(tally.frame_bytes) / tally.sound_bytes : 0.0);
  return 0;
}
