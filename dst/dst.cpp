// DST frame decoding: the frame header (segmentation, mapping, filters and
// probability tables), then one arithmetic-decoded bit per channel and sample.
#include "dst/dst.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "dst/dst_format.h"

namespace {

// ---- Frame layout ---------------------------------------------------------

using namespace dst_format;

// An arithmetic-coded frame may need a few zero bits past its end; needing more
// than this many means it was cut short.
constexpr size_t MaxOverrunBits = 64;
// The longest run of zeros a Rice code may start with: far beyond any 9-bit value.
constexpr int MaxRiceHigh = 1 << 16;

// Reads big-endian bit fields; past the end every bit is 0 and is counted.
struct BitReader {
  const uint8_t* data;
  size_t bits;
  size_t position = 0;

  uint32_t Bit() {
    const size_t at = position++;
    if (at >= bits) return 0;
    return data[at >> 3] >> (7 - (at & 7)) & 1;
  }
  uint32_t Field(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 1 | Bit();
    return value;
  }
  int Signed(int count) {
    const uint32_t value = Field(count);
    return static_cast<int>(value) - static_cast<int>(value >> (count - 1) << count);
  }
  bool Overrun(size_t allowed) const { return position > bits + allowed; }
};

// Where each channel's segments end, in samples from the start of the frame.
struct Segmentation {
  int count[DstMaxChannels];
  int end[DstMaxChannels][MaxTableSegments];
};

// Reads the segment lengths of one kind (filters or tables). A length is in
// units of `resolution` bytes, read once on the first length; the last segment
// of a channel runs to the end of the frame.
bool ReadSegmentation(BitReader* in, int channels, int frame_bytes, int max_segments, int min_bits,
                      Segmentation* s) {
  const bool same_for_all = in->Bit();
  const int size_limit = frame_bytes - min_bits / 8;
  int resolution = 0;
  const int channels_read = same_for_all ? 1 : channels;
  for (int c = 0; c < channels_read; ++c) {
    int defined_bits = 0;
    int max_size = size_limit;
    int count = 0;
    while (!in->Bit()) {
      if (count + 1 >= max_segments) return false;
      if (resolution == 0) {
        resolution = static_cast<int>(in->Field(DstFieldBits(size_limit)));
        if (resolution == 0 || resolution > size_limit) return false;
      }
      const int length = static_cast<int>(in->Field(DstFieldBits(max_size / resolution)));
      const int length_bits = resolution * 8 * length;
      if (length_bits < min_bits || length_bits > frame_bytes * 8 - defined_bits - min_bits)
        return false;
      defined_bits += length_bits;
      max_size -= resolution * length;
      s->end[c][count++] = defined_bits;
    }
    s->end[c][count] = frame_bytes * 8;
    s->count[c] = count + 1;
  }
  for (int c = channels_read; c < channels; ++c) {
    s->count[c] = s->count[0];
    std::memcpy(s->end[c], s->end[0], sizeof s->end[0]);
  }
  return true;
}

// Reads which filter (or table) each segment of each channel uses. Numbers
// appear in order: each is an earlier one or the next new one.
bool ReadMapping(BitReader* in, int channels, const Segmentation& s, int max_tables,
                 int map[DstMaxChannels][MaxTableSegments], int* tables) {
  const bool same_for_all = in->Bit();
  int count = 0;
  for (int c = 0; c < channels; ++c) {
    if (same_for_all && c > 0) {
      if (s.count[c] != s.count[0]) return false;
      std::memcpy(map[c], map[0], sizeof map[0]);
      continue;
    }
    for (int segment = 0; segment < s.count[c]; ++segment) {
      const int value = static_cast<int>(in->Field(DstFieldBits(count)));
      if (value > count) return false;
      if (value == count && ++count > max_tables) return false;
      map[c][segment] = value;
    }
  }
  *tables = count;
  return true;
}

// A Rice code: zeros ending in a one count the high part, `low_bits` bits
// follow, then a sign bit (1: negative) unless the value is 0.
bool ReadRice(BitReader* in, int low_bits, int* value) {
  int high = 0;
  while (!in->Bit()) {
    if (in->Overrun(0) || ++high > MaxRiceHigh) return false;
  }
  int magnitude = high << low_bits | static_cast<int>(in->Field(low_bits));
  if (magnitude != 0 && in->Bit()) magnitude = -magnitude;
  *value = magnitude;
  return true;
}

// Reads `length` values: plainly (`plain` reads one), or the first method + 1
// plainly and each later one as a Rice-coded difference from its prediction
// out of the values before it. Values outside [low, high] are refused.
template <typename ReadPlain>
bool ReadValues(BitReader* in, int length, const int prediction[Methods][Methods], int low,
                int high, ReadPlain plain, int* values) {
  if (!in->Bit()) {
    for (int i = 0; i < length; ++i) values[i] = plain();
    return true;
  }
  const int method = static_cast<int>(in->Field(MethodBits));
  if (method >= Methods) return false;
  const int order = method + 1;
  for (int i = 0; i < order; ++i) {
    const int v = plain();
    if (i < length) values[i] = v;
  }
  const int low_bits = static_cast<int>(in->Field(RiceParameterBits));
  for (int i = order; i < length; ++i) {
    int x = 0;
    for (int k = 0; k < order; ++k) x += prediction[method][k] * values[i - k - 1];
    int v = 0;
    if (!ReadRice(in, low_bits, &v)) return false;
    v = x >= 0 ? v - (x + 4) / 8 : v + (-x + 3) / 8;  // subtract x / 8, rounded
    if (v < low || v > high) return false;
    values[i] = v;
  }
  return true;
}

bool ReadFilters(BitReader* in, int filters, DstScratch* s) {
  for (int f = 0; f < filters; ++f) {
    const int order = static_cast<int>(in->Field(OrderBits)) + 1;
    int* c = s->filter_coefficient[f];
    std::memset(c, 0, sizeof s->filter_coefficient[f]);
    if (!ReadValues(
            in, order, FilterPrediction, MinCoefficient, MaxCoefficient,
            [in] { return in->Signed(CoefficientBits); }, c))
      return false;
    s->order[f] = order;
  }
  return true;
}

bool ReadTables(BitReader* in, int tables, DstScratch* s) {
  for (int t = 0; t < tables; ++t) {
    const int length = static_cast<int>(in->Field(TableLengthBits)) + 1;
    int values[DstMaxTableLength];
    if (length == 1) {
      // WATCHOUT: read as the MPEG-4 decoder does: a table of one entry holds
      // 128 and takes no more bits. FFmpeg reads a coding flag and the entry
      // instead; since the two disagree, no encoder of ours writes such a table.
      values[0] = HalfProbability;
    } else if (!ReadValues(
                   in, length, TablePrediction, MinProbability, MaxProbability,
                   [in] { return static_cast<int>(in->Field(ProbabilityBits)) + 1; }, values)) {
      return false;
    }
    for (int i = 0; i < length; ++i) s->probability[t][i] = static_cast<uint8_t>(values[i]);
    s->table_length[t] = length;
  }
  return true;
}

// Fills each filter's group sums: entry k of a group is the sum over its taps
// of the coefficient times +1 (bit set in k) or -1.
void BuildTapSums(int filters, DstScratch* s) {
  for (int f = 0; f < filters; ++f) {
    const int groups = (s->order[f] + 7) / 8;
    for (int g = 0; g < groups; ++g) {
      const int* c = s->filter_coefficient[f] + 8 * g;
      int16_t* sums = s->tap_sums[f][g];
      int all_clear = 0;
      for (int l = 0; l < 8; ++l) all_clear -= c[l];
      sums[0] = static_cast<int16_t>(all_clear);
      for (int k = 1; k < 256; ++k) {
        const int lowest = __builtin_ctz(static_cast<unsigned>(k));
        sums[k] = static_cast<int16_t>(sums[k & (k - 1)] + 2 * c[lowest]);
      }
    }
  }
}

// The reversed low 7 bits of a coefficient, plus 1: the probability of the
// reserved first bit of the arithmetic code.
int ReservedBitProbability(int coefficient) {
  int reversed = 0;
  for (int i = 0; i < 7; ++i) reversed = reversed << 1 | (coefficient >> i & 1);
  return reversed + 1;
}

struct ArithmeticDecoder {
  uint32_t range = RangeStart;
  uint32_t code = 0;

