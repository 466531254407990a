#include "kernels/quantization.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "base/internal_failure.hpp"
#include "fnv_digest.hpp"
#include "internal_failure_matchers.hpp"
#include "kernel_cases.hpp"
#include "kernels/distance.hpp"

namespace vexradb {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
using testing_support::kMetrics;
using testing_support::same_bits;
using Bytes = std::vector<std::uint8_t>;

std::vector<QuantizedPath> available_quantized_paths() {
  std::vector<QuantizedPath> paths;
  for (const QuantizedPath path : {QuantizedPath::Reference, QuantizedPath::Native,
                                   QuantizedPath::Avx2, QuantizedPath::Avx512}) {
    if (quantized_path_available(path)) paths.push_back(path);
  }
  return paths;
}

// The SQ8 distance on every path and through the public entry point.
std::vector<float> sq8_everywhere(DistanceMetric metric, const std::vector<float>& query,
                                  const Bytes& codes, float offset, float scale) {
  std::vector<float> results;
  for (const QuantizedPath path : available_quantized_paths()) {
    results.push_back(asymmetric_distance_on_path(path, query, codes, offset, scale, metric));
  }
  results.push_back(SQ8Quantizer::asymmetric_distance(query, codes, offset, scale, metric));
  return results;
}

void expect_sq8(float expected, DistanceMetric metric, const std::vector<float>& query,
                const Bytes& codes, float offset, float scale) {
  for (const float result : sq8_everywhere(metric, query, codes, offset, scale)) {
    EXPECT_TRUE(same_bits(expected, result))
        << "metric " << static_cast<int>(metric) << ", n " << query.size() << ": expected "
        << expected << ", got " << result;
  }
}

// The binary distance on every path, single and as a one-code scan, and through both public
// entry points.
std::vector<float> binary_everywhere(const Bytes& query_code, const Bytes& stored_code,
                                     std::uint64_t dimension) {
  std::vector<float> results;
  float scanned = -1.0f;
  for (const QuantizedPath path : available_quantized_paths()) {
    results.push_back(binary_distance_on_path(path, query_code, stored_code, dimension));
    binary_distances_on_path(path, query_code, stored_code, dimension, std::span(&scanned, 1));
    results.push_back(scanned);
  }
  results.push_back(binary_distance(query_code, stored_code, dimension));
  binary_distances(query_code, stored_code, dimension, std::span(&scanned, 1));
  results.push_back(scanned);
  return results;
}

TEST(SQ8QuantizerTest, EncodesFromTheVectorsOwnRange) {
  const struct {
    std::vector<float> vector;
    float offset;
    float scale;
    Bytes codes;
  } cases[] = {
      // The largest component encodes as 254: 2 / (2/255) is just below 255.
      {{0, 1, 2}, 0, 0.007843138f, {0, 127, 254}},
      {{-1, 0, 0.5f, 1}, -1, 2.0f / 255.0f, {0, 127, 191, 254}},
      // No range: scale 1, everything at the offset.
      {{3, 3}, 3, 1, {0, 0}},
      {{}, kInf, 1, {}},
      // NaN neither bounds the range nor converts to anything but 0.
      {{kNan, 1, 3, kNan}, 1, 2.0f / 255.0f, {0, 0, 254, 0}},
      {{kNan, kNan}, kInf, 1, {0, 0}},
      // An infinite range: every finite component lands on 0, the infinite one on NaN, so 0.
      {{1, kInf}, 1, kInf, {0, 0}},
  };
  for (const auto& c : cases) {
    const SQ8Code code = SQ8Quantizer::quantize(c.vector);
    EXPECT_TRUE(same_bits(c.offset, code.offset)) << c.vector.size() << ": " << code.offset;
    EXPECT_TRUE(same_bits(c.scale, code.scale)) << c.vector.size() << ": " << code.scale;
    EXPECT_EQ(c.codes, code.codes) << c.vector.size();
  }
  EXPECT_EQ(SQ8Quantizer::reconstruct(SQ8Quantizer::quantize({{3, 3}}).codes, 3, 1),
            (std::vector<float>{3, 3}));
}

// Also: the codes come out the same on every machine (the digest was fixed once, on x86-64).
TEST(SQ8QuantizerTest, ReconstructionIsWithinOneStepBelowTheInput) {
  std::mt19937 rng(42);
  std::normal_distribution<float> normal(0.0f, 10.0f);
  testing_support::FnvDigest code_bits;
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<float> vector(1 + rng() % 300);
    for (float& x : vector) x = normal(rng);
    const SQ8Code code = SQ8Quantizer::quantize(vector);
    code_bits.add_bits(code.offset);
    code_bits.add_bits(code.scale);
    for (const std::uint8_t c : code.codes) code_bits.add(c);
    const std::vector<float> decoded =
        SQ8Quantizer::reconstruct(code.codes, code.offset, code.scale);
    ASSERT_EQ(decoded.size(), vector.size());
    for (std::size_t i = 0; i < vector.size(); ++i) {
      // Truncation: the decoded value is below the input by less than one step (up to rounding).
      EXPECT_LE(decoded[i], vector[i] + 1e-4f) << i;
      EXPECT_LT(vector[i] - decoded[i], code.scale * 1.001f) << i;
    }
  }
  EXPECT_EQ(code_bits.value(), 16746215333263012038ull);
}

