#include "graph/binary_heap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace vexradb {
namespace {

using Entry = std::pair<float, char>;  // (key, tag): only the key is compared

struct ByKey {
  bool operator()(const Entry& a, const Entry& b) const { return a.first < b.first; }
};

std::vector<char> tags(std::vector<Entry> entries) {
  std::vector<char> out;
  for (const auto& e : entries) out.push_back(e.second);
  return out;
}

TEST(BinaryHeapTest, PopsInDescendingOrder) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-100, 100);
  BinaryHeap<Entry, ByKey> heap;
  std::vector<float> pushed;
  for (int i = 0; i < 500; ++i) {
    pushed.push_back(value(rng));
    heap.push({pushed.back(), 'x'});
  }
  std::sort(pushed.rbegin(), pushed.rend());
  for (const float expected : pushed) EXPECT_EQ(heap.pop().first, expected);
  EXPECT_TRUE(heap.empty());
}

// Equal keys never move past each other on push, and a pop refills the root along the right
// child when both children tie. Callers see this storage order, so it must not drift.
TEST(BinaryHeapTest, KeepsTheFixedStorageOrderForTies) {
  BinaryHeap<Entry, ByKey> heap;
  heap.push({1, 'a'});
  heap.push({1, 'b'});
  heap.push({1, 'c'});
  heap.push({1, 'd'});
  EXPECT_EQ(heap.pop().second, 'a');
  EXPECT_EQ(tags(BinaryHeap<Entry, ByKey>(heap).take_storage()),
            (std::vector<char>{'c', 'b', 'd'}));

  heap.push({2, 'e'});  // rises above its equal-keyed parents
  EXPECT_EQ(heap.top().second, 'e');
  EXPECT_EQ(tags(std::move(heap).take_storage()), (std::vector<char>{'e', 'c', 'd', 'b'}));
}

TEST(BinaryHeapTest, NanKeysCountAsEqual) {
  BinaryHeap<Entry, ByKey> heap;
  heap.push({std::numeric_limits<float>::quiet_NaN(), 'n'});
  heap.push({5, 'f'});
  // 5 is not greater than NaN, so it stays below it.
  EXPECT_EQ(heap.top().second, 'n');
  EXPECT_EQ(heap.size(), 2u);
}

}  // namespace
}  // namespace vexradb
