#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/types.hpp"

namespace vexradb {

// SipHash of `bytes` under a random per-process secret: values that cannot be crafted to
// collide from outside the process.
std::uint64_t keyed_hash(std::span<const std::byte> bytes) noexcept;

// Hash of caller-chosen ids, keyed by a random per-process secret (SipHash), so that ids cannot
// be crafted to collide and turn the id maps quadratic. Transparent: maps keyed by VectorId can
// be searched with a string_view.
struct IdHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept;
  std::size_t operator()(const VectorId& id) const noexcept { return (*this)(id.str()); }
};

struct IdEqual {
  using is_transparent = void;
  static std::string_view text(std::string_view s) noexcept { return s; }
  static std::string_view text(const VectorId& id) noexcept { return id.str(); }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return text(a) == text(b);
  }
};

}  // namespace vexradb
