// Block phases for x86-64. The library is built for the baseline instruction set; each function
// here enables what it needs through its own target attribute, and distance.cpp calls it only
// after checking that the processor has those features.
//
// Every kernel performs, lane for lane, the same operations as the reference in distance.cpp: a
// rounded subtraction for Euclidean and one fused multiply-add per accumulator and block. Several
// stored vectors are summed side by side: the order within each vector's chain is fixed, so
// independent chains are what keeps the multiply-add units busy.

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>

#include "kernels/distance_kernels.hpp"

namespace vexradb::distance_internal {
namespace {

constexpr DistanceMetric kCosine = DistanceMetric::Cosine;
constexpr DistanceMetric kEuclidean = DistanceMetric::Euclidean;

// One block phase step: `x` holds the query's block, `y` the same block of one or more stored
// vectors, lined up lane for lane.
template <DistanceMetric kMetric>
__attribute__((target("fma"))) inline void accumulate(__m128 x, __m128 y, __m128& dot,
                                                      __m128& norm_b) {
  if constexpr (kMetric == kEuclidean) {
    const __m128 d = _mm_sub_ps(x, y);
    dot = _mm_fmadd_ps(d, d, dot);
  } else {
    dot = _mm_fmadd_ps(x, y, dot);
    if constexpr (kMetric == kCosine) norm_b = _mm_fmadd_ps(y, y, norm_b);
  }
}

template <DistanceMetric kMetric>
__attribute__((target("avx2,fma"))) inline void accumulate(__m256 x, __m256 y, __m256& dot,
                                                           __m256& norm_b) {
  if constexpr (kMetric == kEuclidean) {
    const __m256 d = _mm256_sub_ps(x, y);
    dot = _mm256_fmadd_ps(d, d, dot);
  } else {
    dot = _mm256_fmadd_ps(x, y, dot);
    if constexpr (kMetric == kCosine) norm_b = _mm256_fmadd_ps(y, y, norm_b);
  }
}

template <DistanceMetric kMetric>
__attribute__((target("avx512f,fma"))) inline void accumulate(__m512 x, __m512 y, __m512& dot,
                                                              __m512& norm_b) {
  if constexpr (kMetric == kEuclidean) {
    const __m512 d = _mm512_sub_ps(x, y);
    dot = _mm512_fmadd_ps(d, d, dot);
  } else {
    dot = _mm512_fmadd_ps(x, y, dot);
    if constexpr (kMetric == kCosine) norm_b = _mm512_fmadd_ps(y, y, norm_b);
  }
}

// Σ a·a of the query's block, for Cosine.
template <DistanceMetric kMetric>
__attribute__((target("fma"))) inline void accumulate_query(__m128 x, __m128& norm_a) {
  if constexpr (kMetric == kCosine) norm_a = _mm_fmadd_ps(x, x, norm_a);
}

// One stored vector per 128-bit register, kRegisters side by side.
template <DistanceMetric kMetric, int kRegisters>
struct SseKernel {
  __attribute__((target("fma"))) static void run(const float* a, const float* const* b,
                                                 std::size_t blocks, GroupSums& sums) {
    __m128 dot[kRegisters];
    __m128 norm_b[kRegisters];
    for (int r = 0; r < kRegisters; ++r) dot[r] = norm_b[r] = _mm_setzero_ps();
    __m128 norm_a = _mm_setzero_ps();
    for (std::size_t i = 0; i < 4 * blocks; i += 4) {
      const __m128 x = _mm_loadu_ps(a + i);
      accumulate_query<kMetric>(x, norm_a);
#pragma GCC unroll 4
      for (int r = 0; r < kRegisters; ++r) {
        accumulate<kMetric>(x, _mm_loadu_ps(b[r] + i), dot[r], norm_b[r]);
      }
    }
    for (int r = 0; r < kRegisters; ++r) _mm_storeu_ps(sums.dot + 4 * r, dot[r]);
    if constexpr (kMetric == kCosine) {
      for (int r = 0; r < kRegisters; ++r) _mm_storeu_ps(sums.norm_b + 4 * r, norm_b[r]);
      _mm_storeu_ps(sums.norm_a, norm_a);
    }
  }
};

// Two stored vectors per 256-bit register, kRegisters side by side. Two blocks at a time, each
// stored vector is read with one full-width load and the halves of two such loads are swapped
// into place: half the loads of assembling every register from two 128-bit halves.
template <DistanceMetric kMetric, int kRegisters>
struct Avx2Kernel {
  __attribute__((target("avx2,fma"))) static void run(const float* a, const float* const* b,
                                                      std::size_t blocks, GroupSums& sums) {
    __m256 dot[kRegisters];
    __m256 norm_b[kRegisters];
    for (int r = 0; r < kRegisters; ++r) dot[r] = norm_b[r] = _mm256_setzero_ps();
    __m128 norm_a = _mm_setzero_ps();
    const std::size_t end = 4 * blocks;
    std::size_t i = 0;
    for (; i + 8 <= end; i += 8) {
      const __m128 x0 = _mm_loadu_ps(a + i);
      const __m128 x1 = _mm_loadu_ps(a + i + 4);
      accumulate_query<kMetric>(x0, norm_a);
      accumulate_query<kMetric>(x1, norm_a);
#pragma GCC unroll 8
      for (int r = 0; r < kRegisters; ++r) {
        __m256 p = _mm256_loadu_ps(b[2 * r] + i);
        __m256 q = _mm256_loadu_ps(b[2 * r + 1] + i);
        // Keeps p and q in registers: g++ would otherwise fold their loads into the swaps, one
        // 256-bit and one 128-bit load each, and the loop is bound by loads.
        __asm__("" : "+x"(p), "+x"(q));
        accumulate<kMetric>(_mm256_set_m128(x0, x0), _mm256_permute2f128_ps(p, q, 0x20), dot[r],
                            norm_b[r]);
        accumulate<kMetric>(_mm256_set_m128(x1, x1), _mm256_permute2f128_ps(p, q, 0x31), dot[r],
                            norm_b[r]);
      }
    }
    if (i < end) {  // an odd last block
      const __m128 x = _mm_loadu_ps(a + i);
      accumulate_query<kMetric>(x, norm_a);
#pragma GCC unroll 8
      for (int r = 0; r < kRegisters; ++r) {
        const __m256 y = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(b[2 * r] + i)),
                                              _mm_loadu_ps(b[2 * r + 1] + i), 1);
        accumulate<kMetric>(_mm256_set_m128(x, x), y, dot[r], norm_b[r]);
      }
    }
    for (int r = 0; r < kRegisters; ++r) _mm256_storeu_ps(sums.dot + 8 * r, dot[r]);
    if constexpr (kMetric == kCosine) {
      for (int r = 0; r < kRegisters; ++r) _mm256_storeu_ps(sums.norm_b + 8 * r, norm_b[r]);
      _mm_storeu_ps(sums.norm_a, norm_a);
    }
  }
};

