#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/types.hpp"
#include "metadata/json.hpp"

namespace vexradb {

// Whether `value` is null, a boolean, a number or a string: the values the metadata index keeps.
bool is_scalar(const Json& value) noexcept;

// A hash of a JSON value that agrees with json_equal: equal values hash alike (unsigned 1,
// signed 1 and float 1.0 differ; 0.0 and -0.0 agree). Arrays and objects hash by their type only.
// Keyed by a random per-process secret, so that values cannot be crafted to collide from outside.
std::uint64_t json_value_hash(const Json& value) noexcept;

using JsonValueHasher = std::uint64_t (*)(const Json& value) noexcept;

// Which stored vectors hold which scalar at which path of their metadata, so that a filtered
// search can count and list the vectors an equality test admits, and test one vector without
// reading its metadata.
//
// Each path with a scalar somewhere gets a column: a code per internal id naming its value there
// (0 when it has none), and for each value the ascending list of ids holding it. A path is the
// member names from the top joined by "." ("" for a scalar at the top); arrays are not entered,
// as a path never indexes into one. Each code stands for one value: a column keeps the value and
// compares it before answering, as values whose hashes collide must not share a code. A column
// is exact (tells precisely what get_value_by_path finds) unless a member name contains "." or
// is empty at the top; then exact() is false for the whole index, and readers test the metadata
// itself.
//
// Deleted and replaced versions keep their entries, and readers skip them like any dead version;
// only an insertion undone removes its own.
class MetadataIndex {
 public:
  class Column {
   public:
    explicit Column(JsonValueHasher hasher)
        : codes_by_value_(0, ValueHash{hasher}), dictionary_(next_dictionary()) {}

    // The code of the value `id` holds here; 0 when it holds none.
    std::uint32_t code_of(InternalId id) const noexcept {
      return id < codes_.size() ? codes_[id] : 0;
    }
    // The code of the value equal to `value` (a scalar) here; 0 when no vector holds it.
    std::uint32_t code(const Json& value) const;
    // The ids holding the value of `code` (not 0), ascending.
    std::span<const InternalId> ids(std::uint32_t code) const { return postings_[code - 1]; }
    // Names the column's present assignment of codes to values: it changes whenever a value
    // gains or loses its code, and no other assignment of any column in this process shares it,
    // so codes looked up under one name hold for as long as the name does.
    std::uint64_t dictionary() const noexcept { return dictionary_; }

   private:
    friend class MetadataIndex;
    struct ValueHash {
      JsonValueHasher hasher;
      std::size_t operator()(const Json& value) const noexcept { return hasher(value); }
    };
    struct ValueEqual {
      bool operator()(const Json& a, const Json& b) const noexcept { return json_equal(a, b); }
    };

    static std::uint64_t next_dictionary() noexcept;

    std::vector<std::uint32_t> codes_;  // by internal id
    std::unordered_map<Json, std::uint32_t, ValueHash, ValueEqual> codes_by_value_;
    std::vector<std::vector<InternalId>> postings_;  // by code - 1
    std::uint64_t dictionary_;
  };

  // `hasher` is a seam for tests, which force values to collide.
  explicit MetadataIndex(JsonValueHasher hasher = json_value_hash) : hasher_(hasher) {}

  // Records every scalar in `metadata` for `id`. Ids must arrive in ascending order.
  void add(InternalId id, const Json& metadata);
  // Forgets everything recorded for the ids from `first` on: the undo of insertions that could
  // not complete. A lost exactness stays lost.
  void remove_from(InternalId first) noexcept;

  bool exact() const noexcept { return exact_; }
  // Whether metadata was recorded for `id`: a bit per id, cheaper to read than the metadata.
  bool has_metadata(InternalId id) const noexcept {
    return id < described_.size() && described_[id];
  }
  // The column of `path`, or null when no stored metadata has a scalar there.
  const Column* column(std::string_view path) const;
  // The ids holding `value` (a scalar) at `path`, ascending: exactly those when exact(), else a
  // superset.
  std::span<const InternalId> postings(std::string_view path, const Json& value) const;

 private:
  // Paths are looked up by string_view without copying them.
  struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const noexcept {
      return std::hash<std::string_view>{}(path);
    }
  };

  void add_all(InternalId id, const Json& metadata);
  void add_value(InternalId id, const std::string& path, const Json& value);

  JsonValueHasher hasher_;
  std::unordered_map<std::string, Column, PathHash, std::equal_to<>> columns_;
  std::vector<bool> described_;  // by internal id
  bool exact_ = true;
};

}  // namespace vexradb
