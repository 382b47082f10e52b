// DST frame encoding: segmentation and mapping, least-squares filters,
// probability tables from the frame's own prediction errors, coefficient
// coding, and the arithmetic coder that mirrors dst/dst.cpp's decoder.
#include "tools/dst_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dst/dst.h"
#include "dst/dst_format.h"

namespace {

using namespace dst_format;

// What the encoder chooses to write, within what the format allows.
constexpr int MaxFilterRice = 6;     // the largest Rice parameter written for filters
constexpr int MaxTableRice = 4;      // and for probability tables
constexpr int MaxRiceCodeBits = 24;  // longest Rice code written, all its bits
constexpr uint32_t RegisterCarry = 1u << RegisterBits;
constexpr int SegmentResolution = 8;  // bytes per unit of segment length
// FFmpeg refuses a frame of 12 filters or tables; the format allows 2 per channel.
constexpr int MaxTablesWritten = 11;
// Coefficients are the least-squares taps times this, unless that overflows.
constexpr double CoefficientScale = 256.0;

struct BitWriter {
  std::vector<uint8_t> bits;  // one bit per element, in order
  void Field(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits.push_back(value >> i & 1);
  }
  void Bit(bool b) { bits.push_back(b); }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) out[i >> 3] |= bits[i] << (7 - (i & 7));
    return out;
  }
};

// ---- Segmentation and mapping ---------------------------------------------

// Per channel, where each segment but the last ends, in units of
// SegmentResolution bytes, and which table each segment uses.
struct Layout {
  int count[DstMaxChannels];
  int end[DstMaxChannels][MaxTableSegments];
  int map[DstMaxChannels][MaxTableSegments];
  int tables = 0;
};

// Splits every channel into about `segments` equal parts (each at least
// `min_bits`); with `per_channel`, channel c into fewer parts as c grows.
void Segment(int channels, int frame_bytes, int segments, int min_bits, bool per_channel,
             Layout* layout) {
  const int units = frame_bytes / SegmentResolution;
  const int min_units = (min_bits / 8 + SegmentResolution - 1) / SegmentResolution;
  for (int c = 0; c < channels; ++c) {
    int n = per_channel ? segments - c % segments : segments;
    n = std::max(1, std::min(n, units / min_units));  // every part at least min_bits
    for (int s = 0; s + 1 < n; ++s) layout->end[c][s] = units * (s + 1) / n;
    layout->end[c][n - 1] = 0;  // the last segment runs to the frame's end
    layout->count[c] = n;
  }
}

// Numbers the segments channel by channel, `tables` distinct numbers spread
// evenly over them in order (so that each is old or the next new one).
void Map(int channels, int tables, Layout* layout) {
  int segments = 0;
  for (int c = 0; c < channels; ++c) segments += layout->count[c];
  tables = std::max(
      1, std::min({tables <= 0 ? segments : tables, segments, 2 * channels, MaxTablesWritten}));
  int u = 0;
  for (int c = 0; c < channels; ++c) {
    for (int s = 0; s < layout->count[c]; ++s) layout->map[c][s] = u++ * tables / segments;
  }
  layout->tables = tables;
}

bool SameForAllChannels(int channels, const Layout& l, bool maps) {
  for (int c = 1; c < channels; ++c) {
    if (l.count[c] != l.count[0]) return false;
    for (int s = 0; s < l.count[0]; ++s) {
      if ((maps ? l.map[c][s] : l.end[c][s]) != (maps ? l.map[0][s] : l.end[0][s])) return false;
    }
  }
  return true;
}

