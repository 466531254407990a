// Quantized kernels for 64-bit Arm, where NEON, its fused multiply-add and its population count
// are part of the base instruction set. They mirror quantization_x86.cpp operation for operation.

#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/quantization_kernels.hpp"

namespace vexradb::quantization_internal {

// Lane for lane the operations of the reference in quantization.cpp: the decoding and every
// accumulation one fused multiply-add each (vfmaq_f32(acc, x, y) is acc + x·y, one rounding).
void cosine_block_phase_neon(const float* query, const std::uint8_t* codes, float offset,
                             float scale, std::size_t blocks, CosineLanes& lanes) {
  const float32x4_t offsets = vdupq_n_f32(offset);
  const float32x4_t scales = vdupq_n_f32(scale);
  float32x4_t dot = vdupq_n_f32(0.0f);
  float32x4_t norm_q = vdupq_n_f32(0.0f);
  float32x4_t norm_v = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < 4 * blocks; i += 4) {
    std::uint32_t packed;
    std::memcpy(&packed, codes + i, 4);
    const uint16x4_t halves = vget_low_u16(vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(packed))));
    const float32x4_t code = vcvtq_f32_u32(vmovl_u16(halves));
    const float32x4_t q = vld1q_f32(query + i);
    const float32x4_t v = vfmaq_f32(offsets, code, scales);
    dot = vfmaq_f32(dot, v, q);
    norm_q = vfmaq_f32(norm_q, q, q);
    norm_v = vfmaq_f32(norm_v, v, v);
  }
  vst1q_f32(lanes.dot, dot);
  vst1q_f32(lanes.norm_q, norm_q);
  vst1q_f32(lanes.norm_v, norm_v);
}

std::uint64_t differing_bits_neon(const std::uint8_t* a, const std::uint8_t* b, std::size_t bytes) {
  return differing_bits_by_words(a, b, bytes);
}

void binary_scan_neon(const std::uint8_t* query, const std::uint8_t* codes, std::size_t bytes,
                      std::size_t count, float dimension, float* out) {
  binary_scan_by_words(query, codes, bytes, count, dimension, out);
}

}  // namespace vexradb::quantization_internal

#endif  // defined(__aarch64__)
