#include "kernels/distance.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/internal_failure.hpp"
#include "fnv_digest.hpp"
#include "internal_failure_matchers.hpp"
#include "kernel_cases.hpp"

namespace vexradb {
namespace {

using testing_support::kMetrics;
using testing_support::same_bits;

std::vector<DistancePath> available_paths() {
  std::vector<DistancePath> paths;
  for (const DistancePath path :
       {DistancePath::Reference, DistancePath::Simd128, DistancePath::Avx2, DistancePath::Avx512}) {
    if (distance_path_available(path)) paths.push_back(path);
  }
  return paths;
}

std::string describe(DistancePath path, DistanceMetric metric, std::size_t n) {
  return "path " + std::to_string(static_cast<int>(path)) + ", metric " +
         std::to_string(static_cast<int>(metric)) + ", n " + std::to_string(n);
}

// Every available path, single pair and batch, on the same inputs.
std::vector<float> distances_on_every_path(DistanceMetric metric, std::span<const float> a,
                                           std::span<const float> b) {
  std::vector<float> results;
  for (const DistancePath path : available_paths()) {
    results.push_back(distance_on_path(path, metric, a, b));
    const std::span<const float> stored[] = {b};
    float out = 0.0f;
    distance_batch_on_path(path, metric, a, stored, std::span(&out, 1));
    results.push_back(out);
  }
  results.push_back(distance(metric, a, b));
  return results;
}

// Random components drawn from one of four mixes: ordinary values; zeros, subnormals and large
// values mixed in; the same with a few NaNs, infinities and values whose squares overflow; and
// arbitrary bit patterns.
class ComponentSource {
 public:
  explicit ComponentSource(std::uint32_t seed) : rng_(seed) {}

  void pick_mix() { mix_ = std::uniform_int_distribution<int>(0, 3)(rng_); }

  float next() {
    if (mix_ == 0) return normal_(rng_);
    if (mix_ == 3) return std::bit_cast<float>(static_cast<std::uint32_t>(rng_()));
    const int pick = std::uniform_int_distribution<int>(0, 999)(rng_);
    const float sign = (rng_() & 1) != 0 ? -1.0f : 1.0f;
    if (pick < 80) return 0.0f * sign;
    if (pick < 160) {  // subnormal
      return sign * std::bit_cast<float>(static_cast<std::uint32_t>(rng_() & 0x007FFFFF) | 1u);
    }
    if (pick < 200) return sign * std::uniform_real_distribution<float>(1e15f, 1e17f)(rng_);
    if (mix_ == 2 && pick < 215) {
      if (pick < 205) return std::numeric_limits<float>::quiet_NaN();
      if (pick < 210) return sign * std::numeric_limits<float>::infinity();
      return sign * std::uniform_real_distribution<float>(1e30f, 3e38f)(rng_);
    }
    // Drawn in two statements: the order in which function arguments are evaluated differs
    // between compilers and targets, and the inputs must be the same on every machine.
    const float significand = normal_(rng_);
    return std::ldexp(significand, std::uniform_int_distribution<int>(-20, 20)(rng_));
  }

  // `n` components at an offset of 0 to 3 floats into a fresh buffer, so that vectors start at
  // every alignment, followed by up to two components that a kernel must not read.
  std::span<const float> vector(std::vector<float>& buffer, std::size_t n) {
    const std::size_t offset = rng_() % 4;
    const std::size_t extra = rng_() % 3;
    buffer.assign(offset + n + extra, std::numeric_limits<float>::quiet_NaN());
    for (std::size_t i = 0; i < n; ++i) buffer[offset + i] = next();
    return std::span<const float>(buffer).subspan(offset, n + extra);
  }

  std::size_t below(std::size_t bound) { return rng_() % bound; }

