// This engine next to hnswlib, on the same data in one run. For each data set and each engine it
// prints: build time with one thread (one insertion at a time) and with as many threads as the
// machine has processors (ours: one batch upsert into an empty engine, planned on the process-wide
// worker pool; hnswlib: insertions from that many threads sharing one counter, as its own parallel
// helpers do), single-thread queries per second (the fastest of several passes over the query
// set), recall@10 against exact brute force, resident
// bytes per vector, and the ratios ours/hnswlib.
//
// Both engines use M = 16 (32 on layer 0), ef_construction = 200, k = 10 and a search beam of 100.
// hnswlib gets cosine data as unit-length copies in its inner-product space, as is customary.
//
// Every build runs in a forked child process, so one build's allocations never show in another's
// memory figure; the child sends its figures back through a pipe. The query and memory figures,
// and the mean length of the layer-0 neighbour lists (longer lists: more distances per query),
// are those of the index built with several threads; the recall of the index built one vector at
// a time is printed too, as a check on the parallel build's quality. A build still running after
// a time limit (150 s, quick: 30 s) is stopped and shown as taking longer than the limit.
//
// Usage: vexradb_engine_bench [--quick] [--scale | --duplicates | --curves FOLDER]
// (bench/run_engine_bench.sh builds it in Release). --quick uses 20,000 synthetic vectors per set
// instead of 100,000.
//
// --scale compares the engines as the data grow instead: clustered 128-d Euclidean sets of
// 10,000, 100,000 and 1,000,000 vectors (with --quick: the first two), parallel builds only, and
// the growth exponent of the build time (time ~ n^e; n log n gives about 1.09 across these
// sizes). The million run takes about an hour on 2 cores.
//
// --duplicates measures what identical vectors (the same text stored twice, empty documents that
// embed alike) do to both graphs, 16-d, built one vector at a time, under cosine and Euclidean
// distance: how many of 1,000 identical and 500 distinct vectors a search with k above the count
// reaches (its beam then covers every node, so the walk is exhaustive), and recall@10 of queries
// near 2,000 distinct vectors with and without 1,000 identical ones inserted first.
//
// --curves FOLDER draws the recall/speed trade-off instead: on the random and the clustered
// Euclidean sets (100,000 vectors; with --quick 20,000) both engines are built once, in parallel,
// and searched on one thread with k = 10 over a sweep of beams (ef = 10 to 512; every engine then
// walks with max(k, ef)), taking turns pass by pass so that both meet the same load; it prints
// recall@10 and queries per second for each. It also writes each set's vectors, queries and truth
// into FOLDER, for bench/faiss_curves.py to measure FAISS's HNSW on the same data
// (bench/run_engine_bench.sh --curves runs both and draws the chart).

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "datasets.hpp"
#include "engine/engine.hpp"
#include "hnswlib_index.hpp"
#include "kernels/distance.hpp"

namespace vexradb::bench {
namespace {

constexpr std::size_t kK = 10;
constexpr std::size_t kM = 16;
constexpr std::size_t kEfConstruction = 200;
// Our engine searches with max(2k, ef_search) = 100 for k = 10.
constexpr std::size_t kEfSearch = 100;
static_assert(HnswConfig{}.max_connections == kM && HnswConfig{}.max_connections_layer0 == 2 * kM &&
              HnswConfig{}.ef_construction == kEfConstruction &&
              std::max<std::size_t>(2 * kK, HnswConfig{}.ef_search) == kEfSearch);

constexpr std::size_t kWarmupQueries = 100;
constexpr std::size_t kSyntheticDimension = 128;
constexpr std::size_t kSyntheticQueries = 1000;
constexpr std::size_t kClusters = 100;
constexpr float kClusterSpread = 0.5f;  // per component; the centres are standard normal

struct Settings {
  std::size_t synthetic_count;  // base vectors of each synthetic set
  double min_query_seconds;     // the query set is repeated until this much time has passed
  // A build still running after this many seconds is stopped, so that one slow build cannot
  // push the whole run past its time budget; its time is shown as "> limit".
  unsigned build_time_limit;
  bool serial_builds = true;  // also build one vector at a time
};
constexpr Settings kFullRun{100'000, 2.0, 150};
constexpr Settings kQuickRun{20'000, 0.25, 30};
constexpr Settings kScaleRun{0, 2.0, 3600, false};

// The threads of a parallel build: the worker pool has one per logical processor.
std::size_t build_threads() { return std::max(1u, std::thread::hardware_concurrency()); }

// Runs body(i) for every i in [begin, end) on `threads` threads that claim indices from one
// shared counter.
void parallel_indices(std::size_t begin, std::size_t end, std::size_t threads,
                      const std::function<void(std::size_t)>& body) {
  std::atomic<std::size_t> next{begin};
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (std::size_t i = next++; i < end; i = next++) body(i);
    });
  }
  for (std::thread& worker : workers) worker.join();
}

// Row-major base vectors and queries, and the exact k nearest base rows of each query.
struct DataSet {
  std::string name;
  DistanceMetric metric = DistanceMetric::Euclidean;
  std::size_t dimension = 0;
  std::vector<float> base;
  std::vector<float> queries;
  std::vector<std::vector<std::uint32_t>> truth;

