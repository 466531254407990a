#include "base/types.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace vexradb {
namespace {

TEST(VectorIdTest, ComparesByteForByte) {
  EXPECT_NE(VectorId("Doc"), VectorId("doc"));
  EXPECT_EQ(VectorId("doc"), VectorId(std::string("doc")));
  // Bytes above 0x7F sort after ASCII, as unsigned bytes do.
  EXPECT_LT(VectorId("z"), VectorId("\xC3\xA9"));
  EXPECT_LT(VectorId("a"), VectorId("ab"));
}

TEST(VectorIdTest, HashesLikeItsText) {
  std::unordered_set<VectorId> ids{VectorId("a"), VectorId("A")};
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_TRUE(ids.contains(VectorId("a")));
  EXPECT_FALSE(ids.contains(VectorId("b")));
}

TEST(VectorIdTest, KeepsEmbeddedNulBytes) {
  const VectorId id(std::string("a\0b", 3));
  EXPECT_EQ(id.str().size(), 3u);
  EXPECT_NE(id, VectorId("a"));
}

}  // namespace
}  // namespace vexradb
