#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/reserve_more.hpp"
#include "base/types.hpp"

namespace vexradb {

// The texts of ids, indexed by internal id, stored once end to end: an id costs its bytes and an
// 8-byte end offset, where a std::string costs 32 bytes however short the id (and a heap block
// besides when it is longer than 15 bytes).
class IdTexts {
 public:
  std::size_t size() const noexcept { return ends_.size(); }
  // The text of `id`, which must be below size(); valid until the next change.
  std::string_view operator[](InternalId id) const noexcept {
    const std::uint64_t begin = id == 0 ? 0 : ends_[id - 1];
    return {bytes_.data() + begin, ends_[id] - begin};
  }
  void reserve(std::size_t additional) { reserve_more(ends_, additional); }
  // Appends `text`; when it cannot allocate, throws having changed nothing.
  void push_back(std::string_view text);
  void pop_back() noexcept;

 private:
  std::vector<char> bytes_;
  std::vector<std::uint64_t> ends_;  // where each id's text ends in bytes_
};

// The map from each live external id to its internal id, for IdCatalog. The catalogue already
// keeps every id's text (IdTexts), so a slot holds only the internal id and 32 bits of the id's
// keyed hash (IdHash): 8 bytes at most 3/4 full, where a node-based map kept a second copy of the
// text, a node and a bucket for every id. Every call that reads texts takes them as `texts`, which
// must hold the text of every internal id in the table.
//
// Linear probing; erasing shifts the following entries back instead of leaving tombstones, so
// lookups never slow down under churn. Not synchronised: see the threading rule in engine.hpp.
class IdTable {
 public:
  std::size_t size() const noexcept { return size_; }

  // Makes room for `count` ids in all, so that inserting up to that many never allocates.
  void reserve(std::size_t count);

  std::optional<InternalId> find(std::string_view id, const IdTexts& texts) const;
  // Maps the text of internal id `value` (texts[value]) to `value`, and returns the internal id
  // that text mapped to before, if any. Allocates only without room (see reserve).
  std::optional<InternalId> insert_or_assign(InternalId value, const IdTexts& texts);
  // Maps `id`, which must be in the table, to `value`.
  void assign(std::string_view id, InternalId value, const IdTexts& texts);
  // Drops `id`; the internal id it mapped to, if it was there.
  std::optional<InternalId> erase(std::string_view id, const IdTexts& texts);

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
  std::size_t position_of(std::string_view id, std::uint32_t tag, const IdTexts& texts) const;
  void rehash(std::size_t slot_count);

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t size_ = 0;
};

}  // namespace vexradb