  std::size_t size() const { return base.size() / dimension; }
  std::size_t query_count() const { return queries.size() / dimension; }
  std::span<const float> row(std::size_t i) const {
    return std::span(base).subspan(i * dimension, dimension);
  }
  std::span<const float> query(std::size_t i) const {
    return std::span(queries).subspan(i * dimension, dimension);
  }
};

// `count` base rows and kSyntheticQueries query rows, each filled by draw_row(row).
template <class DrawRow>
DataSet synthetic(std::string name, DistanceMetric metric, std::size_t count, DrawRow draw_row) {
  DataSet set{std::move(name), metric, kSyntheticDimension, {}, {}, {}};
  set.base.resize(count * kSyntheticDimension);
  set.queries.resize(kSyntheticQueries * kSyntheticDimension);
  for (std::vector<float>* rows : {&set.base, &set.queries}) {
    for (std::size_t at = 0; at < rows->size(); at += kSyntheticDimension) {
      draw_row(std::span(*rows).subspan(at, kSyntheticDimension));
    }
  }
  return set;
}

std::string thousands(std::size_t count) { return std::to_string(count / 1000) + "k"; }

DataSet random_normal(std::size_t count) {
  std::mt19937 rng(20240601);
  std::normal_distribution<float> normal;
  return synthetic("Random normal " + thousands(count) + " (128-d, Euclidean)",
                   DistanceMetric::Euclidean, count, [&](std::span<float> row) {
                     for (float& x : row) x = normal(rng);
                   });
}

// Points scattered around kClusters standard normal centres. The same seed for both metrics, so
// the Euclidean and the cosine set hold the same vectors.
DataSet clustered(std::size_t count, DistanceMetric metric) {
  std::mt19937 rng(20240602);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> centres(kClusters, std::vector<float>(kSyntheticDimension));
  for (auto& centre : centres) {
    for (float& x : centre) x = normal(rng);
  }
  std::uniform_int_distribution<std::size_t> pick(0, kClusters - 1);
  const char* metric_name = metric == DistanceMetric::Cosine ? "cosine" : "Euclidean";
  return synthetic("Clustered " + thousands(count) + " (128-d, " + metric_name + ")", metric, count,
                   [&](std::span<float> row) {
                     const std::vector<float>& centre = centres[pick(rng)];
                     for (std::size_t j = 0; j < row.size(); ++j) {
                       row[j] = centre[j] + kClusterSpread * normal(rng);
                     }
                   });
}

// A real data set with its held-out queries; nothing when the shared data folder lacks it.
std::optional<DataSet> real(std::optional<testing_support::Dataset> loaded, DistanceMetric metric) {
  if (!loaded) return std::nullopt;
  DataSet set{loaded->name, metric, loaded->dimension, {}, {}, {}};
  for (const auto& v : loaded->base) set.base.insert(set.base.end(), v.begin(), v.end());
  for (const auto& v : loaded->queries) set.queries.insert(set.queries.end(), v.begin(), v.end());
  return set;
}

// The k nearest base rows of every query by exact distances from the engine's own kernels, ties
// to the lower row.
void compute_truth(DataSet& data) {
  std::vector<std::span<const float>> rows(data.size());
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = data.row(i);
  data.truth.assign(data.query_count(), {});
  parallel_indices(0, data.query_count(), build_threads(), [&](std::size_t q) {
    std::vector<float> distances(rows.size());
    distance_batch(data.metric, data.query(q), rows, distances);
    std::vector<std::uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    const std::size_t k = std::min(kK, order.size());
    std::partial_sort(order.begin(), order.begin() + k, order.end(), [&](auto a, auto b) {
      return std::pair(distances[a], a) < std::pair(distances[b], b);
    });
    order.resize(k);
    data.truth[q] = std::move(order);
  });
}

// Resident bytes of this process. Freed heap memory is handed back to the system first, so the
// figure counts what is held, not what the allocator kept from temporaries.
std::int64_t resident_bytes() {
  malloc_trim(0);
  std::ifstream statm("/proc/self/statm");
  std::int64_t total_pages = 0;
  std::int64_t resident_pages = 0;
  statm >> total_pages >> resident_pages;
  if (!statm) throw std::runtime_error("cannot read /proc/self/statm");
  return resident_pages * sysconf(_SC_PAGESIZE);
}

// Our engine through its public operations; row i is stored under the id "i".
class VexraAdapter {
 public:
  static constexpr const char* kName = "VexraDB";

  explicit VexraAdapter(const DataSet& data) : data_(data) {}

  void build_one_at_a_time() {
    VectorDb& db = new_db();
    for (std::size_t i = 0; i < data_.size(); ++i) {
      require(db.insert(VectorId(std::to_string(i)), data_.row(i), std::nullopt));
    }
  }

  // One batch upsert of everything into the empty engine. Making the owned entries is part of
  // the build, as it is for a caller.
  void build_in_parallel() {
    VectorDb& db = new_db();
    std::vector<BatchEntry> entries;
    entries.reserve(data_.size());
    for (std::size_t i = 0; i < data_.size(); ++i) {
      const std::span<const float> row = data_.row(i);
      entries.push_back({VectorId(std::to_string(i)), {row.begin(), row.end()}, std::nullopt});
    }
    require(db.upsert_batch(std::move(entries)));
  }

  // How many vectors a search for query `query` with k above the count returns: its beam covers
  // every node, so it returns every vector the graph reaches.
  std::size_t reached(std::size_t query) const {
    Result<std::vector<SearchHit>> hits =
        db_->search(data_.query(query), data_.size() + 1, nullptr);
    require(hits);
    return hits->size();
  }

