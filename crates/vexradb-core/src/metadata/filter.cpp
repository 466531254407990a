#include "metadata/filter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>

#include "base/overloaded.hpp"
#include "metadata/metadata_index.hpp"

namespace vexradb {
namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

std::optional<double> number_as_double(const Json& value) noexcept {
  switch (value.type()) {
    case Json::value_t::number_unsigned:
      return static_cast<double>(*value.get_ptr<const std::uint64_t*>());
    case Json::value_t::number_integer:
      return static_cast<double>(*value.get_ptr<const std::int64_t*>());
    case Json::value_t::number_float:
      return *value.get_ptr<const double*>();
    default:
      return std::nullopt;
  }
}

// The member `name`, or else the member `fallback`, as a number.
std::optional<double> coordinate(const Json::object_t& point, std::string_view name,
                                 std::string_view fallback) noexcept {
  auto member = point.find(name);
  if (member == point.end()) member = point.find(fallback);
  if (member == point.end()) return std::nullopt;
  return number_as_double(member->second);
}

struct Point {
  double lat;
  double lon;
};

std::optional<Point> point_of(const Json& value) noexcept {
  if (const auto* object = value.get_ptr<const Json::object_t*>()) {
    const auto lat = coordinate(*object, "lat", "latitude");
    const auto lon = coordinate(*object, "lon", "longitude");
    if (!lat || !lon) return std::nullopt;
    return Point{*lat, *lon};
  }
  if (const auto* array = value.get_ptr<const Json::array_t*>(); array && array->size() == 2) {
    const auto lat = number_as_double((*array)[0]);
    const auto lon = number_as_double((*array)[1]);
    if (!lat || !lon) return std::nullopt;
    return Point{*lat, *lon};
  }
  return std::nullopt;
}

// Haversine distance in metres between two points given in degrees.
double great_circle_meters(double center_lat, double center_lon, Point point) noexcept {
  const double half_dlat = std::sin((point.lat - center_lat) * kDegreesToRadians * 0.5);
  const double half_dlon = std::sin((point.lon - center_lon) * kDegreesToRadians * 0.5);
  double h = half_dlat * half_dlat + std::cos(center_lat * kDegreesToRadians) *
                                         std::cos(point.lat * kDegreesToRadians) *
                                         (half_dlon * half_dlon);
  // h is at most 1 in exact arithmetic, but near-antipodal points can round it to 1 + 2^-52;
  // √(1 − h) would then be NaN and such a point would match no radius at all.
  h = std::min(h, 1.0);
  return 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h)) * EARTH_RADIUS_METERS;
}

// The leaf tests, given the value found at the leaf's field (null when there is none).
bool geo_matches(const Filter::GeoRadius& geo, const Json* value) noexcept {
  if (value == nullptr) return false;
  const auto point = point_of(*value);
  if (!point) return false;
  // A NaN distance fails the comparison.
  return great_circle_meters(geo.center_lat, geo.center_lon, *point) <= geo.radius_meters;
}

bool range_matches(const Filter::Range& range, const Json* value) noexcept {
  if (value == nullptr) return false;
  const auto number = number_as_double(*value);
  if (!number) return false;
  // Every comparison with a NaN, on either side, is false.
  return (!range.gt || *number > *range.gt) && (!range.gte || *number >= *range.gte) &&
         (!range.lt || *number < *range.lt) && (!range.lte || *number <= *range.lte);
}

bool in_matches(const Filter::In& in, const Json* value) noexcept {
  if (value == nullptr) return false;
  return std::any_of(in.values.begin(), in.values.end(),
                     [value](const Json& candidate) { return json_equal(*value, candidate); });
}

bool eq_matches(const Filter::Eq& eq, const Json* value) noexcept {
  return value != nullptr && json_equal(*value, eq.value);
}

// get_value_by_path over a path already split into its segments (none for the empty path).
const Json* value_at(const Json& value, std::span<const std::string_view> segments) noexcept {
  const Json* current = &value;
  for (const std::string_view key : segments) {
    const auto* object = current->get_ptr<const Json::object_t*>();
    if (object == nullptr) return nullptr;
    const auto member = object->find(key);
    if (member == object->end()) return nullptr;
    current = &member->second;
  }
  return current;
}

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> segments;
  if (path.empty()) return segments;
  while (true) {
    const std::size_t dot = path.find('.');
    segments.push_back(path.substr(0, dot));
    if (dot == std::string_view::npos) return segments;
    path.remove_prefix(dot + 1);
  }
}