void WriteSegmentation(BitWriter* w, int channels, int frame_bytes, int min_bits, const Layout& l) {
  const bool same = SameForAllChannels(channels, l, false);
  w->Bit(same);
  const int size_limit = frame_bytes - min_bits / 8;
  bool resolution_written = false;
  for (int c = 0; c < (same ? 1 : channels); ++c) {
    int max_size = size_limit;
    int start = 0;
    for (int s = 0; s + 1 < l.count[c]; ++s) {
      w->Bit(false);
      if (!resolution_written) {
        w->Field(SegmentResolution, DstFieldBits(size_limit));
        resolution_written = true;
      }
      const int length = l.end[c][s] - start;
      w->Field(length, DstFieldBits(max_size / SegmentResolution));
      max_size -= SegmentResolution * length;
      start = l.end[c][s];
    }
    w->Bit(true);
  }
}

void WriteMapping(BitWriter* w, int channels, const Layout& l) {
  const bool same = SameForAllChannels(channels, l, true);
  w->Bit(same);
  int count = 0;
  for (int c = 0; c < (same ? 1 : channels); ++c) {
    for (int s = 0; s < l.count[c]; ++s) {
      w->Field(l.map[c][s], DstFieldBits(count));
      if (l.map[c][s] == count) ++count;
    }
  }
}

// The sample where segment s of channel c starts and ends.
int SegmentStart(const Layout& l, int c, int s) {
  return s == 0 ? 0 : l.end[c][s - 1] * SegmentResolution * 8;
}
int SegmentEnd(const Layout& l, int c, int s, int samples) {
  return s + 1 == l.count[c] ? samples : l.end[c][s] * SegmentResolution * 8;
}

// ---- Filters ----------------------------------------------------------------

// One channel's samples packed 64 to a word, sample n in bit n % 64.
struct PackedBits {
  std::vector<uint64_t> words;
  uint64_t Window(int n) const {  // samples n .. n + 63
    const size_t w = static_cast<size_t>(n) >> 6;
    const int shift = n & 63;
    uint64_t value = words[w] >> shift;
    if (shift != 0 && w + 1 < words.size()) value |= words[w + 1] << (64 - shift);
    return value;
  }
};

PackedBits Pack(const uint8_t* bytes, size_t count) {
  PackedBits packed;
  packed.words.assign((count * 8 + 63) / 64 + 1, 0);
  for (size_t i = 0; i < count * 8; ++i) {
    packed.words[i >> 6] |= static_cast<uint64_t>(bytes[i >> 3] >> (7 - (i & 7)) & 1) << (i & 63);
  }
  return packed;
}

// Adds sum over n in [first, end) of x[n] x[n - k], x = +-1, for k = 0 .. order.
void AddCorrelation(const PackedBits& x, int first, int end, int order, double* r) {
  first = std::max(first, order);
  for (int k = 0; k <= order; ++k) {
    int differ = 0;
    for (int n = first; n < end; n += 64) {
      uint64_t d = x.Window(n) ^ x.Window(n - k);
      if (end - n < 64) d &= (uint64_t{1} << (end - n)) - 1;
      differ += __builtin_popcountll(d);
    }
    r[k] += std::max(end - first, 0) - 2.0 * differ;
  }
}

// Least-squares taps h (x[n] ~ sum h[t] x[n - 1 - t]) from correlations, by
// Levinson-Durbin, as 9-bit integers.
void DesignFilter(const double* r, int order, int* coefficient) {
  std::vector<double> a(order + 1, 0.0), previous(order + 1, 0.0);
  double error = r[0] * 1.00001 + 1e-9;
  for (int i = 1; i <= order && error > 0; ++i) {
    double acc = r[i];
    for (int j = 1; j < i; ++j) acc -= a[j] * r[i - j];
    const double k = acc / error;
    previous = a;
    a[i] = k;
    for (int j = 1; j < i; ++j) a[j] = previous[j] - k * previous[i - j];
    error *= 1 - k * k;
  }
  double largest = 0;
  for (int t = 1; t <= order; ++t) largest = std::max(largest, std::fabs(a[t]));
  const double scale =
      largest * CoefficientScale > MaxCoefficient ? MaxCoefficient / largest : CoefficientScale;
  for (int t = 0; t < order; ++t) {
    const long v = std::lround(a[t + 1] * scale);
    coefficient[t] = static_cast<int>(std::clamp<long>(v, MinCoefficient, MaxCoefficient));
  }
}

