#include "graph/graph_image.hpp"

#include <algorithm>
#include <vector>

namespace vexradb {
namespace {

std::size_t layer_cap(const HnswConfig& config, std::uint64_t layer) {
  return layer == 0 ? config.max_connections_layer0 : config.max_connections;
}

bool node_fits(const HnswNode& node, std::size_t index, std::size_t count) {
  if (node.id != index || node.neighbors.size() != node.level + 1) return false;
  return std::all_of(node.neighbors.begin(), node.neighbors.end(), [&](const auto& list) {
    return std::all_of(list.begin(), list.end(), [&](InternalId id) { return id < count; });
  });
}

// Gathers, for one list at a time, the live nodes that a list leads to, without repeats.
class Reach {
 public:
  Reach(const HnswIndex::State& graph, const std::vector<bool>& live)
      : graph_(graph), live_(live), marks_(graph.nodes.size(), 0) {}

  // `owner`'s live neighbours on `layer` in order, then the live neighbours of its removed
  // neighbours (one hop: a removed node's own list held the nearby nodes it routed to).
  std::vector<InternalId> of(InternalId owner, std::uint64_t layer) {
    ++epoch_;
    marks_[owner] = epoch_;
    const std::vector<InternalId>& list = graph_.nodes[owner].neighbors[layer];
    std::vector<InternalId> reach;
    auto add = [&](InternalId id) {
      if (!live_[id] || marks_[id] == epoch_) return;
      marks_[id] = epoch_;
      reach.push_back(id);
    };
    for (const InternalId id : list) add(id);
    for (const InternalId removed : list) {
      const HnswNode& node = graph_.nodes[removed];
      if (live_[removed] || node.level < layer) continue;
      for (const InternalId id : node.neighbors[layer]) add(id);
    }
    return reach;
  }

 private:
  const HnswIndex::State& graph_;
  const std::vector<bool>& live_;
  std::vector<std::uint32_t> marks_;
  std::uint32_t epoch_ = 0;
};

std::vector<InternalId> nearest(InternalId owner, const std::vector<InternalId>& ids,
                                std::size_t cap, const NodeDistances& distances) {
  std::vector<std::optional<float>> scores(ids.size());
  distances(owner, ids, scores);
  std::vector<Candidate> scored;
  scored.reserve(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i)
    scored.push_back({ids[i], scores[i].value_or(kMissingDistance)});
  std::stable_sort(scored.begin(), scored.end(),
                   [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
  std::vector<InternalId> kept;
  kept.reserve(cap);
  for (std::size_t i = 0; i < cap; ++i) kept.push_back(scored[i].id);
  return kept;
}

std::vector<InternalId> repaired_list(const HnswIndex::State& graph, const std::vector<bool>& live,
                                      Reach& reach, InternalId owner, std::uint64_t layer,
                                      std::size_t cap, const NodeDistances& distances) {
  const std::vector<InternalId>& list = graph.nodes[owner].neighbors[layer];
  if (std::all_of(list.begin(), list.end(), [&](InternalId id) { return live[id]; })) return list;
  std::vector<InternalId> candidates = reach.of(owner, layer);
  if (candidates.size() <= cap) return candidates;
  return nearest(owner, candidates, cap, distances);
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
                               const HnswConfig& config, const NodeDistances& distances) {
  std::vector<InternalId> renumbered(graph.nodes.size());
  InternalId next = 0;
  for (InternalId id = 0; id < graph.nodes.size(); ++id) {
    if (live[id]) renumbered[id] = next++;
  }

  Reach reach(graph, live);
  HnswIndex::State out;
  out.nodes.reserve(next);
  for (InternalId id = 0; id < graph.nodes.size(); ++id) {
    if (!live[id]) continue;
    const HnswNode& node = graph.nodes[id];
    HnswNode& copy = out.nodes.emplace_back(HnswNode{renumbered[id], node.level, {}});
    copy.neighbors.reserve(node.neighbors.size());
    for (std::uint64_t layer = 0; layer < node.neighbors.size(); ++layer) {
      std::vector<InternalId> list =
          repaired_list(graph, live, reach, id, layer, layer_cap(config, layer), distances);
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