  // 1 for the wider part of the interval (the likely outcome), 0 for the part
  // of about probability / 256 of it.
  uint32_t Decode(BitReader* in, uint32_t probability) {
    const uint32_t unit = (range >> 8) | (range >> 7 & 1);
    const uint32_t narrow = unit * probability;
    const uint32_t wide = range - narrow;
    uint32_t outcome;
    if (code < wide) {
      outcome = 1;
      range = wide;
    } else {
      outcome = 0;
      range = narrow;
      code -= wide;
    }
    while (range < RangeFloor) {
      range <<= 1;
      code = code << 1 | in->Bit();
    }
    return outcome;
  }
};

bool DecodePlain(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                 uint8_t* const out[]) {
  BitReader in{data, bytes * 8};
  in.Field(CodedFlagBits + PlainReservedBits);
  if (in.Field(PlainStuffingBits) != 0) return false;
  const size_t stored = bytes - 1;
  for (size_t i = 0; i < channel_bytes; ++i) {
    for (int c = 0; c < channels; ++c) {
      const size_t at = i * channels + c;
      out[c][i] = at < stored ? data[1 + at] : DstIdleByte;
    }
  }
  return true;
}

}  // namespace

int DstFieldBits(int x) {
  int bits = 0;
  while (bits < 31 && x >= (1 << bits)) ++bits;
  return bits;
}

