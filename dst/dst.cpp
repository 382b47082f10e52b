// DST frame decoding: the frame header (segmentation, mapping, filters and
// probability tables), then one arithmetic-decoded bit per channel and sample.
#include "dst/dst.h"

#include <cpuid.h>
#include <immintrin.h>

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
  int filters, tables;   // how many the frame holds
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
  h->filters = filters;
  h->tables = tables;
  h->code_position = in->position;
  return true;
}

// The samples of a coded frame, one bit at a time, as the format describes
// them: the oracle the fast loop is tested against.
// `record` sees the probability of every decoding step (a benchmark's
// recording; nothing otherwise).
template <typename Record>
bool ReferenceSamples(BitReader* in, const FrameHeader& h, int channels, int frame_bytes,
                      uint8_t* const out[], const DstScratch* scratch, Record record) {
  ArithmeticDecoder decoder;
  decoder.code = in->Field(RegisterBits);
  record(ReservedBitProbability(scratch->filter_coefficient[0][0]));
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
      record(probability);
      const uint32_t bit = decoder.Decode(in, probability) ^ (prediction < 0 ? 1 : 0);
      out[c][i >> 3] |= static_cast<uint8_t>(bit << (7 - (i & 7)));
      history[c][1] = history[c][1] << 1 | history[c][0] >> 63;
      history[c][0] = history[c][0] << 1 | bit;
    }
  }
  return !in->Overrun(MaxOverrunBits);
}

// ---- The fast decoder -------------------------------------------------------
//
// The fast loops decode the same bits as ReferenceSamples, with the work of
// each bit arranged around the one chain that cannot be shortened: a
// decoding step needs the interval width that the step before left.
// Everything else runs beside that chain:
// - The arithmetic decoder lives in two 64-bit words, scaled so that the code
//   register's 12 bits are their top and the code bits that follow ride below,
//   so that a renormalisation is two shifts; the code bits are filled in once
//   every few steps, from a word loaded steps earlier. The narrow part's width
//   is looked up, by probability and the width's top bits.
// - A sample's prediction waits for the sample before it only through the
//   newest group of taps. With few channels, while a bit is decoded, the
//   older groups of the sample after next are summed and both values its
//   newest group can take are classified, so that the decoded bit merely
//   picks one of two probabilities. With more, the other channels' steps
//   leave time to classify a channel's next sample once its bit is known.
// - What depends on segments is set up once per stretch of samples that no
//   segment boundary crosses; the loop over a stretch is compiled for each
//   channel count, and the portable one for filter orders in steps of 32.
// - The vector loop sums the taps older than 16 samples of eight samples at
//   a time in AVX-512 registers, a block ahead of the samples that need them,
//   and classifies with vector instructions, beside the integer work.

// The loops' helpers are taken inline whatever the compiler's budget: called
// out of line, the decoder's state would go through memory at every step.
#define DST_INLINE inline __attribute__((always_inline))

constexpr int WordBits = 64;
constexpr int ByteBits = 8;
constexpr int GroupTaps = 8;          // taps summed by one table of a filter
constexpr int GroupPatterns = 256;    // entries of such a table
constexpr uint64_t GroupMask = 0xFF;  // the history bits one group's table is indexed by
constexpr int FractionBits = WordBits - RegisterBits;  // code bits carried below the register
// A step's unit is the interval width's bits 8 and up with its bit 7 folded
// into bit 0: with the width renormalised, a function of its top 5 bits.
constexpr int UnitBits = 5;
constexpr int UnitIndexShift = WordBits - UnitBits;
constexpr int UnitIndices = 1 << UnitBits;
// A step shifts in at most this many code bits: its interval is at least a
// unit of 8 times probability 1, and is shifted up to RangeFloor.
constexpr int MaxStepBits = 8;
// A 64-bit load at any bit position holds at least this many bits from it on.
constexpr int LoadedBits = WordBits - (ByteBits - 1);
// Steps between two fills of the code bits. A fill leaves at least
// LoadedBits - MaxStepBits * FillSteps of them below the register, which
// must cover the FillSteps steps before the next fill.
constexpr int FillSteps = 3;
static_assert(LoadedBits - MaxStepBits * FillSteps >= MaxStepBits * FillSteps,
              "a fill must cover the steps until the next one");
// Every probability table is padded to this many entries with its last, so
// that an index is clamped to a constant.
constexpr int PaddedTableLength = DstMaxTableLength;
constexpr int LastPaddedIndex = PaddedTableLength - 1;
// The newest group of the sample after next has the next sample as its first
// tap: its two values are adjacent entries, at the 7 samples below it.
constexpr uint64_t PairMask = 0x7F;
// Loops are compiled for filters of up to 32, 64, 96 and 128 taps.
constexpr int GroupsPerClass = 4;
constexpr int GroupClasses = DstTapGroups / GroupsPerClass;
// With this many channels or more, a channel's next sample is classified once
// its bit is known: the other channels' steps in between cover the lookups.
// With fewer, both values the bit can take are classified in advance, one
// sample further ahead. The vector loop classifies with vector instructions,
// whose longer latency wants more channels in between than the portable loop's.
constexpr int ExactChannels = 4;
constexpr int PortableExactChannels = 2;

// The narrow part of the interval, scaled, for each probability and top 5
// bits of the renormalised width (16 to 31; rows hold 32 so that the top
// bits index them directly): one load in place of the unit's shifts and the
// multiply. (The multiply with bextr makes the chain a cycle shorter, but
// its extra instructions and registers cost the loops more than that.)
struct NarrowTable {
  static constexpr int RowBytes = UnitIndices * sizeof(uint64_t);
  alignas(RowBytes) uint64_t row[MaxProbability + 1][UnitIndices];
};

