// What constant updates do to an in-memory client (prints figures; never a test):
// - the query rate as replaced versions pile up in an engine that keeps them (the measurement
//   behind the share at which clients reclaim them);
// - a client whose same 10,000 ids (128-d, clustered) are upserted in rounds of one batch each:
//   resident memory and query rate after the rounds, next to a single load and to a fresh client
//   holding the same final vectors, with recall@10 against brute force; and the time the rounds
//   took; and the same for rounds of single upserts, and for batch rounds into an SQ8 client.
//
// `--quick` runs 10 batch rounds instead of 100, and 1 round of single upserts instead of 5.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "client_bench_support.hpp"
#include "clustered.hpp"
#include "kernels/distance.hpp"

namespace vexradb::bench {
namespace {

using ffi::VexraClient;

constexpr std::uint32_t kDimensions = 128;
constexpr std::size_t kCount = 10'000;
constexpr std::size_t kClusters = 100;
constexpr float kSpread = 0.2f;
constexpr std::size_t kQueries = 1000;
constexpr std::uint32_t kK = 10;
constexpr std::size_t kFullRounds = 100;
constexpr std::size_t kQuickRounds = 10;
constexpr std::size_t kSingleUpsertRounds = 5;

// Resident set size of this process, in MiB.
double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// The vectors of round `round` (0: the first load): a fresh draw around the same centres.
std::vector<std::vector<float>> round_vectors(std::size_t round) {
  return testing::clustered_vectors(kCount, kDimensions, kClusters, kSpread,
                                    static_cast<std::uint32_t>(7 + round * 2));
}

std::vector<ffi::VectorEntry> entries_of(const std::vector<std::vector<float>>& vectors) {
  std::vector<ffi::VectorEntry> entries;
  entries.reserve(vectors.size());
  for (std::size_t i = 0; i < vectors.size(); ++i)
    entries.push_back({id_of(i), vectors[i], std::nullopt});
  return entries;
}

VexraClient loaded_client(Quantization quantization,
                          const std::vector<std::vector<float>>& vectors) {
  ffi::ClientConfig config{kDimensions, DistanceMetric::Euclidean, quantization, false,
                           std::nullopt};
  VexraClient client = require(VexraClient::open("", config), "open");
  require(client.upsert_batch(entries_of(vectors)), "batch upsert");
  return client;
}

struct Rate {
  double queries_per_second;
  double recall;
};

// Single-thread queries per second over `queries` (the fastest of five passes: the machines are
// shared), and recall@10 against `vectors` by scan.
template <class Search>
Rate measure(Search search, const std::vector<std::vector<float>>& vectors,
             const std::vector<std::vector<float>>& queries) {
  std::vector<std::vector<std::string>> answers;
  double seconds = 0;
  for (int pass = 0; pass < 5; ++pass) {
    answers.clear();
    const Clock::time_point start = Clock::now();
    for (const auto& query : queries) answers.push_back(search(query));
    const double taken = seconds_since(start);
    seconds = pass == 0 ? taken : std::min(seconds, taken);
  }
  std::size_t found = 0;
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const std::vector<std::size_t> truth = testing::exact_nearest(
        vectors.size(), kK,
        [&](std::size_t i) { return distance(DistanceMetric::Euclidean, queries[q], vectors[i]); },
        [](std::size_t) { return true; });
    const std::set<std::string> returned(answers[q].begin(), answers[q].end());
    for (const std::size_t i : truth) found += returned.count(id_of(i));
  }
  return {static_cast<double>(queries.size()) / seconds,
          static_cast<double>(found) / static_cast<double>(queries.size() * kK)};
}

std::vector<std::string> client_search(const VexraClient& client, const std::vector<float>& q) {
  std::vector<std::string> ids;
  const std::vector<ffi::SearchResult> hits = require(client.search(q, kK, nullptr), "search");
  for (const ffi::SearchResult& hit : hits) ids.push_back(hit.id);
  return ids;
}

// Queries per second of an engine that keeps every replaced version, as the share of them grows.
void removed_share_curve(const std::vector<std::vector<float>>& queries) {
  std::printf("Query rate as replaced versions pile up (engine without reclaim)\n");
  Config config;
  config.dimensions = kDimensions;
  config.distance_metric = DistanceMetric::Euclidean;
  VectorDb db(config);
  std::vector<std::vector<float>> vectors = round_vectors(0);
  std::vector<BatchEntry> entries;
  for (std::size_t i = 0; i < kCount; ++i) entries.push_back({VectorId(id_of(i)), vectors[i], {}});
  if (!db.upsert_batch(std::move(entries))) throw std::runtime_error("batch upsert failed");
  const std::vector<std::vector<float>> replacements = round_vectors(1);
  std::mt19937 rng(5);
  std::vector<std::size_t> order(kCount);
  for (std::size_t i = 0; i < kCount; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::size_t replaced = 0;
  double fresh_rate = 0;
  for (const double share : {0.0, 0.1, 0.2, 0.3, 0.5}) {
    // Replaced versions r among nodes n + r: r = share * n / (1 - share).
    const auto target = static_cast<std::size_t>(share * kCount / (1.0 - share));
    for (; replaced < target; ++replaced) {
      const std::size_t i = order[replaced % kCount];
      vectors[i] = replacements[i];
      if (!db.upsert(VectorId(id_of(i)), vectors[i], std::nullopt))
        throw std::runtime_error("upsert failed");
    }
    const Rate rate = measure(
        [&](const std::vector<float>& q) {
          std::vector<std::string> ids;
          const std::vector<SearchHit> hits = db.search(q, kK, nullptr).value();
          for (const SearchHit& hit : hits) ids.push_back(hit.id.str());
          return ids;
        },
        vectors, queries);
    if (share == 0.0) fresh_rate = rate.queries_per_second;
    std::printf("  %3.0f%% of the graph replaced versions   %8.0f queries/s  %5.3fx  recall %.4f\n",
                share * 100, rate.queries_per_second, rate.queries_per_second / fresh_rate,
                rate.recall);
  }
  std::printf("\n");
}

// A client loaded once, then `rounds` rounds of `upsert_all` replacing every vector: memory and
// query rate after them, next to the single load and to a fresh client of the final vectors.
template <class UpsertAll>
void churn_rounds(const char* what, Quantization quantization, std::size_t rounds,
                  const std::vector<std::vector<float>>& queries, UpsertAll upsert_all) {
  ::malloc_trim(0);  // what earlier clients freed, so that the baseline is this process's own
  const double base_mib = resident_mib();
  std::vector<std::vector<float>> vectors = round_vectors(0);
  double loaded_mib = 0, churned_mib = 0, load_seconds = 0, rounds_seconds = 0;
  Rate loaded_rate{}, churned_rate{};
  {
    const Clock::time_point loading = Clock::now();
    VexraClient client = loaded_client(quantization, vectors);
    load_seconds = seconds_since(loading);
    loaded_mib = resident_mib() - base_mib;
    loaded_rate =
        measure([&](const auto& q) { return client_search(client, q); }, vectors, queries);
    for (std::size_t round = 1; round <= rounds; ++round) {
      vectors = round_vectors(round);
      const Clock::time_point start = Clock::now();
      upsert_all(client, vectors);
      rounds_seconds += seconds_since(start);
    }
    churned_mib = resident_mib() - base_mib;
    churned_rate =
        measure([&](const auto& q) { return client_search(client, q); }, vectors, queries);
  }
  const VexraClient fresh = loaded_client(quantization, vectors);
  const Rate fresh_rate =
      measure([&](const auto& q) { return client_search(fresh, q); }, vectors, queries);

  std::printf("One %s client, %zu rounds of %s (%zu ids)\n",
              quantization == Quantization::SQ8 ? "SQ8" : "full-precision", rounds, what, kCount);
  std::printf("  %-44s %8.1f MiB (above the process's %.1f MiB before it)\n",
              "resident memory after the first load", loaded_mib, base_mib);
  std::printf("  %-44s %8.1f MiB  %5.2fx   target <= 1.5x\n", "resident memory after the rounds",
              churned_mib, churned_mib / loaded_mib);
  std::printf("  %-44s %8.0f queries/s  recall %.4f\n", "after the first load",
              loaded_rate.queries_per_second, loaded_rate.recall);
  std::printf("  %-44s %8.0f queries/s  recall %.4f\n", "after the rounds",
              churned_rate.queries_per_second, churned_rate.recall);
  std::printf("  %-44s %8.0f queries/s  recall %.4f\n", "fresh client, same final vectors",
              fresh_rate.queries_per_second, fresh_rate.recall);
  std::printf("  %-44s %8.3fx            target >= 0.9x\n", "after the rounds / fresh",
              churned_rate.queries_per_second / fresh_rate.queries_per_second);
  std::printf("  %-44s %8.2f s per round (reclaiming included), first load %.2f s\n\n", "time",
              rounds_seconds / static_cast<double>(rounds), load_seconds);
}

int run(bool quick) {
  const std::size_t rounds = quick ? kQuickRounds : kFullRounds;
  std::printf(
      "Update benchmark%s: %zu clustered vectors, %u-d, Euclidean, in memory; reclaim at %.0f%% "
      "removed; load average %s\n\n",
      quick ? " (quick)" : "", kCount, kDimensions, kReclaimShare * 100, load_average().c_str());
  const std::vector<std::vector<float>> queries =
      testing::clustered_vectors(kQueries, kDimensions, kClusters, kSpread, 1000);
  removed_share_curve(queries);

  const auto batch_upsert = [](VexraClient& client,
                               const std::vector<std::vector<float>>& vectors) {
    require(client.upsert_batch(entries_of(vectors)), "batch upsert");
  };
  churn_rounds("one batch upsert of every id", Quantization::None, rounds, queries, batch_upsert);
  churn_rounds("single upserts of every id", Quantization::None, quick ? 1 : kSingleUpsertRounds,
               queries, [](VexraClient& client, const std::vector<std::vector<float>>& vectors) {
                 for (std::size_t i = 0; i < vectors.size(); ++i)
                   require(client.upsert(id_of(i), vectors[i], std::nullopt), "upsert");
               });
  churn_rounds("one batch upsert of every id", Quantization::SQ8, rounds, queries, batch_upsert);
  std::printf("Load average after: %s\n", load_average().c_str());
  return 0;
}

}  // namespace
}  // namespace vexradb::bench

int main(int argc, char** argv) {
  return vexradb::bench::benchmark_main(argc, argv, vexradb::bench::run);
}
