// Decodes DST (Direct Stream Transfer) frames, the lossless coding of one-bit
// sound that a DSDIFF file carries in "DSTF" chunks, into plain one-bit sound,
// with the fastest loop this CPU runs, each bit for bit the reference's.
// Memory in, memory out: no files, threads, printing or allocation. Each frame
// is independent; the caller gives every thread its own DstScratch and says
// how many channels and bytes per channel a frame holds (DstChannelBytes).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int DstMaxChannels = 6;                 // channels a DST frame may hold
constexpr int DstMaxTables = 2 * DstMaxChannels;  // filters, or probability tables, in a frame
constexpr int DstMaxOrder = 128;                  // taps of a prediction filter
constexpr int DstTapGroups = DstMaxOrder / 8;     // a filter is summed 8 taps at a time
constexpr int DstMaxTableLength = 64;             // entries of a probability table
constexpr int DstBlockSamples = 8;  // samples the AVX-512 loop sums the older taps of at once
constexpr uint32_t DstFramesPerSecond = 75;  // every frame holds 1/75 s of sound
// Bytes per channel of the longest frame taken: DSD512, 8 x 4704.
constexpr size_t DstMaxChannelBytes = 37632;
// What a plainly stored frame that ends early is filled with: the idle pattern
// of one-bit sound, which decodes to silence (as FFmpeg fills it).
constexpr uint8_t DstIdleByte = 0x69;

// Working memory for one frame at a time. Contents between calls mean nothing.
struct DstScratch {
  // Per filter and group of 8 taps: the group's sum for each byte of history
  // (bit l of the byte is the sample l + 1 steps back within the group).
  int16_t tap_sums[DstMaxTables][DstTapGroups][256];
  int order[DstMaxTables];
  int filter_coefficient[DstMaxTables][DstMaxOrder];
  uint8_t probability[DstMaxTables][DstMaxTableLength];  // of a wrong prediction, in 1/256
  int table_length[DstMaxTables];
  // The tables as the fast decoder looks them up: each entry the offset of
  // a row of narrow interval widths, each table padded to 64 entries with its
  // last, and one more of probability 1/2.
  uint16_t probability_words[DstMaxTables + 1][DstMaxTableLength];
  // Each filter laid out for the AVX-512 loop: per sample of a block of 8,
  // twice its coefficients of the taps from 17 on, and their sum.
  int16_t vector_taps[DstMaxTables][DstBlockSamples][DstMaxOrder];
  int vector_total[DstMaxTables];
};

// The width of a field that holds 0 .. x, as a frame sizes its segment
// lengths and map entries: the bits needed to write x (0 for 0).
int DstFieldBits(int x);

// Bytes per channel in one frame of sound at `sample_rate` samples per second
// (4704 at DSD64); 0 when a frame would not be a whole number of bytes.
size_t DstChannelBytes(uint32_t sample_rate);

// Decodes the payload of one "DSTF" chunk, `bytes` long, holding `channels`
// (1 to 6) channels of `channel_bytes` (1 to DstMaxChannelBytes) bytes each,
// into out[0] .. out[channels - 1], channel_bytes bytes each, the earliest
// sample in each byte's most significant bit (the DSDIFF bit order). Returns
// false when the frame is malformed (out then holds anything). Never reads
// outside [data, data + bytes) and never loops beyond the frame's own size,
// whatever the bytes.
bool DecodeDstFrame(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                    uint8_t* const out[], DstScratch* scratch);

// The loops DecodeDstFrame chooses from. Each decodes every frame, whole or
// damaged, to the bits and outcome of DecodeDstFrameReference.
enum class DstKernel {
  Portable,  // plain x86-64: runs on any machine
  Avx512,    // the taps older than 16 samples summed 8 samples at a time in AVX-512
};

constexpr int DstKernelCount = 2;

// Whether this CPU can run `kernel`.
bool DstKernelSupported(DstKernel kernel);

// The kernel DecodeDstFrame uses on this CPU.
DstKernel BestDstKernel();

// A short name of the kernel for test and benchmark labels.
const char* DstKernelName(DstKernel kernel);

// For tests and benchmarks: DecodeDstFrame with a chosen kernel, which must
// be supported.
bool DecodeDstFrameWith(DstKernel kernel, const uint8_t* data, size_t bytes, int channels,
                        size_t channel_bytes, uint8_t* const out[], DstScratch* scratch);

// For benchmarks, the arithmetic decoding alone: the chain from step to step
// that every fast loop waits on. DstStepProbabilities decodes a coded frame
// as DecodeDstFrameReference does (into `out`) and writes the probability
// of each of its decoding steps to `probabilities`, which holds channels *
// channel_bytes * 8 + 1 of them (the first the reserved bit's); it returns
// how many it wrote, 0 when the frame is plain or its header malformed.
// DstDecodeSteps decodes the frame's code at those probabilities with the
// fast loops' arithmetic decoder, writing each step's outcome (1: the likely
// part) to `outcomes`, and returns the frame bit it got to.
size_t DstStepProbabilities(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                            uint8_t* const out[], uint8_t* probabilities, DstScratch* scratch);
size_t DstDecodeSteps(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                      const uint8_t* probabilities, size_t steps, uint8_t* outcomes,
                      DstScratch* scratch);

// The same, one bit at a time as the format describes it: slower, the oracle
// DecodeDstFrame is tested against.
bool DecodeDstFrameReference(const uint8_t* data, size_t bytes, int channels, size_t channel_bytes,
                             uint8_t* const out[], DstScratch* scratch);