constexpr NarrowTable MakeNarrowTable() {
  NarrowTable table{};
  for (int p = 0; p <= MaxProbability; ++p) {
    for (int top = UnitIndices / 2; top < UnitIndices; ++top) {
      const uint64_t unit = (top >> 1) | (top & 1);  // width bits 8 .. 11, and 8 | 7
      table.row[p][top] = unit * p << FractionBits;
    }
  }
  return table;
}

constexpr NarrowTable Narrow = MakeNarrowTable();

// A probability word: the offset of the probability's row of narrow widths,
// and in bit 0 (SignBit) the sign of the prediction it was looked up for.
// 16 bits: the largest offset is MaxProbability * RowBytes.
constexpr uint32_t SignBit = 1;
static_assert(MaxProbability * NarrowTable::RowBytes <= 0xFFFF, "a probability word is 16 bits");

constexpr uint16_t ProbabilityWord(int probability) {
  return static_cast<uint16_t>(probability * NarrowTable::RowBytes);
}

DST_INLINE const uint64_t* RowOf(uint32_t word) {
  const uint64_t* row = reinterpret_cast<const uint64_t*>(
      reinterpret_cast<const char*>(Narrow.row) + (word & ~SignBit));
  // The row is known steps ahead; the width's top bits are the chain's. A
  // load indexed by the top bits alone waits for nothing else.
  asm("" : "+r"(row));
  return row;
}

// condition ? if_set : if_clear, with a conditional move: the condition is
// a decoded bit, which no branch predictor foresees.
template <typename T>
DST_INLINE T Select(uint32_t condition, T if_set, T if_clear) {
  asm("test %[condition], %[condition]\n\t"
      "cmovnz %[if_set], %[result]"
      : [result] "+r"(if_clear)
      : [condition] "r"(condition), [if_set] "rm"(if_set)
      : "cc");
  return if_clear;
}

// The complemented code bits of a frame from bit `position` on, the first in
// bit 63: at least LoadedBits of them, then zeros. Past the frame's end every
// code bit is 0, as BitReader reads it.
struct CodeStream {
  const uint8_t* data;
  size_t bytes;

  // Where the caller knows the 8 bytes from `position` are in the frame.
  DST_INLINE uint64_t ComplementedWithin(size_t position) const {
    uint64_t word;
    std::memcpy(&word, data + position / ByteBits, sizeof word);
    return ~__builtin_bswap64(word) << (position % ByteBits);
  }
  DST_INLINE uint64_t ComplementedAt(size_t position) const {
    const size_t at = position / ByteBits;
    if (__builtin_expect(at + sizeof(uint64_t) <= bytes, 1)) return ComplementedWithin(position);
    uint64_t word = 0;
    for (size_t k = 0; k < sizeof word; ++k) {
      word = word << ByteBits | (at + k < bytes ? data[at + k] : 0);
    }
    return ~word << (position % ByteBits);
  }
};

// The arithmetic decoder, scaled. With width and code as ArithmeticDecoder
// holds them, range is width << FractionBits, and gap is (width - code - 1)
// << FractionBits with the complemented code bits that follow the register
// below it, or zeros where they are not filled in yet. The complement makes
// a renormalisation's new bits a plain shift: ((gap + 1) << s) - 1 - bits is
// gap << s with the complemented bits below. Only the top RegisterBits of gap
// take part in a decision, since every narrow width is a multiple of
// 2^FractionBits.
struct ScaledDecoder {
  uint64_t range;
  uint64_t gap;
  size_t position;  // the frame bit just below the register
};

ScaledDecoder StartDecoder(const CodeStream& stream, size_t position) {
  // The first 12 code bits under a width of RangeStart: the complement of
  // the register is RangeStart - code, one more than the gap.
  return {uint64_t{RangeStart} << FractionBits,
          stream.ComplementedAt(position) - (uint64_t{1} << FractionBits), position + RegisterBits};
}

// One decoding step at the probability of a row of narrow widths: 1 for the
// wider part of the interval (the likely outcome), 0 for the narrow part of
// about probability / 256 of it.
DST_INLINE uint32_t DecodeStep(ScaledDecoder* d, const uint64_t* row) {
  const uint64_t narrow = row[d->range >> UnitIndexShift];
  const uint64_t wide = d->range - narrow;
  const uint64_t gap_if_wide = d->gap - narrow;
  uint64_t range = narrow, gap = d->gap;
  bool likely;
  // narrow <= gap: the code is below the wide part's top.
  asm("cmp %[narrow], %[gap]\n\t"
      "cmovae %[wide], %[range]\n\t"
      "cmovae %[gap_if_wide], %[gap]"
      : [range] "+r"(range), [gap] "+r"(gap), "=@ccae"(likely)
      : [narrow] "r"(narrow), [wide] "r"(wide), [gap_if_wide] "r"(gap_if_wide));
  // The width is at least 8 << FractionBits: 0 to 8 shifts bring its top bit to bit 63.
  const int shifts = __builtin_clzll(range);
  d->range = range << shifts;
  d->gap = gap << shifts;
  d->position += static_cast<size_t>(shifts);
  return likely;
}

// Fills in the code bits below the register that the steps since `window`
// was loaded at `window_position` shifted up.
DST_INLINE void FillGap(ScaledDecoder* d, uint64_t window, size_t window_position) {
  d->gap |= window << (d->position - window_position) >> RegisterBits;
}

