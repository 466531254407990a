#include "base/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/internal_failure.hpp"

namespace vexradb {
namespace {

// The variant numbers cross the exported interface, so each payload must land on its own number.
TEST(ErrorTest, EveryPayloadHasItsFixedVariantNumber) {
  const std::pair<Error, int> cases[] = {
      {errors::DimensionMismatch{3, 5}, 0},
      {errors::VectorNotFound{"a"}, 1},
      {errors::DuplicateVectorId{"a"}, 2},
      {errors::IndexEmpty{}, 3},
      {errors::InvalidConfiguration{"x"}, 4},
      {errors::InvalidParameter{"v", "name", "reason"}, 5},
      {errors::Storage{"x"}, 6},
      {errors::CollectionNotFound{"x"}, 7},
      {errors::DuplicateCollection{"x"}, 8},
      {errors::CapacityExceeded{"x"}, 9},
      {errors::Io::from_errno(ENOENT), 10},
      {errors::WalCorrupted{"x"}, 11},
      {errors::SnapshotCorrupted{"x"}, 12},
      {errors::ChecksumMismatch{}, 13},
      {errors::UnsupportedVersion{7}, 14},
      {errors::IndexCorrupted{"x"}, 15},
      {errors::IdMappingCorrupted{4, "a"}, 16},
      {errors::Serialization{"x"}, 17},
      {errors::Deserialization{"x"}, 18},
      {errors::LockFailed{"x"}, 19},
      {errors::Cancelled{}, 20},
  };
  for (const auto& [error, number] : cases) {
    EXPECT_EQ(static_cast<int>(error.kind()), number);
  }
}

TEST(ErrorTest, PayloadIsReadBackFromItsVariantOnly) {
  Error error = errors::IdMappingCorrupted{4, "a"};
  const auto* payload = error.get_if<errors::IdMappingCorrupted>();
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(payload->internal, 4u);
  EXPECT_EQ(payload->external, "a");
  EXPECT_EQ(error.get_if<errors::VectorNotFound>(), nullptr);
  // Two text variants of the same shape stay apart.
  Error serialization = errors::Serialization{"x"};
  EXPECT_EQ(serialization.get_if<errors::Deserialization>(), nullptr);
}

TEST(ErrorTest, IoCarriesThePlatformDescription) {
  const auto io = errors::Io::from_errno(ENOENT);
  EXPECT_EQ(io.os_code, ENOENT);
  EXPECT_EQ(io.description, "No such file or directory (os error 2)");
}

TEST(ErrorTest, ResultCarriesEitherValueOrError) {
  auto lookup = [](bool found) -> Result<int> {
    if (!found) return fail(errors::VectorNotFound{"missing"});
    return 42;
  };
  EXPECT_EQ(lookup(true).value(), 42);
  const auto missing = lookup(false);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::VectorNotFound);
}

TEST(InternalFailureTest, NamesTheSourceFileRelativeToTheRepository) {
  const int line = __LINE__ + 2;
  try {
    VEXRA_CHECK(1 + 1 == 3, "arithmetic is broken");
    FAIL() << "VEXRA_CHECK did not throw";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "crates/vexradb-core/tests/base/error_test.cpp:" +
                                     std::to_string(line) + ": arithmetic is broken");
  }
}

TEST(InternalFailureTest, HoldingInvariantDoesNothing) {
  EXPECT_NO_THROW(VEXRA_CHECK(1 + 1 == 2, "unused"));
}

}  // namespace
}  // namespace vexradb
