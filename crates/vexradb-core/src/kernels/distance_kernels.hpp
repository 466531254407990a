#pragma once

// What the instruction-set specific block phases share with distance.cpp. A block phase sums the
// whole four-element blocks of one query against a group of stored vectors and leaves the four
// lanes of every accumulator in a GroupSums; distance.cpp reduces the lanes, adds the tail and
// applies the metric's formula, the same scalar code for every path.

#include <cstddef>
#include <type_traits>

#include "base/internal_failure.hpp"
#include "base/types.hpp"

namespace vexradb::distance_internal {

// The most stored vectors one block phase call sums.
inline constexpr std::size_t kMaxGroup = 8;

// Lane sums of the block phase. Stored vector i of the group owns lanes 4i to 4i + 3 of `dot` and
// `norm_b`, so a register holding several stored vectors' lanes is saved with one store.
struct GroupSums {
  float dot[4 * kMaxGroup];     // Σ a·b; for Euclidean Σ (a - b)²
  float norm_b[4 * kMaxGroup];  // Σ b·b, Cosine only
  float norm_a[4];              // Σ a·a, Cosine only; the same for every stored vector
};

// Sums the first `blocks` four-element blocks of `a` against b[0], b[1], ... into `sums`.
// `b` holds the group's pointers padded to the path's group size by repeating the last one, so
// a kernel may fill its registers whole; only the rows of the first `count` are meaningful.
using BlockPhase = void (*)(DistanceMetric metric, const float* a, const float* const* b,
                            std::size_t count, std::size_t blocks, GroupSums& sums);

template <DistanceMetric kMetric>
using MetricConstant = std::integral_constant<DistanceMetric, kMetric>;

// Returns f(MetricConstant<metric>{}): inside f the metric is a compile-time constant, so its
// branches are taken once per call rather than once per block or per stored vector.
template <class F>
decltype(auto) with_metric(DistanceMetric metric, F&& f) {
  switch (metric) {
    case DistanceMetric::Cosine:
      return f(MetricConstant<DistanceMetric::Cosine>{});
    case DistanceMetric::Euclidean:
      return f(MetricConstant<DistanceMetric::Euclidean>{});
    case DistanceMetric::DotProduct:
      return f(MetricConstant<DistanceMetric::DotProduct>{});
  }
  fail_internal(__FILE__, __LINE__, "unknown distance metric");
}

// Calls Kernel<metric, kRegisters>::run.
template <template <DistanceMetric, int> class Kernel, int kRegisters>
void run_block_phase(DistanceMetric metric, const float* a, const float* const* b,
                     std::size_t blocks, GroupSums& sums) {
  with_metric(metric,
              [&](auto m) { Kernel<decltype(m)::value, kRegisters>::run(a, b, blocks, sums); });
}

#if defined(__x86_64__)
// SSE with FMA, one stored vector per register; groups of up to 4.
void block_phase_sse(DistanceMetric metric, const float* a, const float* const* b,
                     std::size_t count, std::size_t blocks, GroupSums& sums);
// AVX2 with FMA, two stored vectors per register; groups of up to 8.
void block_phase_avx2(DistanceMetric metric, const float* a, const float* const* b,
                      std::size_t count, std::size_t blocks, GroupSums& sums);
// AVX-512F, four stored vectors per register; groups of up to 8.
void block_phase_avx512(DistanceMetric metric, const float* a, const float* const* b,
                        std::size_t count, std::size_t blocks, GroupSums& sums);
#endif

#if defined(__aarch64__)
// NEON, one stored vector per register; groups of up to 4.
void block_phase_neon(DistanceMetric metric, const float* a, const float* const* b,
                      std::size_t count, std::size_t blocks, GroupSums& sums);
#endif

}  // namespace vexradb::distance_internal