 private:
  std::mt19937 rng_;
  std::normal_distribution<float> normal_{0.0f, 1.0f};
  int mix_ = 0;
};

// Every path agrees with the reference, and the reference gives the same bits on every machine:
// the digest of its results was fixed once, on x86-64, and an Arm build must match it.
TEST(DistanceTest, EveryPathMatchesTheReferenceBitForBit) {
  ComponentSource source(20240611);
  std::vector<float> query_buffer;
  std::vector<std::vector<float>> stored_buffers(20);
  testing_support::FnvDigest reference_bits;
  int mismatches = 0;
  for (int trial = 0; trial < 1500 && mismatches < 5; ++trial) {
    // Every length from 0 to 300 at least four times, then random ones.
    const std::size_t n = trial < 1204 ? trial % 301 : source.below(301);
    source.pick_mix();
    const std::span<const float> query = source.vector(query_buffer, n).first(n);
    // Up to 19 stored vectors: full groups and every remainder for each batch width.
    std::vector<std::span<const float>> stored(source.below(20));
    for (std::size_t i = 0; i < stored.size(); ++i) {
      stored[i] = source.vector(stored_buffers[i], n);
    }
    for (const DistanceMetric metric : kMetrics) {
      std::vector<float> expected;
      for (const auto& b : stored) {
        expected.push_back(distance_on_path(DistancePath::Reference, metric, query, b));
        reference_bits.add_bits(expected.back());
      }
      for (const DistancePath path : available_paths()) {
        std::vector<float> batch(stored.size());
        distance_batch_on_path(path, metric, query, stored, batch);
        for (std::size_t i = 0; i < stored.size(); ++i) {
          const float single = distance_on_path(path, metric, query, stored[i]);
          if (!same_bits(expected[i], single) || !same_bits(expected[i], batch[i])) {
            ++mismatches;
            ADD_FAILURE() << describe(path, metric, n) << ", stored vector " << i << " of "
                          << stored.size() << ": reference " << expected[i] << ", single " << single
                          << ", batch " << batch[i];
          }
        }
      }
    }
  }
  EXPECT_EQ(reference_bits.value(), 11995788788911335935ull);
}

TEST(DistanceTest, PublicEntryPointsUseAnExactPath) {
  ComponentSource source(7);
  std::vector<float> a_buffer;
  std::vector<float> b_buffer;
  for (std::size_t n = 0; n < 40; ++n) {
    const auto a = source.vector(a_buffer, n).first(n);
    const auto b = source.vector(b_buffer, n);
    for (const DistanceMetric metric : kMetrics) {
      const float expected = distance_on_path(DistancePath::Reference, metric, a, b);
      const std::span<const float> stored[] = {b, b, b};
      float batch[3];
      distance_batch(metric, a, stored, batch);
      EXPECT_TRUE(same_bits(expected, distance(metric, a, b))) << n;
      for (const float out : batch) EXPECT_TRUE(same_bits(expected, out)) << n;
    }
  }
}

// The store's forms: vectors by address, and cosine from squared norms kept in advance.
TEST(DistanceTest, StoreFormsMatchTheReferenceBitForBit) {
  ComponentSource source(99);
  std::vector<float> query_buffer;
  std::vector<std::vector<float>> stored_buffers(19);
  int mismatches = 0;
  for (int trial = 0; trial < 900 && mismatches < 5; ++trial) {
    const std::size_t n = trial % 301;
    source.pick_mix();
    const std::span<const float> query = source.vector(query_buffer, n).first(n);
    std::vector<const float*> stored(source.below(20));
    std::vector<float> norms;
    for (std::size_t i = 0; i < stored.size(); ++i) {
      const std::span<const float> b = source.vector(stored_buffers[i], n).first(n);
      stored[i] = b.data();
      norms.push_back(cosine_squared_norm(b));
    }
    for (const DistanceMetric metric : kMetrics) {
      std::vector<float> by_address(stored.size());
      distance_batch_unchecked(metric, query, stored, by_address);
      std::vector<float> with_norms(stored.size());
      if (metric == DistanceMetric::Cosine) {
        cosine_batch_with_norms(query, cosine_squared_norm(query), stored, norms, with_norms);
      }
      for (std::size_t i = 0; i < stored.size(); ++i) {
        const float expected =
            distance_on_path(DistancePath::Reference, metric, query, std::span(stored[i], n));
        const bool norms_agree =
            metric != DistanceMetric::Cosine || same_bits(expected, with_norms[i]);
        if (!same_bits(expected, by_address[i]) || !norms_agree) {
          ++mismatches;
          ADD_FAILURE() << describe(fastest_distance_path(), metric, n) << ", stored vector " << i
                        << ": reference " << expected << ", by address " << by_address[i]
                        << ", with norms " << with_norms[i];
        }
      }
    }
  }
}

// Checks that every path gives exactly `expected`.
void expect_everywhere(float expected, DistanceMetric metric, std::vector<float> a,
                       std::vector<float> b) {
  for (const float result : distances_on_every_path(metric, a, b)) {
    EXPECT_TRUE(same_bits(expected, result))
        << "metric " << static_cast<int>(metric) << ", n " << a.size() << ": expected " << expected
        << ", got " << result;
  }
}

TEST(DistanceTest, SumsFourLanesThenPairsTheLanes) {
  constexpr float kBig = 33554432.0f;  // 2^25: adding 1 to it is lost
  const std::vector<float> ones(8, 1.0f);
  // Lanes (2^25, 1, -2^25, 1) reduce to (2^25 + 1) + (-2^25 + 1) = 0. Left to right would give
  // 1, pairing lanes 0 and 2 first would give 2.
  expect_everywhere(1.0f, DistanceMetric::DotProduct, {kBig, 1, -kBig, 1}, {1, 1, 1, 1});
  // Lane 0 sees 2^25 - 2^25 and the other lanes 1 + 1 each: a·b = 6. Left to right, the three
  // ones after 2^25 would be lost and a·b would be 3.
  expect_everywhere(-5.0f, DistanceMetric::DotProduct, {kBig, 1, 1, 1, -kBig, 1, 1, 1}, ones);
}

TEST(DistanceTest, BlocksAreFusedAndTheTailIsNot) {
  // x·x = 1 + 2^-11 + 2^-24 exactly, which rounds to 1 + 2^-11 (a tie, to even).
  const float x = 1.0f + std::ldexp(1.0f, -12);
  const float fused = std::ldexp(1.0f, -11) + std::ldexp(1.0f, -24);
  const float rounded = std::ldexp(1.0f, -11);
  ASSERT_NE(1.0f - fused, 1.0f - rounded);
  // In a block, -1 + x·x keeps every bit of the product.
  expect_everywhere(1.0f - fused, DistanceMetric::DotProduct, {-1, 0, 0, 0, x, 0, 0, 0},
                    {1, 0, 0, 0, x, 0, 0, 0});
  // In the tail, the product is rounded before -1 is added.
  expect_everywhere(1.0f - rounded, DistanceMetric::DotProduct, {-1, 0, 0, 0, x}, {1, 0, 0, 0, x});
}

TEST(DistanceTest, FormulasOnShortVectors) {
  // Tail-only lengths: the sums are plain left-to-right sums, so the formulas can be written
  // out here independently. These values tell one square root of the product of the squared
  // norms from the product of two roots, and from arithmetic widened to double.
  const std::vector<float> a = {-0.5f, 1.0f, -2.25f};
  const std::vector<float> b = {2.25f, 2.0f, -1.75f};
  const float dot = (-1.125f + 2.0f) + 3.9375f;
  const float norm_a = (0.25f + 1.0f) + 5.0625f;
  const float norm_b = (5.0625f + 4.0f) + 3.0625f;
  expect_everywhere(1.0f - dot / std::sqrt(norm_a * norm_b), DistanceMetric::Cosine, a, b);
  expect_everywhere(std::sqrt((7.5625f + 1.0f) + 0.25f), DistanceMetric::Euclidean, a, b);
  expect_everywhere(1.0f - dot, DistanceMetric::DotProduct, a, b);

  // (1, 0) against (0, 1).
  expect_everywhere(1.0f, DistanceMetric::Cosine, {1, 0}, {0, 1});
  expect_everywhere(std::sqrt(2.0f), DistanceMetric::Euclidean, {1, 0}, {0, 1});
  expect_everywhere(1.0f, DistanceMetric::DotProduct, {1, 0}, {0, 1});
  // The true distance, not its square.
  expect_everywhere(5.0f, DistanceMetric::Euclidean, {0, 0, 0, 0, 0}, {3, 0, 0, 0, 4});
  // Opposite unit vectors.
  expect_everywhere(2.0f, DistanceMetric::DotProduct, {0, 0, 0, 1, 0}, {0, 0, 0, -1, 0});
  expect_everywhere(2.0f, DistanceMetric::Cosine, {0, 0, 0, 1, 0}, {0, 0, 0, -1, 0});
}

TEST(DistanceTest, LongerVectorInTheQuerysDirectionRanksFirstUnderDotProduct) {
  const std::vector<float> query = {0.6f, 0.0f, 0.8f, 0.0f, 0.0f};
  const std::vector<float> shorter = {1.2f, 0.0f, 1.6f, 0.0f, 0.0f};
  const std::vector<float> longer = {3.0f, 0.0f, 4.0f, 0.0f, 0.0f};
  const float near = distance(DistanceMetric::DotProduct, query, longer);
  EXPECT_LT(near, distance(DistanceMetric::DotProduct, query, shorter));
  EXPECT_LT(near, 0.0f);  // not clamped
}

TEST(DistanceTest, IdenticalVectors) {
  ComponentSource source(99);
  std::vector<float> buffer;
  for (const std::size_t n : {1, 3, 4, 5, 7, 8, 33, 300}) {
    const auto a = source.vector(buffer, n).first(n);  // mix 0: ordinary values
    for (const float result : distances_on_every_path(DistanceMetric::Euclidean, a, a)) {
      EXPECT_TRUE(same_bits(0.0f, result)) << n;
    }
    for (const float result : distances_on_every_path(DistanceMetric::Cosine, a, a)) {
      EXPECT_NEAR(result, 0.0f, 1e-6f) << n;
    }
    double norm = 0.0;
    for (const float v : a) norm += static_cast<double>(v) * v;
    EXPECT_NEAR(distance(DistanceMetric::DotProduct, a, a), 1.0 - norm, 1e-4 * norm) << n;
  }
}

TEST(DistanceTest, CosineWithoutADirectionIsExactlyOne) {
  ComponentSource source(5);
  std::vector<float> buffer;
  for (const std::size_t n : {0, 1, 3, 4, 5, 7, 8, 129}) {
    const std::vector<float> zeros(n, 0.0f);
    const auto b = source.vector(buffer, n).first(n);
    for (const float result : distances_on_every_path(DistanceMetric::Cosine, zeros, b)) {
      EXPECT_TRUE(same_bits(1.0f, result)) << n;
    }
    for (const float result : distances_on_every_path(DistanceMetric::Cosine, b, zeros)) {
      EXPECT_TRUE(same_bits(1.0f, result)) << n;
    }
  }
  // Parallel vectors whose squared norms multiply to less than the smallest float.
  const std::vector<float> tiny = {1e-20f, 0, 0, 0, 1e-20f};
  expect_everywhere(1.0f, DistanceMetric::Cosine, tiny, tiny);
  // |a|² underflows to 0 although a·b = 1e-7 does not: still exactly 1.
  expect_everywhere(1.0f, DistanceMetric::Cosine, {1e-23f, 0, 0, 0, 0}, {1e16f, 0, 0, 0, 0});
}

TEST(DistanceTest, NanAndInfinityPropagate) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const DistanceMetric metric : kMetrics) {
    const std::vector<float> a = {1, 2, nan, 4, 5};
    const std::vector<float> ones = {1, 1, 1, 1, 1};
    for (const float result : distances_on_every_path(metric, a, ones)) {
      EXPECT_TRUE(std::isnan(result)) << static_cast<int>(metric);
    }
  }
  // A NaN product of norms is not 0: the division happens and the result is NaN, not 1.
  const std::vector<float> infinite = {inf, 0, 0, 0, 1};
  const std::vector<float> finite = {1, 0, 0, 0, 1};
  for (const float result : distances_on_every_path(DistanceMetric::Cosine, infinite, finite)) {
    EXPECT_TRUE(std::isnan(result));
  }
  expect_everywhere(inf, DistanceMetric::Euclidean, {inf, 0, 0}, {0, 0, 0});
  expect_everywhere(-inf, DistanceMetric::DotProduct, {1, 0, 0, 0, inf}, {1, 0, 0, 0, 1});
}

