#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "json.hpp"
#include "types.hpp"

namespace vexradb {

// Whether `value` is null, a boolean, a number or a string: the values the metadata index keeps.
bool is_scalar(const Json& value) noexcept;

// A hash of a JSON value that agrees with json_equal: equal values hash alike (unsigned 1,
// signed 1 and float 1.0 differ; 0.0 and -0.0 agree). Arrays and objects hash by their type only.
std::uint64_t json_value_hash(const Json& value) noexcept;

// Which stored vectors hold which scalar at which path of their metadata, so that a filtered
// search can count and list the vectors an equality test can admit without reading every
// vector's metadata.
//
// A posting list is keyed by a hash of (path, value) and lists the internal ids in ascending
// order. It is a superset of the ids whose metadata has that value at that path: two keys may
// share a hash, and a member name containing "." yields the same path as a nested member. Readers
// therefore test each listed id against the filter; an id absent from the list never matches.
// Lists are never shortened: deleted and replaced versions stay listed until the store drops
// them, and readers skip them like any dead version.
class MetadataIndex {
 public:
  // Records every scalar in `metadata` under its path: the member names from the top joined by
  // ".", or "" for a scalar at the top. Ids must arrive in ascending order. Arrays are not
  // entered: a path never indexes into one.
  void add(InternalId id, const Json& metadata);

  // The ids recorded for `value` at `path`, ascending. Empty when none; `value` must be a scalar.
  std::span<const InternalId> postings(std::string_view path, const Json& value) const;

 private:
  std::unordered_map<std::uint64_t, std::vector<InternalId>> postings_;
};

}  // namespace vexradb
