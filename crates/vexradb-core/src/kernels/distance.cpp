#include "kernels/distance.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "base/internal_failure.hpp"
#include "kernels/distance_kernels.hpp"

namespace vexradb {
namespace {

using distance_internal::BlockPhase;
using distance_internal::GroupSums;
using distance_internal::kMaxGroup;
using distance_internal::with_metric;

// The block phase written out lane by lane: the definition the vector kernels must match bit for
// bit, and the fallback for processors without fused multiply-add (std::fma is exact everywhere,
// in software if need be). Lanes are independent, so summing one lane over all blocks before the
// next lane gives the same bits as going block by block.
void reference_block_phase(DistanceMetric metric, const float* a, const float* const* b,
                           std::size_t count, std::size_t blocks, GroupSums& sums) {
  for (std::size_t c = 0; c < count; ++c) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      float dot = 0.0f;
      float norm_a = 0.0f;
      float norm_b = 0.0f;
      for (std::size_t i = lane; i < 4 * blocks; i += 4) {
        const float x = a[i];
        const float y = b[c][i];
        switch (metric) {
          case DistanceMetric::Euclidean: {
            const float d = x - y;
            dot = std::fma(d, d, dot);
            break;
          }
          case DistanceMetric::DotProduct:
            dot = std::fma(x, y, dot);
            break;
          case DistanceMetric::Cosine:
            norm_a = std::fma(x, x, norm_a);
            dot = std::fma(y, x, dot);
            norm_b = std::fma(y, y, norm_b);
            break;
        }
      }
      sums.dot[4 * c + lane] = dot;
      sums.norm_b[4 * c + lane] = norm_b;
      sums.norm_a[lane] = norm_a;
    }
  }
}

float reduce(const float* lanes) { return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]); }

// One square root of the product of the squared norms. A zero (or underflowed) product means no
// direction to compare: the distance is 1, never a division by zero (the division is written
// unconditionally, by 1 in that case, so that it can be done for several stored vectors at
// once). A NaN product is not 0 and propagates.
inline float cosine_distance(float dot, float norm_a, float norm_b) {
  const float product = norm_a * norm_b;
  const bool undirected = product == 0.0f;
  const float cosine = dot / (undirected ? 1.0f : std::sqrt(product));
  return undirected ? 1.0f : 1.0f - cosine;
}

// Completes the distances from `a` to the group's first `count` stored vectors `b` from their
// lane sums: reduces the lanes, adds the tail elements in index order (each product rounded, then
// added: the build forbids the compiler to fuse them), and applies the metric's formula. Each step
// is a loop over the group of its own, so that the compiler can do the reductions, square roots
// and divisions of several stored vectors at once.
template <DistanceMetric kMetric>
void finish(const GroupSums& sums, std::size_t count, std::span<const float> a,
            const float* const* b, float* out) {
  constexpr bool kCosine = kMetric == DistanceMetric::Cosine;
  float dot[kMaxGroup];
  float norm_b[kMaxGroup];
  for (std::size_t c = 0; c < count; ++c) dot[c] = reduce(sums.dot + 4 * c);
  if constexpr (kCosine) {
    for (std::size_t c = 0; c < count; ++c) norm_b[c] = reduce(sums.norm_b + 4 * c);
  }
  float norm_a = kCosine ? reduce(sums.norm_a) : 0.0f;

  const std::size_t n = a.size();
  if (n % 4 != 0) {
    const std::size_t tail = n - n % 4;
    if constexpr (kCosine) {
      float tail_norm_a = 0.0f;
      for (std::size_t i = tail; i < n; ++i) tail_norm_a += a[i] * a[i];
      norm_a = norm_a + tail_norm_a;
    }
    for (std::size_t c = 0; c < count; ++c) {
      const float* y = b[c];
      if constexpr (kMetric == DistanceMetric::Euclidean) {
        for (std::size_t i = tail; i < n; ++i) {
          const float d = a[i] - y[i];
          dot[c] = dot[c] + d * d;
        }
      } else if constexpr (kMetric == DistanceMetric::DotProduct) {
        for (std::size_t i = tail; i < n; ++i) dot[c] = dot[c] + a[i] * y[i];
      } else {
        float tail_dot = 0.0f;
        float tail_norm_b = 0.0f;
        for (std::size_t i = tail; i < n; ++i) {
          tail_dot += a[i] * y[i];
          tail_norm_b += y[i] * y[i];
        }
        dot[c] = dot[c] + tail_dot;
        norm_b[c] = norm_b[c] + tail_norm_b;
      }
    }
  }

  for (std::size_t c = 0; c < count; ++c) {
    if constexpr (kMetric == DistanceMetric::Euclidean) {
      out[c] = std::sqrt(dot[c]);
    } else if constexpr (kMetric == DistanceMetric::DotProduct) {
      out[c] = 1.0f - dot[c];
    } else {
      out[c] = cosine_distance(dot[c], norm_a, norm_b[c]);
    }
  }
}