TEST(SQ8DistanceTest, EuclideanAndDotProductAreOneSequentialPass) {
  // Decoded with offset 0 and scale 1, the codes are the stored components.
  const Bytes ones(4, 1);
  const std::vector<float> decoded_ones(4, 1.0f);
  // Squares (2^24, 1, 1, 1, 0, 1, 1, 1): in one pass every 1 is lost against 2^24; four lanes
  // would keep (2^24 + 2) + (2 + 2) = 2^24 + 6, as the full-precision kernel does.
  const std::vector<float> a = {4096, 1, 1, 1, 0, 1, 1, 1};
  expect_sq8(4096.0f, DistanceMetric::Euclidean, a, Bytes(8, 0), 0, 1);
  EXPECT_NE(4096.0f, distance(DistanceMetric::Euclidean, a, std::vector<float>(8, 0.0f)));
  // Products (2^24, 1, 1, 1) likewise: 1 - 2^24, where four lanes would give 1 - (2^24 + 2).
  const std::vector<float> b = {16777216, 1, 1, 1};
  expect_sq8(-16777215.0f, DistanceMetric::DotProduct, b, ones, 0, 1);
  EXPECT_NE(-16777215.0f, distance(DistanceMetric::DotProduct, b, decoded_ones));
}

TEST(SQ8DistanceTest, ProductsAreRoundedBeforeTheyAreAdded) {
  // Decoding: 255 · (1 + 2^-23) = 255 + 2^-15 - 2^-23 rounds to 255 + 2^-15, so with offset -255
  // the component is 2^-15 (a fused decoding would keep 2^-15 - 2^-23).
  const float scale = 1.0f + std::ldexp(1.0f, -23);
  const float decoded = std::ldexp(1.0f, -15);
  EXPECT_EQ(SQ8Quantizer::reconstruct(Bytes{255}, -255, scale), std::vector<float>{decoded});
  expect_sq8(1.0f - decoded, DistanceMetric::DotProduct, {1}, {255}, -255, scale);
  expect_sq8(decoded, DistanceMetric::Euclidean, {0}, {255}, -255, scale);
  // Accumulation: v = (2^-12, 1 + 2^-12), q = (-2^12, 1 + 2^-12). The second product is
  // 1 + 2^-11 + 2^-24, rounded to 1 + 2^-11 before -1 is added.
  const float x = 1.0f + std::ldexp(1.0f, -12);
  expect_sq8(1.0f - std::ldexp(1.0f, -11), DistanceMetric::DotProduct, {-4096, x}, {0, 1},
             std::ldexp(1.0f, -12), 1);
}

TEST(SQ8DistanceTest, CosineBlocksAreTheFullPrecisionKernelOnFusedDecoding) {
  // Without a tail the order is that of the full-precision Cosine kernel, applied to the
  // components decoded with one fused multiply-add each.
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t n = 0; n <= 64; n += 4) {
    std::vector<float> query(n);
    Bytes codes(n);
    for (float& q : query) q = normal(rng);
    for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
    const float offset = normal(rng);
    const float scale = std::abs(normal(rng)) / 100;
    std::vector<float> fused(n);
    for (std::size_t i = 0; i < n; ++i) fused[i] = std::fma(float(codes[i]), scale, offset);
    expect_sq8(distance(DistanceMetric::Cosine, query, fused), DistanceMetric::Cosine, query, codes,
               offset, scale);
  }
}

