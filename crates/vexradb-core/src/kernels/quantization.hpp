#pragma once

// The two compressed forms of a vector and every distance computed against them.
//
// SQ8 keeps one byte per component plus an (offset, scale) pair per vector; component i decodes
// as offset + scale · code_i. Queries stay at full precision: the distance is asymmetric.
// Binary keeps one bit per component (set when the component is greater than 0); a query is
// binarised the same way and the distance is the fraction of differing bits.
//
// Like the full-precision kernels, every distance here is the same bit for bit on every
// processor: the order of the floating-point operations is fixed and documented per function.
// All kernels allocate nothing, take no lock and are safe to call from any number of threads.

#include <cstdint>
#include <span>
#include <vector>

#include "base/types.hpp"

namespace vexradb {

// One vector in SQ8 form.
struct SQ8Code {
  std::vector<std::uint8_t> codes;  // one per component
  float offset = 0.0f;              // the smallest component
  float scale = 1.0f;               // (largest - smallest) / 255, or 1 when that is not positive
};

// One stored vector in SQ8 form, read in place: at least as many codes as the query it is
// scored against, and its parameters.
struct SQ8Stored {
  const std::uint8_t* codes;
  float offset;
  float scale;
};

// 8-bit scalar quantization. It carries no state: every vector has its own parameters, which the
// caller stores beside the codes and hands back to the distance.
class SQ8Quantizer {
 public:
  // Encodes `vector` from its own range: offset = the smallest component and scale = (largest -
  // offset) / 255, both ignoring NaN components; scale is 1 when that range is not positive (a
  // constant vector, or nothing but NaN). code_i = (x_i - offset) / scale, clamped to [0, 255]
  // and truncated toward zero, so the largest component usually encodes as 254 (r / 255 rounds
  // up); a NaN gives 0. An empty vector gives no codes, offset +inf and scale 1.
  static SQ8Code quantize(std::span<const float> vector);

  // The distance from the full-precision `query` to the vector that `codes`, `offset` and
  // `scale` encode, under `metric` (same conventions as distance() in distance.hpp). Order of
  // the arithmetic, v_i being the decoded component:
  //   Euclidean   one pass in index order: v_i = offset + scale·code_i, t = q_i - v_i,
  //               s = s + t·t (every product rounded before it is added); sqrt(s).
  //   DotProduct  one pass in index order: s = s + q_i·v_i (rounded product); 1 - s.
  //   Cosine      the first 4⌊n/4⌋ elements in four lanes (lane l sees elements 4j + l), each
  //               step fused: v = fma(code, scale, offset), dot = fma(v, q, dot),
  //               qq = fma(q, q, qq), vv = fma(v, v, vv); each lane sum reduced as
  //               (l0 + l1) + (l2 + l3); the last n % 4 elements then added onto the reduced sums
  //               in index order, unfused; p = qq · vv; exactly 1 when p is 0, otherwise
  //               1 - dot / sqrt(p).
  // `query.size()` governs; `codes` shorter than the query throws InternalFailure before anything
  // is read.
  static float asymmetric_distance(std::span<const float> query,
                                   std::span<const std::uint8_t> codes, float offset, float scale,
                                   DistanceMetric metric);

  // out[i] = asymmetric_distance(query, the first query.size() codes of stored[i], its offset,
  // its scale, metric) for every i, bit for bit. Scores several stored vectors side by side,
  // which keeps the arithmetic units busy while one distance waits on its fixed chain of
  // additions: prefer it whenever several vectors are scored against one query. The caller
  // guarantees the codes' length (a store knows it); `out` must be as long as `stored`, otherwise
  // InternalFailure is thrown and nothing is written.
  static void asymmetric_distances(std::span<const float> query, std::span<const SQ8Stored> stored,
                                   DistanceMetric metric, std::span<float> out);

  // The decoded component: scale · code + offset, the product rounded before the addition.
  static float decode(std::uint8_t code, float offset, float scale) {
    return scale * static_cast<float>(code) + offset;
  }

  // Every component of `codes` decoded.
  static std::vector<float> reconstruct(std::span<const std::uint8_t> codes, float offset,
                                        float scale);
};

// Binary quantization for vectors of one dimension: component i is bit i % 8 of byte i / 8,
// least significant bit first.
class BinaryQuantizer {
 public:
  explicit BinaryQuantizer(std::uint64_t dimension) noexcept;

  std::uint64_t dimension() const noexcept { return dimension_; }
  // ⌈dimension / 8⌉: the length of every code.
  std::uint64_t bytes_per_vector() const noexcept { return bytes_per_vector_; }

  // The code of `vector`: bytes_per_vector() bytes, the bit of each component set exactly when
  // it is greater than 0 (zero, negative values and NaN give 0), bits past the vector's end 0.
  // A vector longer than 8 · bytes_per_vector() throws InternalFailure.
  std::vector<std::uint8_t> quantize(std::span<const float> vector) const;

 private:
  std::uint64_t dimension_;
  std::uint64_t bytes_per_vector_;
};

// The binary distance: the number of bits that differ between `query_code` and the first
// query_code.size() bytes of `stored_code` (an exact integer), converted to float and divided by
// float(dimension). It lies in [0, 1] for codes of that dimension; every metric ranks by it.
// A `stored_code` shorter than `query_code` throws InternalFailure before anything is read.
float binary_distance(std::span<const std::uint8_t> query_code,
                      std::span<const std::uint8_t> stored_code, std::uint64_t dimension);

// out[i] = binary_distance(query_code, code i, dimension) for the out.size() codes that lie back
// to back at the start of `codes`, query_code.size() bytes each: one call per scan. `codes`
// shorter than that throws InternalFailure and nothing is written.
void binary_distances(std::span<const std::uint8_t> query_code, std::span<const std::uint8_t> codes,
                      std::uint64_t dimension, std::span<float> out);

// The instruction sets the quantized kernels run on. The results never depend on which one is
// used.
enum class QuantizedPath : std::uint8_t {
  Reference,  // portable scalar code: std::fma lane by lane, population counts byte by byte
  // SQ8 Cosine blocks in 128-bit registers (SSE with FMA on x86-64, NEON on 64-bit Arm); binary
  // codes 64 bits at a time with the processor's population count instruction
  Native,
  // x86-64: Native, except that asymmetric_distances() scores eight stored vectors side by side
  // in 256-bit registers (AVX2 with FMA)
  Avx2,
  // x86-64: Avx2, except that binary_distances() counts in 512-bit registers (AVX-512 with
  // VPOPCNTDQ)
  Avx512,
};

// The path the functions above use: the fastest this processor supports, chosen on first use.
QuantizedPath fastest_quantized_path();

bool quantized_path_available(QuantizedPath path);

// The functions above on a chosen path, so that tests and benchmarks can compare the paths. An
// unavailable path throws InternalFailure.
float asymmetric_distance_on_path(QuantizedPath path, std::span<const float> query,
                                  std::span<const std::uint8_t> codes, float offset, float scale,
                                  DistanceMetric metric);
void asymmetric_distances_on_path(QuantizedPath path, std::span<const float> query,
                                  std::span<const SQ8Stored> stored, DistanceMetric metric,
                                  std::span<float> out);
float binary_distance_on_path(QuantizedPath path, std::span<const std::uint8_t> query_code,
                              std::span<const std::uint8_t> stored_code, std::uint64_t dimension);
void binary_distances_on_path(QuantizedPath path, std::span<const std::uint8_t> query_code,
                              std::span<const std::uint8_t> codes, std::uint64_t dimension,
                              std::span<float> out);

}  // namespace vexradb