// The same group sums the decoder builds.
void TapSums(const int* coefficient, int order, int16_t sums[DstTapGroups][256]) {
  for (int g = 0; g < (order + 7) / 8; ++g) {
    int c[8] = {};
    for (int l = 0; l < 8 && 8 * g + l < order; ++l) c[l] = coefficient[8 * g + l];
    int all_clear = 0;
    for (int l = 0; l < 8; ++l) all_clear -= c[l];
    sums[g][0] = static_cast<int16_t>(all_clear);
    for (int k = 1; k < 256; ++k) {
      sums[g][k] = static_cast<int16_t>(sums[g][k & (k - 1)] + 2 * c[__builtin_ctz(k)]);
    }
  }
}

// ---- Coefficient coding -----------------------------------------------------

struct Coding {
  bool predicted = false;
  int method = 0;
  int rice = 0;
  long bits = 0;
};

// The Rice-coded difference the decoder turns back into values[i].
int Residual(const int* values, int i, const int prediction[Methods][Methods], int method) {
  int x = 0;
  for (int k = 0; k <= method; ++k) x += prediction[method][k] * values[i - k - 1];
  return x >= 0 ? values[i] + (x + 4) / 8 : values[i] - (-x + 3) / 8;
}

Coding ChooseCoding(const int* values, int length, int plain_bits,
                    const int prediction[Methods][Methods], int max_rice, CoefficientCoding how) {
  Coding plain;
  plain.bits = static_cast<long>(length) * plain_bits;
  Coding best;
  best.bits = -1;
  for (int method = 0; method < Methods && method < length; ++method) {
    for (int rice = 0; rice <= max_rice; ++rice) {
      long bits = MethodBits + (method + 1L) * plain_bits + RiceParameterBits;
      bool fits = true;
      for (int i = method + 1; i < length; ++i) {
        const int r = std::abs(Residual(values, i, prediction, method));
        const int code = (r >> rice) + 1 + rice + (r != 0);
        fits = fits && code <= MaxRiceCodeBits;
        bits += code;
      }
      if (fits && (best.bits < 0 || bits < best.bits)) best = {true, method, rice, bits};
    }
  }
  if (how == CoefficientCoding::Plain || best.bits < 0) return plain;
  if (how == CoefficientCoding::Predicted || best.bits < plain.bits) return best;
  return plain;
}

void WriteValues(BitWriter* w, const int* values, int length, int plain_bits, int offset,
                 const int prediction[Methods][Methods], const Coding& coding) {
  auto plain = [&](int v) { w->Field(static_cast<uint32_t>(v - offset), plain_bits); };
  w->Bit(coding.predicted);
  if (!coding.predicted) {
    for (int i = 0; i < length; ++i) plain(values[i]);
    return;
  }
  w->Field(coding.method, MethodBits);
  for (int i = 0; i <= coding.method; ++i) plain(values[i]);
  w->Field(coding.rice, RiceParameterBits);
  for (int i = coding.method + 1; i < length; ++i) {
    const int r = Residual(values, i, prediction, coding.method);
    const int magnitude = std::abs(r);
    for (int q = magnitude >> coding.rice; q > 0; --q) w->Bit(false);
    w->Bit(true);
    w->Field(magnitude & ((1 << coding.rice) - 1), coding.rice);
    if (r != 0) w->Bit(r < 0);
  }
}

// ---- Arithmetic coding ------------------------------------------------------

struct ArithmeticEncoder {
  uint32_t range = RangeStart;
  uint32_t low = 0;  // the register: the code's next 12 bits before carries
  std::vector<uint8_t>* bits;
  size_t first = 0;  // bits[first] is the code's first bit