// The tail of a squared norm as the cosine formula adds it: the products summed on their own,
// then added to the reduced lanes.
float add_squared_tail(float reduced, std::span<const float> v) {
  float tail = 0.0f;
  for (std::size_t i = v.size() - v.size() % 4; i < v.size(); ++i) tail += v[i] * v[i];
  return v.size() % 4 != 0 ? reduced + tail : reduced;
}

// finish() for cosine when both squared norms are known: the lane sums hold the dot products
// only (the DotProduct block phase computes the same lanes as the cosine one).
void finish_cosine(const GroupSums& sums, std::size_t count, std::span<const float> a,
                   const float* const* b, float norm_a, const float* norm_b, float* out) {
  float dot[kMaxGroup];
  for (std::size_t c = 0; c < count; ++c) dot[c] = reduce(sums.dot + 4 * c);
  const std::size_t n = a.size();
  if (n % 4 != 0) {
    for (std::size_t c = 0; c < count; ++c) {
      float tail_dot = 0.0f;
      for (std::size_t i = n - n % 4; i < n; ++i) tail_dot += a[i] * b[c][i];
      dot[c] = dot[c] + tail_dot;
    }
  }
  for (std::size_t c = 0; c < count; ++c) out[c] = cosine_distance(dot[c], norm_a, norm_b[c]);
}

// The kernels of one path.
struct PathKernels {
  BlockPhase single;       // one stored vector
  BlockPhase group;        // `group_size` stored vectors per call
  std::size_t group_size;  // at most kMaxGroup
};

const PathKernels& kernels_of(DistancePath path) {
  VEXRA_CHECK(distance_path_available(path), "distance path not supported by this processor");
  static constexpr PathKernels kReference{reference_block_phase, reference_block_phase, kMaxGroup};
#if defined(__x86_64__)
  using distance_internal::block_phase_avx2;
  using distance_internal::block_phase_avx512;
  using distance_internal::block_phase_sse;
  // A single pair is one chain of dependent additions per lane, which wider registers cannot
  // shorten: it always takes the 128-bit kernel.
  static constexpr PathKernels kSimd128{block_phase_sse, block_phase_sse, 4};
  static constexpr PathKernels kAvx2{block_phase_sse, block_phase_avx2, 8};
  static constexpr PathKernels kAvx512{block_phase_sse, block_phase_avx512, 8};
  static_assert(kAvx2.group_size <= kMaxGroup && kAvx512.group_size <= kMaxGroup);
  switch (path) {
    case DistancePath::Simd128:
      return kSimd128;
    case DistancePath::Avx2:
      return kAvx2;
    case DistancePath::Avx512:
      return kAvx512;
    case DistancePath::Reference:
      break;
  }
#elif defined(__aarch64__)
  static constexpr PathKernels kSimd128{distance_internal::block_phase_neon,
                                        distance_internal::block_phase_neon, 4};
  if (path == DistancePath::Simd128) return kSimd128;
#endif
  return kReference;
}

const PathKernels& fastest_kernels() {
  static const PathKernels& kernels = kernels_of(fastest_distance_path());
  return kernels;
}

float distance_with(const PathKernels& kernels, DistanceMetric metric, std::span<const float> a,
                    std::span<const float> b) {
  VEXRA_CHECK(b.size() >= a.size(), "second vector shorter than the first");
  return with_metric(metric, [&](auto m) {
    GroupSums sums;
    const float* stored = b.data();
    kernels.single(m, a.data(), &stored, 1, a.size() / 4, sums);
    float result;
    finish<decltype(m)::value>(sums, 1, a, &stored, &result);
    return result;
  });
}

// Calls score(group, in_group, first) for the stored vectors first .. first + in_group - 1, group
// by group of the path's size; `group` holds their first elements, padded to the group size by
// repeating the last one, as the block phases expect.
template <class StoredAt, class Score>
void for_each_group(const PathKernels& kernels, std::size_t count, StoredAt stored_at,
                    Score score) {
  const float* group[kMaxGroup];
  for (std::size_t first = 0; first < count; first += kernels.group_size) {
    const std::size_t in_group = std::min(kernels.group_size, count - first);
    for (std::size_t i = 0; i < kernels.group_size; ++i) {
      group[i] = stored_at(first + std::min(i, in_group - 1));
    }
    score(static_cast<const float* const*>(group), in_group, first);
  }
}

