#include "kernels/quantization.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "base/internal_failure.hpp"
#include "kernels/quantization_kernels.hpp"

namespace vexradb {
namespace {

using quantization_internal::BinaryScan;
using quantization_internal::CosineBlockPhase;
using quantization_internal::CosineLanes;
using quantization_internal::differing_fraction;
using quantization_internal::DifferingBits;
using quantization_internal::SQ8CosineBlockPhases;
using quantization_internal::SQ8SequentialDistances;

// The Cosine block phase written out lane by lane: the definition the vector kernels must match
// bit for bit, and the fallback for processors without fused multiply-add (std::fma is exact
// everywhere, in software if need be). Lanes are independent, so summing one lane over all
// blocks before the next gives the same bits as going block by block.
void reference_cosine_block_phase(const float* query, const std::uint8_t* codes, float offset,
                                  float scale, std::size_t blocks, CosineLanes& lanes) {
  for (std::size_t lane = 0; lane < 4; ++lane) {
    float dot = 0.0f;
    float norm_q = 0.0f;
    float norm_v = 0.0f;
    for (std::size_t i = lane; i < 4 * blocks; i += 4) {
      const float q = query[i];
      const float v = std::fma(static_cast<float>(codes[i]), scale, offset);
      dot = std::fma(v, q, dot);
      norm_q = std::fma(q, q, norm_q);
      norm_v = std::fma(v, v, norm_v);
    }
    lanes.dot[lane] = dot;
    lanes.norm_q[lane] = norm_q;
    lanes.norm_v[lane] = norm_v;
  }
}

std::uint64_t reference_differing_bits(const std::uint8_t* a, const std::uint8_t* b,
                                       std::size_t bytes) {
  std::uint64_t differing = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    differing += static_cast<std::uint64_t>(std::popcount(static_cast<std::uint8_t>(a[i] ^ b[i])));
  }
  return differing;
}

void reference_binary_scan(const std::uint8_t* query, const std::uint8_t* codes, std::size_t bytes,
                           std::size_t count, float dimension, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] =
        differing_fraction(reference_differing_bits(query, codes + i * bytes, bytes), dimension);
  }
}

// One pass in index order, each product rounded before it is added (the build forbids the
// compiler to fuse them): Σ t·t with t = q_i - v_i for Euclidean, Σ q_i·v_i for DotProduct. The
// definition fixes this order, so no vector unit can take part within one vector: they can only
// run the same chain for several vectors side by side, one per lane.
template <DistanceMetric kMetric>
float sequential_sum(const float* query, std::size_t n, const std::uint8_t* codes, float offset,
                     float scale) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float v = SQ8Quantizer::decode(codes[i], offset, scale);
    if constexpr (kMetric == DistanceMetric::Euclidean) {
      const float t = query[i] - v;
      sum = sum + t * t;
    } else {
      sum = sum + query[i] * v;
    }
  }
  return sum;
}

// The distance from the pass's sum: its square root, or 1 minus it.
template <DistanceMetric kMetric>
float sequential_distance(float sum) {
  return kMetric == DistanceMetric::Euclidean ? std::sqrt(sum) : 1.0f - sum;
}

template <DistanceMetric kMetric>
float sequential_distance(const float* query, std::size_t n, const SQ8Stored& stored) {
  return sequential_distance<kMetric>(
      sequential_sum<kMetric>(query, n, stored.codes, stored.offset, stored.scale));
}

void reference_sequential_distances(DistanceMetric metric, const float* query, std::size_t n,
                                    const SQ8Stored* stored, std::size_t count, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = metric == DistanceMetric::Euclidean
                 ? sequential_distance<DistanceMetric::Euclidean>(query, n, stored[i])
                 : sequential_distance<DistanceMetric::DotProduct>(query, n, stored[i]);
  }
}

// A path's single-vector block phase applied to each stored vector in turn.
template <CosineBlockPhase kPhase>
void cosine_block_phases_one_by_one(const float* query, std::size_t blocks, const SQ8Stored* stored,
                                    std::size_t count, CosineLanes* lanes) {
  for (std::size_t i = 0; i < count; ++i) {
    kPhase(query, stored[i].codes, stored[i].offset, stored[i].scale, blocks, lanes[i]);
  }
}