  void Encode(bool wide, uint32_t probability) {
    const uint32_t unit = (range >> 8) | (range >> 7 & 1);
    const uint32_t narrow = unit * probability;
    if (wide) {
      range -= narrow;
    } else {
      low += range - narrow;
      range = narrow;
    }
    if (low >= RegisterCarry) {  // carry into the bits already out
      low -= RegisterCarry;
      size_t i = bits->size();
      while (i > first && (*bits)[i - 1] == 1) (*bits)[--i] = 0;
      (*bits)[i - 1] = 1;
    }
    while (range < RangeFloor) {
      range <<= 1;
      low <<= 1;
      bits->push_back(low >> RegisterBits & 1);
      low &= RegisterCarry - 1;
    }
  }
  void Finish() {
    for (int i = RegisterBits - 1; i >= 0; --i) bits->push_back(low >> i & 1);
  }
};

int ReservedBitProbability(int coefficient) {
  int reversed = 0;
  for (int i = 0; i < 7; ++i) reversed = reversed << 1 | (coefficient >> i & 1);
  return reversed + 1;
}

std::vector<uint8_t> PlainFrame(const uint8_t* const channel[], int channels, size_t bytes) {
  std::vector<uint8_t> out(1 + channels * bytes, 0);
  for (size_t i = 0; i < bytes; ++i) {
    for (int c = 0; c < channels; ++c) out[1 + i * channels + c] = channel[c][i];
  }
  return out;
}

}  // namespace