  double mean_layer0_links() const {
    const HnswIndex::State graph = db_->index().state();
    if (graph.nodes.empty()) return 0;
    double links = 0;
    for (const HnswNode& node : graph.nodes) links += static_cast<double>(node.neighbors[0].size());
    return links / static_cast<double>(graph.nodes.size());
  }

  // From now on searches walk with a beam of max(k, ef), as hnswlib's and FAISS's do: the engine
  // is replaced by one with ef_search = ef restored from this one's image, so that every beam
  // walks the same graph. The default search keeps 2k candidates, so its beam never falls below
  // 2k; from 2k up both return the same hits.
  void set_ef(std::size_t ef) {
    VectorDb::Image image = db_->image(/*with_graph=*/true);
    const HnswIndex::State graph = image.graph;
    VectorDb& db = new_db(ef);
    require(db.restore(image.vectors, std::move(image.graph)));
    if (!same_graph(db.index().state(), graph)) {
      throw std::runtime_error("the restored engine linked a graph of its own");
    }
    without_margin_ = true;
  }

  std::vector<std::uint32_t> search(std::size_t query) const {
    Result<std::vector<SearchHit>> hits =
        without_margin_ ? db_->search_without_margin(data_.query(query), kK, nullptr)
                        : db_->search(data_.query(query), kK, nullptr);
    require(hits);
    std::vector<std::uint32_t> rows;
    rows.reserve(hits->size());
    for (const SearchHit& hit : *hits) {
      const std::string& id = hit.id.str();
      std::uint32_t row = 0;
      std::from_chars(id.data(), id.data() + id.size(), row);
      rows.push_back(row);
    }
    return rows;
  }

 private:
  template <class T>
  static void require(const Result<T>& result) {
    if (!result) {
      throw std::runtime_error("engine call failed with error kind " +
                               std::to_string(static_cast<int>(result.error().kind())));
    }
  }

  static bool same_graph(const HnswIndex::State& a, const HnswIndex::State& b) {
    return a.entry_point == b.entry_point && a.max_level == b.max_level &&
           std::equal(a.nodes.begin(), a.nodes.end(), b.nodes.begin(), b.nodes.end(),
                      [](const HnswNode& x, const HnswNode& y) {
                        return x.level == y.level && x.neighbors == y.neighbors;
                      });
  }

  VectorDb& new_db(std::size_t ef_search = HnswConfig{}.ef_search) {
    Config config;
    config.dimensions = data_.dimension;
    config.distance_metric = data_.metric;
    config.hnsw.ef_search = ef_search;
    return db_.emplace(config);
  }

  const DataSet& data_;
  std::optional<VectorDb> db_;
  bool without_margin_ = false;
};

// hnswlib, labelling row i as i. For cosine it indexes and queries unit-length copies.
class HnswlibAdapter {
 public:
  static constexpr const char* kName = "hnswlib";

  explicit HnswlibAdapter(const DataSet& data)
      : normalised_(data.metric == DistanceMetric::Cosine ? std::optional(normalised(data))
                                                          : std::nullopt),
        input_(normalised_ ? *normalised_ : data) {}

  void build_one_at_a_time() {
    HnswlibIndex& index = new_index();
    for (std::size_t i = 0; i < input_.size(); ++i) add(index, i);
  }

  // The first vector alone (it becomes the entry point), the rest from every thread.
  void build_in_parallel() {
    HnswlibIndex& index = new_index();
    if (input_.size() == 0) return;
    add(index, 0);
    parallel_indices(1, input_.size(), build_threads(), [&](std::size_t i) { add(index, i); });
  }

  void set_ef(std::size_t ef) { index_->set_ef(ef); }

  std::vector<std::uint32_t> search(std::size_t query) const {
    return index_->search(input_.query(query), kK);
  }

  // As VexraAdapter::reached: hnswlib searches with a beam of max(ef, k).
  std::size_t reached(std::size_t query) const {
    return index_->search(input_.query(query), input_.size() + 1).size();
  }

  double mean_layer0_links() const { return index_->mean_layer0_links(); }

 private:
  static DataSet normalised(const DataSet& data) {
    DataSet copy{data.name, data.metric, data.dimension, data.base, data.queries, {}};
    for (std::vector<float>* rows : {&copy.base, &copy.queries}) {
      for (auto row = rows->begin(); row != rows->end(); row += copy.dimension) {
        const float norm = std::sqrt(std::inner_product(row, row + copy.dimension, row, 0.0f));
        if (norm == 0) continue;
        std::transform(row, row + copy.dimension, row, [&](float x) { return x / norm; });
      }
    }
    return copy;
  }

  HnswlibIndex& new_index() {
    const auto space = input_.metric == DistanceMetric::Cosine ? HnswlibIndex::Space::kInnerProduct
                                                               : HnswlibIndex::Space::kSquaredL2;
    HnswlibIndex& index =
        index_.emplace(space, input_.dimension, input_.size(), kM, kEfConstruction);
    index.set_ef(kEfSearch);
    return index;
  }

  void add(HnswlibIndex& index, std::size_t i) const {
    index.add(input_.row(i), static_cast<std::uint32_t>(i));
  }

