#pragma once

// Filters written as JSON text, for callers that need more than the exported filter record holds
// (ranges, negation, a geographic radius). One filter is one object:
//
//   {"field": F, "eq": V}                       the field equals V
//   {"field": F, "in": [V, ...]}                the field equals one of the values
//   {"field": F, "gt": N, "lte": N, ...}        the field is a number within every bound given
//                                               (any of "gt", "gte", "lt", "lte")
//   {"field": F, "geo_radius": {"lat": N, "lon": N, "meters": N}}
//                                               the field is a point at most N metres away
//   {"and": [filter, ...]}, {"or": [filter, ...]}, {"not": filter}
//
// F is a dot-separated path into the metadata, as everywhere else.

#include <string_view>

#include "base/error.hpp"
#include "metadata/filter.hpp"

namespace vexradb {

// The filter `text` describes. Fails with errors::Serialization: "filter: <what is wrong>" for a
// document that is not such a filter, or the JSON parser's own message for text that is not
// JSON. Nesting is bounded by the parser's depth limit, so conversion cannot exhaust the stack.
Result<Filter> filter_from_json(std::string_view text);

}  // namespace vexradb
