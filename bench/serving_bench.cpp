// Serving figures of one durable client (the object behind an exported handle), on random normal
// 128-d vectors (Euclidean), in one run:
// - search throughput of 2 threads on one handle against 1 thread;
// - search latency while a checkpoint runs, for a checkpoint that stores the graph as it is, one
//   that repairs it (a few deletions) and one that relinks it (many), next to the checkpoint's
//   own length and the process's peak resident memory during it against its resident memory
//   before it;
// - upsert latency while 2 threads search without pause.
//
// The data directory lives under the system's temporary directory and is removed at the end.
//
// Usage: vexradb_serving_bench [--quick]   (--quick: 20,000 vectors instead of 100,000)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "client_bench_support.hpp"
#include "temp_dir.hpp"

namespace vexradb::bench {
namespace {

using ffi::VexraClient;

constexpr std::uint32_t kDimensions = 128;
constexpr std::size_t kFullCount = 100'000;
constexpr std::size_t kQuickCount = 20'000;
constexpr std::size_t kQueries = 1000;
constexpr std::uint32_t kK = 10;
constexpr std::size_t kBatch = 10'000;
constexpr std::size_t kUpserts = 2000;
constexpr std::uint32_t kSeed = 20240601;

std::vector<std::vector<float>> random_vectors(std::size_t count, std::mt19937& rng) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> vectors(count, std::vector<float>(kDimensions));
  for (auto& vector : vectors) {
    for (float& x : vector) x = normal(rng);
  }
  return vectors;
}

// A size in kB that /proc/self/status gives, such as "VmRSS" (resident now) or "VmHWM" (the peak
// since the process started or since reset_peak_resident()).
std::uint64_t status_kib(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string name;
  std::uint64_t kib = 0;
  while (status >> name) {
    if (name.size() == field.size() + 1 && name.starts_with(field) && name.ends_with(':')) {
      status >> kib;
      return kib;
    }
    status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  throw std::runtime_error("no " + std::string(field) + " in /proc/self/status");
}

// Starts VmHWM again from the memory resident now.
void reset_peak_resident() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
  clear_refs.close();
  if (!clear_refs) throw std::runtime_error("cannot reset the peak resident size");
}

// Milliseconds at the given quantile (0 to 1) of `latencies` (seconds).
double quantile_ms(std::vector<double> latencies, double q) {
  if (latencies.empty()) return 0.0;
  const std::size_t at = std::min(
      latencies.size() - 1, static_cast<std::size_t>(q * static_cast<double>(latencies.size())));
  std::nth_element(latencies.begin(), latencies.begin() + static_cast<std::ptrdiff_t>(at),
                   latencies.end());
  return 1000.0 * latencies[at];
}

void print_latencies(const char* what, const std::vector<double>& latencies) {
  std::printf("%-44s %7zu calls  p50 %7.3f ms  p99 %8.3f ms  max %8.3f ms\n", what,
              latencies.size(), quantile_ms(latencies, 0.5), quantile_ms(latencies, 0.99),
              quantile_ms(latencies, 1.0));
}

// Searches per second of `threads` threads sharing the client for about `seconds`.
double search_throughput(const VexraClient& client, const std::vector<std::vector<float>>& queries,
                         int threads, double seconds) {
  std::atomic<bool> stop = false;
  std::atomic<std::uint64_t> searches = 0;
  std::vector<std::thread> workers;
  const auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::uint64_t done = 0;
      for (std::size_t i = static_cast<std::size_t>(t) * 7; !stop.load(); ++i, ++done) {
        require(client.search(queries[i % queries.size()], kK, nullptr), "search");
      }
      searches += done;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& worker : workers) worker.join();
  return static_cast<double>(searches.load()) / seconds_since(start);
}