// Slots of a lane's ring of vector sums: the block being decoded and the next.
constexpr int BlockSamples = DstBlockSamples;
constexpr int RingSlots = 2 * BlockSamples;
constexpr unsigned RingMask = RingSlots - 1;

// One channel in a fast loop.
struct Lane {
  const int16_t (*sums)[GroupPatterns];  // the filter's group sums
  const uint16_t* probability;           // the table's probability words, padded
  const int16_t* older_taps;             // the vector loop's coefficients (vector_taps)
  int older_total;                       // and their sum (vector_total)
  uint64_t low, high;                    // the last 128 samples, the newest in bit 0 of low
  uint32_t word;                         // the probability word of this sample
  // With fewer than ExactChannels, the next sample's if this one is 0 or 1:
  // apart, and in the low and high halves of next_pair.
  uint32_t next[2];
  uint32_t next_pair;
  int16_t ring[RingSlots];  // sample s's sum of the taps from 17 on, at s % RingSlots
};

// The probability word of a prediction.
DST_INLINE uint32_t Classify(const uint16_t* probability, int sum) {
  const int prediction = static_cast<int16_t>(sum);  // wraps as 16 bits do
  const int sign = prediction >> 31;                 // 0 or -1
  const int magnitude = (prediction ^ sign) - sign;
  return probability[std::min(magnitude >> IndexShift, LastPaddedIndex)] |
         static_cast<uint32_t>(prediction) >> 31;
}

// Groups [first, groups) of the prediction of the sample `ahead` samples
// after the one that follows the history's newest, from the whole of 128
// samples, as ReferenceSamples sums them: group g holds history bits
// 8g - ahead .. 8g - ahead + 7.
int GroupsFrom(const int16_t (*sums)[GroupPatterns], int first, int groups, uint64_t low,
               uint64_t high, int ahead) {
  const unsigned __int128 history = static_cast<unsigned __int128>(high) << WordBits | low;
  int sum = 0;
  for (int g = first; g < groups; ++g) {
    const int at = GroupTaps * g - ahead;
    const unsigned __int128 bits = at >= 0 ? history >> at : history << -at;
    sum += sums[g][static_cast<uint64_t>(bits) & GroupMask];
  }
  return sum;
}

// Sets a lane's probability words of the next sample and, for both of its
// values, of the one after, from its history alone: at the start of a
// stretch, whose filter or table may be new.
void PrimeLane(Lane* lane, int groups) {
  lane->word =
      Classify(lane->probability, GroupsFrom(lane->sums, 0, groups, lane->low, lane->high, 0));
  for (uint32_t bit = 0; bit < 2; ++bit) {
    const uint64_t low = lane->low << 1 | bit, high = lane->high << 1 | lane->low >> 63;
    lane->next[bit] = Classify(lane->probability, GroupsFrom(lane->sums, 0, groups, low, high, 0));
  }
  lane->next_pair = lane->next[0] | lane->next[1] << 16;
}

// Groups 1 to Groups - 1 of the prediction of the sample Ahead after the one
// being decoded, from the history before it: group g holds history bits
// 8g - Ahead .. 8g - Ahead + 7. They are summed in four chains, so that they
// are ready soon after the history is.
template <int Groups, int Ahead>
DST_INLINE int OlderGroups(const int16_t (*sums)[GroupPatterns], uint64_t low, uint64_t high) {
  constexpr int Chains = 4;
  const uint64_t upper = high << Ahead | low >> (WordBits - Ahead);  // history bits 64 - Ahead ..
  // 16-bit sums: the prediction wraps as 16 bits do, and an add can take
  // its table entry straight from memory.
  uint16_t chain[Chains] = {};
#pragma GCC unroll 16
  for (int g = 1; g < Groups; ++g) {
    const uint64_t bits = g < 8 ? low >> (GroupTaps * g - Ahead) : upper >> (GroupTaps * (g - 8));
    chain[g % Chains] += static_cast<uint16_t>(sums[g][bits & GroupMask]);
  }
  return static_cast<int16_t>((chain[0] + chain[1]) + (chain[2] + chain[3]));
}

// How far ahead of its decoding a lane's sample is classified.
constexpr int AheadFor(int channels) { return channels >= ExactChannels ? 1 : 2; }
constexpr int PortableAheadFor(int channels) { return channels >= PortableExactChannels ? 1 : 2; }

// Decodes one sample of one lane in a portable loop and classifies the
// sample Ahead after it, whose taps beyond the newest group sum to `older`:
// with Ahead 1 the next sample itself; with Ahead 2 the one after, for both
// values of the next.
template <int Ahead>
DST_INLINE void PortableLaneStep(ScaledDecoder* d, Lane* lane, int older) {
  const uint32_t word = lane->word;
  const uint32_t bit = DecodeStep(d, RowOf(word)) ^ (word & SignBit);
  if (Ahead == 2) lane->word = Select(bit, lane->next[1], lane->next[0]);
  lane->high = lane->high << 1 | lane->low >> 63;
  lane->low = lane->low << 1 | bit;
  if (Ahead == 1) {
    lane->word = Classify(lane->probability, older + lane->sums[0][lane->low & GroupMask]);
  } else {
    // The newest group's first tap is the next sample: its two values are
    // adjacent entries.
    const int16_t* pair = lane->sums[0] + ((lane->low & PairMask) << 1);
    lane->next[0] = Classify(lane->probability, older + pair[0]);
    lane->next[1] = Classify(lane->probability, older + pair[1]);
  }
}