// The kernels of one path.
struct PathKernels {
  CosineBlockPhase cosine_blocks;
  DifferingBits differing_bits;
  BinaryScan binary_scan;
  SQ8CosineBlockPhases cosine_block_phases;
  SQ8SequentialDistances sequential_distances;
};

const PathKernels& kernels_of(QuantizedPath path) {
  VEXRA_CHECK(quantized_path_available(path), "quantized path not supported by this processor");
  static constexpr PathKernels kReference{
      reference_cosine_block_phase, reference_differing_bits, reference_binary_scan,
      cosine_block_phases_one_by_one<reference_cosine_block_phase>, reference_sequential_distances};
  if (path == QuantizedPath::Reference) return kReference;
#if defined(__x86_64__)
  using quantization_internal::binary_scan_avx512;
  using quantization_internal::binary_scan_popcnt;
  using quantization_internal::cosine_block_phase_sse;
  using quantization_internal::differing_bits_popcnt;
  using quantization_internal::sq8_cosine_block_phases_avx2;
  using quantization_internal::sq8_sequential_distances_avx2;
  // A single pair of codes is too short a job for wide registers.
  static constexpr PathKernels kNative{
      cosine_block_phase_sse, differing_bits_popcnt, binary_scan_popcnt,
      cosine_block_phases_one_by_one<cosine_block_phase_sse>, reference_sequential_distances};
  static constexpr PathKernels kAvx2{cosine_block_phase_sse, differing_bits_popcnt,
                                     binary_scan_popcnt, sq8_cosine_block_phases_avx2,
                                     sq8_sequential_distances_avx2};
  static constexpr PathKernels kAvx512{cosine_block_phase_sse, differing_bits_popcnt,
                                       binary_scan_avx512, sq8_cosine_block_phases_avx2,
                                       sq8_sequential_distances_avx2};
  if (path == QuantizedPath::Avx512) return kAvx512;
  return path == QuantizedPath::Avx2 ? kAvx2 : kNative;
#elif defined(__aarch64__)
  using quantization_internal::cosine_block_phase_neon;
  static constexpr PathKernels kNative{
      cosine_block_phase_neon, quantization_internal::differing_bits_neon,
      quantization_internal::binary_scan_neon,
      cosine_block_phases_one_by_one<cosine_block_phase_neon>, reference_sequential_distances};
  return kNative;
#else
  return kReference;  // unreachable: no other path is available here
#endif
}

const PathKernels& fastest_kernels() {
  static const PathKernels& kernels = kernels_of(fastest_quantized_path());
  return kernels;
}

float reduce(const float* lanes) { return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]); }

// The lanes of the block phase reduced, then the tail added straight onto the reduced sums,
// unfused, in index order.
float sq8_cosine(const CosineLanes& lanes, std::span<const float> query, const std::uint8_t* codes,
                 float offset, float scale) {
  const std::size_t n = query.size();
  float dot = reduce(lanes.dot);
  float norm_q = reduce(lanes.norm_q);
  float norm_v = reduce(lanes.norm_v);
  for (std::size_t i = n - n % 4; i < n; ++i) {
    const float q = query[i];
    const float v = SQ8Quantizer::decode(codes[i], offset, scale);
    dot = dot + q * v;
    norm_q = norm_q + q * q;
    norm_v = norm_v + v * v;
  }
  // One square root of the product of the squared norms; a zero (or underflowed) product means
  // no direction to compare. A NaN product is not 0 and propagates.
  const float product = norm_q * norm_v;
  if (product == 0.0f) return 1.0f;
  return 1.0f - dot / std::sqrt(product);
}

