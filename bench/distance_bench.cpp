// Time per distance of every kernel path, one pair at a time and batched, next to a naive scalar
// loop and hnswlib's L2 kernel. One query is scored against a pool of stored vectors, as when a
// graph search scores a node's neighbours. Two pool sizes: "24KiB" (at least 8 stored vectors)
// stays in the first-level data cache of current processors up to d = 768; "128KiB" (at least 32)
// does not, and is read from the second-level cache.
//
// Build with -DVEXRA_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release and run vexradb_distance_bench;
// the "time/distance" column is the figure to compare.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hnswlib_l2.hpp"
#include "kernels/distance.hpp"

namespace vexradb::bench {
namespace {

constexpr std::size_t kDimensions[] = {128, 768, 1536};
constexpr DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                       DistanceMetric::DotProduct};

const char* metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Cosine:
      return "cosine";
    case DistanceMetric::Euclidean:
      return "euclidean";
    case DistanceMetric::DotProduct:
      return "dot";
  }
  return "?";
}

const char* path_name(DistancePath path) {
  switch (path) {
    case DistancePath::Reference:
      return "reference";
    case DistancePath::Simd128:
      return "simd128";
    case DistancePath::Avx2:
      return "avx2";
    case DistancePath::Avx512:
      return "avx512";
  }
  return "?";
}

// One query and `bytes` of stored vectors, at least `at_least` of them.
class Pool {
 public:
  Pool(std::string name, std::size_t dimension, std::size_t bytes, std::size_t at_least)
      : name_(std::move(name)),
        dimension_(dimension),
        query_(dimension),
        data_(std::max(at_least, bytes / (sizeof(float) * dimension)) * dimension) {
    std::mt19937 rng(42);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (float& v : query_) v = normal(rng);
    for (float& v : data_) v = normal(rng);
    for (std::size_t i = 0; i < data_.size(); i += dimension) {
      stored_.push_back(std::span<const float>(data_).subspan(i, dimension));
    }
  }

  // "d<dimension>/<pool size>"
  std::string label() const {
    std::string label = "d";
    label += std::to_string(dimension_);
    label += '/';
    label += name_;
    return label;
  }
  std::size_t dimension() const { return dimension_; }
  std::span<const float> query() const { return query_; }
  const std::vector<std::span<const float>>& stored() const { return stored_; }

 private:
  std::string name_;
  std::size_t dimension_;
  std::vector<float> query_;
  std::vector<float> data_;
  std::vector<std::span<const float>> stored_;
};

// Reports the time of one distance: `per_iteration` distances are computed per iteration.
void count_distances(benchmark::State& state, std::size_t per_iteration) {
  state.counters["time/distance"] = benchmark::Counter(
      static_cast<double>(per_iteration),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void single(benchmark::State& state, DistancePath path, DistanceMetric metric, const Pool& pool) {
  for (auto _ : state) {
    for (const auto& b : pool.stored()) {
      benchmark::DoNotOptimize(distance_on_path(path, metric, pool.query(), b));
    }
  }
  count_distances(state, pool.stored().size());
}

void batch(benchmark::State& state, DistancePath path, DistanceMetric metric, const Pool& pool) {
  std::vector<float> out(pool.stored().size());
  for (auto _ : state) {
    distance_batch_on_path(path, metric, pool.query(), pool.stored(), out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  count_distances(state, pool.stored().size());
}

// The textbook loop: one running sum from left to right.
float naive_distance(DistanceMetric metric, std::span<const float> a, const float* b) {
  float dot = 0.0f;
  float norm_a = 0.0f;
  float norm_b = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (metric == DistanceMetric::Euclidean) {
      const float d = a[i] - b[i];
      dot += d * d;
    } else {
      dot += a[i] * b[i];
    }
    if (metric == DistanceMetric::Cosine) {
      norm_a += a[i] * a[i];
      norm_b += b[i] * b[i];
    }
  }
  switch (metric) {
    case DistanceMetric::Euclidean:
      return std::sqrt(dot);
    case DistanceMetric::DotProduct:
      return 1.0f - dot;
    case DistanceMetric::Cosine:
      return norm_a * norm_b == 0.0f ? 1.0f : 1.0f - dot / std::sqrt(norm_a * norm_b);
  }
  return 0.0f;
}

void naive(benchmark::State& state, DistanceMetric metric, const Pool& pool) {
  for (auto _ : state) {
    for (const auto& b : pool.stored()) {
      benchmark::DoNotOptimize(naive_distance(metric, pool.query(), b.data()));
    }
  }
  count_distances(state, pool.stored().size());
}

// hnswlib's kernel returns the squared distance; the square root is left out on purpose.
void hnswlib_l2(benchmark::State& state, const Pool& pool) {
  const HnswlibDistance kernel = hnswlib_l2_kernel(pool.dimension());
  const std::size_t dimension = pool.dimension();
  for (auto _ : state) {
    for (const auto& b : pool.stored()) {
      benchmark::DoNotOptimize(kernel(pool.query().data(), b.data(), &dimension));
    }
  }
  count_distances(state, pool.stored().size());
}

void register_all(const std::vector<Pool>& pools) {
  std::vector<DistancePath> paths;
  for (const DistancePath path :
       {DistancePath::Reference, DistancePath::Simd128, DistancePath::Avx2, DistancePath::Avx512}) {
    if (distance_path_available(path)) paths.push_back(path);
  }
  for (const Pool& pool : pools) {
    const std::string dim = "/" + pool.label();
    for (const DistanceMetric metric : kMetrics) {
      const std::string suffix = std::string("/") + metric_name(metric) + dim;
      benchmark::RegisterBenchmark(("naive" + suffix).c_str(), naive, metric, std::cref(pool));
      for (const DistancePath path : paths) {
        // A single pair runs the 128-bit kernel on every vector path.
        if (path <= DistancePath::Simd128) {
          benchmark::RegisterBenchmark(("single/" + std::string(path_name(path)) + suffix).c_str(),
                                       single, path, metric, std::cref(pool));
        }
        benchmark::RegisterBenchmark(("batch/" + std::string(path_name(path)) + suffix).c_str(),
                                     batch, path, metric, std::cref(pool));
      }
    }
    benchmark::RegisterBenchmark(("hnswlib/euclidean_squared" + dim).c_str(), hnswlib_l2,
                                 std::cref(pool));
  }
}

}  // namespace
}  // namespace vexradb::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<vexradb::bench::Pool> pools;
  for (const std::size_t dimension : vexradb::bench::kDimensions) {
    pools.emplace_back("24KiB", dimension, 24 * 1024, 8);
    pools.emplace_back("128KiB", dimension, 128 * 1024, 32);
  }
  vexradb::bench::register_all(pools);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
