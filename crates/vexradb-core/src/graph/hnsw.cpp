#include "graph/hnsw.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "graph/hnsw_impl.hpp"

namespace vexradb {
namespace {

std::mt19937_64 seeded_generator() {
  std::random_device device;
  const std::uint64_t seed = (std::uint64_t{device()} << 32) ^ device();
  return std::mt19937_64(seed);
}

// The calling thread's level generator, seeded from the operating system.
std::mt19937_64& level_generator() {
  thread_local std::mt19937_64 generator = seeded_generator();
  return generator;
}

}  // namespace

VisitedSet& VisitedSet::for_walk(std::size_t count) {
  thread_local VisitedSet set;
  set.reset(count);
  return set;
}

WalkBuffers& WalkBuffers::of_this_thread() {
  thread_local WalkBuffers buffers;
  return buffers;
}

namespace hnsw_detail {

std::vector<Candidate> nearest_sorted(std::span<const Candidate> candidates, std::uint64_t keep,
                                      std::vector<std::uint64_t>& keys) {
  const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(keep, candidates.size()));
  keys.clear();
  keys.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const float distance = candidates[i].distance + 0.0f;  // -0 + 0 is +0
    if (std::isnan(distance)) {
      std::vector<Candidate> sorted(candidates.begin(), candidates.end());
      stable_sort_by_distance(sorted);
      sorted.resize(kept);
      return sorted;
    }
    // Sign and magnitude to an unsigned order: negatives reversed below the positives.
    const auto bits = std::bit_cast<std::uint32_t>(distance);
    const std::uint32_t ordered = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
    keys.push_back(std::uint64_t{ordered} << 32 | i);
  }
  // The keys are distinct, so selecting the first `kept` and then sorting them gives exactly the
  // first `kept` of the whole order.
  const auto first_after = keys.begin() + static_cast<std::ptrdiff_t>(kept);
  if (first_after != keys.end()) std::nth_element(keys.begin(), first_after, keys.end());
  std::sort(keys.begin(), first_after);
  std::vector<Candidate> sorted;
  sorted.reserve(kept);
  for (auto key = keys.begin(); key != first_after; ++key) {
    sorted.push_back(candidates[*key & 0xFFFFFFFFu]);
  }
  return sorted;
}

}  // namespace hnsw_detail

void VisitedSet::reset(std::size_t count) {
  if (marks_.size() < count) marks_.resize(count, 0);
  ++epoch_;
  if (epoch_ == 0) {  // wrapped: old marks could collide with the new epoch
    std::fill(marks_.begin(), marks_.end(), 0);
    epoch_ = 1;
  }
}

HnswIndex::HnswIndex(const HnswConfig& config, DistanceMetric metric)
    : config_(config),
      metric_(metric),
      graph_(config.max_connections_layer0, config.max_connections) {}

void HnswIndex::fail_node_out_of_range(InternalId id) const {
  fail_internal(
      __FILE__, __LINE__,
      "index out of range: node " + std::to_string(id) + " of " + std::to_string(graph_.size()));
}

void HnswIndex::write_lists(InternalId id, const Plan& plan) {
  for (std::size_t layer = 0; layer < plan.size(); ++layer) {
    const std::span<InternalId> list = graph_.resize_list(id, layer, plan[layer].size());
    for (std::size_t i = 0; i < list.size(); ++i) list[i] = plan[layer][i].id;
  }
}

void HnswIndex::hand_over(InternalId id, InternalId owner, std::uint64_t layer,
                          std::size_t position) {
  const std::span<InternalId> list =
      graph_.resize_list(owner, layer, graph_.list(owner, layer).size());
  const InternalId copy = list[position];
  list[position] = id;
  graph_.append(id, layer, copy);
}

std::vector<std::size_t> HnswIndex::unlinked_items(std::span<const BatchItem> items,
                                                   std::vector<InternalId>& owners) const {
  if (items.empty()) return {};
  for (const BatchItem& item : items) owners.push_back(item.id);
  std::sort(owners.begin(), owners.end());
  owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
  const InternalId first = items.front().id;
  std::vector<bool> linked(items.size(), false);
  // Results come from layer 0: a link on an upper layer alone would not make an item findable.
  for (const InternalId owner : owners) {
    for (const InternalId id : graph_.list(owner, 0)) {
      if (id >= first && id - first < items.size() && id != owner) linked[id - first] = true;
    }
  }
  std::vector<std::size_t> unlinked;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!linked[i] && items[i].id != entry_point_) unlinked.push_back(i);
  }
  return unlinked;
}

std::size_t HnswIndex::node_count() const { return graph_.size(); }

HnswIndex::State HnswIndex::state() const {
  State state{{}, entry_point_, max_level_};
  state.nodes.reserve(graph_.size());
  for (InternalId id = 0; id < graph_.size(); ++id) state.nodes.push_back(node(id));
  return state;
}

HnswNode HnswIndex::node(InternalId id) const {
  check_node(id);
  HnswNode node{id, graph_.level(id), {}};
  node.neighbors.reserve(node.level + 1);
  for (std::uint64_t layer = 0; layer <= node.level; ++layer) {
    const std::span<const InternalId> list = graph_.list(id, layer);
    node.neighbors.emplace_back(list.begin(), list.end());
  }
  return node;
}

bool HnswIndex::fits(const State& state) const {
  return std::all_of(state.nodes.begin(), state.nodes.end(), [&](const HnswNode& node) {
    if (node.level > kMaxNodeLevel || node.neighbors.size() != node.level + 1) return false;
    for (std::uint64_t layer = 0; layer <= node.level; ++layer) {
      if (node.neighbors[layer].size() > graph_.cap(layer)) return false;
    }
    return true;
  });
}

void HnswIndex::install(State state) {
  VEXRA_CHECK(fits(state), "installed graph exceeds the index's levels or list caps");
  Adjacency graph(config_.max_connections_layer0, config_.max_connections);
  std::vector<std::uint64_t> levels;
  levels.reserve(state.nodes.size());
  for (const HnswNode& node : state.nodes) levels.push_back(node.level);
  graph.reserve_for(levels);
  for (InternalId id = 0; id < state.nodes.size(); ++id) {
    const HnswNode& node = state.nodes[id];
    graph.add_node(node.level);
    for (std::uint64_t layer = 0; layer <= node.level; ++layer) {
      graph.assign(id, layer, node.neighbors[layer]);
    }
  }
  graph_ = std::move(graph);
  entry_point_ = state.entry_point;
  max_level_ = state.max_level;
}

std::uint64_t HnswIndex::memory_usage() const { return graph_.memory_usage(); }

void reseed_level_generator(std::uint64_t seed) { level_generator().seed(seed); }

std::uint64_t HnswIndex::random_level() const {
  double u = static_cast<double>(level_generator()() >> 11) * 0x1p-53;
  // u = 0 would give an infinite level; the smallest non-zero draw gives the highest finite one.
  if (u == 0.0) u = 0x1p-53;
  const double level = std::floor(-std::log(u) * config_.level_multiplier);
  if (!(level > 0.0)) return 0;  // negative or NaN saturates to 0
  if (level >= 0x1p64) return UINT64_MAX;
  return static_cast<std::uint64_t>(level);
}

}  // namespace vexradb
