// The DST frame's bit layout and the arithmetic coder's constants: what a
// frame's fields are and how wide, shared by the decoder and the test
// encoder so that the two read and write one format. Plain constants only.
#pragma once

#include <cstdint>

namespace dst_format {

// Field widths, in bits.
constexpr int CodedFlagBits = 1;      // 1: arithmetic-coded frame; 0: stored plainly
constexpr int PlainReservedBits = 1;  // after the flag of a plain frame; ignored
constexpr int PlainStuffingBits = 6;  // then zeros up to the first byte of sound
constexpr int OrderBits = 7;          // filter order - 1
constexpr int CoefficientBits = 9;    // a filter coefficient, two's complement
constexpr int TableLengthBits = 6;    // probability table length - 1
constexpr int ProbabilityBits = 7;    // a probability - 1
constexpr int MethodBits = 2;         // coefficient prediction method
constexpr int RiceParameterBits = 3;  // low bits of each Rice code

constexpr int Methods = 3;  // coefficient prediction methods 0, 1, 2; 3 is not defined

// The arithmetic coder.
constexpr int RegisterBits = 12;       // the code register
constexpr uint32_t RangeStart = 4095;  // the first interval width
constexpr uint32_t RangeFloor = 2048;  // the interval is renormalised below this width
constexpr int HalfProbability = 128;   // probability used while a filter fills its history
constexpr int IndexShift = 3;          // |prediction| >> 3 indexes a probability table
constexpr int MinProbability = 1;
constexpr int MaxProbability = 128;

constexpr int MinCoefficient = -256;
constexpr int MaxCoefficient = 255;

// A filter segment spans at least 1024 bits, a probability table segment 32.
constexpr int FilterSegmentMinBits = 1024;
constexpr int TableSegmentMinBits = 32;
constexpr int MaxFilterSegments = 4;  // per channel
constexpr int MaxTableSegments = 8;   // per channel

// The history a filter starts each frame with: one byte of it, repeated.
constexpr uint64_t InitialHistory = 0xAAAAAAAAAAAAAAAAull;

// Coefficient prediction (of order method + 1), in eighths: filters, then tables.
constexpr int FilterPrediction[Methods][Methods] = {{-8, 0, 0}, {-16, 8, 0}, {-9, -5, 6}};
constexpr int TablePrediction[Methods][Methods] = {{-8, 0, 0}, {-16, 8, 0}, {-24, 24, -8}};

}  // namespace dst_format
