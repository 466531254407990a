#include "hnsw.hpp"

#include <cmath>
#include <random>

namespace vexradb {
namespace {

// Node record size and list slot size used by the memory estimate.
constexpr std::uint64_t kNodeSlotBytes = 40;
constexpr std::uint64_t kNeighborSlotBytes = sizeof(InternalId);

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

void VisitedSet::reset(std::size_t count) {
  if (marks_.size() < count) marks_.resize(count, 0);
  ++epoch_;
  if (epoch_ == 0) {  // wrapped: old marks could collide with the new epoch
    std::fill(marks_.begin(), marks_.end(), 0);
    epoch_ = 1;
  }
}

HnswIndex::HnswIndex(const HnswConfig& config, DistanceMetric metric)
    : config_(config), metric_(metric) {}

void HnswIndex::fail_node_out_of_range(InternalId id) const {
  fail_internal(
      __FILE__, __LINE__,
      "index out of range: node " + std::to_string(id) + " of " + std::to_string(nodes_.size()));
}

std::size_t HnswIndex::max_connections_on(std::uint64_t layer) const {
  return layer == 0 ? config_.max_connections_layer0 : config_.max_connections;
}

// Each list gets room for its cap plus the one back-link that triggers a prune, so it never
// reallocates (growth by doubling would leave most level-0 lists at twice their size).
HnswNode HnswIndex::new_node(InternalId id, std::uint64_t level) const {
  HnswNode node{id, level, std::vector<std::vector<InternalId>>(level + 1)};
  for (std::uint64_t layer = 0; layer <= level; ++layer) {
    node.neighbors[layer].reserve(max_connections_on(layer) + 1);
  }
  return node;
}

std::uint64_t HnswIndex::read_max_level() const {
  std::shared_lock lock(max_level_mu_);
  return max_level_;
}

std::size_t HnswIndex::node_count() const {
  std::shared_lock lock(nodes_mu_);
  return nodes_.size();
}

HnswIndex::State HnswIndex::state() const {
  std::shared_lock nodes_lock(nodes_mu_);
  std::shared_lock entry_lock(entry_point_mu_);
  return State{nodes_, entry_point_, read_max_level()};
}

void HnswIndex::install(State state) {
  std::unique_lock nodes_lock(nodes_mu_);
  std::unique_lock entry_lock(entry_point_mu_);
  std::unique_lock level_lock(max_level_mu_);
  nodes_ = std::move(state.nodes);
  entry_point_ = state.entry_point;
  max_level_ = state.max_level;
}

std::uint64_t HnswIndex::memory_usage() const {
  std::shared_lock lock(nodes_mu_);
  std::uint64_t bytes = nodes_.capacity() * kNodeSlotBytes;
  for (const HnswNode& node : nodes_) {
    for (const auto& list : node.neighbors) bytes += list.capacity() * kNeighborSlotBytes;
  }
  return bytes;
}

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