TEST(SQ8DistanceTest, CosineTailIsAddedOntoTheReducedSums) {
  // v = (256, 0, 0, 0, 2, 2). The block gives dot 2^24, |q|² 2^32, |v|² 2^16; the tail's two
  // products of 1 are each lost against 2^24 (added separately first, as the full-precision
  // kernel does, they would make 2^24 + 2), its |q|² terms likewise, and |v|² becomes 2^16 + 8.
  const std::vector<float> query = {65536, 0, 0, 0, 0.5f, 0.5f};
  const Bytes codes = {128, 0, 0, 0, 1, 1};
  const float expected = 1.0f - 16777216.0f / std::sqrt(4294967296.0f * 65544.0f);
  expect_sq8(expected, DistanceMetric::Cosine, query, codes, 0, 2);
  const std::vector<float> decoded = {256, 0, 0, 0, 2, 2};
  EXPECT_NE(expected, distance(DistanceMetric::Cosine, query, decoded));
}

TEST(SQ8DistanceTest, CosineWithoutADirection) {
  for (std::size_t n = 0; n <= 9; ++n) {
    // An all-zero vector encodes as offset 0, scale 1, codes 0: it decodes to zeros.
    const SQ8Code zero = SQ8Quantizer::quantize(std::vector<float>(n, 0.0f));
    const std::vector<float> ones(n, 1.0f);
    expect_sq8(1.0f, DistanceMetric::Cosine, ones, zero.codes, zero.offset, zero.scale);
    expect_sq8(1.0f, DistanceMetric::Cosine, std::vector<float>(n, 0.0f), Bytes(n, 7), 1, 1);
  }
  // An infinite norm times a zero one is NaN, not 0: the division happens.
  for (const float result :
       sq8_everywhere(DistanceMetric::Cosine, {kInf, 1, 1, 1, 1}, Bytes(5, 0), 0, 1)) {
    EXPECT_TRUE(std::isnan(result));
  }
}

// Random inputs for the bitwise comparisons: components drawn from one of three mixes (ordinary
// values; zeros, huge values and values whose squares overflow; the same with NaNs and
// infinities), codes uniform, and every span at an odd offset into a buffer with bytes past its
// end that a kernel must not read.
class RandomInputs {
 public:
  explicit RandomInputs(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t bound) { return rng_() % bound; }

  float component(int mix) {
    const int pick = static_cast<int>(below(100));
    if (mix == 0 || pick >= 30) return normal_(rng_);
    const float sign = (rng_() & 1) != 0 ? -1.0f : 1.0f;
    if (pick < 10) return 0.0f * sign;
    if (pick < 20) {
      // Two statements: argument evaluation order differs between targets, the inputs must not.
      const float significand = 1.0f + normal_(rng_);
      return sign * std::ldexp(significand, 60 + static_cast<int>(below(67)));
    }
    if (mix == 1 || pick < 25) return sign * std::ldexp(1.0f, static_cast<int>(below(40)));
    return pick < 27 ? kNan : sign * kInf;
  }

  std::span<const float> floats(std::vector<float>& buffer, std::size_t n, int mix) {
    buffer.assign(n + 5, kNan);
    const std::size_t offset = below(4);
    for (std::size_t i = 0; i < n; ++i) buffer[offset + i] = component(mix);
    return std::span<const float>(buffer).subspan(offset, n);
  }

  std::span<const std::uint8_t> bytes(Bytes& buffer, std::size_t n) {
    buffer.resize(n + 16);
    for (auto& b : buffer) b = static_cast<std::uint8_t>(rng_());
    const std::size_t offset = below(8);
    return std::span<const std::uint8_t>(buffer).subspan(offset, n);
  }

 private:
  std::mt19937 rng_;
  std::normal_distribution<float> normal_{0.0f, 1.0f};
};

// Every path agrees with the reference, and the reference gives the same bits on every machine
// (the digest was fixed once, on x86-64).
TEST(SQ8DistanceTest, EveryPathMatchesTheReferenceBitForBit) {
  RandomInputs inputs(20240612);
  std::vector<float> query_buffer;
  Bytes codes_buffer;
  testing_support::FnvDigest reference_bits;
  int mismatches = 0;
  for (int trial = 0; trial < 1500 && mismatches < 5; ++trial) {
    const std::size_t n = trial < 903 ? trial % 301 : inputs.below(301);
    const int mix = static_cast<int>(inputs.below(3));
    const auto query = inputs.floats(query_buffer, n, mix);
    const auto codes = inputs.bytes(codes_buffer, n);
    const float offset = inputs.component(mix);
    const float scale = std::abs(inputs.component(mix)) / 255;
    for (const DistanceMetric metric : kMetrics) {
      const float expected = asymmetric_distance_on_path(QuantizedPath::Reference, query, codes,
                                                         offset, scale, metric);
      reference_bits.add_bits(expected);
      for (const QuantizedPath path : available_quantized_paths()) {
        const float result = asymmetric_distance_on_path(path, query, codes, offset, scale, metric);
        if (!same_bits(expected, result)) {
          ++mismatches;
          ADD_FAILURE() << "path " << static_cast<int>(path) << ", metric "
                        << static_cast<int>(metric) << ", n " << n << ": reference " << expected
                        << ", got " << result;
        }
      }
    }
  }
  EXPECT_EQ(reference_bits.value(), 16675561025458955055ull);
}

