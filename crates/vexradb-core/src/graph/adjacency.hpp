#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/types.hpp"

namespace vexradb {

// The highest level a node of the graph may have. Drawn levels never exceed 13 (the draw caps
// u = 0 at the smallest non-zero value); this bound leaves room and keeps a level in one byte.
inline constexpr std::uint64_t kMaxNodeLevel = 255;

// The neighbour lists of every node, laid out for the walks. A walk reads, for each node it
// expands, that node's list on one layer, mostly layer 0; with one small vector per list it paid
// three dependent cache misses per node (node record, list header, list). Here every node owns
// one fixed block of layer-0 slots in one array, a count followed by room for the layer's cap,
// so a list is one address computation and one miss away. The few nodes above layer 0 (one in
// sixteen per layer) own consecutive fixed blocks of the upper array, one per upper layer.
//
// Lists never hold more than their layer's cap. Callers check ids and layers against `size()`
// and `level()` first.
class Adjacency {
 public:
  Adjacency(std::size_t layer0_cap, std::size_t upper_cap);

  std::size_t size() const noexcept { return levels_.size(); }
  std::uint64_t level(InternalId id) const noexcept { return levels_[id]; }
  std::size_t cap(std::uint64_t layer) const noexcept {
    return layer == 0 ? layer0_cap_ : upper_cap_;
  }

  // Appends a node with `level` + 1 empty lists; its id is the previous size.
  void add_node(std::uint64_t level);
  // Room for more nodes of the given levels, so that adding them allocates nothing. A level
  // above kMaxNodeLevel is an internal failure.
  void reserve_for(std::span<const std::uint64_t> levels);

  std::span<const InternalId> list(InternalId id, std::uint64_t layer) const noexcept {
    const InternalId* block = block_of(id, layer);
    return {block + 1, block[0]};
  }
  // Gives a list `count` entries (at most the layer's cap) and returns them, to be filled.
  std::span<InternalId> resize_list(InternalId id, std::uint64_t layer, std::size_t count);
  // Replaces a list; `ids` holds at most the layer's cap.
  void assign(InternalId id, std::uint64_t layer, std::span<const InternalId> ids);
  // Appends to a list that is below its cap.
  void append(InternalId id, std::uint64_t layer, InternalId neighbor);

  // Asks the processor to start loading a node's layer-0 list.
  void prefetch_layer0(InternalId id) const noexcept {
    __builtin_prefetch(layer0_.data() + std::size_t{id} * layer0_stride_);
  }

  // Bytes reserved by the arrays.
  std::uint64_t memory_usage() const noexcept;

 private:
  const InternalId* block_of(InternalId id, std::uint64_t layer) const noexcept {
    if (layer == 0) return layer0_.data() + std::size_t{id} * layer0_stride_;
    return upper_.data() + (std::size_t{upper_start_[id]} + layer - 1) * upper_stride_;
  }
  InternalId* block_of(InternalId id, std::uint64_t layer) noexcept {
    return const_cast<InternalId*>(std::as_const(*this).block_of(id, layer));
  }

  std::size_t layer0_cap_;
  std::size_t upper_cap_;
  std::size_t layer0_stride_;  // count slot + cap slots
  std::size_t upper_stride_;
  std::vector<InternalId> layer0_;
  std::vector<InternalId> upper_;
  std::vector<std::uint8_t> levels_;
  // Per node, the index of its layer-1 block in `upper_` (in blocks); unused for level 0.
  std::vector<std::uint32_t> upper_start_;
  std::uint64_t upper_blocks_ = 0;
};

}  // namespace vexradb
