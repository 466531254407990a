// Durable clients at full precision and quantized, in one run, on clustered Euclidean sets of
// 1,000,000 x 128 and 200,000 x 768 (--quick: 50,000 x 128 and 20,000 x 768):
// - full precision; SQ8 with rescoring (and the same directory reopened without); binary with
//   rescoring (binary codes alone rank too coarsely to be worth a row);
// - batch load: upsert_batch in chunks of 10,000 into a fresh directory (automatic checkpoints
//   included), then a checkpoint;
// - reopen: opening the loaded directory (snapshot read, codes computed, graph installed);
// - anonymous resident memory after the reopen (RssAnon, less what the process held before it);
//   the snapshot's pages the quantized clients read stay in the page cache and are not mapped,
//   so they count nowhere in the process;
// - checkpoint peak: the highest resident memory while checkpointing after 1,000 more insertions,
//   over the resident memory before it; then the same after deleting 1% of the vectors, when
//   the checkpoint compacts;
// - single-thread searches, k = 10, with a warm page cache: queries per second and recall@10
//   against brute force.
// Each engine runs in a child process of its own, so that what one leaves in the allocator does
// not count for the next; the data set is generated once, before the children start, and each
// child frees its copy before it reopens.
//
// Usage: vexradb_durable_quantized_bench [--quick]

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "durable/persistent.hpp"
#include "engine/engine.hpp"
#include "kernels/distance.hpp"
#include "temp_dir.hpp"

namespace vexradb::bench {
namespace {

constexpr std::size_t kQueries = 200;
constexpr std::size_t kK = 10;
constexpr std::size_t kLoadChunk = 10'000;
constexpr std::size_t kClusters = 100;

struct DataSet {
  std::size_t dimensions;
  std::size_t count;
  std::vector<float> base;  // count x dimensions, one allocation the children can free
  std::vector<float> queries;
  std::vector<std::vector<std::uint32_t>> truth;

  std::span<const float> row(std::size_t i) const {
    return std::span(base).subspan(i * dimensions, dimensions);
  }
  std::span<const float> query(std::size_t i) const {
    return std::span(queries).subspan(i * dimensions, dimensions);
  }
};

// Points around standard normal centres with Gaussian noise, the clusters taken in turn.
std::vector<float> clustered(std::size_t count, std::size_t dimensions, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0, 1);
  std::vector<float> centres(kClusters * dimensions);
  for (float& x : centres) x = normal(rng);
  std::normal_distribution<float> noise(0, 0.35f);
  std::vector<float> points(count * dimensions);
  for (std::size_t i = 0; i < count; ++i) {
    const float* centre = &centres[(i % kClusters) * dimensions];
    for (std::size_t j = 0; j < dimensions; ++j)
      points[i * dimensions + j] = centre[j] + noise(rng);
  }
  return points;
}

// The exact kK nearest rows of every query, on two threads.
void compute_truth(DataSet& data) {
  data.truth.resize(kQueries);
  auto scan = [&](std::size_t first, std::size_t step) {
    for (std::size_t q = first; q < kQueries; q += step) {
      std::vector<std::pair<float, std::uint32_t>> scored(data.count);
      for (std::size_t i = 0; i < data.count; ++i)
        scored[i] = {distance(DistanceMetric::Euclidean, data.query(q), data.row(i)),
                     static_cast<std::uint32_t>(i)};
      std::partial_sort(scored.begin(), scored.begin() + kK, scored.end());
      for (std::size_t i = 0; i < kK; ++i) data.truth[q].push_back(scored[i].second);
    }
  };
  std::thread other(scan, 1, 2);
  scan(0, 2);
  other.join();
}

DataSet make_data(std::size_t count, std::size_t dimensions) {
  // The queries come from the same clusters (the first seed's centres), with other noise.
  DataSet data{dimensions, count, clustered(count, dimensions, 7), {}, {}};
  std::vector<float> more = clustered(count + kQueries, dimensions, 7);
  data.queries.assign(more.end() - static_cast<std::ptrdiff_t>(kQueries * dimensions), more.end());
  compute_truth(data);
  return data;
}

// A field of /proc/self/status in bytes.
std::uint64_t status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string name;
  std::uint64_t kilobytes = 0;
  while (status >> name) {
    if (name == field + ":") {
      status >> kilobytes;
      return kilobytes * 1024;
    }
    status.ignore(1 << 10, '\n');
  }
  throw std::runtime_error("no " + field + " in /proc/self/status");
}