// The batch gives every stored vector exactly its single distance, on every path, whatever the
// length (whole groups of eight components and remainders) and the number of stored vectors
// (whole groups of eight vectors and remainders), each vector with its own parameters from the
// same adversarial mixes. Each vector's codes fill an allocation of their own exactly, so that a
// sanitizer build catches a read past them.
TEST(SQ8DistanceTest, BatchesGiveEveryVectorItsSingleDistance) {
  RandomInputs inputs(20240613);
  std::vector<float> query_buffer;
  int mismatches = 0;
  for (int trial = 0; trial < 600 && mismatches < 5; ++trial) {
    const std::size_t n = trial < 300 ? trial : inputs.below(300);
    const std::size_t count = 1 + inputs.below(trial % 2 == 0 ? 8 : 40);
    const int mix = static_cast<int>(inputs.below(3));
    const auto query = inputs.floats(query_buffer, n, mix);
    std::vector<Bytes> codes(count);
    std::vector<SQ8Stored> stored;
    for (Bytes& c : codes) {
      c.resize(n);
      for (auto& b : c) b = static_cast<std::uint8_t>(inputs.below(256));
      const float offset = inputs.component(mix);
      stored.push_back({c.data(), offset, std::abs(inputs.component(mix)) / 255});
    }
    for (const DistanceMetric metric : kMetrics) {
      for (const QuantizedPath path : available_quantized_paths()) {
        std::vector<float> batch(count);
        asymmetric_distances_on_path(path, query, stored, metric, batch);
        for (std::size_t i = 0; i < count && mismatches < 5; ++i) {
          const float single = asymmetric_distance_on_path(
              QuantizedPath::Reference, query, codes[i], stored[i].offset, stored[i].scale, metric);
          if (!same_bits(single, batch[i])) {
            ++mismatches;
            ADD_FAILURE() << "path " << static_cast<int>(path) << ", metric "
                          << static_cast<int>(metric) << ", n " << n << ", vector " << i << " of "
                          << count << ": single " << single << ", batch " << batch[i];
          }
        }
      }
      std::vector<float> fastest(count);
      SQ8Quantizer::asymmetric_distances(query, stored, metric, fastest);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(
            same_bits(fastest[i], SQ8Quantizer::asymmetric_distance(
                                      query, codes[i], stored[i].offset, stored[i].scale, metric)));
      }
    }
  }
}

TEST(BinaryQuantizerTest, SetsOneBitPerPositiveComponentLeastSignificantFirst) {
  const BinaryQuantizer nine(9);
  EXPECT_EQ(nine.dimension(), 9u);
  EXPECT_EQ(nine.quantize({{0.5f, -1, 0, 2, 0, 0, 0, 0, 7}}), (Bytes{0b00001001, 0b00000001}));
  // Only values greater than 0 set their bit: not -0, not NaN; the smallest subnormal does.
  const float tiny = std::numeric_limits<float>::denorm_min();
  EXPECT_EQ(nine.quantize({{-0.0f, kNan, tiny, kInf, -kInf, 0, 0, 0, kNan}}),
            (Bytes{0b00001100, 0}));
  // A shorter vector leaves the rest 0.
  EXPECT_EQ(nine.quantize({{1, 1}}), (Bytes{0b00000011, 0}));
  for (const auto& [dimension, bytes] :
       {std::pair<std::uint64_t, std::uint64_t>{0, 0}, {1, 1}, {8, 1}, {9, 2}, {16, 2}, {17, 3}}) {
    EXPECT_EQ(BinaryQuantizer(dimension).bytes_per_vector(), bytes) << dimension;
  }
}

