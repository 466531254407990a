// Converted filters kept by the bytes they came from.

#include "filter_cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vexradb::ffi {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A cache whose conversions are counted and give a filter naming the text they converted.
struct CountingCache {
  FilterCache cache;
  int conversions = 0;

  std::shared_ptr<const Filter> get(const std::string& text, FilterForm form = FilterForm::JsonText,
                                    bool fail = false) {
    Outcome<std::shared_ptr<const Filter>> got = cache.get(form, bytes_of(text), [&] {
      ++conversions;
      if (fail)
        return Outcome<Filter>(tl::unexpected(VexraError{VexraErrorCode::Serialization, ""}));
      return Outcome<Filter>(Filter(Filter::Eq{text, Json(1)}));
    });
    return got ? *got : nullptr;
  }
};

std::string field_of(const Filter& filter) { return std::get<Filter::Eq>(filter.node()).field; }

TEST(FilterCacheTest, EqualBytesInTheSameFormConvertOnce) {
  CountingCache counted;
  const auto first = counted.get("a");
  EXPECT_EQ(counted.get("a"), first);
  EXPECT_EQ(counted.conversions, 1);
  EXPECT_EQ(field_of(*counted.get("ab")), "ab");                    // a prefix is other bytes
  EXPECT_EQ(field_of(*counted.get("a", FilterForm::Record)), "a");  // another form
  EXPECT_EQ(counted.conversions, 3);
  // Failures are not kept: the next call converts again.
  EXPECT_EQ(counted.get("bad", FilterForm::JsonText, true), nullptr);
  EXPECT_NE(counted.get("bad"), nullptr);
  EXPECT_EQ(counted.conversions, 5);
}

TEST(FilterCacheTest, TheLeastRecentlyUsedGoFirstAndLargeFiltersAreNotKept) {
  CountingCache counted;
  for (std::size_t i = 0; i < FilterCache::kEntries; ++i) counted.get(std::to_string(i));
  counted.get("0");    // now the most recent
  counted.get("new");  // evicts "1"
  const int before = counted.conversions;
  counted.get("0");
  counted.get("1");
  EXPECT_EQ(counted.conversions, before + 1);
  const std::string large(FilterCache::kMaxBytes + 1, 'x');
  counted.get(large);
  counted.get(large);
  EXPECT_EQ(counted.conversions, before + 3);
}

// Run under ThreadSanitizer with the other concurrency tests.
TEST(FilterCacheTest, ConcurrentCallersGetTheirOwnFilters) {
  FilterCache cache;
  std::atomic<int> wrong = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = std::to_string((t * 7 + i) % 24);
        auto got = cache.get(FilterForm::JsonText, bytes_of(text), [&] {
          return Outcome<Filter>(Filter(Filter::Eq{text, Json(1)}));
        });
        if (!got || field_of(**got) != text) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vexradb::ffi
