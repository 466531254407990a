// Figures of the durable engine on random normal 128-d vectors (Euclidean), in one run:
// - single-insert throughput of the durable engine (logged, then applied; no fsync per write)
//   next to the in-memory engine on the same data in the same order;
// - the checkpoint's time and the snapshot file's size;
// - reopening from that snapshot (the stored graph is installed) next to rebuilding the index,
//   one insertion at a time and with one batch upsert;
// - reopening by replaying a log that holds every insertion, with no snapshot;
// - one batch upsert of every vector into a new durable directory next to the same batch into the
//   in-memory engine;
// - recall@10 of 100 queries against brute force before and after the snapshot reopen, whose
//   results must be identical (the run fails otherwise).
//
// The data directories live under the system's temporary directory and are removed at the end.
// The snapshot reopen reads a file that was just written, so it is served from the page cache.
//
// Usage: vexradb_persistent_bench [--quick]   (--quick: 20,000 vectors instead of 100,000)

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "durable/persistent.hpp"
#include "durable/snapshot.hpp"
#include "durable/wal.hpp"
#include "engine/engine.hpp"
#include "kernels/distance.hpp"
#include "temp_dir.hpp"

namespace vexradb::bench {
namespace {

constexpr std::size_t kDimensions = 128;
constexpr std::size_t kFullCount = 100'000;
constexpr std::size_t kQuickCount = 20'000;
constexpr std::size_t kQueries = 100;
constexpr std::size_t kK = 10;
// The seed of the engine benchmark's random normal set, so both runs index the same vectors.
constexpr std::uint32_t kSeed = 20240601;
// The two single-insert builds take turns in chunks of this many vectors, so that whatever else
// runs on a shared machine slows both alike instead of whichever build ran at the time.
constexpr std::size_t kInterleaveChunk = 1000;
// The snapshot directory of the layout persistent.hpp documents.
constexpr std::string_view kSnapshotDirectory = "snapshots";

template <class Body>
double seconds_taken(Body body) {
  const Clock::time_point start = Clock::now();
  body();
  return seconds_since(start);
}

template <class T>
void require(const Result<T>& result, std::string_view what) {
  if (!result) {
    throw std::runtime_error(std::string(what) + " failed with error kind " +
                             std::to_string(static_cast<int>(result.error().kind())));
  }
}

// Row-major base vectors stored under the ids "0", "1", ..., held-out queries, and the exact
// kK nearest base rows of every query.
struct DataSet {
  std::vector<float> base;
  std::vector<float> queries;
  std::vector<VectorId> ids;
  std::vector<std::vector<std::uint32_t>> truth;

