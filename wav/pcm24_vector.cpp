// Stereo 24-bit packing 16 frames at a time. Compiled for AVX-512 only
// inside the functions marked below, so the rest of the program stays plain
// x86-64.
// GCC 12's AVX-512 headers build "undefined" vectors as self-initialised
// locals, which -Wuninitialized reports at every inlined use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "wav/pcm24_vector.h"

#include <immintrin.h>

#include <algorithm>

#define PACK_VECTOR_KERNEL __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

constexpr size_t VectorFrames = 16;  // 16 frames of each channel per step
constexpr size_t HalfBytes = 48;     // 8 stereo frames of 6 bytes
constexpr int32_t Pcm24Min = -(1 << 23);
constexpr int32_t Pcm24Max = (1 << 23) - 1;
// Each half is stored with a whole 64-byte store, whose last 16 bytes the
// next store overwrites; the loop stops while the last one still falls on
// frames the caller packs after it (3 frames of 6 bytes cover those 16).
constexpr size_t StoreBytes = 64;
constexpr size_t SpillFrames = 3;

// vpermb indices: the low three bytes of each of 16 dwords, side by side.
struct Compaction {
  alignas(64) uint8_t index[64];
};
constexpr Compaction MakeCompaction() {
  Compaction c{};
  for (size_t i = 0; i < HalfBytes; ++i) c.index[i] = static_cast<uint8_t>(i / 3 * 4 + i % 3);
  return c;
}
constexpr Compaction LowThreeBytes = MakeCompaction();

}  // namespace

bool VectorPackingSupported() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi");
}

PACK_VECTOR_KERNEL size_t PackStereoPcm24Vector(const int32_t* left, const int32_t* right,
                                                size_t frames, uint8_t* out, ClipReport* clips) {
  const __m512i low = _mm512_set1_epi32(Pcm24Min), high = _mm512_set1_epi32(Pcm24Max);
  const __m512i compact = _mm512_load_si512(LowThreeBytes.index);
  // Dwords of `left` at even lanes, `right` (index bit 4) at odd lanes.
  const __m512i first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  const __m512i second =
      _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  // Magnitudes as unsigned values, so that even -2^31 compares right; each
  // lane counts its saturated samples as 0 or 1 a step, with no mask
  // register (see the WATCHOUT in decimate/fast_avx512.cpp).
  const __m512i one = _mm512_set1_epi32(1);
  __m512i peak = _mm512_setzero_si512();
  __m512i saturated_left = _mm512_setzero_si512(), saturated_right = _mm512_setzero_si512();
  size_t k = 0;
  for (; k + VectorFrames + SpillFrames <= frames; k += VectorFrames, out += 2 * HalfBytes) {
    const __m512i raw_l = _mm512_loadu_si512(left + k), raw_r = _mm512_loadu_si512(right + k);
    peak =
        _mm512_max_epu32(peak, _mm512_max_epu32(_mm512_abs_epi32(raw_l), _mm512_abs_epi32(raw_r)));
    const __m512i l = _mm512_min_epi32(_mm512_max_epi32(raw_l, low), high);
    const __m512i r = _mm512_min_epi32(_mm512_max_epi32(raw_r, low), high);
    saturated_left = _mm512_add_epi32(
        saturated_left, _mm512_min_epu32(_mm512_abs_epi32(_mm512_sub_epi32(raw_l, l)), one));
    saturated_right = _mm512_add_epi32(
        saturated_right, _mm512_min_epu32(_mm512_abs_epi32(_mm512_sub_epi32(raw_r, r)), one));
    _mm512_storeu_si512(out,
                        _mm512_permutexvar_epi8(compact, _mm512_permutex2var_epi32(l, first, r)));
    _mm512_storeu_si512(out + HalfBytes,
                        _mm512_permutexvar_epi8(compact, _mm512_permutex2var_epi32(l, second, r)));
  }
  // A block holds far fewer than 2^32 / 16 frames: the lanes cannot overflow.
  clips->saturated[0] += static_cast<uint32_t>(_mm512_reduce_add_epi32(saturated_left));
  clips->saturated[1] += static_cast<uint32_t>(_mm512_reduce_add_epi32(saturated_right));
  clips->peak = std::max<uint64_t>(clips->peak, _mm512_reduce_max_epu32(peak));
  return k;
}
