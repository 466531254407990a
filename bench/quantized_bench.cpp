// Figures of the quantized engines next to the full-precision one, printed as a table:
// build time, resident memory per vector, the engines' own memory estimate, single-thread
// queries per second and recall@10 against an exact scan; then the binary scan's throughput in
// GB of codes per second on each kernel path against the machine's memory read bandwidth.
//
// Each engine is built in a child process, so that the growth of its resident set is the
// engine's alone; the child sends its figures back through a pipe.
//
// Usage: vexradb_quantized_bench [--quick]   (--quick: 20,000 vectors instead of 100,000)

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/config.hpp"
#include "base/types.hpp"
#include "bench_support.hpp"
#include "engine/engine.hpp"
#include "kernels/distance.hpp"
#include "kernels/quantization.hpp"

namespace {

using vexradb::bench::Clock;
using vexradb::bench::seconds_since;

using vexradb::BatchEntry;
using vexradb::Config;
using vexradb::DistanceMetric;
using vexradb::Quantization;
using vexradb::QuantizedPath;

constexpr std::size_t kDimensions = 128;
constexpr std::size_t kClusters = 100;
constexpr std::size_t kQueries = 1000;
constexpr std::size_t kK = 10;
constexpr std::uint32_t kSeed = 20240611;
// Code set of the out-of-cache scan: 8,000,000 codes of 16 bytes, 128 MB.
constexpr std::size_t kLargeCodeCount = 8'000'000;
// Buffer of the memory bandwidth reference, far larger than any cache.
constexpr std::size_t kBandwidthBytes = std::size_t{1} << 30;
constexpr int kBandwidthPasses = 3;
// Passes of each scan; the best one counts.
constexpr int kScanPasses = 5;
constexpr int kSmallScanRepeats = 50;  // whole scans per timed pass over the cached code set

// Row-major vectors of kDimensions floats.
struct Matrix {
  std::size_t rows = 0;
  std::vector<float> values;
  std::span<const float> row(std::size_t i) const {
    return std::span<const float>(values).subspan(i * kDimensions, kDimensions);
  }
};

// Points around kClusters Gaussian centres; the data set and the queries are drawn from the same
// mixture, so the queries are held out.
struct Dataset {
  Matrix base;
  Matrix queries;
};

Dataset make_dataset(std::size_t count) {
  std::mt19937_64 rng(kSeed);
  std::normal_distribution<float> centre_component(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.6f);
  std::uniform_int_distribution<std::size_t> pick_cluster(0, kClusters - 1);
  std::vector<float> centres(kClusters * kDimensions);
  for (float& c : centres) c = centre_component(rng);
  auto draw = [&](std::size_t rows) {
    Matrix m{rows, std::vector<float>(rows * kDimensions)};
    for (std::size_t i = 0; i < rows; ++i) {
      const float* centre = &centres[pick_cluster(rng) * kDimensions];
      for (std::size_t j = 0; j < kDimensions; ++j) {
        m.values[i * kDimensions + j] = centre[j] + noise(rng);
      }
    }
    return m;
  };
  Dataset data;
  data.base = draw(count);
  data.queries = draw(kQueries);
  return data;
}

// The exact kK nearest base rows of every query under cosine, by a full scan.
std::vector<std::vector<std::size_t>> exact_neighbours(const Dataset& data) {
  std::vector<std::vector<std::size_t>> truth(data.queries.rows);
  std::vector<std::pair<float, std::size_t>> scored(data.base.rows);
  for (std::size_t q = 0; q < data.queries.rows; ++q) {
    for (std::size_t i = 0; i < data.base.rows; ++i) {
      scored[i] = {vexradb::distance(DistanceMetric::Cosine, data.queries.row(q), data.base.row(i)),
                   i};
    }
    std::partial_sort(scored.begin(), scored.begin() + kK, scored.end());
    for (std::size_t r = 0; r < kK; ++r) truth[q].push_back(scored[r].second);
  }
  return truth;
}

// Resident set size of this process, from /proc/self/statm.
std::uint64_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long long size = 0, resident = 0;
  const int read = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  if (read != 2) return 0;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

enum class EngineKind { kFull, kSQ8, kBinary };

const char* engine_name(EngineKind kind) {
  switch (kind) {
    case EngineKind::kFull:
      return "full precision";
    case EngineKind::kSQ8:
      return "SQ8 + graph";
    case EngineKind::kBinary:
      return "binary scan";
  }
  return "?";
}

// What a child measures; sent through the pipe as raw bytes.
struct EngineFigures {
  bool ok = false;
  double build_seconds = 0;
  double resident_per_vector = 0;
  double estimate_per_vector = 0;
  double queries_per_second = 0;
  double recall = 0;
};

std::vector<BatchEntry> batch_of(const Matrix& base) {
  std::vector<BatchEntry> entries;
  entries.reserve(base.rows);
  for (std::size_t i = 0; i < base.rows; ++i) {
    const auto row = base.row(i);
    entries.push_back(
        BatchEntry{vexradb::VectorId(std::to_string(i)), {row.begin(), row.end()}, std::nullopt});
  }
  return entries;
}

// Single-thread k = kK searches of every query: queries per second and mean recall@kK.
template <class Engine>
void measure_search(const Engine& engine, const Dataset& data,
                    const std::vector<std::vector<std::size_t>>& truth, EngineFigures& figures) {
  std::size_t found = 0;
  const auto start = Clock::now();
  for (std::size_t q = 0; q < data.queries.rows; ++q) {
    auto hits = engine.search(data.queries.row(q), kK, nullptr);
    if (!hits) return;
    for (const auto& hit : *hits) {
      const std::size_t id = std::stoul(hit.id.str());
      found += std::count(truth[q].begin(), truth[q].end(), id);
    }
  }
  const double elapsed = seconds_since(start);
  figures.queries_per_second = static_cast<double>(data.queries.rows) / elapsed;
  figures.recall = static_cast<double>(found) / static_cast<double>(data.queries.rows * kK);
  figures.ok = true;
}

Config engine_config(Quantization quantization) {
  Config config;
  config.dimensions = kDimensions;
  config.distance_metric = DistanceMetric::Cosine;
  config.quantization = quantization;
  return config;
}

// Builds one engine with a single batch and measures it. Runs in the child process.
EngineFigures build_and_measure(EngineKind kind, const Dataset& data,
                                const std::vector<std::vector<std::size_t>>& truth) {
  EngineFigures figures;
  const double count = static_cast<double>(data.base.rows);
  const std::uint64_t before = resident_bytes();
  auto finish = [&](const auto& engine, double build_seconds, std::uint64_t estimate) {
    // The batch's own copies are gone by now; hand their pages back so that only the engine
    // remains in the resident set.
    malloc_trim(0);
    figures.build_seconds = build_seconds;
    figures.resident_per_vector = static_cast<double>(resident_bytes() - before) / count;
    figures.estimate_per_vector = static_cast<double>(estimate) / count;
    measure_search(engine, data, truth, figures);
  };
  if (kind == EngineKind::kFull) {
    vexradb::VectorDb engine(engine_config(Quantization::None));
    auto entries = batch_of(data.base);
    const auto start = Clock::now();
    if (!engine.upsert_batch(std::move(entries))) return figures;
    const double build_seconds = seconds_since(start);
    // The estimate the client's statistics report for this engine.
    const std::uint64_t estimate = engine.index().memory_usage() + 132 * engine.len() +
                                   sizeof(float) * engine.storage().float_count();
    finish(engine, build_seconds, estimate);
  } else {
    const bool sq8 = kind == EngineKind::kSQ8;
    vexradb::QuantizedVectorDb engine(engine_config(sq8 ? Quantization::SQ8 : Quantization::Binary),
                                      /*with_index=*/sq8, vexradb::Originals::None);
    auto entries = batch_of(data.base);
    const auto start = Clock::now();
    if (!engine.upsert_batch(std::move(entries))) return figures;
    const double build_seconds = seconds_since(start);
    const std::uint64_t estimate = engine.storage().memory_usage() +
                                   (engine.index() != nullptr ? engine.index()->memory_usage() : 0);
    finish(engine, build_seconds, estimate);
  }
  return figures;
}

// Runs build_and_measure in a child so that the parent's allocations and earlier engines do not
// blur the resident-set growth.
EngineFigures measure_in_child(EngineKind kind, const Dataset& data,
                               const std::vector<std::vector<std::size_t>>& truth) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    close(fds[0]);
    const EngineFigures figures = build_and_measure(kind, data, truth);
    const bool sent = write(fds[1], &figures, sizeof figures) == sizeof figures;
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  EngineFigures figures;
  std::size_t received = 0;
  while (received < sizeof figures) {
    const ssize_t n =
        read(fds[0], reinterpret_cast<char*>(&figures) + received, sizeof figures - received);
    if (n <= 0) break;
    received += static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (received != sizeof figures || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return figures;
}

// Best single-thread read bandwidth in GB/s over a buffer far larger than the caches.
double memory_read_bandwidth() {
  const std::size_t words = kBandwidthBytes / sizeof(std::uint64_t);
  std::vector<std::uint64_t> buffer(words);
  for (std::size_t i = 0; i < words; ++i) buffer[i] = i;
  double best = 0;
  std::uint64_t sink = 0;
  for (int pass = 0; pass < kBandwidthPasses; ++pass) {
    const auto start = Clock::now();
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < words; ++i) sum += buffer[i];
    const double elapsed = seconds_since(start);
    sink += sum;
    best = std::max(best, static_cast<double>(kBandwidthBytes) / elapsed / 1e9);
  }
  // Printing the sums keeps the reads from being optimised away.
  if (sink == 1) std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
  return best;
}

// Best throughput in GB of codes per second of binary_distances on `path` over every code of
// `codes`, each scan repeated `repeats` times per timed pass.
double binary_scan_throughput(QuantizedPath path, std::span<const std::uint8_t> query_code,
                              std::span<const std::uint8_t> codes, int repeats) {
  const std::size_t count = codes.size() / query_code.size();
  std::vector<float> out(count);
  double best = 0;
  for (int pass = 0; pass < kScanPasses; ++pass) {
    const auto start = Clock::now();
    for (int r = 0; r < repeats; ++r) {
      vexradb::binary_distances_on_path(path, query_code, codes, kDimensions, out);
    }
    const double elapsed = seconds_since(start);
    best = std::max(best, static_cast<double>(codes.size()) * repeats / elapsed / 1e9);
  }
  return best;
}

const char* path_name(QuantizedPath path) {
  switch (path) {
    case QuantizedPath::Reference:
      return "reference";
    case QuantizedPath::Native:
      return "native";
    case QuantizedPath::Avx2:
      return "avx2";
    case QuantizedPath::Avx512:
      return "avx512";
  }
  return "?";
}

void print_engines(const Dataset& data, const std::vector<std::vector<std::size_t>>& truth) {
  std::printf("\n%-16s %10s %14s %14s %12s %10s\n", "engine", "build s", "resident B/vec",
              "estimate B/vec", "queries/s", "recall@10");
  double full_resident = 0;
  double sq8_resident = 0;
  for (EngineKind kind : {EngineKind::kFull, EngineKind::kSQ8, EngineKind::kBinary}) {
    const EngineFigures f = measure_in_child(kind, data, truth);
    if (!f.ok) {
      std::printf("%-16s failed\n", engine_name(kind));
      continue;
    }
    std::printf("%-16s %10.2f %14.1f %14.1f %12.0f %10.3f\n", engine_name(kind), f.build_seconds,
                f.resident_per_vector, f.estimate_per_vector, f.queries_per_second, f.recall);
    if (kind == EngineKind::kFull) full_resident = f.resident_per_vector;
    if (kind == EngineKind::kSQ8) sq8_resident = f.resident_per_vector;
  }
  if (full_resident > 0 && sq8_resident > 0) {
    std::printf("SQ8 resident / full-precision resident: %.1f%% (target: at most 40%%)\n",
                100.0 * sq8_resident / full_resident);
  }
}

void print_binary_scan(const Dataset& data) {
  const vexradb::BinaryQuantizer quantizer(kDimensions);
  const std::size_t code_bytes = quantizer.bytes_per_vector();
  std::vector<std::uint8_t> data_codes;
  data_codes.reserve(data.base.rows * code_bytes);
  for (std::size_t i = 0; i < data.base.rows; ++i) {
    const auto code = quantizer.quantize(data.base.row(i));
    data_codes.insert(data_codes.end(), code.begin(), code.end());
  }
  std::vector<std::uint8_t> large_codes(kLargeCodeCount * code_bytes);
  std::mt19937_64 rng(kSeed + 1);
  for (std::size_t i = 0; i < large_codes.size(); i += sizeof(std::uint64_t)) {
    const std::uint64_t word = rng();
    std::memcpy(&large_codes[i], &word, sizeof word);
  }
  const auto query_code = quantizer.quantize(data.queries.row(0));

  const double bandwidth = memory_read_bandwidth();
  std::printf("\nmemory read bandwidth (1 GiB, one thread, best of %d): %.2f GB/s\n",
              kBandwidthPasses, bandwidth);
  std::printf("binary scan, one core, GB of codes per second (fastest path: %s)\n",
              path_name(vexradb::fastest_quantized_path()));
  std::printf("  cached: the data set's codes (%.1f MB); uncached: %zu random codes (%.0f MB)\n",
              static_cast<double>(data_codes.size()) / 1e6, kLargeCodeCount,
              static_cast<double>(large_codes.size()) / 1e6);
  std::printf("%-10s %12s %8s %12s %8s\n", "path", "cached", "/ bw", "uncached", "/ bw");
  for (QuantizedPath path : {QuantizedPath::Reference, QuantizedPath::Native, QuantizedPath::Avx2,
                             QuantizedPath::Avx512}) {
    if (!vexradb::quantized_path_available(path)) {
      std::printf("%-10s %12s\n", path_name(path), "unavailable");
      continue;
    }
    const double small = binary_scan_throughput(path, query_code, data_codes, kSmallScanRepeats);
    const double large = binary_scan_throughput(path, query_code, large_codes, 1);
    std::printf("%-10s %12.2f %8.2f %12.2f %8.2f\n", path_name(path), small, small / bandwidth,
                large, large / bandwidth);
  }
  std::printf("target: binary scan at least 0.5 of the memory read bandwidth\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<bool> quick = vexradb::bench::quick_mode(argc, argv);
  if (!quick) return 2;
  const std::size_t count = *quick ? 20'000 : 100'000;
  std::printf("%zu vectors x %zu dimensions, %zu Gaussian clusters, cosine; %zu held-out queries\n",
              count, kDimensions, kClusters, kQueries);
  const Dataset data = make_dataset(count);
  auto start = Clock::now();
  const auto truth = exact_neighbours(data);
  std::printf("exact ground truth: %.1f s\n", seconds_since(start));
  print_engines(data, truth);
  print_binary_scan(data);
  return 0;
}
