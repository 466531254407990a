#pragma once

#include <bit>
#include <cstdint>

#include "base/types.hpp"

namespace vexradb {

// 1 / ln(16): the scale of the random level draw. Spelled as a literal so the value is the same
// bit pattern on every compiler and processor.
inline constexpr double kLevelMultiplier = 0.36067376022224085;
static_assert(std::bit_cast<std::uint64_t>(kLevelMultiplier) == 0x3FD71547652B82FEull);

// Graph parameters. Every engine uses these fixed values; callers cannot change them.
struct HnswConfig {
  std::uint64_t max_connections = 16;         // neighbour cap on layers above 0
  std::uint64_t max_connections_layer0 = 32;  // neighbour cap on layer 0
  std::uint64_t ef_construction = 200;        // candidate-list size while inserting
  std::uint64_t ef_search = 100;              // minimum candidate-list size while searching
  double level_multiplier = kLevelMultiplier;
};

// Configuration an engine is built from; copied into the engine and its index.
// How a search finds its candidates. Planned (the default) estimates how many stored vectors the
// search may return and takes the cheaper way; the other two force one way (tests, benchmarks).
enum class SearchStrategy : std::uint8_t {
  Planned = 0,
  GraphWalk = 1,  // the graph walk, however few vectors qualify
  ExactScan = 2,  // every qualifying vector scored
};

struct Config {
  std::uint64_t dimensions = 0;  // length of every vector and query, fixed for the engine's life
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  HnswConfig hnsw;
  // Candidate multiplication factor of the quantized engine's search.
  std::uint64_t oversampling = 0;
  Quantization quantization = Quantization::None;
  // Whether the quantized engine re-ranks its candidates with exact distances.
  bool rescore = false;
  SearchStrategy search_strategy = SearchStrategy::Planned;
};

}  // namespace vexradb
