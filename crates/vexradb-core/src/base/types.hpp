#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace vexradb {

// The engine's dense id of one stored vector. A store hands them out as 0, 1, 2 ... in
// insertion order and never reuses one; it is also the vector's position in the flat vector
// array and in the graph's node list.
using InternalId = std::uint32_t;

// The caller's name for a vector: owned UTF-8 text, equal and ordered byte for byte (so two ids
// that differ only in letter case are different vectors).
class VectorId {
 public:
  explicit VectorId(std::string text) noexcept : text_(std::move(text)) {}

  const std::string& str() const noexcept { return text_; }

  friend bool operator==(const VectorId&, const VectorId&) = default;
  // std::char_traits<char> compares as unsigned char, so this is the byte-wise order.
  friend std::strong_ordering operator<=>(const VectorId& a, const VectorId& b) noexcept {
    return a.text_.compare(b.text_) <=> 0;
  }

 private:
  std::string text_;
};

// Position inside the engine is the value; the exported interface adds 1.
enum class DistanceMetric : std::uint8_t {
  Cosine = 0,
  Euclidean = 1,
  DotProduct = 2,
};

// How an in-memory engine keeps its vectors. Position inside the engine is the value; the
// exported interface adds 1.
enum class Quantization : std::uint8_t {
  None = 0,
  SQ8 = 1,
  Binary = 2,
};

}  // namespace vexradb

template <>
struct std::hash<vexradb::VectorId> {
  std::size_t operator()(const vexradb::VectorId& id) const noexcept {
    return std::hash<std::string>{}(id.str());
  }
};
