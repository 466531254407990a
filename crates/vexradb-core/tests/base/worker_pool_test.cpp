#include "base/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace vexradb {
namespace {

TEST(WorkerPoolTest, RunsEveryIndexExactlyOnce) {
  for (const std::size_t count : {0u, 1u, 7u, 1000u}) {
    std::vector<std::atomic<int>> runs(count);
    parallel_for(count, [&](std::size_t i) { runs[i].fetch_add(1); });
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
  }
}

TEST(WorkerPoolTest, RethrowsAFailureAfterTheOtherPiecesStop) {
  std::atomic<int> runs = 0;
  EXPECT_THROW(parallel_for(500,
                            [&](std::size_t i) {
                              ++runs;
                              if (i == 250) throw std::runtime_error("piece failed");
                            }),
               std::runtime_error);
  EXPECT_LE(runs.load(), 500);
  // The pool stays usable.
  std::atomic<int> after = 0;
  parallel_for(10, [&](std::size_t) { ++after; });
  EXPECT_EQ(after.load(), 10);
}

// A system out of threads must not take the process down: the pool runs with the workers it
// could start, or with the caller alone.
TEST(WorkerPoolTest, RunsWithTheThreadsItCouldStart) {
  for (const unsigned started : {0u, 1u, 2u}) {
    unsigned attempts = 0;
    WorkerPool pool(4, [&](std::function<void()> work) {
      if (attempts++ == started) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      return std::thread(std::move(work));
    });
    EXPECT_EQ(pool.threads(), started + 1);
    std::vector<std::atomic<int>> runs(1000);
    pool.run(runs.size(), [&](std::size_t i) { runs[i].fetch_add(1); });
    for (std::size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << i;
  }
}

TEST(WorkerPoolTest, ConcurrentCallersShareThePool) {
  std::vector<std::thread> callers;
  std::vector<std::vector<int>> results(3, std::vector<int>(2000, 0));
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 5; ++round) {
        parallel_for(2000, [&](std::size_t i) { results[c][i] += static_cast<int>(i % 7); });
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (const auto& result : results) {
    for (std::size_t i = 0; i < result.size(); ++i)
      ASSERT_EQ(result[i], 5 * static_cast<int>(i % 7));
  }
}

}  // namespace
}  // namespace vexradb
