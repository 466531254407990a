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

namespace {

// The one-pass Euclidean and DotProduct kernels round every product before it is added: their
// target leaves out FMA, so that no multiplication and addition can be fused into one. The Cosine
// block phase fuses by definition.
#define VEXRA_AVX2 __attribute__((target("avx2")))
#define VEXRA_AVX2_FMA __attribute__((target("avx2,fma")))

// Eight stored vectors side by side, one per lane of a 256-bit register: where their codes start,
// and their scales and offsets.
struct EightVectors {
  const std::uint8_t* codes[8];
  __m256 scales;
  __m256 offsets;
};

// The group of stored[0 .. count), count from 1 to 8, its lanes filled by repeating the last one.
VEXRA_AVX2 EightVectors eight_vectors(const SQ8Stored* stored, std::size_t count) {
  EightVectors group;
  alignas(32) float scales[8];
  alignas(32) float offsets[8];
  for (std::size_t lane = 0; lane < 8; ++lane) {
    const SQ8Stored& s = stored[std::min(lane, count - 1)];
    group.codes[lane] = s.codes;
    scales[lane] = s.scale;
    offsets[lane] = s.offset;
  }
  group.scales = _mm256_load_ps(scales);
  group.offsets = _mm256_load_ps(offsets);
  return group;
}

// Components i to i + 7 of the eight vectors, transposed from eight 8-byte rows into columns:
// the codes of component i + 2k for the eight vectors are the low 8 bytes of columns[k], those of
// component i + 2k + 1 the high 8 bytes.
VEXRA_AVX2 inline void transpose_codes(const EightVectors& group, std::size_t i,
                                       __m128i columns[4]) {
  __m128i rows[8];
  for (std::size_t lane = 0; lane < 8; ++lane) {
    rows[lane] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(group.codes[lane] + i));
  }
  // Bytes of lanes 2j and 2j + 1 interleaved: word c holds component c of the pair.
  const __m128i pairs01 = _mm_unpacklo_epi8(rows[0], rows[1]);
  const __m128i pairs23 = _mm_unpacklo_epi8(rows[2], rows[3]);
  const __m128i pairs45 = _mm_unpacklo_epi8(rows[4], rows[5]);
  const __m128i pairs67 = _mm_unpacklo_epi8(rows[6], rows[7]);
  // Double words c: component c (low) or 4 + c (high) of four lanes.
  const __m128i low0123 = _mm_unpacklo_epi16(pairs01, pairs23);
  const __m128i high0123 = _mm_unpackhi_epi16(pairs01, pairs23);
  const __m128i low4567 = _mm_unpacklo_epi16(pairs45, pairs67);
  const __m128i high4567 = _mm_unpackhi_epi16(pairs45, pairs67);
  columns[0] = _mm_unpacklo_epi32(low0123, low4567);
  columns[1] = _mm_unpackhi_epi32(low0123, low4567);
  columns[2] = _mm_unpacklo_epi32(high0123, high4567);
  columns[3] = _mm_unpackhi_epi32(high0123, high4567);
}

// Component i of the eight vectors, one byte each, for the components past the last whole
// group of eight.
VEXRA_AVX2 inline __m128i codes_at(const EightVectors& group, std::size_t i) {
  const std::uint8_t* const* c = group.codes;
  return _mm_setr_epi8(
      static_cast<char>(c[0][i]), static_cast<char>(c[1][i]), static_cast<char>(c[2][i]),
      static_cast<char>(c[3][i]), static_cast<char>(c[4][i]), static_cast<char>(c[5][i]),
      static_cast<char>(c[6][i]), static_cast<char>(c[7][i]), 0, 0, 0, 0, 0, 0, 0, 0);
}

// One step of the reference's sequential pass in every lane, operation for operation: the
// decoding v = scale · code + offset, then t = q - v and sum + t · t (Euclidean) or sum + q · v
// (DotProduct), every product rounded before it is added. `codes` holds the eight codes in its
// low 8 bytes.
template <DistanceMetric kMetric>
VEXRA_AVX2 inline __m256 add_component(__m256 sum, const EightVectors& group, __m128i codes,
                                       float query) {
  const __m256 code = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(codes));
  const __m256 v = _mm256_add_ps(_mm256_mul_ps(group.scales, code), group.offsets);
  const __m256 q = _mm256_set1_ps(query);
  if constexpr (kMetric == DistanceMetric::Euclidean) {
    const __m256 t = _mm256_sub_ps(q, v);
    return _mm256_add_ps(sum, _mm256_mul_ps(t, t));
  } else {
    return _mm256_add_ps(sum, _mm256_mul_ps(q, v));
  }
}

