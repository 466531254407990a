#pragma once

// metadata/: JSON values (parser and writer), the filter language and its evaluation, and the
// metadata index that answers equality filters without reading every document. May use: base/.
//
// Predicates over a vector's JSON metadata, evaluated by filtered searches.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "metadata/json.hpp"
#include "metadata/metadata_index.hpp"

namespace vexradb {

// Mean earth radius of the geographic radius test, in metres.
inline constexpr double EARTH_RADIUS_METERS = 6371000.0;

// An immutable predicate tree. Fields are dot-separated paths into the metadata (see
// get_value_by_path). A filter owns everything it refers to, is built once per search, and may
// be evaluated from several threads at once.
//
// Nesting is bounded: a filter is at most kMaxDepth levels deep (a leaf is one level, a
// combinator one more than its deepest operand). The combinators are built only through all(),
// any() and negate(), which refuse to exceed the bound, so evaluation can never exhaust the
// stack.
class Filter {
 public:
  // The field exists and equals `value` (json_equal).
  struct Eq {
    std::string field;
    Json value;
  };
  // The field exists and equals one of `values`; an empty list never matches.
  struct In {
    std::string field;
    std::vector<Json> values;
  };
  // Every operand matches (true for none).
  struct And {
    std::vector<Filter> filters;
  };
  // Some operand matches (false for none).
  struct Or {
    std::vector<Filter> filters;
  };
  // The operand does not match. Operands are immutable, so sharing one between copies is safe.
  struct Not {
    std::shared_ptr<const Filter> filter;
  };
  // The field is a number (converted to double) within every bound that is present.
  struct Range {
    std::optional<double> gt;
    std::optional<double> gte;
    std::optional<double> lt;
    std::optional<double> lte;
    std::string field;
  };
  // The field is a point, {"lat"|"latitude", "lon"|"longitude"} or [lat, lon] in degrees, whose
  // great-circle distance from the centre is at most `radius_meters`.
  struct GeoRadius {
    std::string field;
    double center_lat;
    double center_lon;
    double radius_meters;
  };
  using Node = std::variant<Eq, In, And, Or, Not, Range, GeoRadius>;

  static constexpr std::size_t kMaxDepth = 128;

  // Leaves are one level deep and always valid.
  explicit Filter(Eq leaf);
  explicit Filter(In leaf);
  explicit Filter(Range leaf);
  explicit Filter(GeoRadius leaf);

  // And / Or / Not over the operands. Fail with errors::InvalidParameter ("filter") when the
  // result would be deeper than kMaxDepth.
  static Result<Filter> all(std::vector<Filter> filters);
  static Result<Filter> any(std::vector<Filter> filters);
  static Result<Filter> negate(Filter filter);

  const Node& node() const noexcept { return node_; }
  std::size_t depth() const noexcept { return depth_; }

 private:
  Filter(Node node, std::size_t depth) : node_(std::move(node)), depth_(depth) {}

  static Result<Filter> combine(Node node, std::size_t operand_depth);

  friend class PreparedFilter;
  struct CodesMemo;

  Node node_;
  std::size_t depth_;
  // An In's codes in the column it was last prepared against (see PreparedFilter); shared by
  // copies, which hold the same values.
  std::shared_ptr<CodesMemo> codes_memo_;
};

// The codes of an Eq's or In's values in their column, ascending, and as a bit set over the codes
// when that takes no more room.
struct ColumnCodes {
  std::vector<std::uint32_t> ascending;
  std::vector<bool> set;
};

// A filter made ready for the many evaluations of one search: every path split into its
// segments once, and the values of a long In list looked up by hash instead of one by one. Given
// the metadata index, each Eq and In of scalars also finds its field's column and the codes of
// its values there; when the index is exact, such a leaf is then answered from the column without
// reading the metadata. An In of many values keeps the codes it found in its filter, for the next
// search made with the same filter while the column's codes stay as they were (an application
// searches with one filter many times, and looking its values up again would cost about what
// the search does). Borrows the filter and the index, which must outlive it and stay unchanged.
// Evaluates exactly as matches(filter, metadata).
class PreparedFilter {
 public:
  explicit PreparedFilter(const Filter& filter, const MetadataIndex* index = nullptr);

  // Whether the stored vector `id`, whose metadata is `metadata`, passes. `metadata` may be null
  // when needs_metadata() is false.
  bool matches(InternalId id, const Json* metadata) const noexcept;
  // Whether some leaf reads the metadata itself rather than the index's codes.
  bool needs_metadata() const noexcept { return needs_metadata_; }

  const Filter& filter() const noexcept { return *filter_; }
  // The prepared operands of And, Or and Not.
  std::span<const PreparedFilter> operands() const noexcept { return operands_; }
  // Whether this is an Eq or In leaf found in the index: then column() holds the field's column
  // (null when no stored vector has a scalar there) and codes() the codes of the values found in
  // it, ascending.
  bool indexed() const noexcept { return indexed_; }
  const MetadataIndex::Column* column() const noexcept { return column_; }
  std::span<const std::uint32_t> codes() const noexcept {
    return codes_ ? std::span<const std::uint32_t>(codes_->ascending)
                  : std::span<const std::uint32_t>();
  }

 private:
  void prepare_leaf(std::string_view field, std::span<const Json> values,
                    const MetadataIndex* index, Filter::CodesMemo* memo);
  bool matches_code(std::uint32_t code) const noexcept;
  // The codes of `values` in `column`: those `memo` kept for the column's present codes, or
  // looked up and kept there.
  static std::shared_ptr<const ColumnCodes> remembered_codes(const MetadataIndex::Column& column,
                                                             std::span<const Json> values,
                                                             Filter::CodesMemo& memo);

  const Filter* filter_;
  std::vector<std::string_view> path_;    // the field's segments, for the leaves
  std::vector<PreparedFilter> operands_;  // And, Or, Not
  // An In of many values: (json_value_hash, value) sorted by hash.
  std::vector<std::pair<std::uint64_t, const Json*>> hashed_values_;
  bool indexed_ = false;
  bool by_code_ = false;  // indexed in an exact index: answered from the column
  bool needs_metadata_ = false;
  const MetadataIndex::Column* column_ = nullptr;
  std::shared_ptr<const ColumnCodes> codes_;  // null when column_ is
};

// Whether `metadata` satisfies `filter`. Never fails: a missing field, a value of the wrong type
// or a malformed point makes the leaf false. Allocates nothing.
bool matches(const Filter& filter, const Json& metadata) noexcept;

// The value at `path` inside `value`: the empty path is the value itself; otherwise each
// "."-separated segment (empty segments included) selects an object member by exact key.
// Arrays are never indexed. Null when some step is not an object or lacks the key.
const Json* get_value_by_path(const Json& value, std::string_view path) noexcept;

}  // namespace vexradb