// out[i] = the distance from `query` to stored_at(i) for i < count; stored_at(i) is the first
// element of a vector at least as long as the query.
template <class StoredAt>
void batch_of_pointers(const PathKernels& kernels, DistanceMetric metric,
                       std::span<const float> query, std::size_t count, StoredAt stored_at,
                       float* out) {
  with_metric(metric, [&](auto m) {
    GroupSums sums;
    for_each_group(kernels, count, stored_at,
                   [&](const float* const* group, std::size_t in_group, std::size_t first) {
                     kernels.group(m, query.data(), group, in_group, query.size() / 4, sums);
                     finish<decltype(m)::value>(sums, in_group, query, group, out + first);
                   });
  });
}

void distance_batch_with(const PathKernels& kernels, DistanceMetric metric,
                         std::span<const float> query,
                         std::span<const std::span<const float>> stored, std::span<float> out) {
  VEXRA_CHECK(out.size() == stored.size(), "distance output length differs from the batch's");
  for (const std::span<const float> b : stored) {
    VEXRA_CHECK(b.size() >= query.size(), "stored vector shorter than the query");
  }
  batch_of_pointers(
      kernels, metric, query, stored.size(), [&](std::size_t i) { return stored[i].data(); },
      out.data());
}

// The vector paths, fastest first on this processor.
std::array<DistancePath, 3> preferred_paths() {
#if defined(__x86_64__)
  // AMD's processors with AVX-512 so far (Zen 4) execute 512-bit operations as two 256-bit
  // halves, and the AVX-512 kernel's extra shuffles make it slower there than the AVX2 one.
  if (__builtin_cpu_is("amd")) {
    return {DistancePath::Avx2, DistancePath::Avx512, DistancePath::Simd128};
  }
#endif
  return {DistancePath::Avx512, DistancePath::Avx2, DistancePath::Simd128};
}

}  // namespace

DistancePath fastest_distance_path() {
  static const DistancePath path = [] {
    for (const DistancePath widest : preferred_paths()) {
      if (distance_path_available(widest)) return widest;
    }
    return DistancePath::Reference;
  }();
  return path;
}

bool distance_path_available(DistancePath path) {
  switch (path) {
    case DistancePath::Reference:
      return true;
#if defined(__x86_64__)
    // Without FMA there is no exact fast path at all.
    case DistancePath::Simd128:
      return __builtin_cpu_supports("fma");
    case DistancePath::Avx2:
      return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
    case DistancePath::Avx512:
      return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx512f");
#elif defined(__aarch64__)
    case DistancePath::Simd128:
      return true;
    case DistancePath::Avx2:
    case DistancePath::Avx512:
      return false;
#else
    case DistancePath::Simd128:
    case DistancePath::Avx2:
    case DistancePath::Avx512:
      return false;
#endif
  }
  return false;
}

float distance(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  return distance_with(fastest_kernels(), metric, a, b);
}

void distance_batch(DistanceMetric metric, std::span<const float> query,
                    std::span<const std::span<const float>> stored, std::span<float> out) {
  distance_batch_with(fastest_kernels(), metric, query, stored, out);
}

void distance_batch_unchecked(DistanceMetric metric, std::span<const float> query,
                              std::span<const float* const> stored, std::span<float> out) {
  VEXRA_CHECK(out.size() == stored.size(), "distance output length differs from the batch's");
  batch_of_pointers(
      fastest_kernels(), metric, query, stored.size(), [&](std::size_t i) { return stored[i]; },
      out.data());
}

float cosine_squared_norm(std::span<const float> v) {
  // The cosine block phase sums the query's squares in the lanes of norm_a.
  GroupSums sums;
  const float* self = v.data();
  fastest_kernels().single(DistanceMetric::Cosine, v.data(), &self, 1, v.size() / 4, sums);
  return add_squared_tail(reduce(sums.norm_a), v);
}

void cosine_batch_with_norms(std::span<const float> query, float query_norm,
                             std::span<const float* const> stored,
                             std::span<const float> stored_norms, std::span<float> out) {
  VEXRA_CHECK(out.size() == stored.size() && stored_norms.size() == stored.size(),
              "distance output or norms length differs from the batch's");
  const PathKernels& kernels = fastest_kernels();
  GroupSums sums;
  for_each_group(
      kernels, stored.size(), [&](std::size_t i) { return stored[i]; },
      [&](const float* const* group, std::size_t in_group, std::size_t first) {
        kernels.group(DistanceMetric::DotProduct, query.data(), group, in_group, query.size() / 4,
                      sums);
        finish_cosine(sums, in_group, query, group, query_norm, stored_norms.data() + first,
                      out.data() + first);
      });
}

float distance_on_path(DistancePath path, DistanceMetric metric, std::span<const float> a,
                       std::span<const float> b) {
  return distance_with(kernels_of(path), metric, a, b);
}

void distance_batch_on_path(DistancePath path, DistanceMetric metric, std::span<const float> query,
                            std::span<const std::span<const float>> stored, std::span<float> out) {
  distance_batch_with(kernels_of(path), metric, query, stored, out);
}

}  // namespace vexradb