// The 128-bit quarters `first` and `second` of x and y (0 to 3 each): a 128-bit shuffle in its
// masked form with every lane kept, because g++ 12 wrongly warns that the plain intrinsics (this
// one and _mm512_broadcast_f32x4) read an uninitialised register.
template <int kSelect>
__attribute__((target("avx512f"))) inline __m512 shuffle_quarters(__m512 x, __m512 y) {
  return _mm512_mask_shuffle_f32x4(x, 0xFFFF, x, y, kSelect);
}

__attribute__((target("avx512f"))) inline __m512 broadcast_block(__m128 x) {
  return _mm512_maskz_broadcast_f32x4(0xFFFF, x);
}

// Four stored vectors per 512-bit register, kRegisters side by side. Four blocks at a time, each
// stored vector is read with one full-width load, and the loads of four stored vectors are
// transposed quarter by quarter into one register per block.
template <DistanceMetric kMetric, int kRegisters>
struct Avx512Kernel {
  __attribute__((target("avx512f,fma"))) static void run(const float* a, const float* const* b,
                                                         std::size_t blocks, GroupSums& sums) {
    __m512 dot[kRegisters];
    __m512 norm_b[kRegisters];
    for (int r = 0; r < kRegisters; ++r) dot[r] = norm_b[r] = _mm512_setzero_ps();
    __m128 norm_a = _mm_setzero_ps();
    const std::size_t end = 4 * blocks;
    std::size_t i = 0;
    for (; i + 16 <= end; i += 16) {
      __m512 x[4];
      for (int k = 0; k < 4; ++k) {
        const __m128 x4 = _mm_loadu_ps(a + i + 4 * k);
        accumulate_query<kMetric>(x4, norm_a);
        x[k] = broadcast_block(x4);
      }
#pragma GCC unroll 4
      for (int r = 0; r < kRegisters; ++r) {
        const float* const* group = b + 4 * r;
        __m512 v0 = _mm512_loadu_ps(group[0] + i);
        __m512 v1 = _mm512_loadu_ps(group[1] + i);
        __m512 v2 = _mm512_loadu_ps(group[2] + i);
        __m512 v3 = _mm512_loadu_ps(group[3] + i);
        // Keeps each load in a register: g++ would otherwise repeat it in both shuffles that
        // read it, and the loop is bound by loads.
        __asm__("" : "+v"(v0), "+v"(v1), "+v"(v2), "+v"(v3));
        // Quarter k of t holds: t01_low (v0.0, v0.1, v1.0, v1.1), t01_high (v0.2, v0.3, v1.2,
        // v1.3), and the same for v2 and v3; then block j of all four is (v0.j, v1.j, v2.j, v3.j).
        const __m512 t01_low = shuffle_quarters<0x44>(v0, v1);
        const __m512 t01_high = shuffle_quarters<0xEE>(v0, v1);
        const __m512 t23_low = shuffle_quarters<0x44>(v2, v3);
        const __m512 t23_high = shuffle_quarters<0xEE>(v2, v3);
        accumulate<kMetric>(x[0], shuffle_quarters<0x88>(t01_low, t23_low), dot[r], norm_b[r]);
        accumulate<kMetric>(x[1], shuffle_quarters<0xDD>(t01_low, t23_low), dot[r], norm_b[r]);
        accumulate<kMetric>(x[2], shuffle_quarters<0x88>(t01_high, t23_high), dot[r], norm_b[r]);
        accumulate<kMetric>(x[3], shuffle_quarters<0xDD>(t01_high, t23_high), dot[r], norm_b[r]);
      }
    }
    for (; i < end; i += 4) {  // the last blocks, fewer than four
      const __m128 x4 = _mm_loadu_ps(a + i);
      accumulate_query<kMetric>(x4, norm_a);
      const __m512 x = broadcast_block(x4);
#pragma GCC unroll 4
      for (int r = 0; r < kRegisters; ++r) {
        const float* const* group = b + 4 * r;
        __m512 y = _mm512_castps128_ps512(_mm_loadu_ps(group[0] + i));
        y = _mm512_insertf32x4(y, _mm_loadu_ps(group[1] + i), 1);
        y = _mm512_insertf32x4(y, _mm_loadu_ps(group[2] + i), 2);
        y = _mm512_insertf32x4(y, _mm_loadu_ps(group[3] + i), 3);
        accumulate<kMetric>(x, y, dot[r], norm_b[r]);
      }
    }
    for (int r = 0; r < kRegisters; ++r) _mm512_storeu_ps(sums.dot + 16 * r, dot[r]);
    if constexpr (kMetric == kCosine) {
      for (int r = 0; r < kRegisters; ++r) _mm512_storeu_ps(sums.norm_b + 16 * r, norm_b[r]);
      _mm_storeu_ps(sums.norm_a, norm_a);
    }
  }
};

}  // namespace

