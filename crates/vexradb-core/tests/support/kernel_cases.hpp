#pragma once

// What the kernel tests share: every metric, and comparison of results bit for bit.

#include <bit>
#include <cmath>
#include <cstdint>

#include "base/types.hpp"

namespace vexradb::testing_support {

inline constexpr DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                              DistanceMetric::DotProduct};

// Equal bit patterns, except that any two NaNs match: which NaN payload survives an operation
// with two NaN operands depends on the instruction form the compiler picks.
inline bool same_bits(float x, float y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
}

}  // namespace vexradb::testing_support