std::vector<uint8_t> EncodeDstFrame(const uint8_t* const channel[], int channels,
                                    size_t channel_bytes, const DstEncoderOptions& options) {
  std::vector<uint8_t> plain = PlainFrame(channel, channels, channel_bytes);
  if (options.plain) return plain;
  const int frame_bytes = static_cast<int>(channel_bytes);
  const int samples = frame_bytes * 8;
  const int order = std::clamp(options.order, 1, DstMaxOrder);

  Layout filters{}, tables{};
  Segment(channels, frame_bytes, std::clamp(options.segments, 1, MaxFilterSegments),
          FilterSegmentMinBits, options.per_channel_segments, &filters);
  Map(channels, options.filters, &filters);
  const bool same_segmentation = options.table_segments <= 0;
  if (same_segmentation) {
    tables = filters;
  } else {
    Segment(channels, frame_bytes, std::min(options.table_segments, MaxTableSegments),
            TableSegmentMinBits, options.per_channel_segments, &tables);
  }
  Map(channels, options.tables > 0 ? options.tables : filters.tables, &tables);
  const bool same_mapping = same_segmentation && tables.tables == filters.tables &&
                            std::memcmp(tables.map, filters.map, sizeof tables.map) == 0;

  // Filters from the pooled correlations of the segments that use them.
  std::vector<PackedBits> packed;
  for (int c = 0; c < channels; ++c) packed.push_back(Pack(channel[c], channel_bytes));
  std::vector<std::vector<double>> r(filters.tables, std::vector<double>(order + 1, 0.0));
  for (int c = 0; c < channels; ++c) {
    for (int s = 0; s < filters.count[c]; ++s) {
      AddCorrelation(packed[c], SegmentStart(filters, c, s), SegmentEnd(filters, c, s, samples),
                     order, r[filters.map[c][s]].data());
    }
  }
  std::vector<std::vector<int>> coefficient(filters.tables, std::vector<int>(DstMaxOrder, 0));
  struct GroupSums {
    int16_t sums[DstTapGroups][256];
  };
  std::vector<GroupSums> filter_sums(filters.tables);
  for (int f = 0; f < filters.tables; ++f) {
    DesignFilter(r[f].data(), order, coefficient[f].data());
    TapSums(coefficient[f].data(), order, filter_sums[f].sums);
  }

  // Every prediction, and the table each sample's probability comes from
  // (-1: probability 1/2); then tables from the errors they see.
  std::vector<int16_t> prediction(static_cast<size_t>(channels) * samples);
  std::vector<int8_t> table_of(prediction.size());
  std::vector<std::vector<long>> seen(tables.tables, std::vector<long>(DstMaxTableLength, 0));
  std::vector<std::vector<long>> wrong = seen;
  long errors = 0;
  for (int c = 0; c < channels; ++c) {
    uint64_t history[2] = {InitialHistory, InitialHistory};
    int fs = 0, ts = 0;
    for (int i = 0; i < samples; ++i) {
      if (i == SegmentEnd(filters, c, fs, samples)) ++fs;
      if (i == SegmentEnd(tables, c, ts, samples)) ++ts;
      const GroupSums& f = filter_sums[filters.map[c][fs]];
      int sum = 0;
      for (int g = 0; g < (order + 7) / 8; ++g) {
        sum += f.sums[g][history[g >> 3] >> (8 * (g & 7)) & 0xFF];
      }
      const int16_t p = static_cast<int16_t>(sum);
      const int bit = channel[c][i >> 3] >> (7 - (i & 7)) & 1;
      const bool error = bit != (p >= 0);
      const size_t at = static_cast<size_t>(c) * samples + i;
      prediction[at] = p;
      errors += error;
      if (options.half_probability && i < order) {
        table_of[at] = -1;
      } else {
        const int t = tables.map[c][ts];
        table_of[at] = static_cast<int8_t>(t);
        const int index = std::min((p < 0 ? -p : p) >> IndexShift, DstMaxTableLength - 1);
        ++seen[t][index];
        wrong[t][index] += error;
      }
      history[1] = history[1] << 1 | history[0] >> 63;
      history[0] = history[0] << 1 | bit;
    }
  }
  if (2 * errors > static_cast<long>(channels) * samples) return plain;

  std::vector<std::vector<int>> probability(tables.tables);
  for (int t = 0; t < tables.tables; ++t) {
    int length = 2;
    for (int b = 0; b < DstMaxTableLength; ++b) {
      if (seen[t][b] > 0) length = std::max(length, b + 1);
    }
    for (int b = 0; b < length; ++b) {
      const long p = std::lround(256.0 * (wrong[t][b] + 0.4) / (seen[t][b] + 0.8));
      probability[t].push_back(
          static_cast<int>(std::clamp<long>(p, MinProbability, MaxProbability)));
    }
  }

  BitWriter w;
  w.Bit(true);  // arithmetic-coded
  w.Bit(same_segmentation);
  WriteSegmentation(&w, channels, frame_bytes, FilterSegmentMinBits, filters);
  if (!same_segmentation) WriteSegmentation(&w, channels, frame_bytes, TableSegmentMinBits, tables);
  w.Bit(same_mapping);
  WriteMapping(&w, channels, filters);
  if (!same_mapping) WriteMapping(&w, channels, tables);
  for (int c = 0; c < channels; ++c) w.Bit(options.half_probability);
  for (int f = 0; f < filters.tables; ++f) {
    w.Field(order - 1, OrderBits);
    const Coding coding = ChooseCoding(coefficient[f].data(), order, CoefficientBits,
                                       FilterPrediction, MaxFilterRice, options.coding);
    WriteValues(&w, coefficient[f].data(), order, CoefficientBits, 0, FilterPrediction, coding);
  }
  for (int t = 0; t < tables.tables; ++t) {
    const int length = static_cast<int>(probability[t].size());
    w.Field(length - 1, TableLengthBits);
    const Coding coding = ChooseCoding(probability[t].data(), length, ProbabilityBits,
                                       TablePrediction, MaxTableRice, options.coding);
    WriteValues(&w, probability[t].data(), length, ProbabilityBits, MinProbability, TablePrediction,
                coding);
  }
  w.Bit(false);  // the arithmetic code's leading 0

  ArithmeticEncoder coder;
  coder.bits = &w.bits;
  coder.first = w.bits.size();
  coder.Encode(true, ReservedBitProbability(coefficient[0][0]));
  for (int i = 0; i < samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      const size_t at = static_cast<size_t>(c) * samples + i;
      const int p = prediction[at];
      const int bit = channel[c][i >> 3] >> (7 - (i & 7)) & 1;
      int probability_of_error = HalfProbability;
      if (table_of[at] >= 0) {
        const std::vector<int>& table = probability[table_of[at]];
        const int index = std::min<int>((p < 0 ? -p : p) >> IndexShift, table.size() - 1);
        probability_of_error = table[index];
      }
      coder.Encode(bit == (p >= 0), probability_of_error);
    }
  }
  coder.Finish();
  std::vector<uint8_t> coded = w.Bytes();
  return coded.size() < plain.size() ? coded : plain;
}

