#include "filter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "overloaded.hpp"

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

bool geo_matches(const Filter::GeoRadius& geo, const Json& metadata) noexcept {
  const Json* value = get_value_by_path(metadata, geo.field);
  if (value == nullptr) return false;
  const auto point = point_of(*value);
  if (!point) return false;
  // A NaN distance fails the comparison.
  return great_circle_meters(geo.center_lat, geo.center_lon, *point) <= geo.radius_meters;
}

bool range_matches(const Filter::Range& range, const Json& metadata) noexcept {
  const Json* value = get_value_by_path(metadata, range.field);
  if (value == nullptr) return false;
  const auto number = number_as_double(*value);
  if (!number) return false;
  // Every comparison with a NaN, on either side, is false.
  return (!range.gt || *number > *range.gt) && (!range.gte || *number >= *range.gte) &&
         (!range.lt || *number < *range.lt) && (!range.lte || *number <= *range.lte);
}

bool in_matches(const Filter::In& in, const Json& metadata) noexcept {
  const Json* value = get_value_by_path(metadata, in.field);
  if (value == nullptr) return false;
  return std::any_of(in.values.begin(), in.values.end(),
                     [value](const Json& candidate) { return json_equal(*value, candidate); });
}

bool eq_matches(const Filter::Eq& eq, const Json& metadata) noexcept {
  const Json* value = get_value_by_path(metadata, eq.field);
  return value != nullptr && json_equal(*value, eq.value);
}

std::size_t deepest_of(const std::vector<Filter>& filters) noexcept {
  std::size_t deepest = 0;
  for (const Filter& filter : filters) deepest = std::max(deepest, filter.depth());
  return deepest;
}

}  // namespace

Filter::Filter(Eq leaf) : Filter(Node(std::move(leaf)), 1) {}
Filter::Filter(In leaf) : Filter(Node(std::move(leaf)), 1) {}
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
          [&](const Filter::Eq& eq) { return eq_matches(eq, metadata); },
          [&](const Filter::In& in) { return in_matches(in, metadata); },
          [&](const Filter::And& all) {
            return std::all_of(all.filters.begin(), all.filters.end(),
                               [&](const Filter& f) { return matches(f, metadata); });
          },
          [&](const Filter::Or& any) {
            return std::any_of(any.filters.begin(), any.filters.end(),
                               [&](const Filter& f) { return matches(f, metadata); });
          },
          [&](const Filter::Not& negation) { return !matches(*negation.filter, metadata); },
          [&](const Filter::Range& range) { return range_matches(range, metadata); },
          [&](const Filter::GeoRadius& geo) { return geo_matches(geo, metadata); },
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