// The peak resident size starts again from the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Engine {
  const char* name;
  Quantization codes;
  bool rescore;
};

PersistentConfig config_of(const DataSet& data, const Engine& engine) {
  PersistentConfig config;
  config.engine.dimensions = data.dimensions;
  config.engine.distance_metric = DistanceMetric::Euclidean;
  config.engine.quantization = engine.codes;
  config.engine.rescore = engine.rescore;
  config.engine.oversampling = default_oversampling(engine.codes);
  return config;
}

std::string describe(const Error& error) {
  if (const auto* io = error.get_if<errors::Io>()) return io->description;
  return "error of kind " + std::to_string(static_cast<int>(error.kind()));
}

template <class Db>
std::unique_ptr<Db> open_db(const std::filesystem::path& dir, const PersistentConfig& config) {
  Result<std::unique_ptr<Db>> db = Db::open(dir, config);
  if (!db) throw std::runtime_error("open failed: " + describe(db.error()));
  return std::move(*db);
}

void check(const Status& status, const char* what) {
  if (!status) throw std::runtime_error(std::string(what) + " failed: " + describe(status.error()));
}

template <class Db>
void load(Db& db, const DataSet& data) {
  for (std::size_t start = 0; start < data.count; start += kLoadChunk) {
    std::vector<BatchEntry> batch;
    for (std::size_t i = start; i < std::min(data.count, start + kLoadChunk); ++i) {
      const std::span<const float> row = data.row(i);
      batch.push_back({VectorId(std::to_string(i)), {row.begin(), row.end()}, std::nullopt});
    }
    check(db.upsert_batch(std::move(batch)), "batch upsert");
  }
  check(db.checkpoint(), "checkpoint");
}

struct Searches {
  double queries_per_second;
  double recall;
};

template <class Db>
Searches search_all(const Db& db, const DataSet& data) {
  // One pass to warm the page cache and the allocator, one timed.
  std::size_t found = 0;
  for (int pass = 0; pass < 2; ++pass) {
    found = 0;
    const Clock::time_point start = Clock::now();
    for (std::size_t q = 0; q < kQueries; ++q) {
      Result<std::vector<SearchHit>> hits = db.search(data.query(q), kK, nullptr);
      if (!hits) throw std::runtime_error("search failed: " + describe(hits.error()));
      for (const SearchHit& hit : *hits) {
        // The vectors of the checkpoint's measure ("extra...") are in no truth.
        const std::string& text = hit.id.str();
        std::uint32_t id = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), id).ec != std::errc()) continue;
        found += std::count(data.truth[q].begin(), data.truth[q].end(), id);
      }
    }
    if (pass == 1) {
      return {static_cast<double>(kQueries) / seconds_since(start),
              static_cast<double>(found) / (kQueries * kK)};
    }
  }
  return {};
}

// The highest resident memory during a checkpoint over the resident memory before it.
template <class Db>
double checkpoint_peak(Db& db) {
  const std::uint64_t resident = status_bytes("VmRSS");
  reset_peak();
  check(db.checkpoint(), "checkpoint");
  return static_cast<double>(status_bytes("VmHWM")) / static_cast<double>(resident);
}

std::string line(const std::string& what, const Searches& searches) {
  char text[128];
  std::snprintf(text, sizeof text, "  %-18s %9.0f queries/s, recall@10 %.3f\n",
                (what + ":").c_str(), searches.queries_per_second, searches.recall);
  return text;
}

