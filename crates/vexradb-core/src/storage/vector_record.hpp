#pragma once

#include <optional>
#include <vector>

#include "base/types.hpp"
#include "metadata/json.hpp"

namespace vexradb {

// A vector under its id with its metadata, as batches carry it and snapshots store it.
struct VectorRecord {
  VectorId id;
  std::vector<float> vector;
  std::optional<Json> metadata;
};

}  // namespace vexradb