// One sample of every lane: step(c) decodes lane c. The code bits are
// filled in after every FillSteps lanes, from windows loaded by `load`.
template <int Channels, typename Load, typename Step>
DST_INLINE void SampleStep(ScaledDecoder* d, Load load, Step step) {
  size_t window_position = 0;
  uint64_t window = 0;
#pragma GCC unroll 6
  for (int c = 0; c < Channels; ++c) {
    if (c % FillSteps == 0) {
      window_position = d->position;
      window = load(window_position);
    }
    step(c);
    if (c % FillSteps == FillSteps - 1 || c == Channels - 1) FillGap(d, window, window_position);
  }
}

// Samples [begin, end) of every lane, which none of their segments'
// boundaries crosses. Each byte of a lane's sound is stored once its last
// sample is in.
template <int Channels, int Groups>
void PortableStretch(const CodeStream& stream, ScaledDecoder* decoder, Lane* lanes, int begin,
                     int end, uint8_t* const out[]) {
  constexpr int Ahead = PortableAheadFor(Channels);
  ScaledDecoder d = *decoder;
  Lane lane[Channels];
  std::copy(lanes, lanes + Channels, lane);
  for (int i = begin; i < end; ++i) {
    SampleStep<Channels>(
        &d, [&stream](size_t position) { return stream.ComplementedAt(position); },
        [&d, &lane](int c) {
          const int older = OlderGroups<Groups, Ahead>(lane[c].sums, lane[c].low, lane[c].high);
          PortableLaneStep<Ahead>(&d, &lane[c], older);
        });
    if (i % BlockSamples == BlockSamples - 1) {
#pragma GCC unroll 6
      for (int c = 0; c < Channels; ++c) {
        out[c][i / BlockSamples] = static_cast<uint8_t>(lane[c].low);
      }
    }
  }
  std::copy(lane, lane + Channels, lanes);
  *decoder = d;
}

using StretchLoop = void (*)(const CodeStream&, ScaledDecoder*, Lane*, int, int, uint8_t* const[]);

template <int Channels, int... Class>
constexpr std::array<StretchLoop, GroupClasses> PortableLoopsOf(
    std::integer_sequence<int, Class...>) {
  return {&PortableStretch<Channels, GroupsPerClass*(Class + 1)>...};
}

template <int... Channel>
constexpr std::array<std::array<StretchLoop, GroupClasses>, DstMaxChannels> PortableLoops(
    std::integer_sequence<int, Channel...>) {
  return {PortableLoopsOf<Channel + 1>(std::make_integer_sequence<int, GroupClasses>())...};
}

// Entry [channels - 1][class]: the portable loop for filters of up to
// 32 (class + 1) taps.
constexpr auto PortableStretchLoops =
    PortableLoops(std::make_integer_sequence<int, DstMaxChannels>());

// ---- The vector loop ----------------------------------------------------------
//
// Compiled for AVX-512 only inside the functions marked below, so the rest of
// the program stays plain x86-64; DecodeFrame calls it only after
// Avx512Supported() said yes.
// GCC 12's AVX-512 headers build "undefined" vectors as self-initialised
// locals, which -Wuninitialized reports at every inlined use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define DST_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,bmi,bmi2,lzcnt,movbe")))

// The vector loop: blocks of 8 samples, whose taps from VectorFirstTap on
// it sums a block ahead, 32 history samples to a register.
constexpr int VectorFirstTap = 2 * GroupTaps + 1;
constexpr int VectorLanes = 32;                        // 16-bit sums in a 512-bit register
constexpr int MaxVectors = DstMaxOrder / VectorLanes;  // registers for a filter of 128 taps
// A block reads at most this many bytes of code from where it starts: each
// step shifts in at most MaxStepBits, and a window load takes 8 bytes.
constexpr size_t BlockCodeBytes(int channels) {
  return BlockSamples * channels * MaxStepBits / ByteBits + sizeof(uint64_t);
}

// CPUID bits that not every compiler's __builtin_cpu_supports names.
constexpr unsigned CpuidFeatures = 1, CpuidExtendedFeatures = 0x80000001;
constexpr unsigned MovbeBit = 1u << 22;  // leaf 1, ECX
constexpr unsigned LzcntBit = 1u << 5;   // leaf 0x80000001, ECX

bool Avx512Supported() {
  unsigned a = 0, b = 0, features = 0, extended = 0, d = 0;
  if (!__get_cpuid(CpuidFeatures, &a, &b, &features, &d)) return false;
  if (!__get_cpuid(CpuidExtendedFeatures, &a, &b, &extended, &d)) return false;
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && (features & MovbeBit) != 0 && (extended & LzcntBit) != 0;
}

// The registers a filter of `order` taps needs: at the start of a block the
// history's bit t is tap t + 9 + k of the next block's sample k, and the
// taps from VectorFirstTap on reach bit order - 9. A filter without such
// taps takes one register of zeros.
int VectorsFor(int order) {
  return order < VectorFirstTap ? 1 : (order - (GroupTaps + 1)) / VectorLanes + 1;
}

