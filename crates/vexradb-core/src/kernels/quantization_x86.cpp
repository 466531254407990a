// Quantized kernels for x86-64. The library is built for the baseline instruction set; each
// function here enables what it needs through its own target attribute, and quantization.cpp
// calls it only after checking that the processor has those features.

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/quantization_kernels.hpp"

namespace vexradb::quantization_internal {

// Lane for lane the operations of the reference in quantization.cpp: the decoding and every
// accumulation one fused multiply-add each, in the same order.
__attribute__((target("fma"))) void cosine_block_phase_sse(const float* query,
                                                           const std::uint8_t* codes, float offset,
                                                           float scale, std::size_t blocks,
                                                           CosineLanes& lanes) {
  const __m128 offsets = _mm_set1_ps(offset);
  const __m128 scales = _mm_set1_ps(scale);
  __m128 dot = _mm_setzero_ps();
  __m128 norm_q = _mm_setzero_ps();
  __m128 norm_v = _mm_setzero_ps();
  for (std::size_t i = 0; i < 4 * blocks; i += 4) {
    std::int32_t packed;
    std::memcpy(&packed, codes + i, 4);
    const __m128 code = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(packed)));
    const __m128 q = _mm_loadu_ps(query + i);
    const __m128 v = _mm_fmadd_ps(code, scales, offsets);
    dot = _mm_fmadd_ps(v, q, dot);
    norm_q = _mm_fmadd_ps(q, q, norm_q);
    norm_v = _mm_fmadd_ps(v, v, norm_v);
  }
  _mm_storeu_ps(lanes.dot, dot);
  _mm_storeu_ps(lanes.norm_q, norm_q);
  _mm_storeu_ps(lanes.norm_v, norm_v);
}

__attribute__((target("popcnt"))) std::uint64_t differing_bits_popcnt(const std::uint8_t* a,
                                                                      const std::uint8_t* b,
                                                                      std::size_t bytes) {
  return differing_bits_by_words(a, b, bytes);
}

__attribute__((target("popcnt"))) void binary_scan_popcnt(const std::uint8_t* query,
                                                          const std::uint8_t* codes,
                                                          std::size_t bytes, std::size_t count,
                                                          float dimension, float* out) {
  binary_scan_by_words(query, codes, bytes, count, dimension, out);
}

namespace {

#define VEXRA_AVX512_POPCNT \
  __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vpopcntdq")))

// Binary scans in 512-bit registers. Several intrinsics below (shuffles, broadcast, conversion)
// use their masked forms with every lane kept, because g++ 12 wrongly warns that the plain ones
// read an uninitialised register. Counts convert to float exactly rounded, as in the reference.

// (a0 + a1, b0 + b1) in each 128-bit quarter: the sums of adjacent 64-bit lanes of a and b.
VEXRA_AVX512_POPCNT inline __m512i add_adjacent(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_mask_unpacklo_epi64(a, 0xFF, a, b),
                          _mm512_mask_unpackhi_epi64(a, 0xFF, a, b));
}

