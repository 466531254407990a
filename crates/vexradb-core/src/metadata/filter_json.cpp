#include "metadata/filter_json.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "metadata/json.hpp"

namespace vexradb {
namespace {

Result<Filter> invalid(std::string what) {
  return fail(errors::Serialization{"filter: " + std::move(what)});
}

// A finite number, or nothing.
std::optional<double> number_of(const Json& value) {
  if (!value.is_number()) return std::nullopt;
  const double number = value.get<double>();
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

Result<Filter> convert(const Json& value);

Result<std::vector<Filter>> convert_all(const Json& operands, std::string_view combinator) {
  if (!operands.is_array()) {
    return fail(errors::Serialization{"filter: `" + std::string(combinator) +
                                      "` takes an array of filters"});
  }
  std::vector<Filter> filters;
  filters.reserve(operands.size());
  for (const Json& operand : operands) {
    Result<Filter> filter = convert(operand);
    if (!filter) return fail(std::move(filter).error());
    filters.push_back(std::move(*filter));
  }
  return filters;
}

Result<Filter> combinator(const Json& object) {
  const std::string& key = object.begin().key();
  const Json& operand = object.begin().value();
  if (key == "not") {
    Result<Filter> inner = convert(operand);
    if (!inner) return inner;
    return Filter::negate(std::move(*inner));
  }
  Result<std::vector<Filter>> operands = convert_all(operand, key);
  if (!operands) return fail(std::move(operands).error());
  return key == "and" ? Filter::all(std::move(*operands)) : Filter::any(std::move(*operands));
}

Result<Filter> geo_radius(std::string field, const Json& circle) {
  if (!circle.is_object() || circle.size() != 3 || !circle.contains("lat") ||
      !circle.contains("lon") || !circle.contains("meters")) {
    return invalid("`geo_radius` takes an object of \"lat\", \"lon\" and \"meters\"");
  }
  const auto lat = number_of(circle["lat"]);
  const auto lon = number_of(circle["lon"]);
  const auto meters = number_of(circle["meters"]);
  if (!lat || !lon || !meters) return invalid("`geo_radius` takes finite numbers");
  return Filter(Filter::GeoRadius{std::move(field), *lat, *lon, *meters});
}

Result<Filter> range(std::string field, const Json& object) {
  Filter::Range range;
  range.field = std::move(field);
  for (const auto& [key, bound] : object.items()) {
    if (key == "field") continue;
    const auto number = number_of(bound);
    if (!number) return invalid("`" + key + "` takes a finite number");
    if (key == "gt") range.gt = number;
    if (key == "gte") range.gte = number;
    if (key == "lt") range.lt = number;
    if (key == "lte") range.lte = number;
  }
  return Filter(std::move(range));
}

// A leaf: "field" and one test ("eq", "in", "geo_radius"), or one to four range bounds.
Result<Filter> leaf(const Json& object) {
  const auto field = object.find("field");
  if (field == object.end() || !field->is_string()) {
    return invalid("a test needs a \"field\" string");
  }
  std::size_t bounds = 0;
  for (const auto& [key, value] : object.items()) {
    if (key == "gt" || key == "gte" || key == "lt" || key == "lte") {
      ++bounds;
    } else if (key != "field" && key != "eq" && key != "in" && key != "geo_radius") {
      return invalid("unknown key `" + key + "`");
    }
  }
  const std::size_t tests = object.size() - 1;
  if (tests == 0) return invalid("a test needs one of eq, in, gt, gte, lt, lte, geo_radius");
  if (bounds > 0) {
    if (bounds != tests) return invalid("range bounds cannot be mixed with other tests");
    return range(field->get<std::string>(), object);
  }
  if (tests != 1) return invalid("a test takes one of eq, in and geo_radius");
  std::string name = field->get<std::string>();
  if (const auto eq = object.find("eq"); eq != object.end()) {
    return Filter(Filter::Eq{std::move(name), *eq});
  }
  if (const auto in = object.find("in"); in != object.end()) {
    if (!in->is_array()) return invalid("`in` takes an array of values");
    return Filter(Filter::In{std::move(name), std::vector<Json>(in->begin(), in->end())});
  }
  return geo_radius(std::move(name), object["geo_radius"]);
}

Result<Filter> convert(const Json& value) {
  if (!value.is_object() || value.empty()) return invalid("a filter is a non-empty object");
  const std::string& first = value.begin().key();
  if (first == "and" || first == "or" || first == "not") {
    if (value.size() != 1) return invalid("`" + first + "` stands alone in its object");
    return combinator(value);
  }
  return leaf(value);
}

}  // namespace

Result<Filter> filter_from_json(std::string_view text) {
  Result<Json> document = parse_json(text);
  if (!document) return fail(std::move(document).error());
  return convert(*document);
}

}  // namespace vexradb