// ---- Test sound ---------------------------------------------------------------

namespace {

// The fifth-order noise transfer function of tools/dff_tone.cpp, in powers of 1/z.
constexpr int NtfOrder = 5;
constexpr double NtfNumerator[NtfOrder + 1] = {
    1, -4.997323065366885, 9.9919705781813732, -9.9919705781813732, 4.997323065366885, -1};
constexpr double NtfDenominator[NtfOrder + 1] = {1,
                                                 -4.3275686707267784,
                                                 7.5308394187748915,
                                                 -6.5836927070936664,
                                                 2.8902257588244611,
                                                 -0.50952150665142326};
constexpr int Tones = 4;
constexpr double SampleRate = 2822400.0;
constexpr double Pi = 3.14159265358979323846;
constexpr double Peak = 0.45;  // the loop is stable up to 0.6

// A sine kept by rotating a unit vector, one step per sample.
struct Oscillator {
  double re = 1, im = 0, step_re = 1, step_im = 0;
  void Start(double frequency, double phase) {
    re = std::cos(phase);
    im = std::sin(phase);
    step_re = std::cos(2 * Pi * frequency / SampleRate);
    step_im = std::sin(2 * Pi * frequency / SampleRate);
  }
  double Next() {
    const double r = re * step_re - im * step_im;
    im = re * step_im + im * step_re;
    re = r;
    return im;
  }
};

}  // namespace

std::vector<std::vector<uint8_t>> MusicLikeSound(int channels, size_t channel_bytes,
                                                 uint32_t seed) {
  std::vector<std::vector<uint8_t>> sound(channels, std::vector<uint8_t>(channel_bytes, 0));
  uint32_t state = seed * 2654435761u + 12345;
  auto random = [&state] {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) / 16777216.0;
  };
  for (int c = 0; c < channels; ++c) {
    Oscillator tone[Tones], envelope;
    double weight[Tones];
    for (int k = 0; k < Tones; ++k) {
      tone[k].Start(110.0 * std::pow(2.0, 5.0 * random()), 2 * Pi * random());
      weight[k] = (0.5 + random()) / Tones;
    }
    envelope.Start(0.5 + random(), 2 * Pi * random());
    double state_e[NtfOrder] = {};  // error feedback through NTF - 1
    for (size_t i = 0; i < channel_bytes * 8; ++i) {
      double u = 0;
      for (int k = 0; k < Tones; ++k) u += weight[k] * tone[k].Next();
      u *= Peak * (0.55 + 0.45 * envelope.Next());
      u += 1e-3 * (random() - 0.5);
      const double w = state_e[0];
      const double v = u + w;
      const bool bit = v >= 0;
      const double e = (bit ? 1.0 : -1.0) - v;
      for (int j = 0; j + 1 < NtfOrder; ++j) {
        state_e[j] = state_e[j + 1] + (NtfNumerator[j + 1] - NtfDenominator[j + 1]) * e -
                     NtfDenominator[j + 1] * w;
      }
      state_e[NtfOrder - 1] =
          (NtfNumerator[NtfOrder] - NtfDenominator[NtfOrder]) * e - NtfDenominator[NtfOrder] * w;
      sound[c][i >> 3] |= static_cast<uint8_t>(bit << (7 - (i & 7)));
    }
  }
  return sound;
}
