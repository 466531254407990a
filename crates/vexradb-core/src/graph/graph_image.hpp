#pragma once

// The graph as a snapshot stores it: checking that a stored graph fits the stored vectors, and
// writing the graph of live vectors only, renumbered as a restore will number them.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "base/config.hpp"
#include "graph/hnsw.hpp"

namespace vexradb {

// Whether `graph` is a graph over exactly `vector_count` vectors with ids 0 .. count-1: node i
// has id i, one neighbour list per layer up to its level, every neighbour and the entry point
// are in range, and the maximum level is the entry point's. Only such a graph may be installed.
bool describes_vectors(const HnswIndex::State& graph, std::size_t vector_count);

// The distances from the stored vector of `owner` to those of `ids` (old numbering), nothing
// where a vector is missing.
using NodeDistances = std::function<void(InternalId owner, std::span<const InternalId> ids,
                                         std::span<std::optional<float>> out)>;

// The graph restricted to the nodes `live` marks, renumbered by their rank among them (so node i
// is the i-th live vector in ascending id order). A list that pointed at removed nodes is
// repaired with the live neighbours of those nodes on the same layer, and cut back to the
// layer's cap by distance as insertion cuts lists. A removed entry point is replaced by the live
// node of highest level (lowest id among equals).
HnswIndex::State compact_graph(const HnswIndex::State& graph, const std::vector<bool>& live,
                               const HnswConfig& config, const NodeDistances& distances);

}  // namespace vexradb