// Searches from `threads` threads without pause while `body` runs; gives the latencies (seconds)
// of the searches that started while it ran.
template <class Body>
std::vector<double> search_latencies_during(const VexraClient& client,
                                            const std::vector<std::vector<float>>& queries,
                                            int threads, Body body) {
  std::atomic<bool> running = false;
  std::atomic<bool> stop = false;
  std::mutex merge;
  std::vector<double> latencies;
  std::vector<std::thread> searchers;
  for (int t = 0; t < threads; ++t) {
    searchers.emplace_back([&, t] {
      std::vector<double> mine;
      for (std::size_t i = static_cast<std::size_t>(t) * 13; !stop.load(); ++i) {
        const bool counted = running.load();
        const auto start = Clock::now();
        require(client.search(queries[i % queries.size()], kK, nullptr), "search");
        if (counted) mine.push_back(seconds_since(start));
      }
      std::lock_guard lock(merge);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  running = true;
  body();
  running = false;
  stop = true;
  for (auto& searcher : searchers) searcher.join();
  return latencies;
}

int run(std::size_t count, bool quick) {
  std::printf("vexradb serving benchmark%s: %zu vectors of %u dimensions, Euclidean, durable\n",
              quick ? " (quick)" : "", count, kDimensions);
  std::printf("load average before: %s\n", load_average().c_str());
  std::mt19937 rng(kSeed);
  testing::TempDir dir;
  ffi::ClientConfig config;
  config.dimensions = kDimensions;
  config.distance_metric = DistanceMetric::Euclidean;
  config.persistent = true;
  VexraClient client = require(VexraClient::open((dir.path() / "db").string(), config), "open");
  const auto build_start = Clock::now();
  // Drawn batch by batch, so that the process holds little besides the database when its
  // memory is measured.
  for (std::size_t first = 0; first < count; first += kBatch) {
    const std::size_t size = std::min(kBatch, count - first);
    std::vector<std::vector<float>> vectors = random_vectors(size, rng);
    std::vector<ffi::VectorEntry> batch;
    for (std::size_t i = 0; i < size; ++i)
      batch.push_back({id_of(first + i), std::move(vectors[i]), std::nullopt});
    require(client.upsert_batch(std::move(batch)), "upsert_batch");
  }
  std::printf("batch upserts (2 worker threads): %.1f s\n", seconds_since(build_start));
  const std::vector<std::vector<float>> queries = random_vectors(kQueries, rng);

  const double one = search_throughput(client, queries, 1, 3.0);
  const double two = search_throughput(client, queries, 2, 3.0);
  std::printf("search throughput, k=%u: 1 thread %.0f/s, 2 threads on one handle %.0f/s (%.2fx)\n",
              kK, one, two, two / one);

  // Deletions in a random order over the whole set, up to each checkpoint's share.
  std::vector<std::size_t> deletion_order(count);
  std::iota(deletion_order.begin(), deletion_order.end(), std::size_t{0});
  std::shuffle(deletion_order.begin(), deletion_order.end(), rng);
  std::size_t deleted = 0;
  const struct {
    const char* name;
    double deleted_share;  // of all vectors, deleted before the checkpoint
  } checkpoints[] = {{"stored as it is", 0.0},
                     {"repairing (5% deleted)", 0.05},
                     {"relinking (30% deleted)", 0.30}};
  for (const auto& c : checkpoints) {
    while (static_cast<double>(deleted) < c.deleted_share * static_cast<double>(count))
      require(client.remove(id_of(deletion_order[deleted++])), "remove");
    double checkpoint_seconds = 0;
    reset_peak_resident();
    const double resident_mb = static_cast<double>(status_kib("VmRSS")) / 1024.0;
    const std::vector<double> latencies = search_latencies_during(client, queries, 1, [&] {
      const auto start = Clock::now();
      require(client.checkpoint(), "checkpoint");
      checkpoint_seconds = seconds_since(start);
    });
    char what[96];
    std::snprintf(what, sizeof what, "search during checkpoint, %s (%.2f s)", c.name,
                  checkpoint_seconds);
    print_latencies(what, latencies);
    const double peak_mb = static_cast<double>(status_kib("VmHWM")) / 1024.0;
    std::printf("  resident before it %.0f MB, peak during it %.0f MB (%.2fx)\n", resident_mb,
                peak_mb, peak_mb / resident_mb);
  }

  std::vector<double> upserts;
  const std::vector<std::vector<float>> fresh = random_vectors(kUpserts, rng);
  search_latencies_during(client, queries, 2, [&] {
    for (std::size_t i = 0; i < kUpserts; ++i) {
      const auto start = Clock::now();
      require(client.upsert(id_of(i * 11 % count), fresh[i], std::nullopt), "upsert");
      upserts.push_back(seconds_since(start));
    }
  });
  print_latencies("upsert while 2 threads search", upserts);
  std::printf("load average after: %s\n", load_average().c_str());
  return 0;
}

}  // namespace
}  // namespace vexradb::bench

int main(int argc, char** argv) {
  using namespace vexradb::bench;
  return benchmark_main(argc, argv,
                        [](bool quick) { return run(quick ? kQuickCount : kFullCount, quick); });
}
