// The JSON parser and writer, and filters over parsed metadata. Any text either fails to parse
// with a Serialization error or parses to a value that survives writing and parsing again. The
// parsed value then serves as metadata: every filter built from a value found in it must find
// that value again, and the prepared and indexed evaluations must agree with the plain one,
// over it and over the sample documents. Any text is also read as a filter in its JSON form.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "metadata/filter.hpp"
#include "metadata/filter_json.hpp"
#include "metadata/json.hpp"

namespace vexradb::fuzz {
namespace {

// Enough values of one document to reach every kind, few enough to keep runs fast.
constexpr std::size_t kMaxValuesChecked = 48;

// A value of the document and the field path that names it.
struct FoundValue {
  std::string path;
  const Json* value;
};

// Whether get_value_by_path resolves the segments joined with "." back to them: a segment
// with a dot would split, and a lone empty segment is the empty path (the whole document).
bool addressable(const std::vector<std::string_view>& segments) {
  if (segments.size() == 1 && segments.front().empty()) return false;
  for (std::string_view segment : segments) {
    if (segment.find('.') != std::string_view::npos) return false;
  }
  return true;
}

std::string joined(const std::vector<std::string_view>& segments) {
  std::string path;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) path += '.';
    path += segments[i];
  }
  return path;
}

// The values reachable through object members (paths never enter arrays), the document first.
void collect_values(const Json& value, std::vector<std::string_view>& segments,
                    std::vector<FoundValue>& found) {
  if (found.size() == kMaxValuesChecked) return;
  if (addressable(segments)) found.push_back({joined(segments), &value});
  const auto* object = value.get_ptr<const Json::object_t*>();
  if (object == nullptr) return;
  for (const auto& [key, member] : *object) {
    segments.push_back(key);
    collect_values(member, segments, found);
    segments.pop_back();
  }
}

Filter combined(Result<Filter> filter) {
  require(filter.has_value(), "one level of combination stays within the depth limit");
  return std::move(*filter);
}

// Filters that must match (`expected` true) or fail on the document at `found`, which holds
// `found.value` at `found.path`.
std::vector<std::pair<Filter, bool>> filters_for(const FoundValue& found) {
  const Json& value = *found.value;
  std::vector<std::pair<Filter, bool>> filters;
  filters.emplace_back(Filter(Filter::Eq{found.path, value}), true);
  filters.emplace_back(combined(Filter::negate(Filter(Filter::Eq{found.path, value}))), false);
  filters.emplace_back(Filter(Filter::In{found.path, {Json("decoy"), value}}), true);
  if (value.is_number()) {
    const double number = value.get<double>();
    filters.emplace_back(Filter(Filter::Range{.gte = number, .lte = number, .field = found.path}),
                         true);
    filters.emplace_back(Filter(Filter::Range{.gt = number, .field = found.path}), false);
  }
  if (value.is_array() && value.size() == 2 && value[0].is_number() && value[1].is_number()) {
    // A point lies within a radius of zero of itself.
    filters.emplace_back(
        Filter(Filter::GeoRadius{found.path, value[0].get<double>(), value[1].get<double>(), 0.0}),
        true);
  }
  return filters;
}

void check_filters(const Json& document) {
  std::vector<FoundValue> found;
  std::vector<std::string_view> segments;
  collect_values(document, segments, found);

  std::vector<Json> documents = sample_documents();
  documents.push_back(document);
  const DocumentSet set(std::move(documents));
  std::vector<Filter> all_must_match;
  for (const FoundValue& value : found) {
    for (auto& [filter, expected] : filters_for(value)) {
      require(set.evaluate(filter).back() == expected,
              "a filter built from a value of the document tests it as expected");
      if (expected) all_must_match.push_back(std::move(filter));
    }
  }
  require(set.evaluate(combined(Filter::all(std::move(all_must_match)))).back(),
          "the conjunction of matching filters matches");
}

// A filter's JSON form is refused with a Serialization error, or builds a filter whose prepared
// and indexed evaluations agree with the plain one over the sample documents.
void check_json_filter(std::string_view text) {
  Result<Filter> filter = filter_from_json(text);
  if (!filter) {
    require(filter.error().kind() == ErrorKind::Serialization,
            "a text that is not a filter is a Serialization error");
    return;
  }
  const DocumentSet set(sample_documents());
  set.evaluate(*filter);
}

}  // namespace
}  // namespace vexradb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexradb;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  fuzz::check_json_filter(text);
  Result<Json> parsed = parse_json(text);
  if (!parsed) {
    fuzz::require(parsed.error().kind() == ErrorKind::Serialization,
                  "a text that does not parse is a Serialization error");
    return 0;
  }
  fuzz::check_json_round_trip(*parsed);
  fuzz::check_filters(*parsed);
  return 0;
}
