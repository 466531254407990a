#include "graph_image.hpp"

#include <algorithm>
#include <deque>
#include <unordered_set>
#include <vector>

namespace vexradb {
namespace {

// Removed nodes followed per repaired list; a bound on the work of lists buried in deletions.
constexpr std::size_t kMaxRemovedHops = 64;

std::size_t layer_cap(const HnswConfig& config, std::uint64_t layer) {
  return layer == 0 ? config.max_connections_layer0 : config.max_connections;
}

bool node_fits(const HnswNode& node, std::size_t index, std::size_t count) {
  if (node.id != index || node.neighbors.size() != node.level + 1) return false;
  return std::all_of(node.neighbors.begin(), node.neighbors.end(), [&](const auto& list) {
    return std::all_of(list.begin(), list.end(), [&](InternalId id) { return id < count; });
  });
}

// The live nodes that `owner`'s list on `layer` leads to: its live neighbours in order, then the
// live nodes reached through its removed neighbours (breadth first).
std::vector<InternalId> live_reach(const HnswIndex::State& graph, const std::vector<bool>& live,
                                   InternalId owner, std::uint64_t layer) {
  std::vector<InternalId> reach;
  std::unordered_set<InternalId> seen{owner};
  std::deque<InternalId> removed;
  auto visit = [&](InternalId id) {
    if (!seen.insert(id).second) return;
    if (live[id]) {
      reach.push_back(id);
    } else {
      removed.push_back(id);
    }
  };
  for (const InternalId id : graph.nodes[owner].neighbors[layer]) visit(id);
  for (std::size_t hops = 0; !removed.empty() && hops < kMaxRemovedHops; ++hops) {
    const HnswNode& node = graph.nodes[removed.front()];
    removed.pop_front();
    if (node.level < layer) continue;
    for (const InternalId id : node.neighbors[layer]) visit(id);
  }
  return reach;
}

std::vector<InternalId> repaired_list(const HnswIndex::State& graph, const std::vector<bool>& live,
                                      InternalId owner, std::uint64_t layer, std::size_t cap,
                                      const ListPruner& prune) {
  const std::vector<InternalId>& list = graph.nodes[owner].neighbors[layer];
  if (std::all_of(list.begin(), list.end(), [&](InternalId id) { return live[id]; })) return list;
  std::vector<InternalId> reach = live_reach(graph, live, owner, layer);
  if (reach.size() <= cap) return reach;
  return prune(owner, reach, cap);
}

std::optional<InternalId> surviving_entry(const HnswIndex::State& graph,
                                          const std::vector<bool>& live) {
  if (graph.entry_point && *graph.entry_point < live.size() && live[*graph.entry_point])
    return graph.entry_point;
  std::optional<InternalId> best;
  for (InternalId id = 0; id < graph.nodes.size(); ++id) {
    if (live[id] && (!best || graph.nodes[id].level > graph.nodes[*best].level)) best = id;
  }
  return best;
}

}  // namespace

bool describes_vectors(const HnswIndex::State& graph, std::size_t vector_count) {
  if (graph.nodes.size() != vector_count) return false;
  for (std::size_t i = 0; i < vector_count; ++i) {
    if (!node_fits(graph.nodes[i], i, vector_count)) return false;
  }
  if (!graph.entry_point) return vector_count == 0 && graph.max_level == 0;
  return *graph.entry_point < vector_count &&
         graph.nodes[*graph.entry_point].level == graph.max_level;
}

HnswIndex::State compact_graph(const HnswIndex::State& graph, const std::vector<bool>& live,
                               const HnswConfig& config, const ListPruner& prune) {
  std::vector<InternalId> renumbered(graph.nodes.size());
  InternalId next = 0;
  for (InternalId id = 0; id < graph.nodes.size(); ++id) {
    if (live[id]) renumbered[id] = next++;
  }

  HnswIndex::State out;
  out.nodes.reserve(next);
  for (InternalId id = 0; id < graph.nodes.size(); ++id) {
    if (!live[id]) continue;
    const HnswNode& node = graph.nodes[id];
    HnswNode& copy = out.nodes.emplace_back(HnswNode{renumbered[id], node.level, {}});
    copy.neighbors.reserve(node.neighbors.size());
    for (std::uint64_t layer = 0; layer < node.neighbors.size(); ++layer) {
      std::vector<InternalId> list =
          repaired_list(graph, live, id, layer, layer_cap(config, layer), prune);
      for (InternalId& neighbor : list) neighbor = renumbered[neighbor];
      copy.neighbors.push_back(std::move(list));
    }
  }
  if (const std::optional<InternalId> entry = surviving_entry(graph, live)) {
    out.entry_point = renumbered[*entry];
    out.max_level = graph.nodes[*entry].level;
  }
  return out;
}

}  // namespace vexradb
