#include "graph/adjacency.hpp"

#include <algorithm>
#include <limits>

#include "base/internal_failure.hpp"
#include "base/reserve_more.hpp"

namespace vexradb {

Adjacency::Adjacency(std::size_t layer0_cap, std::size_t upper_cap)
    : layer0_cap_(layer0_cap),
      upper_cap_(upper_cap),
      layer0_stride_(layer0_cap + 1),
      upper_stride_(upper_cap + 1) {
  VEXRA_CHECK(layer0_cap < std::numeric_limits<InternalId>::max() &&
                  upper_cap < std::numeric_limits<InternalId>::max(),
              "neighbour list cap too large");
}

void Adjacency::add_node(std::uint64_t level) {
  // Everything that can fail first, so that a failure leaves no half-added node.
  reserve_for(std::span(&level, 1));
  layer0_.resize(layer0_.size() + layer0_stride_, 0);
  upper_.resize(upper_.size() + level * upper_stride_, 0);
  levels_.push_back(static_cast<std::uint8_t>(level));
  upper_start_.push_back(static_cast<std::uint32_t>(upper_blocks_));
  upper_blocks_ += level;
}

void Adjacency::reserve_for(std::span<const std::uint64_t> levels) {
  std::uint64_t upper_lists = 0;
  for (const std::uint64_t level : levels) {
    VEXRA_CHECK(level <= kMaxNodeLevel, "node level above the graph's maximum");
    upper_lists += level;
  }
  VEXRA_CHECK(upper_blocks_ + upper_lists <= std::numeric_limits<std::uint32_t>::max(),
              "too many upper-layer lists");
  reserve_more(layer0_, levels.size() * layer0_stride_);
  reserve_more(upper_, upper_lists * upper_stride_);
  reserve_more(levels_, levels.size());
  reserve_more(upper_start_, levels.size());
}

std::span<InternalId> Adjacency::resize_list(InternalId id, std::uint64_t layer,
                                             std::size_t count) {
  VEXRA_CHECK(count <= cap(layer), "neighbour list over its cap");
  InternalId* block = block_of(id, layer);
  block[0] = static_cast<InternalId>(count);
  return {block + 1, count};
}

void Adjacency::assign(InternalId id, std::uint64_t layer, std::span<const InternalId> ids) {
  const std::span<InternalId> list = resize_list(id, layer, ids.size());
  std::copy(ids.begin(), ids.end(), list.begin());
}

void Adjacency::append(InternalId id, std::uint64_t layer, InternalId neighbor) {
  InternalId* block = block_of(id, layer);
  VEXRA_CHECK(block[0] < cap(layer), "append to a full neighbour list");
  block[1 + block[0]] = neighbor;
  ++block[0];
}

std::uint64_t Adjacency::memory_usage() const noexcept {
  return (layer0_.capacity() + upper_.capacity()) * sizeof(InternalId) + levels_.capacity() +
         upper_start_.capacity() * sizeof(std::uint32_t);
}

}  // namespace vexradb