// Each uses the fewest registers that hold `count` stored vectors.

void block_phase_sse(DistanceMetric metric, const float* a, const float* const* b,
                     std::size_t count, std::size_t blocks, GroupSums& sums) {
  if (count == 1) return run_block_phase<SseKernel, 1>(metric, a, b, blocks, sums);
  if (count == 2) return run_block_phase<SseKernel, 2>(metric, a, b, blocks, sums);
  run_block_phase<SseKernel, 4>(metric, a, b, blocks, sums);
}

void block_phase_avx2(DistanceMetric metric, const float* a, const float* const* b,
                      std::size_t count, std::size_t blocks, GroupSums& sums) {
  if (count <= 2) return run_block_phase<Avx2Kernel, 1>(metric, a, b, blocks, sums);
  if (count <= 4) return run_block_phase<Avx2Kernel, 2>(metric, a, b, blocks, sums);
  run_block_phase<Avx2Kernel, 4>(metric, a, b, blocks, sums);
}

void block_phase_avx512(DistanceMetric metric, const float* a, const float* const* b,
                        std::size_t count, std::size_t blocks, GroupSums& sums) {
  if (count <= 4) return run_block_phase<Avx512Kernel, 1>(metric, a, b, blocks, sums);
  run_block_phase<Avx512Kernel, 2>(metric, a, b, blocks, sums);
}

}  // namespace vexradb::distance_internal

#endif  // defined(__x86_64__)
