#pragma once

// Filter arguments turned into engine filters, kept for the calls that send the same bytes again.
// Applications search with one filter many times, and converting a filter (lifting it, parsing
// each operand) costs about as much per operand as the search spends on it: with the conversion
// kept, a repeated In of many values costs only what its search does.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "converters.hpp"
#include "metadata/filter.hpp"

namespace vexradb::ffi {

// The forms a filter argument arrives in.
enum class FilterForm : std::uint8_t {
  Record,      // the exported SearchFilter record
  JsonText,    // JSON text, the buffer's bytes as they are
  JsonString,  // JSON text as a wire string (i32 length, then the bytes)
};

// Engine filters by the exact bytes they were converted from, the most recently used kept. A
// hash of the bytes only finds an entry; its bytes are compared before it answers. Only
// conversions that succeed are kept, so failures are reported afresh each time. Safe to use from
// any thread; the filters it hands out are immutable and outlive their eviction.
class FilterCache {
 public:
  static constexpr std::size_t kEntries = 16;
  // Filters larger than this are converted every time: keeping them would hold on to memory that
  // one call's conversion does not.
  static constexpr std::size_t kMaxBytes = std::size_t{1} << 20;

  using Convert = std::function<Outcome<Filter>()>;

  // The filter converted earlier from equal bytes in the same form, else convert()'s (kept when
  // it succeeds). convert may throw, as lifting does (nothing is kept then).
  Outcome<std::shared_ptr<const Filter>> get(FilterForm form, std::span<const std::uint8_t> bytes,
                                             const Convert& convert);

  // The cache every exported call shares: conversions depend on the bytes alone.
  static FilterCache& process_wide();

 private:
  struct Entry {
    std::size_t hash;
    FilterForm form;
    std::vector<std::uint8_t> bytes;
    std::shared_ptr<const Filter> filter;
  };

  std::shared_ptr<const Filter> find(std::size_t hash, FilterForm form,
                                     std::span<const std::uint8_t> bytes);
  void keep(std::size_t hash, FilterForm form, std::span<const std::uint8_t> bytes,
            std::shared_ptr<const Filter> filter);

  std::mutex mu_;
  std::list<Entry> recent_;  // most recently used first; guarded by mu_
};

// The engine filter of the argument `name` whose bytes hold a filter in `form`, through the
// process-wide cache. Bytes that do not hold one are a conversion failure (thrown, as lift_arg
// throws); operands that do not parse are the Serialization error.
Outcome<std::shared_ptr<const Filter>> converted_filter(std::string_view name, FilterForm form,
                                                        std::span<const std::uint8_t> bytes);

// The engine filter of the argument `name` whose bytes hold an optional string of JSON text (an
// option tag, then the string), converted as converted_filter converts; null when absent.
Outcome<std::shared_ptr<const Filter>> optional_json_filter(std::string_view name,
                                                            std::span<const std::uint8_t> bytes);

}  // namespace vexradb::ffi
