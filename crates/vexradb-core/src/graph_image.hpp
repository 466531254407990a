#pragma once

// The graph as a snapshot stores it: checking that a stored graph fits the stored vectors, and
// writing the graph of live vectors only, renumbered as a restore will number them.

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "config.hpp"
#include "hnsw.hpp"

namespace vexradb {

// Whether `graph` is a graph over exactly `vector_count` vectors with ids 0 .. count-1: node i
// has id i, one neighbour list per layer up to its level, every neighbour and the entry point
// are in range, and the maximum level is the entry point's. Only such a graph may be installed.
bool describes_vectors(const HnswIndex::State& graph, std::size_t vector_count);

// Chooses at most `cap` neighbours for `owner` among `candidates` (old numbering).
using ListPruner = std::function<std::vector<InternalId>(
    InternalId owner, std::span<const InternalId> candidates, std::size_t cap)>;

// The graph restricted to the nodes `live` marks, renumbered by their rank among them (so node i
// is the i-th live vector in ascending id order). A list that pointed at removed nodes is
// repaired with the live nodes reachable through them on the same layer, cut back by `prune`
// to the layer's cap when they are too many. A removed entry point is replaced by the live node
// of highest level (lowest id among equals).
HnswIndex::State compact_graph(const HnswIndex::State& graph, const std::vector<bool>& live,
                               const HnswConfig& config, const ListPruner& prune);

}  // namespace vexradb