// Below this many values an In compares them one by one; hashing the found value costs more.
constexpr std::size_t kHashedInValues = 8;

std::shared_ptr<const ColumnCodes> look_up_codes(const MetadataIndex::Column& column,
                                                 std::span<const Json> values) {
  auto found = std::make_shared<ColumnCodes>();
  std::vector<std::uint32_t>& codes = found->ascending;
  for (const Json& value : values) {
    if (const std::uint32_t code = column.code(value)) codes.push_back(code);
  }
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  // A bit per code up to the largest, when that takes no more room than the codes do.
  if (codes.size() >= kHashedInValues && codes.back() / 32 <= codes.size()) {
    found->set.resize(std::size_t{codes.back()} + 1, false);
    for (const std::uint32_t code : codes) found->set[code] = true;
  }
  return found;
}

std::size_t deepest_of(const std::vector<Filter>& filters) noexcept {
  std::size_t deepest = 0;
  for (const Filter& filter : filters) deepest = std::max(deepest, filter.depth());
  return deepest;
}

}  // namespace

Filter::Filter(Eq leaf) : Filter(Node(std::move(leaf)), 1) {}
// Guarded by its mutex: searches on several threads prepare the same filter.
struct Filter::CodesMemo {
  std::mutex mu;
  std::uint64_t dictionary = 0;  // the column's Column::dictionary(); 0: none yet
  std::shared_ptr<const ColumnCodes> codes;
};

Filter::Filter(In leaf) : Filter(Node(std::move(leaf)), 1) {
  codes_memo_ = std::make_shared<CodesMemo>();
}
Filter::Filter(Range leaf) : Filter(Node(std::move(leaf)), 1) {}
Filter::Filter(GeoRadius leaf) : Filter(Node(std::move(leaf)), 1) {}

Result<Filter> Filter::combine(Node node, std::size_t operand_depth) {
  const std::size_t depth = operand_depth + 1;
  if (depth > kMaxDepth) {
    return fail(
        errors::InvalidParameter{std::to_string(depth), "filter", "nested deeper than 128 levels"});
  }
  return Filter(std::move(node), depth);
}

Result<Filter> Filter::all(std::vector<Filter> filters) {
  const std::size_t deepest = deepest_of(filters);
  return combine(And{std::move(filters)}, deepest);
}

Result<Filter> Filter::any(std::vector<Filter> filters) {
  const std::size_t deepest = deepest_of(filters);
  return combine(Or{std::move(filters)}, deepest);
}

Result<Filter> Filter::negate(Filter filter) {
  const std::size_t depth = filter.depth();
  return combine(Not{std::make_shared<const Filter>(std::move(filter))}, depth);
}

bool matches(const Filter& filter, const Json& metadata) noexcept {
  // Recursion is bounded by Filter::kMaxDepth.
  return std::visit(
      Overloaded{
          [&](const Filter::Eq& eq) {
            return eq_matches(eq, get_value_by_path(metadata, eq.field));
          },
          [&](const Filter::In& in) {
            return in_matches(in, get_value_by_path(metadata, in.field));
          },
          [&](const Filter::And& all) {
            return std::all_of(all.filters.begin(), all.filters.end(),
                               [&](const Filter& f) { return matches(f, metadata); });
          },
          [&](const Filter::Or& any) {
            return std::any_of(any.filters.begin(), any.filters.end(),
                               [&](const Filter& f) { return matches(f, metadata); });
          },
          [&](const Filter::Not& negation) { return !matches(*negation.filter, metadata); },
          [&](const Filter::Range& range) {
            return range_matches(range, get_value_by_path(metadata, range.field));
          },
          [&](const Filter::GeoRadius& geo) {
            return geo_matches(geo, get_value_by_path(metadata, geo.field));
          },
      },
      filter.node());
}

const Json* get_value_by_path(const Json& value, std::string_view path) noexcept {
  if (path.empty()) return &value;
  const Json* current = &value;
  while (true) {
    const std::size_t dot = path.find('.');
    const std::string_view key = path.substr(0, dot);
    const auto* object = current->get_ptr<const Json::object_t*>();
    if (object == nullptr) return nullptr;
    const auto member = object->find(key);
    if (member == object->end()) return nullptr;
    current = &member->second;
    if (dot == std::string_view::npos) return current;
    path.remove_prefix(dot + 1);
  }
}

}  // namespace vexradb

