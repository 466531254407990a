// Block phase for 64-bit Arm, where NEON and its fused multiply-add are part of the base
// instruction set. It mirrors the SSE kernel of distance_x86.cpp operation for operation: a
// rounded subtraction for Euclidean and one fused multiply-add per accumulator and block.

#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstddef>

#include "kernels/distance_kernels.hpp"

namespace vexradb::distance_internal {
namespace {

constexpr DistanceMetric kCosine = DistanceMetric::Cosine;
constexpr DistanceMetric kEuclidean = DistanceMetric::Euclidean;

// One stored vector per 128-bit register, kRegisters side by side.
template <DistanceMetric kMetric, int kRegisters>
struct NeonKernel {
  static void run(const float* a, const float* const* b, std::size_t blocks, GroupSums& sums) {
    float32x4_t dot[kRegisters];
    float32x4_t norm_b[kRegisters];
    for (int r = 0; r < kRegisters; ++r) dot[r] = norm_b[r] = vdupq_n_f32(0.0f);
    float32x4_t norm_a = vdupq_n_f32(0.0f);
    for (std::size_t i = 0; i < 4 * blocks; i += 4) {
      const float32x4_t x = vld1q_f32(a + i);
      // vfmaq_f32(acc, x, y) is acc + x·y with one rounding.
      if constexpr (kMetric == kCosine) norm_a = vfmaq_f32(norm_a, x, x);
#pragma GCC unroll 4
      for (int r = 0; r < kRegisters; ++r) {
        const float32x4_t y = vld1q_f32(b[r] + i);
        if constexpr (kMetric == kEuclidean) {
          const float32x4_t d = vsubq_f32(x, y);
          dot[r] = vfmaq_f32(dot[r], d, d);
        } else {
          dot[r] = vfmaq_f32(dot[r], x, y);
          if constexpr (kMetric == kCosine) norm_b[r] = vfmaq_f32(norm_b[r], y, y);
        }
      }
    }
    for (int r = 0; r < kRegisters; ++r) vst1q_f32(sums.dot + 4 * r, dot[r]);
    if constexpr (kMetric == kCosine) {
      for (int r = 0; r < kRegisters; ++r) vst1q_f32(sums.norm_b + 4 * r, norm_b[r]);
      vst1q_f32(sums.norm_a, norm_a);
    }
  }
};

}  // namespace

// Uses the fewest registers that hold `count` stored vectors.
void block_phase_neon(DistanceMetric metric, const float* a, const float* const* b,
                      std::size_t count, std::size_t blocks, GroupSums& sums) {
  if (count == 1) return run_block_phase<NeonKernel, 1>(metric, a, b, blocks, sums);
  if (count == 2) return run_block_phase<NeonKernel, 2>(metric, a, b, blocks, sums);
  run_block_phase<NeonKernel, 4>(metric, a, b, blocks, sums);
}

}  // namespace vexradb::distance_internal

#endif  // defined(__aarch64__)