// Lays out filter f for the vector loop: vector_taps[f][k][t] is twice the
// coefficient of tap t + 9 + k for the taps from VectorFirstTap to the
// order, and 0 elsewhere; vector_total[f] is their sum, once.
void BuildVectorTaps(int filters, DstScratch* s) {
  for (int f = 0; f < filters; ++f) {
    int total = 0;
    for (int j = VectorFirstTap; j <= s->order[f]; ++j) total += s->filter_coefficient[f][j - 1];
    s->vector_total[f] = total;
    for (int k = 0; k < BlockSamples; ++k) {
      int16_t* taps = s->vector_taps[f][k];
      for (int t = 0; t < DstMaxOrder; ++t) {
        const int j = t + GroupTaps + 1 + k;
        const bool older = j >= VectorFirstTap && j <= s->order[f];
        taps[t] = static_cast<int16_t>(older ? 2 * s->filter_coefficient[f][j - 1] : 0);
      }
    }
  }
}

// The eight 16-bit sums of eight registers of 32 16-bit numbers each, in the
// low 128 bits: halves and quarters are added pairwise across registers, so
// that each 128-bit lane holds one register's part, and those lanes'
// numbers in one more add, a widening multiply-add and a shift.
DST_AVX512 DST_INLINE __m128i SumsOfEight(const __m512i* a) {
  __m512i halves[4];  // 256-bit half h of halves[q]: a[2q + h]'s sum of its halves
  for (int q = 0; q < 4; ++q) {
    halves[q] = _mm512_add_epi16(_mm512_shuffle_i64x2(a[2 * q], a[2 * q + 1], 0x44),
                                 _mm512_shuffle_i64x2(a[2 * q], a[2 * q + 1], 0xEE));
  }
  __m512i quarters[2];  // 128-bit lane l of quarters[q]: a[4q + l]'s sum of its quarters
  for (int q = 0; q < 2; ++q) {
    quarters[q] = _mm512_add_epi16(_mm512_shuffle_i64x2(halves[2 * q], halves[2 * q + 1], 0x88),
                                   _mm512_shuffle_i64x2(halves[2 * q], halves[2 * q + 1], 0xDD));
  }
  // Lane l: a[l]'s 4 sums in its low 64 bits, a[l + 4]'s in its high.
  const __m512i eighths = _mm512_add_epi16(_mm512_unpacklo_epi64(quarters[0], quarters[1]),
                                           _mm512_unpackhi_epi64(quarters[0], quarters[1]));
  const __m512i pairs = _mm512_madd_epi16(eighths, _mm512_set1_epi16(1));
  // 32-bit element 0 of lane l: a[l]'s sum; element 2: a[l + 4]'s.
  const __m512i sums = _mm512_add_epi32(pairs, _mm512_srli_epi64(pairs, 32));
  // Words 0 .. 7 of the result: those elements, as 16-bit words.
  const __m512i order = _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0x001C0014000C0004, 0x0018001000080000);
  return _mm512_castsi512_si128(_mm512_permutexvar_epi16(order, sums));
}

// Sums, from a lane's history at the start of a block, the taps from
// VectorFirstTap on of each sample of the next block into its ring slots.
template <int Vectors>
DST_AVX512 DST_INLINE void NextBlockSums(const Lane& lane, uint64_t low, uint64_t high,
                                         int16_t* ring, int next_block) {
  const uint64_t history[2] = {low, high};
  __mmask32 set[Vectors];  // which of 32 history samples are 1
  for (int v = 0; v < Vectors; ++v) {
    set[v] = _cvtu32_mask32(static_cast<uint32_t>(history[v / 2] >> (VectorLanes * (v % 2))));
  }
  __m512i sample[BlockSamples];
  for (int k = 0; k < BlockSamples; ++k) {
    const int16_t* taps = lane.older_taps + k * DstMaxOrder;
    sample[k] = _mm512_maskz_loadu_epi16(set[0], taps);
    for (int v = 1; v < Vectors; ++v) {
      sample[k] = _mm512_mask_add_epi16(sample[k], set[v], sample[k],
                                        _mm512_loadu_si512(taps + VectorLanes * v));
    }
  }
  // The sum of c times +1 or -1 is the sum of 2c over the 1s less the sum of c.
  const __m128i sums = _mm_sub_epi16(SumsOfEight(sample), _mm_set1_epi16(lane.older_total));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(ring + next_block % 2 * BlockSamples), sums);
}

// The same sums for the block that starts now, from the group tables: at
// the start of a stretch.
void PrimeRing(Lane* lane, int groups, int block) {
  for (int k = 0; k < BlockSamples; ++k) {
    lane->ring[block % 2 * BlockSamples + k] = static_cast<int16_t>(
        GroupsFrom(lane->sums, VectorFirstTap / GroupTaps, groups, lane->low, lane->high, k));
  }
}

// A lane's table of probability words in two registers, for vpermt2w.
struct WordTable {
  __m512i low, high;
};

DST_AVX512 DST_INLINE WordTable WordTableOf(const Lane& lane) {
  return {_mm512_loadu_si512(lane.probability),
          _mm512_loadu_si512(lane.probability + PaddedTableLength / 2)};
}

// Classify of the predictions in the low two 16-bit elements, as the low
// and high halves of the result.
DST_AVX512 DST_INLINE uint32_t ClassifyPair(__m128i predictions, const WordTable& table) {
  const __m128i index = _mm_min_epu16(_mm_srli_epi16(_mm_abs_epi16(predictions), IndexShift),
                                      _mm_set1_epi16(LastPaddedIndex));
  const __m512i words =
      _mm512_permutex2var_epi16(table.low, _mm512_castsi128_si512(index), table.high);
  const __m128i signs = _mm_srli_epi16(predictions, 15);
  return static_cast<uint32_t>(
      _mm_cvtsi128_si32(_mm_or_si128(_mm512_castsi512_si128(words), signs)));
}