float asymmetric_distance_with(const PathKernels& kernels, std::span<const float> query,
                               std::span<const std::uint8_t> codes, float offset, float scale,
                               DistanceMetric metric) {
  VEXRA_CHECK(codes.size() >= query.size(), "SQ8 codes shorter than the query");
  switch (metric) {
    case DistanceMetric::Cosine: {
      CosineLanes lanes;
      kernels.cosine_blocks(query.data(), codes.data(), offset, scale, query.size() / 4, lanes);
      return sq8_cosine(lanes, query, codes.data(), offset, scale);
    }
    case DistanceMetric::Euclidean:
      return sequential_distance<DistanceMetric::Euclidean>(query.data(), query.size(),
                                                            {codes.data(), offset, scale});
    case DistanceMetric::DotProduct:
      return sequential_distance<DistanceMetric::DotProduct>(query.data(), query.size(),
                                                             {codes.data(), offset, scale});
  }
  fail_internal(__FILE__, __LINE__, "unknown distance metric");
}

// The stored vectors' block phases a group at a time, each finished as a single distance is.
void sq8_cosines(const PathKernels& kernels, std::span<const float> query,
                 std::span<const SQ8Stored> stored, std::span<float> out) {
  constexpr std::size_t kGroup = 16;
  std::array<CosineLanes, kGroup> lanes;
  for (std::size_t start = 0; start < stored.size(); start += kGroup) {
    const auto group = stored.subspan(start, std::min(kGroup, stored.size() - start));
    kernels.cosine_block_phases(query.data(), query.size() / 4, group.data(), group.size(),
                                lanes.data());
    for (std::size_t i = 0; i < group.size(); ++i) {
      out[start + i] = sq8_cosine(lanes[i], query, group[i].codes, group[i].offset, group[i].scale);
    }
  }
}

void asymmetric_distances_with(const PathKernels& kernels, std::span<const float> query,
                               std::span<const SQ8Stored> stored, DistanceMetric metric,
                               std::span<float> out) {
  VEXRA_CHECK(out.size() == stored.size(), "one SQ8 distance per stored vector");
  switch (metric) {
    case DistanceMetric::Cosine:
      return sq8_cosines(kernels, query, stored, out);
    case DistanceMetric::Euclidean:
    case DistanceMetric::DotProduct:
      return kernels.sequential_distances(metric, query.data(), query.size(), stored.data(),
                                          stored.size(), out.data());
  }
  fail_internal(__FILE__, __LINE__, "unknown distance metric");
}

float binary_distance_with(const PathKernels& kernels, std::span<const std::uint8_t> query_code,
                           std::span<const std::uint8_t> stored_code, std::uint64_t dimension) {
  VEXRA_CHECK(stored_code.size() >= query_code.size(), "binary code shorter than the query's");
  return differing_fraction(
      kernels.differing_bits(query_code.data(), stored_code.data(), query_code.size()),
      static_cast<float>(dimension));
}

void binary_distances_with(const PathKernels& kernels, std::span<const std::uint8_t> query_code,
                           std::span<const std::uint8_t> codes, std::uint64_t dimension,
                           std::span<float> out) {
  const std::size_t bytes = query_code.size();
  // Division, not multiplication, so that no product can overflow.
  VEXRA_CHECK(bytes == 0 || codes.size() / bytes >= out.size(),
              "binary codes shorter than the scan");
  kernels.binary_scan(query_code.data(), codes.data(), bytes, out.size(),
                      static_cast<float>(dimension), out.data());
}

}  // namespace

SQ8Code SQ8Quantizer::quantize(std::span<const float> vector) {
  SQ8Code code;
  code.codes.resize(vector.size());
  // Comparisons with NaN are false, so NaN components never replace either bound.
  float low = std::numeric_limits<float>::infinity();
  float high = -std::numeric_limits<float>::infinity();
  for (const float x : vector) {
    if (x < low) low = x;
    if (x > high) high = x;
  }
  const float range = high - low;
  code.offset = low;
  code.scale = range > 0.0f ? range / 255.0f : 1.0f;
  for (std::size_t i = 0; i < vector.size(); ++i) {
    const float t = (vector[i] - low) / code.scale;
    // Also sends NaN to 0: converting a NaN to an integer is undefined.
    if (!(t > 0.0f)) continue;
    code.codes[i] = static_cast<std::uint8_t>(t > 255.0f ? 255.0f : t);
  }
  return code;
}

float SQ8Quantizer::asymmetric_distance(std::span<const float> query,
                                        std::span<const std::uint8_t> codes, float offset,
                                        float scale, DistanceMetric metric) {
  return asymmetric_distance_with(fastest_kernels(), query, codes, offset, scale, metric);
}