template <class Db>
void run_engine(DataSet& data, const Engine& engine) {
  testing::TempDir dir;
  const PersistentConfig config = config_of(data, engine);
  Clock::time_point start = Clock::now();
  {
    auto db = open_db<Db>(dir.path(), config);
    load(*db, data);
  }
  const double load_seconds = seconds_since(start);
  std::vector<float>().swap(data.base);  // the children's copy of the set goes
  malloc_trim(0);                        // and so does what the load left in the allocator
  const std::uint64_t before = status_bytes("RssAnon");
  start = Clock::now();
  auto db = open_db<Db>(dir.path(), config);
  const double reopen_seconds = seconds_since(start);
  const std::uint64_t held = status_bytes("RssAnon") - before;
  const Searches searches = search_all(*db, data);
  std::printf("%-22s %9.1f %9.2f %12.1f %9.0f %9.3f", engine.name, load_seconds, reopen_seconds,
              static_cast<double>(held) / (1 << 20), searches.queries_per_second, searches.recall);
  std::fflush(stdout);
  std::string sweep_lines;
  if (engine.rescore) {
    // The codes alone, then how recall and speed move with the candidates rescored per hit (how
    // the defaults were chosen).
    db.reset();
    PersistentConfig codes_alone = config;
    codes_alone.engine.rescore = false;
    const Searches alone = search_all(*open_db<Db>(dir.path(), codes_alone), data);
    sweep_lines += line("without rescoring", alone);
    for (const std::uint64_t factor : {1, 2, 3, 4, 6, 10, 20, 40, 80}) {
      PersistentConfig sweep = config;
      sweep.engine.oversampling = factor;
      const Searches at = search_all(*open_db<Db>(dir.path(), sweep), data);
      sweep_lines += line("oversampling " + std::to_string(factor), at);
    }
    db = open_db<Db>(dir.path(), config);
  }
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0, 1);
  for (std::size_t i = 0; i < 1000; ++i) {
    std::vector<float> vector(data.dimensions);
    for (float& x : vector) x = normal(rng);
    check(db->insert(VectorId("extra" + std::to_string(i)), vector, std::nullopt), "insert");
  }
  const double peak = checkpoint_peak(*db);
  for (std::size_t i = 0; i < data.count; i += 100) {
    if (!db->remove(std::to_string(i))) throw std::runtime_error("remove failed");
  }
  const double compacting_peak = checkpoint_peak(*db);
  std::printf(" %9.2f %9.2f\n%s", peak, compacting_peak, sweep_lines.c_str());
  std::fflush(stdout);
}

// Runs one engine in a child process; false when the child failed.
bool in_child(DataSet& data, const Engine& engine) {
  std::fflush(stdout);  // or the child prints it again
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    try {
      if (engine.codes == Quantization::None) {
        run_engine<PersistentVectorDb>(data, engine);
      } else {
        run_engine<PersistentQuantizedDb>(data, engine);
      }
      _exit(0);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", engine.name, e.what());
      _exit(1);
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int run(bool quick) {
  const std::pair<std::size_t, std::size_t> sets[] = {{quick ? 50'000 : 1'000'000, 128},
                                                      {quick ? 20'000 : 200'000, 768}};
  const Engine engines[] = {{"full precision", Quantization::None, false},
                            {"SQ8 + rescoring", Quantization::SQ8, true},
                            {"binary + rescoring", Quantization::Binary, true}};
  int failures = 0;
  for (const auto& [count, dimensions] : sets) {
    const Clock::time_point start = Clock::now();
    DataSet data = make_data(count, dimensions);
    std::printf("\n%zu x %zu clustered, Euclidean; data and brute force %.1f s; load %s\n", count,
                dimensions, seconds_since(start), load_average().c_str());
    std::printf("oversampling: SQ8 %llu, binary %llu; hardware threads %u\n",
                static_cast<unsigned long long>(default_oversampling(Quantization::SQ8)),
                static_cast<unsigned long long>(default_oversampling(Quantization::Binary)),
                std::thread::hardware_concurrency());
    std::printf("%-22s %9s %9s %12s %9s %9s %9s %9s\n", "engine", "load s", "reopen s",
                "RssAnon MiB", "queries/s", "recall@10", "ckpt peak", "1% gone");
    for (const Engine& engine : engines) failures += in_child(data, engine) ? 0 : 1;
    std::printf("load average after: %s\n", load_average().c_str());
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vexradb::bench

int main(int argc, char** argv) {
  return vexradb::bench::benchmark_main(argc, argv, vexradb::bench::run);
}
