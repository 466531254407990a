#include "vector_json.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

namespace vexradb::cli {
namespace {

constexpr std::string_view kNan = "NaN";
constexpr std::string_view kInfinity = "Infinity";
constexpr std::string_view kMinusInfinity = "-Infinity";

std::string_view non_finite_name(float value) {
  if (std::isnan(value)) return kNan;
  return value > 0 ? kInfinity : kMinusInfinity;
}

std::optional<float> non_finite_value(std::string_view name) {
  if (name == kNan) return std::numeric_limits<float>::quiet_NaN();
  if (name == kInfinity) return std::numeric_limits<float>::infinity();
  if (name == kMinusInfinity) return -std::numeric_limits<float>::infinity();
  return std::nullopt;
}

Result<float> component_from_json(const Json& component, std::size_t index,
                                  std::string_view context) {
  const std::string which =
      std::string(context) + "the component at index " + std::to_string(index);
  if (const auto* name = component.get_ptr<const std::string*>()) {
    if (const std::optional<float> value = non_finite_value(*name)) return *value;
  } else if (component.is_number()) {
    // The parser refuses numbers beyond double's range, so only the narrowing can overflow.
    const float value = component.get<float>();
    if (std::isinf(value)) {
      return fail(errors::Serialization{which + " (" + write_json(component) +
                                        ") is beyond the range of a 32-bit float"});
    }
    return value;
  }
  return fail(errors::Serialization{which + " is not a number (nor \"NaN\", \"Infinity\" or " +
                                    "\"-Infinity\")"});
}

}  // namespace

void write_float(std::ostream& out, float value) {
  if (!std::isfinite(value)) {
    out << '"' << non_finite_name(value) << '"';
    return;
  }
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.write(text, end - text);
}

void write_vector(std::ostream& out, std::span<const float> vector) {
  out << '[';
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (i > 0) out << ',';
    write_float(out, vector[i]);
  }
  out << ']';
}

Result<std::vector<float>> vector_from_json(const Json& array, std::string_view context) {
  std::vector<float> vector;
  vector.reserve(array.size());
  for (const Json& component : array) {
    Result<float> value = component_from_json(component, vector.size(), context);
    if (!value) return fail(std::move(value).error());
    vector.push_back(*value);
  }
  return vector;
}

}  // namespace vexradb::cli