size_t DstChannelBytes(uint32_t sample_rate) {
  constexpr uint32_t SamplesPerByte = 8;
  if (sample_rate % (DstFramesPerSecond * SamplesPerByte) != 0) return 0;
  return sample_rate / DstFramesPerSecond / SamplesPerByte;
}

namespace {

// What a coded frame's header says, and where its arithmetic code starts.
struct FrameHeader {
  Segmentation filter_segments, table_segments;
  int filter_map[DstMaxChannels][MaxTableSegments];
  int table_map[DstMaxChannels][MaxTableSegments];
  bool half_probability[DstMaxChannels];
  size_t code_position;  // bit of the first code bit after the reserved 0
};

// Reads the header of a coded frame into `h` and the filters and tables into
// `scratch`; false when it is malformed.
bool ReadHeader(BitReader* in, int channels, int frame_bytes, FrameHeader* h, DstScratch* scratch) {
  in->Field(CodedFlagBits);
  const bool same_segmentation = in->Bit();
  if (!ReadSegmentation(in, channels, frame_bytes, MaxFilterSegments, FilterSegmentMinBits,
                        &h->filter_segments))
    return false;
  if (same_segmentation) {
    h->table_segments = h->filter_segments;
  } else if (!ReadSegmentation(in, channels, frame_bytes, MaxTableSegments, TableSegmentMinBits,
                               &h->table_segments)) {
    return false;
  }
  int filters = 0, tables = 0;
  const bool same_mapping = in->Bit();
  if (!ReadMapping(in, channels, h->filter_segments, 2 * channels, h->filter_map, &filters))
    return false;
  if (same_mapping) {
    for (int c = 0; c < channels; ++c) {
      if (h->table_segments.count[c] != h->filter_segments.count[c]) return false;
    }
    std::memcpy(h->table_map, h->filter_map, sizeof h->table_map);
    tables = filters;
  } else if (!ReadMapping(in, channels, h->table_segments, 2 * channels, h->table_map, &tables)) {
    return false;
  }
  for (int c = 0; c < channels; ++c) h->half_probability[c] = in->Bit();
  if (!ReadFilters(in, filters, scratch) || !ReadTables(in, tables, scratch)) return false;
  if (in->Bit() != 0) return false;  // the arithmetic code starts with a 0
  if (in->Overrun(0)) return false;
  BuildTapSums(filters, scratch);
  h->code_position = in->position;
  return true;
}

// The samples of a coded frame, one bit at a time, as the format describes
// them: the oracle the fast loop is tested against.
bool ReferenceSamples(BitReader* in, const FrameHeader& h, int channels, int frame_bytes,
                      uint8_t* const out[], const DstScratch* scratch) {
  ArithmeticDecoder decoder;
  decoder.code = in->Field(RegisterBits);
  decoder.Decode(in, ReservedBitProbability(scratch->filter_coefficient[0][0]));
  uint64_t history[DstMaxChannels][2];  // [0]: the last 64 samples, newest in bit 0
  int filter_segment[DstMaxChannels] = {}, table_segment[DstMaxChannels] = {};
  for (int c = 0; c < channels; ++c) {
    history[c][0] = history[c][1] = InitialHistory;
    std::memset(out[c], 0, static_cast<size_t>(frame_bytes));
  }
  const int samples = frame_bytes * 8;
  for (int i = 0; i < samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      if (i == h.filter_segments.end[c][filter_segment[c]]) ++filter_segment[c];
      if (i == h.table_segments.end[c][table_segment[c]]) ++table_segment[c];
      const int f = h.filter_map[c][filter_segment[c]];
      const int groups = (scratch->order[f] + 7) / 8;
      int sum = 0;
      for (int g = 0; g < groups; ++g) {
        sum += scratch->tap_sums[f][g][history[c][g >> 3] >> (8 * (g & 7)) & 0xFF];
      }
      const int16_t prediction = static_cast<int16_t>(sum);  // wraps as 16 bits do
      int probability = HalfProbability;
      if (!h.half_probability[c] || i >= scratch->order[f]) {
        const int t = h.table_map[c][table_segment[c]];
        int index = (prediction < 0 ? -prediction : prediction) >> IndexShift;
        if (index >= scratch->table_length[t]) index = scratch->table_length[t] - 1;
        probability = scratch->probability[t][index];
      }
      const uint32_t bit = decoder.Decode(in, probability) ^ (prediction < 0 ? 1 : 0);
      out[c][i >> 3] |= static_cast<uint8_t>(bit << (7 - (i & 7)));
      history[c][1] = history[c][1] << 1 | history[c][0] >> 63;
      history[c][0] = history[c][0] << 1 | bit;
    }
  }
  return !in->Overrun(MaxOverrunBits);
}