// What a vector loop's lanes use at every step, in its own frame: their
// state, their rings, and copies of the tables of each filter's two newest
// groups, so that no register need hold the tables' addresses.
template <int Channels>
struct VectorState {
  int16_t newest[Channels][2][GroupPatterns];
  int16_t ring[Channels][RingSlots];
  uint64_t low[Channels];
  uint32_t word[Channels];
  uint32_t next_pair[Channels];
};

// Decodes one sample of lane c in the vector loop, as PortableLaneStep;
// `older` is the sum of its taps from 9 on of the sample Ahead after this.
template <int Ahead, int Channels>
DST_AVX512 DST_INLINE void VectorLaneStep(ScaledDecoder* d, VectorState<Channels>& v, int c,
                                          const WordTable& table, int older) {
  const uint32_t word = v.word[c];
  const uint32_t bit = DecodeStep(d, RowOf(word)) ^ (word & SignBit);
  constexpr uint32_t HalfBits = 16;
  if (Ahead == 2) v.word[c] = v.next_pair[c] >> (bit * HalfBits) & 0xFFFF;
  const uint64_t low = v.low[c] << 1 | bit;
  v.low[c] = low;
  if (Ahead == 1) {
    const int prediction = older + v.newest[c][0][low & GroupMask];
    v.word[c] = ClassifyPair(_mm_cvtsi32_si128(prediction), table) & 0xFFFF;
  } else {
    int32_t pair;  // the newest group's two values, adjacent entries
    std::memcpy(&pair, v.newest[c][0] + ((low & PairMask) << 1), sizeof pair);
    v.next_pair[c] = ClassifyPair(
        _mm_add_epi16(_mm_cvtsi32_si128(pair), _mm_set1_epi16(static_cast<int16_t>(older))), table);
  }
}

// One block of samples of every lane; Within: the block's code is in the
// frame. (SampleStep's loop, written out: a lambda would not be compiled
// for AVX-512, and could not take VectorLaneStep inline.)
template <int Channels, bool Within>
DST_AVX512 DST_INLINE void VectorBlock(const CodeStream& stream, ScaledDecoder* d,
                                       VectorState<Channels>& v, const WordTable* table,
                                       int block) {
  constexpr int Ahead = AheadFor(Channels);
  for (int k = 0; k < BlockSamples; ++k) {
    const unsigned slot = (static_cast<unsigned>(block) * BlockSamples + k + Ahead) & RingMask;
    size_t window_position = 0;
    uint64_t window = 0;
#pragma GCC unroll 6
    for (int c = 0; c < Channels; ++c) {
      if (c % FillSteps == 0) {
        window_position = d->position;
        window = Within ? stream.ComplementedWithin(window_position)
                        : stream.ComplementedAt(window_position);
      }
      // Group 1 of the sample Ahead after this one: history bits 8 - Ahead ..
      const int group1 = v.newest[c][1][v.low[c] >> (GroupTaps - Ahead) & GroupMask];
      VectorLaneStep<Ahead>(d, v, c, table[c], v.ring[c][slot] + group1);
      if (c % FillSteps == FillSteps - 1 || c == Channels - 1) FillGap(d, window, window_position);
    }
  }
}

// Blocks [begin, end) of every lane, which none of their segments'
// boundaries crosses.
template <int Channels, int Vectors>
DST_AVX512 void VectorStretch(const CodeStream& stream, ScaledDecoder* decoder, Lane* lanes,
                              int begin, int end, uint8_t* const out[]) {
  ScaledDecoder d = *decoder;
  VectorState<Channels> v;
  WordTable table[Channels];
  uint64_t high[Channels];
  for (int c = 0; c < Channels; ++c) {
    table[c] = WordTableOf(lanes[c]);
    std::memcpy(v.newest[c], lanes[c].sums, sizeof v.newest[c]);
    std::memcpy(v.ring[c], lanes[c].ring, sizeof v.ring[c]);
    v.low[c] = lanes[c].low;
    v.word[c] = lanes[c].word;
    v.next_pair[c] = lanes[c].next_pair;
    high[c] = lanes[c].high;
  }
  for (int block = begin; block < end; ++block) {
    uint64_t block_low[Channels];
#pragma GCC unroll 6
    for (int c = 0; c < Channels; ++c) {
      block_low[c] = v.low[c];
      NextBlockSums<Vectors>(lanes[c], v.low[c], high[c], v.ring[c], block + 1);
    }
    if (d.position / ByteBits + BlockCodeBytes(Channels) <= stream.bytes) {
      VectorBlock<Channels, true>(stream, &d, v, table, block);
    } else {
      VectorBlock<Channels, false>(stream, &d, v, table, block);
    }
#pragma GCC unroll 6
    for (int c = 0; c < Channels; ++c) {
      out[c][block] = static_cast<uint8_t>(v.low[c]);
      high[c] = high[c] << BlockSamples | block_low[c] >> (WordBits - BlockSamples);
    }
  }
  for (int c = 0; c < Channels; ++c) {
    lanes[c].low = v.low[c];
    lanes[c].high = high[c];
    lanes[c].word = v.word[c];
    lanes[c].next_pair = v.next_pair[c];
  }
  *decoder = d;
}

#pragma GCC diagnostic pop

template <int Channels, int... Vectors>
constexpr std::array<StretchLoop, MaxVectors> VectorLoopsOf(
    std::integer_sequence<int, Vectors...>) {
  return {&VectorStretch<Channels, Vectors + 1>...};
}

