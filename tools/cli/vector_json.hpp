#pragma once
// Vectors in the JSON the tool writes (dump, search) and reads (.jsonl import, search --vector).
// JSON has no NaN or infinity, so a non-finite float is written as one of the strings "NaN",
// "Infinity" and "-Infinity", and those strings read back as the same values (any NaN as the
// quiet NaN): what dump writes, import stores again unchanged.
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "metadata/json.hpp"

namespace vexradb::cli {

// The shortest text that reads back as the same float.
void write_float(std::ostream& out, float value);
void write_vector(std::ostream& out, std::span<const float> vector);

// The components of a JSON array as 32-bit floats. Serialization error, `context` followed by
// the component at fault, for one that is neither a number nor one of the three strings, and
// for a number beyond the range of a 32-bit float (it would otherwise be stored as an infinity).
Result<std::vector<float>> vector_from_json(const Json& array, std::string_view context);

}  // namespace vexradb::cli
