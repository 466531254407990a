#pragma once

// What the benchmarks that drive a client (the object behind an exported handle) share.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "client.hpp"

namespace vexradb::bench {

// "v" + i, the ids the benchmarks store their vectors under.
inline std::string id_of(std::size_t i) {
  std::string id = "v";  // appended, not "v" + ...: GCC 12 warns wrongly on that at -O3
  id += std::to_string(i);
  return id;
}

// The value of a client call, or an exception naming the call and its error.
template <class T>
T require(ffi::Outcome<T> outcome, const char* what) {
  if (!outcome) throw std::runtime_error(std::string(what) + " failed: " + outcome.error().message);
  if constexpr (!std::is_void_v<T>) return std::move(*outcome);
}

}  // namespace vexradb::bench
