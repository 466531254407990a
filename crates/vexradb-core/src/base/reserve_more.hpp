#pragma once

#include <algorithm>
#include <cstddef>

namespace vexradb {

// Makes room for `additional` more elements with geometric growth (a plain reserve of the exact
// size would reallocate, and copy everything, on every append).
template <class Vector>
void reserve_more(Vector& v, std::size_t additional) {
  const std::size_t needed = v.size() + additional;
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

}  // namespace vexradb