TEST(BinaryDistanceTest, FractionOfDifferingSigns) {
  const std::vector<float> v = {0.5f, -1, 3, 2, -0.25f, 4, -8, 1, 7};
  std::vector<float> negated;
  for (const float x : v) negated.push_back(-x);
  std::vector<float> three_flipped = v;
  for (const std::size_t i : {0, 4, 8}) three_flipped[i] = -v[i];
  const BinaryQuantizer quantizer(v.size());
  const Bytes code = quantizer.quantize(v);
  const struct {
    Bytes other;
    float expected;
  } cases[] = {
      {code, 0.0f},
      // All nine differ: divided by the dimension, not by the 16 bits of the code.
      {quantizer.quantize(negated), 1.0f},
      {quantizer.quantize(three_flipped), 3.0f / 9.0f},
  };
  for (const auto& c : cases) {
    for (const float result : binary_everywhere(code, c.other, v.size())) {
      EXPECT_TRUE(same_bits(c.expected, result)) << c.expected << " " << result;
    }
  }
}

TEST(BinaryDistanceTest, EveryPathMatchesTheReference) {
  RandomInputs inputs(99);
  Bytes query_buffer;
  Bytes codes_buffer;
  int mismatches = 0;
  for (int trial = 0; trial < 1000 && mismatches < 5; ++trial) {
    const std::size_t bytes = trial < 602 ? trial % 301 : inputs.below(301);
    // Every length once with enough codes for whole groups of 8 and 16 and a remainder, then
    // short scans.
    const std::size_t count = trial < 301 ? 16 + inputs.below(24) : inputs.below(20);
    const std::uint64_t dimension = bytes == 0 ? inputs.below(9) : 8 * bytes - inputs.below(8);
    const auto query = inputs.bytes(query_buffer, bytes);
    const auto codes = inputs.bytes(codes_buffer, bytes * count);
    std::vector<float> expected(count);
    binary_distances_on_path(QuantizedPath::Reference, query, codes, dimension, expected);
    for (std::size_t i = 0; i < count; ++i) {
      // The reference scan agrees with a count written out here.
      std::uint64_t differing = 0;
      for (std::size_t j = 0; j < bytes; ++j) {
        for (int bit = 0; bit < 8; ++bit)
          differing += ((query[j] ^ codes[i * bytes + j]) >> bit) & 1;
      }
      ASSERT_TRUE(
          same_bits(static_cast<float>(differing) / static_cast<float>(dimension), expected[i]));
    }
    for (const QuantizedPath path : available_quantized_paths()) {
      std::vector<float> scanned(count);
      binary_distances_on_path(path, query, codes, dimension, scanned);
      for (std::size_t i = 0; i < count; ++i) {
        const float single =
            binary_distance_on_path(path, query, codes.subspan(i * bytes), dimension);
        if (!same_bits(expected[i], scanned[i]) || !same_bits(expected[i], single)) {
          ++mismatches;
          ADD_FAILURE() << "path " << static_cast<int>(path) << ", " << bytes << " bytes, code "
                        << i << ": reference " << expected[i] << ", scan " << scanned[i]
                        << ", single " << single;
        }
      }
    }
  }
}

// Runs `call`, expecting an InternalFailure located in the quantization module.
template <class Call>
void expect_quantization_failure(Call call) {
  testing_support::expect_internal_failure_in("crates/vexradb-core/src/kernels/quantization", call);
}

TEST(QuantizationTest, CallerFaultsAreInternalFailures) {
  const std::vector<float> query = {1, 2, 3, 4, 5};
  const Bytes codes = {1, 2, 3, 4, 5, 6};
  const auto shorter = std::span(codes).first(4);
  for (const QuantizedPath path : available_quantized_paths()) {
    for (const DistanceMetric metric : kMetrics) {
      expect_quantization_failure(
          [&] { asymmetric_distance_on_path(path, query, shorter, 0, 1, metric); });
    }
    expect_quantization_failure([&] {
      asymmetric_distance_on_path(path, query, codes, 0, 1, static_cast<DistanceMetric>(3));
    });
    expect_quantization_failure([&] { binary_distance_on_path(path, codes, shorter, 48); });
    std::vector<float> out(2, -7.0f);
    const SQ8Stored stored[] = {{codes.data(), 0, 1}};
    for (const DistanceMetric metric : kMetrics) {
      expect_quantization_failure(
          [&] { asymmetric_distances_on_path(path, query, stored, metric, out); });
    }
    expect_quantization_failure([&] { binary_distances_on_path(path, shorter, codes, 32, out); });
    EXPECT_EQ(out, std::vector<float>(2, -7.0f)) << "nothing is written";
  }
  expect_quantization_failure([] { BinaryQuantizer(9).quantize(std::vector<float>(17, 1.0f)); });
}

}  // namespace
}  // namespace vexradb