template <int... Channel>
constexpr std::array<std::array<StretchLoop, MaxVectors>, DstMaxChannels> VectorLoops(
    std::integer_sequence<int, Channel...>) {
  return {VectorLoopsOf<Channel + 1>(std::make_integer_sequence<int, MaxVectors>())...};
}

// Entry [channels - 1][vectors - 1]: the vector loop for filters of that
// many registers (VectorsFor).
constexpr auto VectorStretchLoops = VectorLoops(std::make_integer_sequence<int, DstMaxChannels>());

// ---- The fast decoder's frame -------------------------------------------------

// Makes the frame's probability tables into padded tables of probability
// words, and one more of the half probability that a lane uses while its
// filter fills its history where the frame says so; and zeros each filter's
// group sums up to the group class of the frame's longest filter, so that a
// loop compiled for a class may sum groups a shorter filter lacks.
void PrepareFastTables(int filters, int tables, DstScratch* s) {
  for (int t = 0; t < tables; ++t) {
    for (int i = 0; i < PaddedTableLength; ++i) {
      s->probability_words[t][i] =
          ProbabilityWord(s->probability[t][std::min(i, s->table_length[t] - 1)]);
    }
  }
  for (uint16_t& word : s->probability_words[DstMaxTables]) word = ProbabilityWord(HalfProbability);
  int longest = 1;
  for (int f = 0; f < filters; ++f) longest = std::max(longest, (s->order[f] + 7) / GroupTaps);
  const int padded = (longest + GroupsPerClass - 1) / GroupsPerClass * GroupsPerClass;
  for (int f = 0; f < filters; ++f) {
    const int groups = (s->order[f] + 7) / GroupTaps;
    std::memset(s->tap_sums[f][groups], 0, sizeof s->tap_sums[f][0] * (padded - groups));
  }
}

// The same samples as ReferenceSamples, through the portable loops or, with
// `vector`, the vector loop wherever a stretch holds whole blocks.
bool FastSamples(const uint8_t* data, size_t bytes, const FrameHeader& h, int channels,
                 int frame_bytes, uint8_t* const out[], DstScratch* scratch, bool vector) {
  const CodeStream stream{data, bytes};
  // A code register that starts at RangeStart or above lies outside the
  // interval, which no encoder writes and the scaled decoder cannot hold:
  // such a frame is decoded as the reference decodes it.
  if (stream.ComplementedAt(h.code_position) >> FractionBits == 0) {
    BitReader in{data, bytes * 8, h.code_position};
    return ReferenceSamples(&in, h, channels, frame_bytes, out, scratch, [](int) {});
  }
  PrepareFastTables(h.filters, h.tables, scratch);
  if (vector) BuildVectorTaps(h.filters, scratch);
  ScaledDecoder d = StartDecoder(stream, h.code_position);
  FillGap(&d, stream.ComplementedAt(d.position), d.position);
  DecodeStep(&d, RowOf(ProbabilityWord(ReservedBitProbability(scratch->filter_coefficient[0][0]))));

  Lane lanes[DstMaxChannels];
  for (int c = 0; c < channels; ++c) lanes[c].low = lanes[c].high = InitialHistory;
  int filter_segment[DstMaxChannels] = {}, table_segment[DstMaxChannels] = {};
  int lane_filter[DstMaxChannels];
  const int samples = frame_bytes * 8;
  for (int i = 0; i < samples;) {
    // Set up each channel for the stretch from i to the next boundary of any.
    int stretch_end = samples;
    int groups = 1, vectors = 1;
    bool half = false;
    for (int c = 0; c < channels; ++c) {
      while (i >= h.filter_segments.end[c][filter_segment[c]]) ++filter_segment[c];
      while (i >= h.table_segments.end[c][table_segment[c]]) ++table_segment[c];
      const int f = h.filter_map[c][filter_segment[c]];
      const int t = h.table_map[c][table_segment[c]];
      const bool lane_half = h.half_probability[c] && i < scratch->order[f];
      Lane& lane = lanes[c];
      lane.sums = scratch->tap_sums[f];
      lane.probability = scratch->probability_words[lane_half ? DstMaxTables : t];
      PrimeLane(&lane, (scratch->order[f] + 7) / GroupTaps);
      lane_filter[c] = f;
      groups = std::max(groups, (scratch->order[f] + 7) / GroupTaps);
      vectors = std::max(vectors, VectorsFor(scratch->order[f]));
      half = half || lane_half;
      stretch_end = std::min({stretch_end, h.filter_segments.end[c][filter_segment[c]],
                              h.table_segments.end[c][table_segment[c]]});
      if (lane_half) stretch_end = std::min(stretch_end, scratch->order[f]);
    }
    // Segments end on whole blocks; only the half probabilities end inside
    // one, and the portable loop takes the samples up to the next block.
    const int block_end = (i + BlockSamples - 1) / BlockSamples * BlockSamples;
    if (i < block_end) stretch_end = std::min(stretch_end, block_end);
    if (vector && !half && i % BlockSamples == 0) {
      for (int c = 0; c < channels; ++c) {
        const int f = lane_filter[c];
        lanes[c].older_taps = scratch->vector_taps[f][0];
        lanes[c].older_total = scratch->vector_total[f];
        PrimeRing(&lanes[c], (scratch->order[f] + 7) / GroupTaps, i / BlockSamples);
      }
      VectorStretchLoops[channels - 1][vectors - 1](stream, &d, lanes, i / BlockSamples,
                                                    stretch_end / BlockSamples, out);
    } else {
      const int group_class = (groups + GroupsPerClass - 1) / GroupsPerClass - 1;
      PortableStretchLoops[channels - 1][group_class](stream, &d, lanes, i, stretch_end, out);
    }
    i = stretch_end;
  }
  return d.position <= bytes * 8 + MaxOverrunBits;
}