// The distances of kGroups groups of eight vectors (count from 8 · (kGroups - 1) + 1 to
// 8 · kGroups), their chains of additions interleaved: one chain waits on the latency of each
// addition, two keep the arithmetic units busy. The sums are finished as in the reference: the
// square root and the subtraction are correctly rounded in every lane.
template <DistanceMetric kMetric, std::size_t kGroups>
VEXRA_AVX2 void sequential_distances_of_groups(const float* query, std::size_t n,
                                               const SQ8Stored* stored, std::size_t count,
                                               float* out) {
  EightVectors groups[kGroups];
  __m256 sum[kGroups];
  for (std::size_t g = 0; g < kGroups; ++g) {
    groups[g] = eight_vectors(stored + 8 * g, std::min<std::size_t>(8, count - 8 * g));
    sum[g] = _mm256_setzero_ps();
  }
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i columns[kGroups][4];
    for (std::size_t g = 0; g < kGroups; ++g) transpose_codes(groups[g], i, columns[g]);
    for (std::size_t k = 0; k < 8; ++k) {
      for (std::size_t g = 0; g < kGroups; ++g) {
        const __m128i column = columns[g][k / 2];
        const __m128i codes = k % 2 == 0 ? column : _mm_unpackhi_epi64(column, column);
        sum[g] = add_component<kMetric>(sum[g], groups[g], codes, query[i + k]);
      }
    }
  }
  for (; i < n; ++i) {
    for (std::size_t g = 0; g < kGroups; ++g) {
      sum[g] = add_component<kMetric>(sum[g], groups[g], codes_at(groups[g], i), query[i]);
    }
  }
  alignas(32) float lanes[8 * kGroups];
  for (std::size_t g = 0; g < kGroups; ++g) {
    const __m256 distance = kMetric == DistanceMetric::Euclidean
                                ? _mm256_sqrt_ps(sum[g])
                                : _mm256_sub_ps(_mm256_set1_ps(1.0f), sum[g]);
    _mm256_store_ps(lanes + 8 * g, distance);
  }
  std::copy_n(lanes, count, out);
}

template <DistanceMetric kMetric>
VEXRA_AVX2 void sequential_distances(const float* query, std::size_t n, const SQ8Stored* stored,
                                     std::size_t count, float* out) {
  for (std::size_t first = 0; first < count; first += 16) {
    const std::size_t rest = std::min<std::size_t>(16, count - first);
    if (rest > 8) {
      sequential_distances_of_groups<kMetric, 2>(query, n, stored + first, rest, out + first);
    } else {
      sequential_distances_of_groups<kMetric, 1>(query, n, stored + first, rest, out + first);
    }
  }
}

}  // namespace

// Lane for lane the reference's block phase of quantization.cpp, two stored vectors per register
// (one per 128-bit half) and four registers side by side; the query's own sums are the same for
// every vector and are taken once.
VEXRA_AVX2_FMA void sq8_cosine_block_phases_avx2(const float* query, std::size_t blocks,
                                                 const SQ8Stored* stored, std::size_t count,
                                                 CosineLanes* lanes) {
  for (std::size_t first = 0; first < count; first += 8) {
    const std::size_t group_size = std::min<std::size_t>(8, count - first);
    const EightVectors group = eight_vectors(stored + first, group_size);
    // Register r holds vectors 2r and 2r + 1 of the group.
    __m256 scales[4];
    __m256 offsets[4];
    for (int r = 0; r < 4; ++r) {
      const __m256i pair =
          _mm256_setr_epi32(2 * r, 2 * r, 2 * r, 2 * r, 2 * r + 1, 2 * r + 1, 2 * r + 1, 2 * r + 1);
      scales[r] = _mm256_permutevar8x32_ps(group.scales, pair);
      offsets[r] = _mm256_permutevar8x32_ps(group.offsets, pair);
    }
    __m256 dot[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                     _mm256_setzero_ps()};
    __m256 norm_v[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                        _mm256_setzero_ps()};
    __m128 norm_q = _mm_setzero_ps();
    for (std::size_t i = 0; i < 4 * blocks; i += 4) {
      const __m128 q4 = _mm_loadu_ps(query + i);
      const __m256 q = _mm256_set_m128(q4, q4);
      norm_q = _mm_fmadd_ps(q4, q4, norm_q);
      for (int r = 0; r < 4; ++r) {
        std::int32_t low;
        std::int32_t high;
        std::memcpy(&low, group.codes[2 * r] + i, 4);
        std::memcpy(&high, group.codes[2 * r + 1] + i, 4);
        const __m256 code =
            _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_setr_epi32(low, high, 0, 0)));
        const __m256 v = _mm256_fmadd_ps(code, scales[r], offsets[r]);
        dot[r] = _mm256_fmadd_ps(v, q, dot[r]);
        norm_v[r] = _mm256_fmadd_ps(v, v, norm_v[r]);
      }
    }
    alignas(32) float dots[32];
    alignas(32) float norms[32];
    for (int r = 0; r < 4; ++r) {
      _mm256_store_ps(dots + 8 * r, dot[r]);
      _mm256_store_ps(norms + 8 * r, norm_v[r]);
    }
    for (std::size_t lane = 0; lane < group_size; ++lane) {
      CosineLanes& out = lanes[first + lane];
      std::copy_n(dots + 4 * lane, 4, out.dot);
      std::copy_n(norms + 4 * lane, 4, out.norm_v);
      _mm_storeu_ps(out.norm_q, norm_q);
    }
  }
}

VEXRA_AVX2 void sq8_sequential_distances_avx2(DistanceMetric metric, const float* query,
                                              std::size_t n, const SQ8Stored* stored,
                                              std::size_t count, float* out) {
  if (metric == DistanceMetric::Euclidean) {
    sequential_distances<DistanceMetric::Euclidean>(query, n, stored, count, out);
  } else {
    sequential_distances<DistanceMetric::DotProduct>(query, n, stored, count, out);
  }
}

#undef VEXRA_AVX2
#undef VEXRA_AVX2_FMA

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