namespace vexradb {

PreparedFilter::PreparedFilter(const Filter& filter, const MetadataIndex* index)
    : filter_(&filter) {
  auto prepare_all = [&](const std::vector<Filter>& filters) {
    operands_.reserve(filters.size());
    for (const Filter& operand : filters) {
      needs_metadata_ |= operands_.emplace_back(operand, index).needs_metadata();
    }
  };
  std::visit(
      Overloaded{
          [&](const Filter::Eq& eq) {
            prepare_leaf(eq.field, std::span(&eq.value, 1), index, nullptr);
          },
          [&](const Filter::In& in) {
            // A short list is looked up as fast as the memo is read.
            prepare_leaf(in.field, in.values, index,
                         in.values.size() >= kHashedInValues ? filter.codes_memo_.get() : nullptr);
          },
          [&](const Filter::And& all) { prepare_all(all.filters); },
          [&](const Filter::Or& any) { prepare_all(any.filters); },
          [&](const Filter::Not& negation) {
            needs_metadata_ = operands_.emplace_back(*negation.filter, index).needs_metadata();
          },
          [&](const Filter::Range& range) {
            path_ = split_path(range.field);
            needs_metadata_ = true;
          },
          [&](const Filter::GeoRadius& geo) {
            path_ = split_path(geo.field);
            needs_metadata_ = true;
          },
      },
      filter.node());
}

void PreparedFilter::prepare_leaf(std::string_view field, std::span<const Json> values,
                                  const MetadataIndex* index, Filter::CodesMemo* memo) {
  path_ = split_path(field);
  indexed_ = index != nullptr && std::all_of(values.begin(), values.end(), is_scalar);
  if (indexed_) {
    by_code_ = index->exact();
    column_ = index->column(field);
    if (column_ != nullptr) {
      codes_ = memo == nullptr ? look_up_codes(*column_, values)
                               : remembered_codes(*column_, values, *memo);
    }
    if (by_code_) return;
  }
  needs_metadata_ = true;
  if (values.size() < kHashedInValues) return;
  hashed_values_.reserve(values.size());
  for (const Json& value : values) hashed_values_.emplace_back(json_value_hash(value), &value);
  std::stable_sort(hashed_values_.begin(), hashed_values_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::shared_ptr<const ColumnCodes> PreparedFilter::remembered_codes(
    const MetadataIndex::Column& column, std::span<const Json> values, Filter::CodesMemo& memo) {
  {
    std::lock_guard lock(memo.mu);
    if (memo.dictionary == column.dictionary()) return memo.codes;
  }
  std::shared_ptr<const ColumnCodes> codes = look_up_codes(column, values);
  std::lock_guard lock(memo.mu);
  memo.dictionary = column.dictionary();
  memo.codes = codes;
  return codes;
}

bool PreparedFilter::matches_code(std::uint32_t code) const noexcept {
  if (code == 0 || codes_ == nullptr) return false;
  const std::vector<bool>& set = codes_->set;
  if (!set.empty()) return code < set.size() && set[code];
  const std::vector<std::uint32_t>& codes = codes_->ascending;
  if (codes.size() < kHashedInValues) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  return std::binary_search(codes.begin(), codes.end(), code);
}

bool PreparedFilter::matches(InternalId id, const Json* metadata) const noexcept {
  if (by_code_) return column_ != nullptr && matches_code(column_->code_of(id));
  auto found = [&] { return value_at(*metadata, path_); };
  return std::visit(
      Overloaded{
          [&](const Filter::Eq& eq) { return eq_matches(eq, found()); },
          [&](const Filter::In& in) {
            const Json* value = found();
            if (hashed_values_.empty() || value == nullptr) return in_matches(in, value);
            const std::uint64_t hash = json_value_hash(*value);
            auto it = std::lower_bound(
                hashed_values_.begin(), hashed_values_.end(), hash,
                [](const auto& entry, std::uint64_t h) { return entry.first < h; });
            for (; it != hashed_values_.end() && it->first == hash; ++it) {
              if (json_equal(*value, *it->second)) return true;
            }
            return false;
          },
          [&](const Filter::And&) {
            return std::all_of(operands_.begin(), operands_.end(),
                               [&](const PreparedFilter& f) { return f.matches(id, metadata); });
          },
          [&](const Filter::Or&) {
            return std::any_of(operands_.begin(), operands_.end(),
                               [&](const PreparedFilter& f) { return f.matches(id, metadata); });
          },
          [&](const Filter::Not&) { return !operands_.front().matches(id, metadata); },
          [&](const Filter::Range& range) { return range_matches(range, found()); },
          [&](const Filter::GeoRadius& geo) { return geo_matches(geo, found()); },
      },
      filter_->node());
}

}  // namespace vexradb