enum class Decoder { Reference, Portable, Vector };

bool DecodeFrame(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                 uint8_t* const out[], DstScratch* scratch, Decoder decoder) {
  if (channels < 1 || channels > DstMaxChannels || channel_bytes < 1 ||
      channel_bytes > DstMaxChannelBytes || bytes < 2)
    return false;
  if ((data[0] >> 7) == 0) return DecodePlain(data, bytes, channels, channel_bytes, out);
  BitReader in{data, bytes * 8};
  const int frame_bytes = static_cast<int>(channel_bytes);
  FrameHeader header;
  if (!ReadHeader(&in, channels, frame_bytes, &header, scratch)) return false;
  if (decoder == Decoder::Reference) {
    return ReferenceSamples(&in, header, channels, frame_bytes, out, scratch, [](int) {});
  }
  return FastSamples(data, bytes, header, channels, frame_bytes, out, scratch,
                     decoder == Decoder::Vector);
}

// Reads a coded frame's header as DecodeFrame does: false for a frame that
// is not coded or whose header is malformed.
bool ReadCodedHeader(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                     BitReader* in, FrameHeader* header, DstScratch* scratch) {
  if (channels < 1 || channels > DstMaxChannels || channel_bytes < 1 ||
      channel_bytes > DstMaxChannelBytes || bytes < 2 || (data[0] >> 7) == 0)
    return false;
  return ReadHeader(in, channels, static_cast<int>(channel_bytes), header, scratch);
}

}  // namespace

size_t DstStepProbabilities(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                            uint8_t* const out[], uint8_t* probabilities, DstScratch* scratch) {
  BitReader in{data, bytes * 8};
  FrameHeader header;
  if (!ReadCodedHeader(data, bytes, channels, channel_bytes, &in, &header, scratch)) return 0;
  size_t steps = 0;
  ReferenceSamples(&in, header, channels, static_cast<int>(channel_bytes), out, scratch,
                   [&](int p) { probabilities[steps++] = static_cast<uint8_t>(p); });
  return steps;
}

size_t DstDecodeSteps(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                      const uint8_t* probabilities, size_t steps, uint8_t* outcomes,
                      DstScratch* scratch) {
  BitReader in{data, bytes * 8};
  FrameHeader header;
  if (!ReadCodedHeader(data, bytes, channels, channel_bytes, &in, &header, scratch)) return 0;
  // The fast loops' decoder, filled every FillSteps steps as they fill it,
  // and the frame's end checked once per 8 steps of 6 channels, as the
  // vector loop checks it once per block.
  const CodeStream stream{data, bytes};
  ScaledDecoder d = StartDecoder(stream, header.code_position);
  FillGap(&d, stream.ComplementedAt(d.position), d.position);
  constexpr size_t ChunkSteps = BlockSamples * DstMaxChannels;
  const auto decode = [&](size_t k) {
    outcomes[k] = static_cast<uint8_t>(DecodeStep(&d, RowOf(ProbabilityWord(probabilities[k]))));
  };
  size_t k = 0;
  for (; k + ChunkSteps <= steps; k += ChunkSteps) {
    const bool within = d.position / ByteBits + BlockCodeBytes(DstMaxChannels) <= bytes;
    for (size_t j = 0; j < ChunkSteps; j += FillSteps) {
      const size_t window_position = d.position;
      const uint64_t window = within ? stream.ComplementedWithin(window_position)
                                     : stream.ComplementedAt(window_position);
      for (int f = 0; f < FillSteps; ++f) decode(k + j + f);
      FillGap(&d, window, window_position);
    }
  }
  for (; k < steps; ++k) {
    const size_t window_position = d.position;
    const uint64_t window = stream.ComplementedAt(window_position);
    decode(k);
    FillGap(&d, window, window_position);
  }
  return d.position;
}

bool DstKernelSupported(DstKernel kernel) {
  switch (kernel) {
    case DstKernel::Portable:
      return true;
    case DstKernel::Avx512:
      return Avx512Supported();
  }
  return false;
}

DstKernel BestDstKernel() {
  // Decided once: CPUID may cost microseconds (under a hypervisor it traps),
  // as much as a good part of a frame.
  static const DstKernel best = Avx512Supported() ? DstKernel::Avx512 : DstKernel::Portable;
  return best;
}

const char* DstKernelName(DstKernel kernel) {
  switch (kernel) {
    case DstKernel::Portable:
      return "portable";
    case DstKernel::Avx512:
      return "avx512";
  }
  return "unknown";
}

bool DecodeDstFrameWith(DstKernel kernel, const uint8_t* data, size_t bytes, int channels,
                        size_t channel_bytes, uint8_t* const out[], DstScratch* scratch) {
  return DecodeFrame(data, bytes, channels, channel_bytes, out, scratch,
                     kernel == DstKernel::Avx512 ? Decoder::Vector : Decoder::Portable);
}

bool DecodeDstFrame(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                    uint8_t* const out[], DstScratch* scratch) {
  return DecodeDstFrameWith(BestDstKernel(), data, bytes, channels, channel_bytes, out, scratch);
}

bool DecodeDstFrameReference(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                             uint8_t* const out[], DstScratch* scratch) {
  return DecodeFrame(data, bytes, channels, channel_bytes, out, scratch, Decoder::Reference);
}