// The code bits for the fast loop: a 64-bit window, its next bits at the top,
// refilled a byte at a time; past the end of the frame, zeros.
struct CodeReader {
  const uint8_t* data;
  size_t bytes;
  size_t next_byte = 0;
  uint64_t window = 0;
  int held = 0;  // bits in the window

  CodeReader(const uint8_t* frame, size_t frame_bytes, size_t position)
      : data(frame), bytes(frame_bytes), next_byte(position / 8) {
    Refill();
    Take(static_cast<int>(position % 8));
  }
  void Refill() {
    constexpr int WindowBits = 64, ByteBits = 8;
    while (held <= WindowBits - ByteBits) {
      const uint64_t byte = next_byte < bytes ? data[next_byte] : 0;
      ++next_byte;
      window |= byte << (WindowBits - ByteBits - held);
      held += ByteBits;
    }
  }
  // The next `count` bits, 0 to 12. (Two shifts, so that a count of 0 needs
  // no branch: a 64-bit shift by 64 would be undefined.)
  uint32_t Take(int count) {
    if (held < count) Refill();
    const uint32_t value = static_cast<uint32_t>(window >> 1 >> (63 - count));
    window <<= count;
    held -= count;
    return value;
  }
  size_t Consumed() const { return next_byte * 8 - static_cast<size_t>(held); }
};

// The part of a prediction that all but the newest 8 samples make: groups 1
// to Groups - 1 of a filter of `Groups` groups of 8 taps, from a channel's
// last 128 samples.
template <int Groups>
int PredictOlder(const int16_t (*sums)[256], uint64_t recent, uint64_t older) {
  int sum = 0;
  for (int g = 1; g < Groups; ++g) {
    const uint64_t bits = g < 8 ? recent >> (8 * g) : older >> (8 * (g - 8));
    sum += sums[g][bits & 0xFF];
  }
  return sum;
}

using PredictFunction = int (*)(const int16_t (*)[256], uint64_t, uint64_t);

template <int... Groups>
constexpr std::array<PredictFunction, sizeof...(Groups) + 1> PredictFunctions(
    std::integer_sequence<int, Groups...>) {
  return {nullptr, &PredictOlder<Groups + 1>...};
}
// Entry g: PredictOlder for a filter of g groups.
constexpr auto PredictOlderOfGroups =
    PredictFunctions(std::make_integer_sequence<int, DstTapGroups>());

// What a channel uses over a stretch of samples that no segment boundary
// crosses.
struct ChannelState {
  PredictFunction predict_older;
  const int16_t (*sums)[256];
  int older_part;  // PredictOlder for the next sample
  const uint8_t* probability;
  int last_index;  // the table's length - 1
  bool half;       // the first bits at probability 1/2
  uint64_t recent = InitialHistory, older = InitialHistory;
};