void SQ8Quantizer::asymmetric_distances(std::span<const float> query,
                                        std::span<const SQ8Stored> stored, DistanceMetric metric,
                                        std::span<float> out) {
  asymmetric_distances_with(fastest_kernels(), query, stored, metric, out);
}

std::vector<float> SQ8Quantizer::reconstruct(std::span<const std::uint8_t> codes, float offset,
                                             float scale) {
  std::vector<float> vector(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) vector[i] = decode(codes[i], offset, scale);
  return vector;
}

BinaryQuantizer::BinaryQuantizer(std::uint64_t dimension) noexcept
    : dimension_(dimension), bytes_per_vector_(dimension / 8 + (dimension % 8 != 0 ? 1 : 0)) {}

std::vector<std::uint8_t> BinaryQuantizer::quantize(std::span<const float> vector) const {
  VEXRA_CHECK(vector.size() / 8 + (vector.size() % 8 != 0 ? 1 : 0) <= bytes_per_vector_,
              "vector longer than the binary code");
  std::vector<std::uint8_t> code(bytes_per_vector_);
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (vector[i] > 0.0f) code[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return code;
}

float binary_distance(std::span<const std::uint8_t> query_code,
                      std::span<const std::uint8_t> stored_code, std::uint64_t dimension) {
  return binary_distance_with(fastest_kernels(), query_code, stored_code, dimension);
}

void binary_distances(std::span<const std::uint8_t> query_code, std::span<const std::uint8_t> codes,
                      std::uint64_t dimension, std::span<float> out) {
  binary_distances_with(fastest_kernels(), query_code, codes, dimension, out);
}

QuantizedPath fastest_quantized_path() {
  static const QuantizedPath path = [] {
    for (const QuantizedPath fastest :
         {QuantizedPath::Avx512, QuantizedPath::Avx2, QuantizedPath::Native}) {
      if (quantized_path_available(fastest)) return fastest;
    }
    return QuantizedPath::Reference;
  }();
  return path;
}

bool quantized_path_available(QuantizedPath path) {
  switch (path) {
    case QuantizedPath::Reference:
      return true;
#if defined(__x86_64__)
    case QuantizedPath::Native:
      // Every processor with FMA also has POPCNT; both are checked all the same.
      return __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt");
    case QuantizedPath::Avx2:
      return quantized_path_available(QuantizedPath::Native) && __builtin_cpu_supports("avx2");
    case QuantizedPath::Avx512:
      return quantized_path_available(QuantizedPath::Avx2) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vpopcntdq");
#elif defined(__aarch64__)
    case QuantizedPath::Native:
      return true;
    case QuantizedPath::Avx2:
    case QuantizedPath::Avx512:
      return false;
#else
    case QuantizedPath::Native:
    case QuantizedPath::Avx2:
    case QuantizedPath::Avx512:
      return false;
#endif
  }
  return false;
}

float asymmetric_distance_on_path(QuantizedPath path, std::span<const float> query,
                                  std::span<const std::uint8_t> codes, float offset, float scale,
                                  DistanceMetric metric) {
  return asymmetric_distance_with(kernels_of(path), query, codes, offset, scale, metric);
}

void asymmetric_distances_on_path(QuantizedPath path, std::span<const float> query,
                                  std::span<const SQ8Stored> stored, DistanceMetric metric,
                                  std::span<float> out) {
  asymmetric_distances_with(kernels_of(path), query, stored, metric, out);
}

float binary_distance_on_path(QuantizedPath path, std::span<const std::uint8_t> query_code,
                              std::span<const std::uint8_t> stored_code, std::uint64_t dimension) {
  return binary_distance_with(kernels_of(path), query_code, stored_code, dimension);
}

void binary_distances_on_path(QuantizedPath path, std::span<const std::uint8_t> query_code,
                              std::span<const std::uint8_t> codes, std::uint64_t dimension,
                              std::span<float> out) {
  binary_distances_with(kernels_of(path), query_code, codes, dimension, out);
}

}  // namespace vexradb
