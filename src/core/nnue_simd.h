// The integer vector operations of the NNUE kernels, one wrapper per thing done to our data:
// 512-bit at the x86-64-v4 level (VELMAR_AVX512), 256-bit otherwise. The only file that includes
// <immintrin.h>; without VELMAR_AVX2 it is empty and nnue.cpp uses its scalar twins. Loads and
// stores are aligned: rows and accumulators are 64-byte aligned.
#pragma once

#include <cstdint>

#if VELMAR_AVX2
#include <immintrin.h>

namespace velmar::simd {

#if VELMAR_AVX512
using VecI16 = __m512i; // 32 hidden values
using VecI32 = __m512i; // 16 partial sums
inline constexpr int I16_LANES = 32;

inline VecI16 load(const int16_t* p) {
    return _mm512_load_si512(p);
}
inline void store(int16_t* p, VecI16 v) {
    _mm512_store_si512(p, v);
}
inline VecI16 add(VecI16 a, VecI16 b) {
    return _mm512_add_epi16(a, b);
}
inline VecI16 sub(VecI16 a, VecI16 b) {
    return _mm512_sub_epi16(a, b);
}
inline VecI16 clip_0_255(VecI16 a) {
    return _mm512_min_epi16(_mm512_max_epi16(a, _mm512_setzero_si512()), _mm512_set1_epi16(255));
}
inline VecI16 mul_low(VecI16 v, VecI16 w) {
    return _mm512_mullo_epi16(v, w);
}
inline VecI32 mul_pairs(VecI16 v, VecI16 p) {
    return _mm512_madd_epi16(v, p);
}
inline VecI32 zero32() {
    return _mm512_setzero_si512();
}
inline VecI32 add32(VecI32 a, VecI32 b) {
    return _mm512_add_epi32(a, b);
}
inline int32_t sum_lanes(VecI32 v) {
    return _mm512_reduce_add_epi32(v);
}
#else

using VecI16 = __m256i; // 16 hidden values
using VecI32 = __m256i; // 8 partial sums
inline constexpr int I16_LANES = 16;

inline VecI16 load(const int16_t* p) {
    return _mm256_load_si256(reinterpret_cast<const VecI16*>(p));
}
inline void store(int16_t* p, VecI16 v) {
    _mm256_store_si256(reinterpret_cast<VecI16*>(p), v);
}
// Wrapping 16-bit lane arithmetic, the same as the scalar twins' modulo-2^16 sums.
inline VecI16 add(VecI16 a, VecI16 b) {
    return _mm256_add_epi16(a, b);
}
inline VecI16 sub(VecI16 a, VecI16 b) {
    return _mm256_sub_epi16(a, b);
}
inline VecI16 clip_0_255(VecI16 a) {
    return _mm256_min_epi16(_mm256_max_epi16(a, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}
// Low 16 bits of v x w: exact, since |w| <= 127 and 0 <= v <= 255.
inline VecI16 mul_low(VecI16 v, VecI16 w) {
    return _mm256_mullo_epi16(v, w);
}
// Adjacent pairs of v x p summed into 32 bits; a pair is at most 2 x 255 x 32385, no overflow.
inline VecI32 mul_pairs(VecI16 v, VecI16 p) {
    return _mm256_madd_epi16(v, p);
}
inline VecI32 zero32() {
    return _mm256_setzero_si256();
}
inline VecI32 add32(VecI32 a, VecI32 b) {
    return _mm256_add_epi32(a, b);
}
inline int32_t sum_lanes(VecI32 v) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}
#endif

} // namespace velmar::simd
#endif