// The same samples as ReferenceSamples, faster: the work that depends on
// segments is done once per stretch, the prediction is unrolled for the
// filter's order, the decoder renormalises in one step, and a byte of sound
// is stored from the history each 8 samples. A prediction waits for the
// bit before it only through its newest group: the rest is summed while that
// bit is decoded.
bool FastSamples(const uint8_t* data, size_t bytes, const FrameHeader& h, int channels,
                 int frame_bytes, uint8_t* const out[], const DstScratch* scratch) {
  CodeReader in(data, bytes, h.code_position);
  uint32_t range = RangeStart;
  uint32_t code = in.Take(RegisterBits);
  // One decoding step; returns 1 for the wider part of the interval.
  // One decoding step, without branches (its outcome is the coded
  // information, which no branch predictor foresees); returns 1 for the wider
  // part of the interval.
  const auto decode = [&](uint32_t probability) {
    const uint32_t unit = (range >> 8) | (range >> 7 & 1);
    const uint32_t narrow = unit * probability;
    const uint32_t wide = range - narrow;
    const uint32_t likely = 0u - static_cast<uint32_t>(code < wide);  // all ones or zero
    code -= wide & ~likely;
    range = (wide & likely) | (narrow & ~likely);
    // range < 4096 always, and never narrows below 8 here (narrow >= 8,
    // wide > narrow): shifting it up to bit 11 takes 0 to 8 steps.
    const int shifts = __builtin_clz(range) - (31 - 11);
    range <<= shifts;
    code = code << shifts | in.Take(shifts);
    return likely & 1;
  };
  decode(static_cast<uint32_t>(ReservedBitProbability(scratch->filter_coefficient[0][0])));

  ChannelState state[DstMaxChannels];
  int filter_segment[DstMaxChannels] = {}, table_segment[DstMaxChannels] = {};
  const int samples = frame_bytes * 8;
  for (int i = 0; i < samples;) {
    // Set up each channel for the stretch from i to the next boundary of any.
    int stretch_end = samples;
    for (int c = 0; c < channels; ++c) {
      while (i >= h.filter_segments.end[c][filter_segment[c]]) ++filter_segment[c];
      while (i >= h.table_segments.end[c][table_segment[c]]) ++table_segment[c];
      const int f = h.filter_map[c][filter_segment[c]];
      const int t = h.table_map[c][table_segment[c]];
      ChannelState& s = state[c];
      s.predict_older = PredictOlderOfGroups[(scratch->order[f] + 7) / 8];
      s.sums = scratch->tap_sums[f];
      s.older_part = s.predict_older(s.sums, s.recent, s.older);
      s.probability = scratch->probability[t];
      s.last_index = scratch->table_length[t] - 1;
      s.half = h.half_probability[c] && i < scratch->order[f];
      stretch_end = std::min({stretch_end, h.filter_segments.end[c][filter_segment[c]],
                              h.table_segments.end[c][table_segment[c]]});
      if (s.half) stretch_end = std::min(stretch_end, scratch->order[f]);
    }
    for (; i < stretch_end; ++i) {
      for (int c = 0; c < channels; ++c) {
        ChannelState& s = state[c];
        const int16_t prediction = static_cast<int16_t>(s.older_part + s.sums[0][s.recent & 0xFF]);
        // Groups 1 and up of the next sample hold none of this sample's bit.
        const uint64_t next_older = s.older << 1 | s.recent >> 63;
        s.older_part = s.predict_older(s.sums, s.recent << 1, next_older);
        const int magnitude = prediction < 0 ? -prediction : prediction;
        const uint32_t probability =
            s.half ? HalfProbability
                   : s.probability[std::min(magnitude >> IndexShift, s.last_index)];
        const uint64_t bit = decode(probability) ^ (prediction < 0 ? 1u : 0u);
        s.older = next_older;
        s.recent = s.recent << 1 | bit;
        if ((i & 7) == 7) out[c][i >> 3] = static_cast<uint8_t>(s.recent);
      }
    }
  }
  return in.Consumed() <= bytes * 8 + MaxOverrunBits;
}

bool DecodeFrame(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                 uint8_t* const out[], DstScratch* scratch, bool reference) {
  if (channels < 1 || channels > DstMaxChannels || channel_bytes < 1 ||
      channel_bytes > DstMaxChannelBytes || bytes < 2)
    return false;
  if ((data[0] >> 7) == 0) return DecodePlain(data, bytes, channels, channel_bytes, out);
  BitReader in{data, bytes * 8};
  const int frame_bytes = static_cast<int>(channel_bytes);
  FrameHeader header;
  if (!ReadHeader(&in, channels, frame_bytes, &header, scratch)) return false;
  if (reference) return ReferenceSamples(&in, header, channels, frame_bytes, out, scratch);
  return FastSamples(data, bytes, header, channels, frame_bytes, out, scratch);
}

}  // namespace

bool DecodeDstFrame(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                    uint8_t* const out[], DstScratch* scratch) {
  return DecodeFrame(data, bytes, channels, channel_bytes, out, scratch, false);
}

bool DecodeDstFrameReference(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                             uint8_t* const out[], DstScratch* scratch) {
  return DecodeFrame(data, bytes, channels, channel_bytes, out, scratch, true);
}
