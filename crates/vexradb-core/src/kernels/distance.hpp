#pragma once

// kernels/: the distance functions over full-precision vectors and over SQ8 and binary codes,
// with a reference path and SIMD paths (x86-64, Arm) that give the same bits. May use: base/.

#include <cstdint>
#include <span>

#include "base/types.hpp"

namespace vexradb {

// The distance from `a` (the query, or the vector whose neighbours are being judged) to `b` (the
// stored vector). Smaller is closer under every metric:
//   Cosine      1 - a·b / sqrt(|a|² · |b|²), exactly 1 when |a|² · |b|² is 0
//   Euclidean   sqrt(Σ (a_i - b_i)²), the true distance, not its square
//   DotProduct  1 - a·b
// The result is the same bit for bit on every processor, because the summation order is fixed:
// the first 4⌊n/4⌋ elements are summed in four lanes (lane l sees elements 4j + l, every step a
// fused multiply-add), each lane sum is reduced as (l0 + l1) + (l2 + l3), and the remaining n % 4
// elements are then added in index order with a separate multiply and add. Everything is single
// precision. NaN and infinite components are not screened: they propagate under IEEE rules.
//
// `a.size()` governs: only that many elements of `b` are read. A `b` shorter than `a` is a
// caller fault and throws InternalFailure before anything is read. Allocates nothing, takes no
// lock; safe to call from any number of threads.
float distance(DistanceMetric metric, std::span<const float> a, std::span<const float> b);

// out[i] = distance(metric, query, stored[i]) for every i, bit for bit. Scores several stored
// vectors per pass, which keeps the processor's multiply-add units busy while a single distance
// waits on its fixed chain of additions: prefer it whenever several candidates are scored against
// one query. `out` must be as long as `stored`, and every stored vector at least as long as
// `query`; otherwise InternalFailure is thrown and nothing is written.
void distance_batch(DistanceMetric metric, std::span<const float> query,
                    std::span<const std::span<const float>> stored, std::span<float> out);

// As distance_batch, with each stored vector given by its first element, which the caller
// guarantees is followed by at least query.size() - 1 more: the form a store's scoring loop uses,
// as it already knows every stored vector's length.
void distance_batch_unchecked(DistanceMetric metric, std::span<const float> query,
                              std::span<const float* const> stored, std::span<float> out);

// |v|² exactly as the cosine distance computes the squared norm of either of its vectors.
float cosine_squared_norm(std::span<const float> v);

// distance_batch(Cosine, query, stored, out) bit for bit, with the squared norms of the query and
// of each stored vector known in advance (cosine_squared_norm): half the arithmetic, as only the
// dot products are left to sum. Stored vectors as for distance_batch_unchecked.
void cosine_batch_with_norms(std::span<const float> query, float query_norm,
                             std::span<const float* const> stored,
                             std::span<const float> stored_norms, std::span<float> out);

// The instruction sets the kernels run on. The results never depend on which one is used.
enum class DistancePath : std::uint8_t {
  Reference,  // portable scalar code, lane by lane with std::fma
  Simd128,    // one pair per 128-bit register: SSE with FMA on x86-64, NEON on 64-bit Arm
  Avx2,       // x86-64 batches: two stored vectors per 256-bit register
  Avx512,     // x86-64 batches: four stored vectors per 512-bit register
};

// The path distance() and distance_batch() use: the fastest this processor supports, chosen on
// the first call. A processor without fused multiply-add gets Reference.
DistancePath fastest_distance_path();

bool distance_path_available(DistancePath path);

// distance() and distance_batch() on a chosen path, so that tests and benchmarks can compare the
// paths with each other. An unavailable path throws InternalFailure.
float distance_on_path(DistancePath path, DistanceMetric metric, std::span<const float> a,
                       std::span<const float> b);
void distance_batch_on_path(DistancePath path, DistanceMetric metric, std::span<const float> query,
                            std::span<const std::span<const float>> stored, std::span<float> out);

}  // namespace vexradb
