#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "random_vectors.hpp"

namespace vexradb::testing {

// `count` vectors around `clusters` standard normal centres, each with Gaussian noise of
// standard deviation `spread`, the clusters taken in turn.
inline std::vector<std::vector<float>> clustered_vectors(std::size_t count, std::size_t dimensions,
                                                         std::size_t clusters, float spread,
                                                         std::uint32_t seed) {
  const std::vector<std::vector<float>> centres = random_vectors(clusters, dimensions, seed);
  std::mt19937 rng(seed + 1);
  std::normal_distribution<float> noise(0, spread);
  std::vector<std::vector<float>> vectors;
  vectors.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> v = centres[i % clusters];
    for (float& x : v) x += noise(rng);
    vectors.push_back(std::move(v));
  }
  return vectors;
}

// Positions below `count` of the k nearest by `distance_of(i)` among those `qualifies(i)`
// accepts, by exhaustive scan: nearest first, equal distances by position.
template <class DistanceOf, class Qualifies>
std::vector<std::size_t> exact_nearest(std::size_t count, std::size_t k, DistanceOf distance_of,
                                       Qualifies qualifies) {
  std::vector<std::pair<float, std::size_t>> scored;
  for (std::size_t i = 0; i < count; ++i) {
    if (qualifies(i)) scored.emplace_back(distance_of(i), i);
  }
  const std::size_t kept = std::min(k, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(kept),
                    scored.end());
  std::vector<std::size_t> nearest;
  for (std::size_t i = 0; i < kept; ++i) nearest.push_back(scored[i].second);
  return nearest;
}

}  // namespace vexradb::testing
