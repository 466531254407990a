#pragma once

#include <cstddef>
#include <vector>

#include "graph/hnsw.hpp"

namespace vexradb::testing {

// Nodes a bottom-layer walk reaches from the entry point: the only ones a search can return.
inline std::size_t reachable_count(const HnswIndex::State& graph) {
  if (!graph.entry_point) return 0;
  std::vector<bool> seen(graph.nodes.size());
  std::vector<InternalId> stack{*graph.entry_point};
  seen[*graph.entry_point] = true;
  std::size_t count = 1;
  while (!stack.empty()) {
    const InternalId id = stack.back();
    stack.pop_back();
    for (const InternalId next : graph.nodes[id].neighbors[0]) {
      if (seen[next]) continue;
      seen[next] = true;
      ++count;
      stack.push_back(next);
    }
  }
  return count;
}

}  // namespace vexradb::testing
