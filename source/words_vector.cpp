// Bit reversal and channel sorting 64 bytes at a time. Compiled for AVX-512
// only inside the functions marked below, so the rest of the program stays
// plain x86-64.
// GCC 12's AVX-512 headers build "undefined" vectors as self-initialised
// locals, which -Wuninitialized reports at every inlined use.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "source/words_vector.h"

#include <immintrin.h>

#define WORD_VECTOR_KERNEL __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))

namespace {

constexpr size_t VectorBytes = 64;
constexpr size_t VectorWords = VectorBytes / 8;  // 8 words of each of two channels
// The GF(2) affine matrix that mirrors the bits of each byte: output bit i is
// input bit 7 - i. vgf2p8affineqb applies it to every byte of a vector.
constexpr long long BitMirrorMatrix = 0x8040201008040201;

// vpermb indices: the 32 even bytes (left channel) to lanes 0..31, in order,
// then the 32 odd bytes (right channel) to lanes 32..63.
struct ChannelSort {
  alignas(64) uint8_t index[VectorBytes];
};
constexpr ChannelSort MakeChannelSort() {
  ChannelSort sort{};
  for (size_t lane = 0; lane < VectorBytes / 2; ++lane) {
    sort.index[lane] = static_cast<uint8_t>(2 * lane);
    sort.index[lane + VectorBytes / 2] = static_cast<uint8_t>(2 * lane + 1);
  }
  return sort;
}
constexpr ChannelSort SortByChannel = MakeChannelSort();

}  // namespace

bool VectorWordsSupported() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni");
}

WORD_VECTOR_KERNEL size_t StereoBytesToWordsVector(const uint8_t* bytes, size_t count,
                                                   ChannelWord* left, ChannelWord* right) {
  const __m512i mirror = _mm512_set1_epi64(BitMirrorMatrix);
  const __m512i sort = _mm512_load_si512(SortByChannel.index);
  size_t w = 0;
  for (; w + VectorWords <= count; w += VectorWords) {
    __m512i v = _mm512_loadu_si512(bytes + w * 8);
    v = _mm512_gf2p8affine_epi64_epi8(v, mirror, 0);
    v = _mm512_permutexvar_epi8(sort, v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(left + w), _mm512_castsi512_si256(v));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(right + w), _mm512_extracti64x4_epi64(v, 1));
  }
  return w;
}

WORD_VECTOR_KERNEL size_t ReverseBitsVector(uint8_t* bytes, size_t count) {
  const __m512i mirror = _mm512_set1_epi64(BitMirrorMatrix);
  size_t i = 0;
  for (; i + VectorBytes <= count; i += VectorBytes) {
    const __m512i v = _mm512_loadu_si512(bytes + i);
    _mm512_storeu_si512(bytes + i, _mm512_gf2p8affine_epi64_epi8(v, mirror, 0));
  }
  return i;
}
