#pragma once

// What the instruction-set specific quantized kernels share with quantization.cpp.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/types.hpp"
#include "kernels/quantization.hpp"

namespace vexradb::quantization_internal {

// Lane sums of the SQ8 Cosine block phase; quantization.cpp reduces them and adds the tail.
struct CosineLanes {
  float dot[4];     // Σ v·q
  float norm_q[4];  // Σ q·q
  float norm_v[4];  // Σ v·v
};

// Sums the first `blocks` four-element blocks of `query` against the decoded `codes`.
using CosineBlockPhase = void (*)(const float* query, const std::uint8_t* codes, float offset,
                                  float scale, std::size_t blocks, CosineLanes& lanes);

// The Cosine block phase of each of `count` stored vectors: lanes[i] for stored[i].
using SQ8CosineBlockPhases = void (*)(const float* query, std::size_t blocks,
                                      const SQ8Stored* stored, std::size_t count,
                                      CosineLanes* lanes);

// The Euclidean or DotProduct distance (`metric`, one of those two) of each of `count` stored
// vectors, by one pass over its `n` components: out[i] for stored[i].
using SQ8SequentialDistances = void (*)(DistanceMetric metric, const float* query, std::size_t n,
                                        const SQ8Stored* stored, std::size_t count, float* out);

// Counts the bits that differ between `a` and `b` over `bytes` bytes.
using DifferingBits = std::uint64_t (*)(const std::uint8_t* a, const std::uint8_t* b,
                                        std::size_t bytes);

// out[i] = differing bits between `query` and the i-th of `count` codes of `bytes` bytes lying
// back to back in `codes`, divided by `dimension`.
using BinaryScan = void (*)(const std::uint8_t* query, const std::uint8_t* codes, std::size_t bytes,
                            std::size_t count, float dimension, float* out);

// The binary distance from the number of differing bits, the same on every path.
inline float differing_fraction(std::uint64_t differing, float dimension) {
  return static_cast<float>(differing) / dimension;
}

// Differing bits eight bytes at a time, then byte by byte. Always inlined, so that the
// population counts compile to whatever instruction the calling function's target has.
[[gnu::always_inline]] inline std::uint64_t differing_bits_by_words(const std::uint8_t* a,
                                                                    const std::uint8_t* b,
                                                                    std::size_t bytes) {
  std::uint64_t differing = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    differing += static_cast<std::uint64_t>(__builtin_popcountll(x ^ y));
  }
  for (; i < bytes; ++i) differing += static_cast<std::uint64_t>(__builtin_popcount(a[i] ^ b[i]));
  return differing;
}

// A scan over differing_bits_by_words, always inlined for the same reason.
[[gnu::always_inline]] inline void binary_scan_by_words(const std::uint8_t* query,
                                                        const std::uint8_t* codes,
                                                        std::size_t bytes, std::size_t count,
                                                        float dimension, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] =
        differing_fraction(differing_bits_by_words(query, codes + i * bytes, bytes), dimension);
  }
}

#if defined(__x86_64__)
// SSE with FMA.
void cosine_block_phase_sse(const float* query, const std::uint8_t* codes, float offset,
                            float scale, std::size_t blocks, CosineLanes& lanes);
// The POPCNT instruction.
std::uint64_t differing_bits_popcnt(const std::uint8_t* a, const std::uint8_t* b,
                                    std::size_t bytes);
void binary_scan_popcnt(const std::uint8_t* query, const std::uint8_t* codes, std::size_t bytes,
                        std::size_t count, float dimension, float* out);
// AVX2 with FMA: eight stored vectors side by side.
void sq8_cosine_block_phases_avx2(const float* query, std::size_t blocks, const SQ8Stored* stored,
                                  std::size_t count, CosineLanes* lanes);
void sq8_sequential_distances_avx2(DistanceMetric metric, const float* query, std::size_t n,
                                   const SQ8Stored* stored, std::size_t count, float* out);
// AVX-512 with its 64-bit population count (VPOPCNTDQ).
void binary_scan_avx512(const std::uint8_t* query, const std::uint8_t* codes, std::size_t bytes,
                        std::size_t count, float dimension, float* out);
#endif

#if defined(__aarch64__)
// NEON; its population count is part of the base instruction set.
void cosine_block_phase_neon(const float* query, const std::uint8_t* codes, float offset,
                             float scale, std::size_t blocks, CosineLanes& lanes);
std::uint64_t differing_bits_neon(const std::uint8_t* a, const std::uint8_t* b, std::size_t bytes);
void binary_scan_neon(const std::uint8_t* query, const std::uint8_t* codes, std::size_t bytes,
                      std::size_t count, float dimension, float* out);
#endif

}  // namespace vexradb::quantization_internal
