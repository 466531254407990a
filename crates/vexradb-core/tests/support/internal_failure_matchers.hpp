#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "base/internal_failure.hpp"

namespace vexradb::testing_support {

// Runs `call`, expecting an InternalFailure whose location starts with `source` (a path relative
// to the repository, such as "crates/vexradb-core/src/kernels/distance").
template <class Call>
void expect_internal_failure_in(std::string_view source, Call call) {
  try {
    call();
    ADD_FAILURE() << "no internal failure";
  } catch (const InternalFailure& failure) {
    EXPECT_TRUE(failure.message().starts_with(source)) << failure.message();
  }
}

}  // namespace vexradb::testing_support
