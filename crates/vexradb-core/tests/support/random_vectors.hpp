#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vexradb::testing {

// A vector of independent standard normal components.
inline std::vector<float> random_vector(std::mt19937& rng, std::size_t dimensions) {
  std::normal_distribution<float> normal;
  std::vector<float> v(dimensions);
  for (float& x : v) x = normal(rng);
  return v;
}

inline std::vector<std::vector<float>> random_vectors(std::size_t count, std::size_t dimensions,
                                                      std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<float>> vectors;
  vectors.reserve(count);
  for (std::size_t i = 0; i < count; ++i) vectors.push_back(random_vector(rng, dimensions));
  return vectors;
}

}  // namespace vexradb::testing