// Runs `call`, expecting an InternalFailure located in the distance module.
template <class Call>
void expect_internal_failure(Call call) {
  testing_support::expect_internal_failure_in("crates/vexradb-core/src/kernels/distance", call);
}

TEST(DistanceTest, CallerFaultsAreInternalFailures) {
  const std::vector<float> a = {1, 2, 3, 4, 5};
  const std::vector<float> b = {1, 2, 3, 4, 5, 6};
  const auto shorter = std::span<const float>(b).first(4);  // short only in the block phase
  for (const DistancePath path : available_paths()) {
    for (const DistanceMetric metric : kMetrics) {
      expect_internal_failure([&] { distance_on_path(path, metric, a, shorter); });
      expect_internal_failure([&] { distance_on_path(path, metric, a, {}); });
      std::vector<float> out(9, -7.0f);
      const std::vector<std::span<const float>> stored = {b, b, b, b, b, b, b, b, shorter};
      expect_internal_failure([&] { distance_batch_on_path(path, metric, a, stored, out); });
      EXPECT_EQ(out, std::vector<float>(9, -7.0f)) << "nothing is written";
      expect_internal_failure(
          [&] { distance_batch_on_path(path, metric, a, std::span(stored).first(2), out); });
    }
    expect_internal_failure([&] { distance_on_path(path, static_cast<DistanceMetric>(3), a, b); });
  }
}

}  // namespace
}  // namespace vexradb
