#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "types.hpp"

namespace vexradb {

// The map from each live external id to its internal id, for IdCatalog. The catalogue already
// keeps every id's text, indexed by internal id, so a slot holds only the internal id and 32 bits
// of the id's keyed hash (IdHash): 8 bytes at most 3/4 full, where a node-based map kept a second
// copy of the text, a node and a bucket for every id. Every call that reads texts takes them as
// `texts` (texts[i] the text of internal id i), which must hold the text of every internal id in
// the table.
//
// Linear probing; erasing shifts the following entries back instead of leaving tombstones, so
// lookups never slow down under churn. Not synchronised: see the threading rule in engine.hpp.
class IdTable {
 public:
  std::size_t size() const noexcept { return size_; }

  // Makes room for `count` ids in all, so that inserting up to that many never allocates.
  void reserve(std::size_t count);

  std::optional<InternalId> find(std::string_view id, std::span<const VectorId> texts) const;
  // Maps the text of internal id `value` (texts[value]) to `value`, and returns the internal id
  // that text mapped to before, if any. Allocates only without room (see reserve).
  std::optional<InternalId> insert_or_assign(InternalId value, std::span<const VectorId> texts);
  // Maps `id`, which must be in the table, to `value`.
  void assign(std::string_view id, InternalId value, std::span<const VectorId> texts);
  // Drops `id`; the internal id it mapped to, if it was there.
  std::optional<InternalId> erase(std::string_view id, std::span<const VectorId> texts);

 private:
  struct Slot {
    // 0: empty; else the low 32 bits of the id's hash (0 counted as 1), which also choose its
    // home slot: growing the table moves slots without hashing any text again.
    std::uint32_t tag = 0;
    InternalId value = 0;
  };

  static std::uint32_t tag_of(std::string_view id) noexcept;
  std::size_t home(std::uint32_t tag) const noexcept { return tag & (slots_.size() - 1); }
  std::size_t next(std::size_t position) const noexcept {
    return (position + 1) & (slots_.size() - 1);
  }
  // The slot holding `id`, or else the empty slot where it would go (the table is never full).
  std::size_t position_of(std::string_view id, std::uint32_t tag,
                          std::span<const VectorId> texts) const;
  void rehash(std::size_t slot_count);

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t size_ = 0;
};

}  // namespace vexradb