// The quarters of a and b in the order (a0 + a1, a2 + a3, b0 + b1, b2 + b3).
VEXRA_AVX512_POPCNT inline __m512i add_adjacent_quarters(__m512i a, __m512i b) {
  return _mm512_add_epi64(_mm512_mask_shuffle_i64x2(a, 0xFF, a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                          _mm512_mask_shuffle_i64x2(a, 0xFF, a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

// Any code length: eight codes side by side, each read in 64-byte pieces (the last one masked,
// so nothing past a code is read) whose 64-bit population counts accumulate in a register of
// its own; a tree of additions then turns the eight registers into the eight totals.
VEXRA_AVX512_POPCNT void scan_any_length(const std::uint8_t* query, const std::uint8_t* codes,
                                         std::size_t bytes, std::size_t count, float dimension,
                                         float* out) {
  const std::size_t pieces = (bytes + 63) / 64;
  const __mmask64 last_piece = bytes % 64 == 0 ? ~__mmask64{0} : (__mmask64{1} << bytes % 64) - 1;
  const __m256 dimensions = _mm256_set1_ps(dimension);
  for (std::size_t first = 0; first < count; first += 8) {
    const std::size_t group = std::min<std::size_t>(8, count - first);
    // A last group of fewer than eight repeats its last code; those results are not stored.
    const std::uint8_t* code[8];
    for (std::size_t c = 0; c < 8; ++c) code[c] = codes + (first + std::min(c, group - 1)) * bytes;
    __m512i differing[8];
#pragma GCC unroll 8
    for (std::size_t c = 0; c < 8; ++c) differing[c] = _mm512_setzero_si512();
    for (std::size_t p = 0; p < pieces; ++p) {
      const __mmask64 mask = p + 1 == pieces ? last_piece : ~__mmask64{0};
      const __m512i q = _mm512_maskz_loadu_epi8(mask, query + 64 * p);
#pragma GCC unroll 8
      for (std::size_t c = 0; c < 8; ++c) {
        const __m512i x = _mm512_xor_si512(q, _mm512_maskz_loadu_epi8(mask, code[c] + 64 * p));
        differing[c] = _mm512_add_epi64(differing[c], _mm512_popcnt_epi64(x));
      }
    }
    const __m512i totals =
        add_adjacent_quarters(add_adjacent_quarters(add_adjacent(differing[0], differing[1]),
                                                    add_adjacent(differing[2], differing[3])),
                              add_adjacent_quarters(add_adjacent(differing[4], differing[5]),
                                                    add_adjacent(differing[6], differing[7])));
    const __m256 fractions = _mm256_div_ps(_mm512_cvtepi64_ps(totals), dimensions);
    _mm256_mask_storeu_ps(out + first, static_cast<__mmask8>((1u << group) - 1), fractions);
  }
}

// 16-byte codes (dimensions 121 to 128), four to a register: sixteen codes per step.
VEXRA_AVX512_POPCNT void scan_16_bytes(const std::uint8_t* query, const std::uint8_t* codes,
                                       std::size_t count, float dimension, float* out) {
  const __m512i queries = _mm512_maskz_broadcast_i32x4(
      0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(query)));
  const __m512 dimensions = _mm512_set1_ps(dimension);
  // add_adjacent of registers a and b leaves the totals of codes (a0, b0, a1, b1, ...) in the
  // low halves of its 64-bit lanes; this picks them in code order from two such results.
  const __m512i in_order =
      _mm512_setr_epi32(0, 4, 8, 12, 2, 6, 10, 14, 16, 20, 24, 28, 18, 22, 26, 30);
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m512i differing[4];
    for (int r = 0; r < 4; ++r) {
      const __m512i x = _mm512_xor_si512(queries, _mm512_loadu_si512(codes + 16 * i + 64 * r));
      differing[r] = _mm512_popcnt_epi64(x);
    }
    const __m512i totals =
        _mm512_permutex2var_epi32(add_adjacent(differing[0], differing[1]), in_order,
                                  add_adjacent(differing[2], differing[3]));
    _mm512_storeu_ps(out + i, _mm512_div_ps(_mm512_maskz_cvtepi32_ps(0xFFFF, totals), dimensions));
  }
  scan_any_length(query, codes + 16 * i, 16, count - i, dimension, out + i);
}

}  // namespace

VEXRA_AVX512_POPCNT void binary_scan_avx512(const std::uint8_t* query, const std::uint8_t* codes,
                                            std::size_t bytes, std::size_t count, float dimension,
                                            float* out) {
  if (bytes == 16) return scan_16_bytes(query, codes, count, dimension, out);
  scan_any_length(query, codes, bytes, count, dimension, out);
}

}  // namespace vexradb::quantization_internal

#endif  // defined(__x86_64__)