  std::size_t size() const { return ids.size(); }
  std::span<const float> row(std::size_t i) const {
    return std::span(base).subspan(i * kDimensions, kDimensions);
  }
  std::span<const float> query(std::size_t q) const {
    return std::span(queries).subspan(q * kDimensions, kDimensions);
  }
};

void compute_truth(DataSet& data) {
  std::vector<std::span<const float>> rows(data.size());
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = data.row(i);
  std::vector<float> distances(rows.size());
  for (std::size_t q = 0; q < kQueries; ++q) {
    distance_batch(DistanceMetric::Euclidean, data.query(q), rows, distances);
    std::vector<std::uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    std::partial_sort(order.begin(), order.begin() + kK, order.end(), [&](auto a, auto b) {
      return std::pair(distances[a], a) < std::pair(distances[b], b);
    });
    order.resize(kK);
    data.truth.push_back(std::move(order));
  }
}

DataSet random_normal(std::size_t count) {
  std::mt19937 rng(kSeed);
  std::normal_distribution<float> normal;
  DataSet data;
  data.base.resize(count * kDimensions);
  data.queries.resize(kQueries * kDimensions);
  for (float& x : data.base) x = normal(rng);
  for (float& x : data.queries) x = normal(rng);
  data.ids.reserve(count);
  for (std::size_t i = 0; i < count; ++i) data.ids.emplace_back(std::to_string(i));
  compute_truth(data);
  return data;
}

Config engine_config() {
  Config config;
  config.dimensions = kDimensions;
  config.distance_metric = DistanceMetric::Euclidean;
  return config;
}

PersistentConfig persistent_config() { return {.engine = engine_config()}; }

std::unique_ptr<PersistentVectorDb> open_db(const std::filesystem::path& dir) {
  Result<std::unique_ptr<PersistentVectorDb>> db =
      PersistentVectorDb::open(dir, persistent_config());
  require(db, "open");
  return std::move(*db);
}

// Every query's hits as (id, distance), nearest first.
using Answers = std::vector<std::vector<std::pair<std::string, float>>>;

Answers answer_queries(const PersistentVectorDb& db, const DataSet& data) {
  Answers answers;
  for (std::size_t q = 0; q < kQueries; ++q) {
    Result<std::vector<SearchHit>> hits = db.search(data.query(q), kK, nullptr);
    require(hits, "search");
    auto& answer = answers.emplace_back();
    for (const SearchHit& hit : *hits) answer.emplace_back(hit.id.str(), hit.distance);
  }
  return answers;
}

double recall_at_k(const Answers& answers, const DataSet& data) {
  std::size_t found = 0;
  for (std::size_t q = 0; q < answers.size(); ++q) {
    for (const auto& [id, distance] : answers[q]) {
      std::uint32_t row = 0;
      std::from_chars(id.data(), id.data() + id.size(), row);
      found += std::count(data.truth[q].begin(), data.truth[q].end(), row);
    }
  }
  return static_cast<double>(found) / static_cast<double>(kK * answers.size());
}

struct SingleInsertTimes {
  double memory_seconds = 0;
  double durable_seconds = 0;
};

// Inserts every vector, one call each, into both engines, which take turns chunk by chunk.
SingleInsertTimes insert_one_at_a_time(const DataSet& data, VectorDb& memory,
                                       PersistentVectorDb& durable) {
  SingleInsertTimes times;
  for (std::size_t begin = 0; begin < data.size(); begin += kInterleaveChunk) {
    const std::size_t end = std::min(begin + kInterleaveChunk, data.size());
    times.memory_seconds += seconds_taken([&] {
      for (std::size_t i = begin; i < end; ++i) {
        require(memory.insert(data.ids[i], data.row(i), std::nullopt), "in-memory insert");
      }
    });
    times.durable_seconds += seconds_taken([&] {
      for (std::size_t i = begin; i < end; ++i) {
        require(durable.insert(data.ids[i], data.row(i), std::nullopt), "durable insert");
      }
    });
  }
  return times;
}

std::vector<BatchEntry> batch_entries(const DataSet& data) {
  std::vector<BatchEntry> entries;
  entries.reserve(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::span<const float> row = data.row(i);
    entries.push_back({data.ids[i], {row.begin(), row.end()}, std::nullopt});
  }
  return entries;
}

// One batch upsert into an empty in-memory engine. The owned entries are made beforehand: the
// figure is the index build's.
double batch_build_seconds(const DataSet& data) {
  std::vector<BatchEntry> entries = batch_entries(data);
  VectorDb db(engine_config());
  return seconds_taken([&] { require(db.upsert_batch(std::move(entries)), "batch upsert"); });
}

struct DurableBatch {
  double seconds;
  double recall;
};

// One batch upsert into a new durable directory (logged, then linked as a parallel batch).
DurableBatch durable_batch(const DataSet& data, const std::filesystem::path& dir) {
  std::vector<BatchEntry> entries = batch_entries(data);
  std::unique_ptr<PersistentVectorDb> db = open_db(dir);
  const double seconds =
      seconds_taken([&] { require(db->upsert_batch(std::move(entries)), "durable batch upsert"); });
  return {seconds, recall_at_k(answer_queries(*db, data), data)};
}

std::vector<SnapshotFile> snapshots_of(const std::filesystem::path& data_dir) {
  Result<std::vector<SnapshotFile>> files =
      SnapshotManager::list_snapshots(data_dir / kSnapshotDirectory);
  require(files, "listing the snapshots");
  return std::move(*files);
}

// A second data directory holding only a copy of the log, for the replay figure.
void copy_log(const PersistentVectorDb& db, const std::filesystem::path& replay_dir) {
  const std::filesystem::path wal_dir = replay_dir / db.wal().directory().filename();
  std::filesystem::create_directories(wal_dir);
  std::filesystem::copy_file(db.wal().directory() / kWalFileName, wal_dir / kWalFileName);
}

struct ChurnFigures {
  double checkpoint_seconds;
  double recall;
};

// Replaces rows [begin, end) by upserting their own values again, then checkpoints: the figure
// is what a checkpoint costs once replaced versions are left out of the snapshot.
ChurnFigures replace_then_checkpoint(PersistentVectorDb& db, const DataSet& data, std::size_t begin,
                                     std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    require(db.upsert(data.ids[i], data.row(i), std::nullopt), "durable upsert");
  }
  const double seconds = seconds_taken([&] { require(db.checkpoint(), "checkpoint"); });
  return {seconds, recall_at_k(answer_queries(db, data), data)};
}

double megabytes(std::uintmax_t bytes) { return static_cast<double>(bytes) / 1e6; }

int run(std::size_t count, bool quick) {
  const Clock::time_point start = Clock::now();
  const HnswConfig hnsw;
  std::printf(
      "Durable engine benchmark%s: %zu random normal vectors, %zu-d, Euclidean; M = %llu, "
      "ef_construction = %llu; %u processors; load average %s\n\n",
      quick ? " (quick)" : "", count, kDimensions,
      static_cast<unsigned long long>(hnsw.max_connections),
      static_cast<unsigned long long>(hnsw.ef_construction), std::thread::hardware_concurrency(),
      load_average().c_str());
  const DataSet data = random_normal(count);
  const testing::TempDir temp;
  const std::filesystem::path data_dir = temp.path() / "db";
  const std::filesystem::path replay_dir = temp.path() / "replay";

  std::unique_ptr<PersistentVectorDb> db = open_db(data_dir);
  const SingleInsertTimes inserts = [&] {
    VectorDb memory(engine_config());
    return insert_one_at_a_time(data, memory, *db);
  }();
  if (!snapshots_of(data_dir).empty()) {
    throw std::runtime_error("the log outgrew its limit during the build and was checkpointed");
  }
  const double n = static_cast<double>(count);
  std::printf("Single inserts, one call per vector (the two builds take turns every %zu vectors)\n",
              kInterleaveChunk);
  std::printf("  %-40s %10.0f inserts/s  (%.2f s)\n", "in-memory VectorDb::insert",
              n / inserts.memory_seconds, inserts.memory_seconds);
  std::printf("  %-40s %10.0f inserts/s  (%.2f s; log %.1f MB, no fsync per write)\n",
              "durable PersistentVectorDb::insert", n / inserts.durable_seconds,
              inserts.durable_seconds, megabytes(db->wal().size()));
  std::printf("  %-40s %10.3fx            target >= 0.8x\n\n", "durable / in-memory",
              inserts.memory_seconds / inserts.durable_seconds);

  const Answers before = answer_queries(*db, data);
  copy_log(*db, replay_dir);
  const double checkpoint_seconds = seconds_taken([&] { require(db->checkpoint(), "checkpoint"); });
  const std::vector<SnapshotFile> snapshots = snapshots_of(data_dir);
  if (snapshots.size() != 1) throw std::runtime_error("expected exactly one snapshot file");
  std::printf("Checkpoint\n");
  std::printf("  %-40s %10.1f ms\n", "checkpoint (graph, vectors, fsync)",
              checkpoint_seconds * 1e3);
  std::printf("  %-40s %10.1f MB\n\n", "snapshot file",
              megabytes(std::filesystem::file_size(snapshots.front().path)));
  db.reset();

  const double snapshot_open_seconds = seconds_taken([&] { db = open_db(data_dir); });
  const Answers after = answer_queries(*db, data);
  // A tenth replaced leaves few removed nodes (repaired in place); then three tenths more leave
  // many (the live vectors are linked afresh).
  const ChurnFigures few = replace_then_checkpoint(*db, data, 0, count / 10);
  const ChurnFigures many = replace_then_checkpoint(*db, data, count / 10, count * 4 / 10);
  db.reset();
  const double batch_seconds = batch_build_seconds(data);
  const DurableBatch durable = durable_batch(data, temp.path() / "batch");
  std::unique_ptr<PersistentVectorDb> replayed;
  const double replay_open_seconds = seconds_taken([&] { replayed = open_db(replay_dir); });
  const std::size_t replayed_count = replayed->len();
  replayed.reset();

  std::printf("Reopen\n");
  std::printf("  %-40s %10.1f ms\n", "open from the snapshot (graph installed)",
              snapshot_open_seconds * 1e3);
  std::printf("  %-40s %10.2f s   (the in-memory single-insert build above)\n",
              "rebuild, one insert at a time", inserts.memory_seconds);
  std::printf("  %-40s %10.2f s   (%u threads)\n", "rebuild, one batch upsert", batch_seconds,
              std::thread::hardware_concurrency());
  std::printf("  %-40s %10.1fx            target >= 10x\n", "one-at-a-time rebuild / snapshot open",
              inserts.memory_seconds / snapshot_open_seconds);
  std::printf("  %-40s %10.1fx\n", "batch rebuild / snapshot open",
              batch_seconds / snapshot_open_seconds);
  std::printf("  %-40s %10.2f s   (%zu vectors restored)\n\n", "open by log replay (no snapshot)",
              replay_open_seconds, replayed_count);

  std::printf("Batch load, one upsert_batch of every vector (%u threads)\n",
              std::thread::hardware_concurrency());
  std::printf("  %-40s %10.2f s\n", "in-memory VectorDb::upsert_batch", batch_seconds);
  std::printf("  %-40s %10.2f s   recall@10 %.4f\n", "durable PersistentVectorDb::upsert_batch",
              durable.seconds, durable.recall);
  std::printf("  %-40s %10.3fx            target <= 1.15x\n\n", "durable / in-memory",
              durable.seconds / batch_seconds);

  std::printf("Checkpoint after replacing vectors (upserts of the same values)\n");
  std::printf("  %-40s %10.1f ms  recall@10 %.4f\n", "10% replaced (graph repaired)",
              few.checkpoint_seconds * 1e3, few.recall);
  std::printf("  %-40s %10.1f ms  recall@10 %.4f\n\n", "30% more replaced (graph relinked)",
              many.checkpoint_seconds * 1e3, many.recall);

  const bool identical = before == after;
  std::printf("Recall@10, %zu queries against brute force\n", kQueries);
  std::printf("  %-40s %10.4f\n", "before reopen", recall_at_k(before, data));
  std::printf("  %-40s %10.4f\n", "after reopen from the snapshot", recall_at_k(after, data));
  std::printf("  %-40s %10s\n", "same hits and distances", identical ? "yes" : "NO");
  std::printf("\nTotal %.0f s; load average %s\n", seconds_since(start), load_average().c_str());
  if (replayed_count != count) {
    std::fprintf(stderr, "the log replay restored %zu of %zu vectors\n", replayed_count, count);
    return 1;
  }
  return identical ? 0 : 1;
}

}  // namespace
}  // namespace vexradb::bench

int main(int argc, char** argv) {
  using namespace vexradb::bench;
  return benchmark_main(argc, argv,
                        [](bool quick) { return run(quick ? kQuickCount : kFullCount, quick); });
}