  std::optional<DataSet> normalised_;
  const DataSet& input_;  // the data set itself, or its normalised copy
  std::optional<HnswlibIndex> index_;
};

// What a child process sends back; trivially copyable so it crosses the pipe as bytes.
struct SerialBuild {
  double seconds;
  double recall;
};
struct ParallelBuild {
  double seconds;
  double bytes_per_vector;
  double queries_per_second;
  double recall;
  double mean_layer0_links;
};

struct QueryFigures {
  double queries_per_second;
  double recall;
};

double recall_at_k(const std::vector<std::vector<std::uint32_t>>& found, const DataSet& data) {
  std::size_t hits = 0;
  for (std::size_t q = 0; q < found.size(); ++q) {
    for (const std::uint32_t row : found[q]) {
      hits += std::count(data.truth[q].begin(), data.truth[q].end(), row);
    }
  }
  return static_cast<double>(hits) / static_cast<double>(kK * found.size());
}

// One single-thread pass over the query set; found[q] receives the rows query q returned.
template <class Engine>
double timed_pass(const Engine& engine, std::vector<std::vector<std::uint32_t>>& found) {
  const Clock::time_point start = Clock::now();
  for (std::size_t q = 0; q < found.size(); ++q) found[q] = engine.search(q);
  return seconds_since(start);
}

// Single-thread passes over the whole query set by each engine in turn, after a short warm-up,
// repeated until `min_seconds` have passed and each engine made at least `min_passes`. The
// fastest pass of each gives its rate: on a shared machine the others are slowed by whatever
// else runs, and taking turns exposes the engines to the same bursts. Every pass returns the
// same results.
template <class... Engines>
std::array<QueryFigures, sizeof...(Engines)> measure_in_turns(const DataSet& data,
                                                              double min_seconds,
                                                              std::size_t min_passes,
                                                              const Engines&... engines) {
  constexpr std::size_t kEngines = sizeof...(Engines);
  const std::size_t count = data.query_count();
  for (std::size_t q = 0; q < std::min(kWarmupQueries, count); ++q) (engines.search(q), ...);
  std::array<std::vector<std::vector<std::uint32_t>>, kEngines> found;
  found.fill(std::vector<std::vector<std::uint32_t>>(count));
  std::array<double, kEngines> fastest_pass;
  fastest_pass.fill(std::numeric_limits<double>::infinity());
  std::size_t passes = 0;
  const Clock::time_point start = Clock::now();
  do {
    std::size_t e = 0;
    ((fastest_pass[e] = std::min(fastest_pass[e], timed_pass(engines, found[e])), ++e), ...);
    ++passes;
  } while (seconds_since(start) < min_seconds || passes < min_passes);
  std::array<QueryFigures, kEngines> figures;
  for (std::size_t e = 0; e < kEngines; ++e) {
    figures[e] = {static_cast<double>(count) / fastest_pass[e], recall_at_k(found[e], data)};
  }
  return figures;
}

template <class Engine>
QueryFigures measure_queries(const Engine& engine, const DataSet& data, double min_seconds) {
  return measure_in_turns(data, min_seconds, 1, engine)[0];
}

// Kills the (child) process with SIGALRM unless it is destroyed within `seconds`.
class Deadline {
 public:
  explicit Deadline(unsigned seconds) { alarm(seconds); }
  ~Deadline() { alarm(0); }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
};

// Seconds taken by `build`, which must finish within the settings' time limit.
template <class Build>
double time_build(const Settings& settings, Build build) {
  const Deadline deadline(settings.build_time_limit);
  const Clock::time_point start = Clock::now();
  build();
  return seconds_since(start);
}

template <class Engine>
SerialBuild measure_serial_build(const DataSet& data, const Settings& settings) {
  Engine engine(data);
  const double seconds = time_build(settings, [&] { engine.build_one_at_a_time(); });
  return {seconds, measure_queries(engine, data, 0).recall};
}

template <class Engine>
ParallelBuild measure_parallel_build(const DataSet& data, const Settings& settings) {
  Engine engine(data);
  const std::int64_t before = resident_bytes();
  const double seconds = time_build(settings, [&] { engine.build_in_parallel(); });
  const double bytes_per_vector =
      static_cast<double>(resident_bytes() - before) / static_cast<double>(data.size());
  const QueryFigures queries = measure_queries(engine, data, settings.min_query_seconds);
  return {seconds, bytes_per_vector, queries.queries_per_second, queries.recall,
          engine.mean_layer0_links()};
}

bool write_all(int fd, const void* bytes, std::size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = write(fd, at, size);
    if (written <= 0) return false;
    at += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool read_all(int fd, void* bytes, std::size_t size) {
  char* at = static_cast<char*>(bytes);
  while (size > 0) {
    const ssize_t got = read(fd, at, size);
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// What a child process sent back: its figures, or nothing when it failed (its reason goes to
// standard error) or was stopped at the build time limit.
template <class Figures>
struct ChildResult {
  std::optional<Figures> figures;
  bool stopped = false;
};

// Runs `measure` in a forked child process. The parent must not have started the engine's worker
// pool: a child would inherit the pool without its threads.
template <class Figures, class Measure>
ChildResult<Figures> in_child_process(Measure measure) {
  static_assert(std::is_trivially_copyable_v<Figures>);
  std::fflush(stdout);
  std::fflush(stderr);
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    bool sent = false;
    try {
      const Figures figures = measure();
      sent = write_all(fds[1], &figures, sizeof figures);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "  measurement failed: %s\n", e.what());
    }
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  Figures figures{};
  const bool received = child > 0 && read_all(fds[0], &figures, sizeof figures);
  close(fds[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  if (child > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return {{}, true};
  if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return {figures};
}

// One figure of one engine: missing when its child process failed, or was stopped at the build
// time limit; the time of a stopped build is the limit, and the build took longer.
struct Reading {
  std::optional<double> value;
  bool stopped = false;
};

template <class Figures>
Reading reading(const ChildResult<Figures>& result, double Figures::*field) {
  if (!result.figures) return {std::nullopt, result.stopped};
  return {(*result.figures).*field};
}

template <class Figures>
Reading build_seconds(const ChildResult<Figures>& result, double Figures::*field,
                      const Settings& settings) {
  if (result.stopped) return {settings.build_time_limit, true};
  return reading(result, field);
}

struct EngineFigures {
  Reading serial_build_seconds;
  Reading parallel_build_seconds;
  Reading queries_per_second;
  Reading recall;
  Reading serial_build_recall;
  Reading bytes_per_vector;
  Reading mean_layer0_links;
};

template <class Engine>
EngineFigures measure_engine(const DataSet& data, const Settings& settings) {
  const auto serial = settings.serial_builds ? in_child_process<SerialBuild>([&] {
    return measure_serial_build<Engine>(data, settings);
  })
                                             : ChildResult<SerialBuild>{};
  const auto parallel = in_child_process<ParallelBuild>(
      [&] { return measure_parallel_build<Engine>(data, settings); });
  return {build_seconds(serial, &SerialBuild::seconds, settings),
          build_seconds(parallel, &ParallelBuild::seconds, settings),
          reading(parallel, &ParallelBuild::queries_per_second),
          reading(parallel, &ParallelBuild::recall),
          reading(serial, &SerialBuild::recall),
          reading(parallel, &ParallelBuild::bytes_per_vector),
          reading(parallel, &ParallelBuild::mean_layer0_links)};
}

struct Comparison {
  std::string name;
  EngineFigures ours;
  EngineFigures theirs;
};

struct Figure {
  std::string label;
  Reading EngineFigures::*reading;
  int precision;
};

std::vector<Figure> figures_to_print(const Settings& settings) {
  std::vector<Figure> figures{{"build, 1 thread (s)", &EngineFigures::serial_build_seconds, 2},
                              {"build, " + std::to_string(build_threads()) + " threads (s)",
                               &EngineFigures::parallel_build_seconds, 2},
                              {"queries/s, 1 thread", &EngineFigures::queries_per_second, 0},
                              {"recall@10", &EngineFigures::recall, 4},
                              {"recall@10, 1-thread index", &EngineFigures::serial_build_recall, 4},
                              {"resident bytes/vector", &EngineFigures::bytes_per_vector, 0},
                              {"layer-0 links per node", &EngineFigures::mean_layer0_links, 1}};
  if (!settings.serial_builds) {
    std::erase_if(figures, [](const Figure& f) {
      return f.reading == &EngineFigures::serial_build_seconds ||
             f.reading == &EngineFigures::serial_build_recall;
    });
  }
  return figures;
}

std::string format_number(double value, int precision) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", precision, value);
  return text;
}

std::string format(const Reading& reading, int precision) {
  if (!reading.value) return reading.stopped ? "stopped" : "failed";
  return (reading.stopped ? "> " : "") + format_number(*reading.value, precision);
}

// ours/theirs; a stopped build bounds the ratio from one side.
std::string format_ratio(const Reading& ours, const Reading& theirs) {
  if (!ours.value || !theirs.value || *theirs.value == 0 || (ours.stopped && theirs.stopped)) {
    return "-";
  }
  const char* bound = ours.stopped ? "> " : theirs.stopped ? "< " : "";
  return bound + format_number(*ours.value / *theirs.value, 3) + "x";
}

void print_comparison(const Comparison& c, const Settings& settings) {
  std::printf("  %-26s %12s %12s %14s\n", "", VexraAdapter::kName, HnswlibAdapter::kName,
              "ours/hnswlib");
  for (const Figure& f : figures_to_print(settings)) {
    const Reading& ours = c.ours.*f.reading;
    const Reading& theirs = c.theirs.*f.reading;
    std::printf("  %-26s %12s %12s %14s\n", f.label.c_str(), format(ours, f.precision).c_str(),
                format(theirs, f.precision).c_str(), format_ratio(ours, theirs).c_str());
  }
  std::printf("\n");
}

void print_summary(const std::vector<Comparison>& comparisons) {
  const std::string threads = std::to_string(build_threads());
  std::printf("Summary, ours/hnswlib (recall: ours - hnswlib)\n");
  std::printf("  %-38s %10s %9s %9s %9s %9s\n", "data set", "recall", "QPS", "build 1t",
              ("build " + threads + "t").c_str(), "memory");
  std::printf("  %-38s %10s %9s %9s %9s %9s\n", "target", ">= -0.005", ">= 1.3x", "", "<= 1.0x",
              "<= 1.3x");
  for (const Comparison& c : comparisons) {
    const Reading& ours = c.ours.recall;
    const Reading& theirs = c.theirs.recall;
    const std::string recall_difference =
        ours.value && theirs.value ? format_number(*ours.value - *theirs.value, 4) : "-";
    std::printf(
        "  %-38s %10s %9s %9s %9s %9s\n", c.name.c_str(), recall_difference.c_str(),
        format_ratio(c.ours.queries_per_second, c.theirs.queries_per_second).c_str(),
        format_ratio(c.ours.serial_build_seconds, c.theirs.serial_build_seconds).c_str(),
        format_ratio(c.ours.parallel_build_seconds, c.theirs.parallel_build_seconds).c_str(),
        format_ratio(c.ours.bytes_per_vector, c.theirs.bytes_per_vector).c_str());
  }
}

// The data sets in the order they are run; each is made only when its turn comes.
std::vector<std::function<std::optional<DataSet>()>> data_sets(const Settings& settings) {
  const std::size_t n = settings.synthetic_count;
  return {
      [n] { return std::optional(random_normal(n)); },
      [n] { return std::optional(clustered(n, DistanceMetric::Euclidean)); },
      [n] { return std::optional(clustered(n, DistanceMetric::Cosine)); },
      [] { return real(testing_support::load_sift(), DistanceMetric::Euclidean); },
      [] { return real(testing_support::load_mnist(), DistanceMetric::Euclidean); },
      [] { return real(testing_support::load_glove(), DistanceMetric::Cosine); },
  };
}

int run(const Settings& settings, bool quick) {
  const Clock::time_point start = Clock::now();
  std::printf(
      "Engine benchmark%s: M = %zu, ef_construction = %zu, ef = %zu, k = %zu; "
      "%zu processors; load average %s\n"
      "Queries/s, recall@10, memory and links are those of the index built with %zu threads; "
      "builds "
      "are stopped after %u s.\n\n",
      quick ? " (quick)" : "", kM, kEfConstruction, kEfSearch, kK, build_threads(),
      load_average().c_str(), build_threads(), settings.build_time_limit);
  std::vector<Comparison> comparisons;
  for (const auto& make : data_sets(settings)) {
    std::optional<DataSet> data = make();
    if (!data) {
      std::printf("(a real data set is missing from the shared data folder: skipped)\n\n");
      continue;
    }
    compute_truth(*data);
    std::printf("%s: %zu vectors, %zu queries\n", data->name.c_str(), data->size(),
                data->query_count());
    Comparison c{data->name, measure_engine<VexraAdapter>(*data, settings),
                 measure_engine<HnswlibAdapter>(*data, settings)};
    print_comparison(c, settings);
    comparisons.push_back(std::move(c));
  }
  print_summary(comparisons);
  std::printf("\nTotal %.0f s; load average %s\n", seconds_since(start), load_average().c_str());
  return 0;
}

// The exponent e of time ~ n^e between two sizes.
std::string growth(const Reading& small, std::size_t n_small, const Reading& large,
                   std::size_t n_large) {
  if (!small.value || !large.value || large.stopped || *small.value <= 0) return "-";
  return format_number(std::log(*large.value / *small.value) /
                           std::log(static_cast<double>(n_large) / static_cast<double>(n_small)),
                       3);
}

int run_scale(bool quick) {
  const Clock::time_point start = Clock::now();
  std::vector<std::size_t> sizes{10'000, 100'000};
  if (!quick) sizes.push_back(1'000'000);
  std::printf(
      "Scale benchmark%s: clustered 128-d Euclidean; M = %zu, ef_construction = %zu, ef = %zu, "
      "k = %zu; builds with %zu threads, stopped after %u s; load average %s\n\n",
      quick ? " (quick)" : "", kM, kEfConstruction, kEfSearch, kK, build_threads(),
      kScaleRun.build_time_limit, load_average().c_str());
  std::vector<Comparison> comparisons;
  for (const std::size_t n : sizes) {
    DataSet data = clustered(n, DistanceMetric::Euclidean);
    compute_truth(data);
    std::printf("%s: %zu vectors, %zu queries; load average %s\n", data.name.c_str(), data.size(),
                data.query_count(), load_average().c_str());
    Comparison c{data.name, measure_engine<VexraAdapter>(data, kScaleRun),
                 measure_engine<HnswlibAdapter>(data, kScaleRun)};
    print_comparison(c, kScaleRun);
    comparisons.push_back(std::move(c));
  }
  print_summary(comparisons);
  std::printf("\nGrowth exponent of the %zu-thread build time (n log n: about 1.09 per tenfold)\n",
              build_threads());
  std::printf("  %-24s %12s %12s\n", "sizes", VexraAdapter::kName, HnswlibAdapter::kName);
  for (std::size_t i = 0; i + 1 < comparisons.size(); ++i) {
    for (std::size_t j = i + 1; j < comparisons.size(); ++j) {
      const std::string label = thousands(sizes[i]) + " to " + thousands(sizes[j]);
      std::printf("  %-24s %12s %12s\n", label.c_str(),
                  growth(comparisons[i].ours.parallel_build_seconds, sizes[i],
                         comparisons[j].ours.parallel_build_seconds, sizes[j])
                      .c_str(),
                  growth(comparisons[i].theirs.parallel_build_seconds, sizes[i],
                         comparisons[j].theirs.parallel_build_seconds, sizes[j])
                      .c_str());
    }
  }
  std::printf("\nTotal %.0f s; load average %s\n", seconds_since(start), load_average().c_str());
  return 0;
}

// Identical vectors next to distinct ones, 16-d: kIdentical copies of one vector, then distinct
// vectors, all standard normal; the queries lie close to distinct vectors.
constexpr std::size_t kDuplicateDimension = 16;
constexpr std::size_t kIdentical = 1000;
constexpr std::size_t kReachDistinct = 500;
constexpr std::size_t kRecallDistinct = 2000;
constexpr std::size_t kDuplicateQueries = 200;
constexpr float kQueryOffset = 0.05f;  // per component, from the distinct vector queried near

DataSet with_identical_first(DistanceMetric metric, std::size_t identical, std::size_t distinct,
                             std::size_t queries) {
  std::mt19937 rng(20240603);
  std::normal_distribution<float> normal;
  DataSet set{"", metric, kDuplicateDimension, {}, {}, {}};
  std::vector<float> copied(kDuplicateDimension);
  for (float& x : copied) x = normal(rng);
  for (std::size_t i = 0; i < identical; ++i) {
    set.base.insert(set.base.end(), copied.begin(), copied.end());
  }
  const std::size_t first_distinct = set.size();
  for (std::size_t i = 0; i < distinct * kDuplicateDimension; ++i) set.base.push_back(normal(rng));
  for (std::size_t q = 0; q < queries; ++q) {
    const std::span<const float> near = set.row(first_distinct + q * distinct / queries);
    for (const float x : near) set.queries.push_back(x + kQueryOffset * normal(rng));
  }
  compute_truth(set);
  return set;
}

struct DuplicateFigures {
  std::size_t reached;         // of kIdentical + kReachDistinct
  double recall_distinct;      // kRecallDistinct distinct vectors only
  double recall_after_copies;  // the same after kIdentical identical ones
};

template <class Engine>
DuplicateFigures measure_duplicates(DistanceMetric metric) {
  const DataSet reach = with_identical_first(metric, kIdentical, kReachDistinct, 1);
  const DataSet distinct = with_identical_first(metric, 0, kRecallDistinct, kDuplicateQueries);
  const DataSet copies =
      with_identical_first(metric, kIdentical, kRecallDistinct, kDuplicateQueries);
  DuplicateFigures figures{};
  reseed_level_generator(20240604);  // our node levels, so that every run builds the same graphs
  Engine reach_engine(reach);
  reach_engine.build_one_at_a_time();
  figures.reached = reach_engine.reached(0);
  Engine distinct_engine(distinct);
  distinct_engine.build_one_at_a_time();
  figures.recall_distinct = measure_queries(distinct_engine, distinct, 0).recall;
  Engine copies_engine(copies);
  copies_engine.build_one_at_a_time();
  figures.recall_after_copies = measure_queries(copies_engine, copies, 0).recall;
  return figures;
}

int run_duplicates() {
  const Clock::time_point start = Clock::now();
  std::printf(
      "Duplicates benchmark: %zu-d, built one vector at a time; M = %zu, ef_construction = %zu, "
      "ef = %zu, k = %zu; load average %s\n\n",
      kDuplicateDimension, kM, kEfConstruction, kEfSearch, kK, load_average().c_str());
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
    const DuplicateFigures ours = measure_duplicates<VexraAdapter>(metric);
    const DuplicateFigures theirs = measure_duplicates<HnswlibAdapter>(metric);
    std::printf("%s\n", metric == DistanceMetric::Cosine ? "Cosine" : "Euclidean");
    std::printf("  %-48s %10s %10s\n", "", VexraAdapter::kName, HnswlibAdapter::kName);
    const std::string reached_label = "reached of " + std::to_string(kIdentical) + " identical + " +
                                      std::to_string(kReachDistinct) + " distinct";
    std::printf("  %-48s %10zu %10zu\n", reached_label.c_str(), ours.reached, theirs.reached);
    const std::string distinct_label =
        "recall@10, " + std::to_string(kRecallDistinct) + " distinct";
    std::printf("  %-48s %10.3f %10.3f\n", distinct_label.c_str(), ours.recall_distinct,
                theirs.recall_distinct);
    const std::string copies_label =
        "recall@10, the same after " + std::to_string(kIdentical) + " identical";
    std::printf("  %-48s %10.3f %10.3f\n\n", copies_label.c_str(), ours.recall_after_copies,
                theirs.recall_after_copies);
  }
  std::printf("Total %.0f s; load average %s\n", seconds_since(start), load_average().c_str());
  return 0;
}

// The recall/speed curves: for each set both engines are built once, with as many threads as the
// parallel builds above, then searched on one thread with k = 10 and each beam of the sweep,
// taking turns (measure_in_turns).
constexpr std::array<std::size_t, 12> kBeamSweep{10, 16,  24,  32,  48,  64,
                                                 96, 128, 192, 256, 384, 512};
constexpr double kCurvePassSeconds = 1.0;
constexpr double kQuickCurvePassSeconds = 0.1;
// The widest beams take about a second per pass: one pass alone would catch any burst of load.
constexpr std::size_t kCurveMinPasses = 3;

// Per beam of the sweep: ours, then hnswlib's.
struct Curves {
  std::array<std::array<QueryFigures, 2>, kBeamSweep.size()> points;
};

Curves measure_curves(const DataSet& data, double min_seconds) {
  VexraAdapter ours(data);
  ours.build_in_parallel();
  HnswlibAdapter theirs(data);
  theirs.build_in_parallel();
  Curves curves{};
  for (std::size_t i = 0; i < kBeamSweep.size(); ++i) {
    ours.set_ef(kBeamSweep[i]);
    theirs.set_ef(kBeamSweep[i]);
    curves.points[i] = measure_in_turns(data, min_seconds, kCurveMinPasses, ours, theirs);
  }
  return curves;
}

// Rows of `width` values as .fvecs and .ivecs files hold them: each row its length as a 32-bit
// integer, then its values.
template <class T>
void write_vecs(const std::filesystem::path& path, std::span<const T> values, std::size_t width) {
  static_assert(sizeof(T) == 4);
  std::ofstream out(path, std::ios::binary);
  const auto length = static_cast<std::int32_t>(width);
  for (std::size_t at = 0; at < values.size(); at += width) {
    out.write(reinterpret_cast<const char*>(&length), sizeof length);
    out.write(reinterpret_cast<const char*>(values.data() + at),
              static_cast<std::streamsize>(width * sizeof(T)));
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The set's base vectors, queries and truth as `slug`.base.fvecs, .query.fvecs and .truth.ivecs
// in `folder`, listed in its sets.tsv by slug and name: what bench/faiss_curves.py reads.
void write_set(const DataSet& data, const std::filesystem::path& folder, const std::string& slug) {
  std::filesystem::create_directories(folder);
  write_vecs(folder / (slug + ".base.fvecs"), std::span(data.base), data.dimension);
  write_vecs(folder / (slug + ".query.fvecs"), std::span(data.queries), data.dimension);
  std::vector<std::uint32_t> truth;
  for (const auto& nearest : data.truth) truth.insert(truth.end(), nearest.begin(), nearest.end());
  write_vecs(folder / (slug + ".truth.ivecs"), std::span<const std::uint32_t>(truth), kK);
  std::ofstream list(folder / "sets.tsv", std::ios::app);
  list << slug << '\t' << data.name << '\n';
  if (!list) throw std::runtime_error("cannot write the list of sets in " + folder.string());
}

std::string format_point(const std::optional<Curves>& curves, std::size_t beam,
                         std::size_t engine) {
  char text[40];
  if (!curves) {
    std::snprintf(text, sizeof text, "%10s %10s", "failed", "failed");
  } else {
    const QueryFigures& point = curves->points[beam][engine];
    std::snprintf(text, sizeof text, "%10.4f %10.0f", point.recall, point.queries_per_second);
  }
  return text;
}

int run_curves(const std::filesystem::path& folder, bool quick) {
  const Clock::time_point start = Clock::now();
  const std::size_t count = (quick ? kQuickRun : kFullRun).synthetic_count;
  const double pass_seconds = quick ? kQuickCurvePassSeconds : kCurvePassSeconds;
  std::printf(
      "Recall/speed curves%s: M = %zu, ef_construction = %zu, k = %zu; builds on %zu threads; "
      "searches on 1 thread with a beam of max(k, ef), the fastest of at least %zu passes over "
      "the query set and %.1f s; %zu processors; load average %s\n\n",
      quick ? " (quick)" : "", kM, kEfConstruction, kK, build_threads(), kCurveMinPasses,
      pass_seconds, build_threads(), load_average().c_str());
  std::filesystem::remove(folder / "sets.tsv");
  const std::pair<const char*, std::function<DataSet()>> sets[] = {
      {"random", [count] { return random_normal(count); }},
      {"clustered", [count] { return clustered(count, DistanceMetric::Euclidean); }},
  };
  for (const auto& [slug, make] : sets) {
    DataSet data = make();
    compute_truth(data);
    write_set(data, folder, slug);
    std::printf("%s: %zu vectors, %zu queries; load average %s\n", data.name.c_str(), data.size(),
                data.query_count(), load_average().c_str());
    // In a child process, as every build here: the parent never starts the worker pool.
    const std::optional<Curves> curves =
        in_child_process<Curves>([&] { return measure_curves(data, pass_seconds); }).figures;
    std::printf("  %4s | %-21s | %-21s\n", "ef", VexraAdapter::kName, HnswlibAdapter::kName);
    std::printf("  %4s | %10s %10s | %10s %10s\n", "", "recall@10", "queries/s", "recall@10",
                "queries/s");
    for (std::size_t i = 0; i < kBeamSweep.size(); ++i) {
      std::printf("  %4zu | %s | %s\n", kBeamSweep[i], format_point(curves, i, 0).c_str(),
                  format_point(curves, i, 1).c_str());
    }
    std::printf("\n");
  }
  std::printf("Total %.0f s; load average %s\n", seconds_since(start), load_average().c_str());
  return 0;
}

}  // namespace
}  // namespace vexradb::bench

int main(int argc, char** argv) {
  using namespace vexradb::bench;
  bool quick = false, scale = false, duplicates = false;
  std::optional<std::string> curves_folder;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--scale") {
      scale = true;
    } else if (arg == "--duplicates") {
      duplicates = true;
    } else if (arg == "--curves" && i + 1 < argc) {
      curves_folder = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--scale | --duplicates | --curves FOLDER]\n",
                   argv[0]);
      return 2;
    }
  }
  if (curves_folder) {
    try {
      return run_curves(*curves_folder, quick);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "benchmark failed: %s\n", e.what());
      return 1;
    }
  }
  if (duplicates) return run_duplicates();
  if (scale) return run_scale(quick);
  return run(quick ? kQuickRun : kFullRun, quick);
}
