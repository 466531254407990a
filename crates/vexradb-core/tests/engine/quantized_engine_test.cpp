#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "clustered.hpp"
#include "engine/engine.hpp"
#include "filtered_recall.hpp"
#include "graph/hnsw_impl.hpp"
#include "kernels/distance.hpp"
#include "random_vectors.hpp"
#include "reachability.hpp"
#include "storage/quantized_storage.hpp"

namespace vexradb {
namespace {

Config quantized_config(std::uint64_t dimensions, Quantization mode,
                        DistanceMetric metric = DistanceMetric::Euclidean) {
  Config config;
  config.dimensions = dimensions;
  config.distance_metric = metric;
  config.quantization = mode;
  config.oversampling = 3;
  return config;
}

using testing::random_vector;

TEST(QuantizedStorageTest, CountsEveryIdAndKeepsReplacedVersionsUntombstoned) {
  QuantizedStorage storage(4, Quantization::SQ8, Originals::None);
  EXPECT_EQ(storage.memory_usage(), 0u);
  const std::vector<float> v{-1, 0, 0.5f, 1};
  const InternalId first = storage.insert_internal(VectorId("a"), v, {}, false).value();
  EXPECT_EQ(storage.memory_usage(), 4u + 8u);
  const InternalId second = storage.insert_internal(VectorId("a"), v, {}, true).value();
  EXPECT_EQ(storage.len(), 2u);
  EXPECT_FALSE(storage.is_deleted(first));
  EXPECT_EQ(storage.get_internal_id("a"), second);
  EXPECT_TRUE(storage.remove("a"));
  EXPECT_EQ(storage.len(), 2u);  // deletions do not reduce it
  EXPECT_TRUE(storage.is_deleted(second));

  auto duplicate = storage.insert_internal(VectorId("b"), v, {}, false);
  ASSERT_TRUE(duplicate.has_value());
  EXPECT_EQ(storage.insert_internal(VectorId("b"), v, {}, false).error().kind(),
            ErrorKind::DuplicateVectorId);
  EXPECT_EQ(storage.insert_internal(VectorId("c"), std::vector<float>(3), {}, false).error().kind(),
            ErrorKind::DimensionMismatch);
}

TEST(QuantizedStorageTest, WhatEachModeCanGiveBack) {
  const std::vector<float> v{-1, 0, 0.5f, 1};
  QuantizedStorage sq8(4, Quantization::SQ8, Originals::None);
  sq8.insert_internal(VectorId("a"), v, {}, false).value();
  const auto rebuilt = sq8.get_vector_data(0);
  ASSERT_TRUE(rebuilt.has_value());
  for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR((*rebuilt)[i], v[i], 2.0f / 255);
  EXPECT_FALSE(sq8.has_originals());

  QuantizedStorage binary(4, Quantization::Binary, Originals::None);
  binary.insert_internal(VectorId("a"), v, {}, false).value();
  EXPECT_FALSE(binary.get_vector_data(0));
  EXPECT_EQ(binary.memory_usage(), 1u);
  EXPECT_EQ(binary.distance(0, v, DistanceMetric::Cosine), 0.0f);

  QuantizedStorage kept(128, Quantization::SQ8, Originals::InMemory);
  kept.insert_internal(VectorId("a"), std::vector<float>(128, 1), {}, false).value();
  EXPECT_EQ(kept.memory_usage(), 128u + 8u + 512u + 8u);  // codes, parameters, original, its place
  EXPECT_EQ(kept.get_vector_data(0), std::vector<float>(128, 1));  // the original first
}

class QuantizedEngineTest : public ::testing::TestWithParam<Quantization> {
 protected:
  QuantizedVectorDb db_{quantized_config(3, GetParam()), GetParam() == Quantization::SQ8,
                        Originals::None};
};

TEST_P(QuantizedEngineTest, EmptyDeletedAndReplacedVectorsAreNeverReturned) {
  EXPECT_EQ(db_.search(std::vector<float>{1, 0, 0}, 1, nullptr).error().kind(),
            ErrorKind::IndexEmpty);
  ASSERT_TRUE(db_.insert(VectorId("a"), std::vector<float>{1, 0, 0}, std::nullopt));
  ASSERT_TRUE(db_.insert(VectorId("b"), std::vector<float>{0, 1, 0}, std::nullopt));
  ASSERT_TRUE(db_.insert(VectorId("c"), std::vector<float>{0, 0, 1}, std::nullopt));
  EXPECT_TRUE(db_.remove("b"));
  EXPECT_EQ(db_.len(), 3u);
  ASSERT_TRUE(db_.upsert(VectorId("a"), std::vector<float>{-1, 0, 0}, std::nullopt));

  const auto hits = db_.search(std::vector<float>{-1, 0, 0}, 10, nullptr).value();
  std::multiset<std::string> ids;
  for (const SearchHit& hit : hits) ids.insert(hit.id.str());
  EXPECT_EQ(ids, (std::multiset<std::string>{"a", "c"}));
  EXPECT_EQ(hits.front().id.str(), "a");  // the newest version, at its own distance
  EXPECT_EQ(db_.list(0, 10).size(), 2u);

  EXPECT_TRUE(db_.remove("a"));
  EXPECT_TRUE(db_.remove("c"));
  EXPECT_TRUE(db_.search(std::vector<float>{1, 0, 0}, 10, nullptr).value().empty());
}

TEST_P(QuantizedEngineTest, GetGivesTheReconstructionOrVectorNotFound) {
  ASSERT_TRUE(db_.insert(VectorId("a"), std::vector<float>{0, 1, 2}, Json{{"k", 1}}));
  const auto got = db_.get("a");
  if (GetParam() == Quantization::SQ8) {
    ASSERT_TRUE(got.has_value() && got->has_value());
    const float scale = 2.0f / 255.0f;  // codes (0, 127, 254), offset 0
    EXPECT_EQ((*got)->vector,
              (std::vector<float>{0.0f, scale * 127.0f + 0.0f, scale * 254.0f + 0.0f}));
    EXPECT_NE((*got)->vector[2], 2.0f);  // the reconstruction, not the inserted value
  } else {
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), ErrorKind::VectorNotFound);
  }
  EXPECT_EQ(db_.list(0, 10).size(), 1u);
  EXPECT_FALSE(db_.get("missing").value().has_value());
}

INSTANTIATE_TEST_SUITE_P(Modes, QuantizedEngineTest,
                         ::testing::Values(Quantization::SQ8, Quantization::Binary));

// A graph cannot rank neighbours by binary codes alone: such an engine scans, and every stored
// vector is found by its own value.
TEST(QuantizedEngineGraphTest, BinaryCodesWithoutOriginalsAreScanned) {
  const Config config = quantized_config(64, Quantization::Binary);
  EXPECT_NE(QuantizedVectorDb(config, true, Originals::InMemory).index(), nullptr);
  QuantizedVectorDb db(config, true, Originals::None);
  EXPECT_EQ(db.index(), nullptr);
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> vectors(300, std::vector<float>(64));
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    for (float& x : vectors[i]) x = normal(rng);
    std::string id = "v";
    ASSERT_TRUE(db.insert(VectorId(id += std::to_string(i)), vectors[i], std::nullopt));
  }
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const auto hits = db.search(vectors[i], 3, nullptr).value();
    std::string id = "v";
    id += std::to_string(i);
    const bool found = std::any_of(hits.begin(), hits.end(), [&](const SearchHit& hit) {
      return hit.id.str() == id && hit.distance == hits.front().distance;
    });
    EXPECT_TRUE(found) << i;
  }
}

// The engine scores whole neighbour lists with the batched SQ8 kernel. The graph it builds must be
// the one that scoring every vector alone (through the store's single distance) builds from the
// same levels, list for list, and searches must walk it to the same hits at the same distances,
// under every metric and with a dimension that leaves a remainder past the kernels' blocks.
TEST(QuantizedEngineGraphTest, BatchedScoringBuildsAndSearchesAsSingleScoring) {
  constexpr std::size_t kDim = 45, kCount = 1200;
  const auto data = testing::clustered_vectors(kCount, kDim, 12, 0.3f, 41);
  const auto queries = testing::random_vectors(20, kDim, 42);
  for (const DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    QuantizedVectorDb db(quantized_config(kDim, Quantization::SQ8, metric), true, Originals::None);
    std::vector<BatchEntry> entries;
    for (std::size_t i = 0; i + 50 < kCount; ++i) {
      entries.push_back({VectorId(std::to_string(i)), data[i], std::nullopt});
    }
    reseed_level_generator(9);
    ASSERT_TRUE(db.upsert_batch(std::move(entries)));
    for (std::size_t i = kCount - 50; i < kCount; ++i) {
      ASSERT_TRUE(db.insert(VectorId(std::to_string(i)), data[i], std::nullopt));
    }

    reseed_level_generator(9);
    HnswIndex single(db.config().hnsw, metric);
    std::vector<BatchItem> items;
    for (std::size_t i = 0; i < kCount; ++i) items.push_back({static_cast<InternalId>(i), data[i]});
    const QuantizedStorage& store = db.storage();  // no batched form: one distance at a time
    single.insert_batch(std::span(items).first(kCount - 50), store);
    for (const BatchItem& item : std::span(items).subspan(kCount - 50)) {
      single.insert(item.id, item.vector, store);
    }

    const HnswIndex::State expected = single.state();
    const HnswIndex::State built = db.index()->state();
    ASSERT_EQ(built.nodes.size(), expected.nodes.size());
    for (std::size_t i = 0; i < built.nodes.size(); ++i) {
      ASSERT_EQ(built.nodes[i].neighbors, expected.nodes[i].neighbors) << "node " << i;
    }
    EXPECT_EQ(built.entry_point, expected.entry_point);
    for (const auto& query : queries) {
      const auto hits = db.search(query, 10, nullptr).value();
      auto distance = [&](InternalId id) { return store.distance(id, query, metric); };
      const auto walked = single.search(distance, 20, [](InternalId) { return true; }).value();
      ASSERT_EQ(hits.size(), 10u);
      for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].id.str(), std::to_string(walked[i].id));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(hits[i].distance),
                  std::bit_cast<std::uint32_t>(walked[i].distance));
      }
    }
  }
}

// The scan scores ranges of the store, or runs of consecutive admitted ids, in one kernel pass and
// keeps the best candidates with a bounded selection; it must equal a stable sort of every
// admitted vector by its single binary distance (ties by ascending id, which binary distances
// produce in plenty): over a store of live vectors only (more than one range of them), then once
// replaced and deleted versions break the runs. Filters come listed by the metadata index (Eq) or
// tested as the scan goes (Not); k goes past the number admitted.
TEST(QuantizedScanTest, BoundedSelectionMatchesAFullStableSort) {
  std::mt19937 rng(5);
  QuantizedVectorDb db(quantized_config(16, Quantization::Binary), false, Originals::None);
  std::vector<std::vector<float>> data;  // by internal id
  const Filter odd(Filter::Eq{"odd", Json(1)});
  const Filter even = Filter::negate(odd).value();
  const BinaryQuantizer quantizer(16);
  auto expect_scans_match_a_sort = [&] {
    for (int q = 0; q < 5; ++q) {
      const std::vector<float> query = random_vector(rng, 16);
      const auto query_code = quantizer.quantize(query);
      for (const Filter* filter : {static_cast<const Filter*>(nullptr), &odd, &even}) {
        auto passes = [&](InternalId id) {
          return filter == nullptr || (filter == &odd) == (id % 2 == 1);
        };
        std::vector<std::pair<float, std::string>> admitted;
        for (InternalId id = 0; id < data.size(); ++id) {
          const std::string external = std::to_string(id % 500);
          if (db.storage().get_internal_id(external) != id || !passes(id)) continue;
          admitted.emplace_back(binary_distance(query_code, quantizer.quantize(data[id]), 16),
                                external);
        }
        std::stable_sort(admitted.begin(), admitted.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const std::size_t k : {std::size_t{25}, admitted.size() + 5}) {
          const auto hits = db.search(query, k, filter).value();
          ASSERT_EQ(hits.size(), std::min(k, admitted.size()));
          for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_EQ(hits[i].id.str(), admitted[i].second) << "rank " << i;
            EXPECT_EQ(hits[i].distance, admitted[i].first);
          }
        }
      }
    }
  };
  for (int i = 0; i < 700; ++i) {
    data.push_back(random_vector(rng, 16));
    ASSERT_TRUE(db.upsert(VectorId(std::to_string(i % 500)), data.back(), Json{{"odd", i % 2}}));
    if (i == 499) expect_scans_match_a_sort();
  }
  for (int i = 3; i < 500; i += 7) ASSERT_TRUE(db.remove(std::to_string(i)));
  expect_scans_match_a_sort();
}

TEST(QuantizedRescoreTest, RescoredDistancesAreExactAndOrderTheResults) {
  std::mt19937 rng(6);
  Config config = quantized_config(32, Quantization::SQ8);
  config.rescore = true;
  QuantizedVectorDb db(config, true, Originals::InMemory);
  std::vector<std::vector<float>> data;
  for (int i = 0; i < 300; ++i) {
    data.push_back(random_vector(rng, 32));
    ASSERT_TRUE(db.insert(VectorId(std::to_string(i)), data.back(), std::nullopt));
  }
  const std::vector<float> query = random_vector(rng, 32);
  const auto hits = db.search(query, 10, nullptr).value();
  ASSERT_EQ(hits.size(), 10u);
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const auto& v = data[std::stoi(hits[i].id.str())];
    EXPECT_EQ(hits[i].distance, distance(DistanceMetric::Euclidean, query, v));
    if (i > 0) {
      EXPECT_LE(hits[i - 1].distance, hits[i].distance);
    }
  }
}

// The 8-bit engine walks its graph by quantized distances, and an upsert leaves the replaced
// version untombstoned: with a filter admitting a few of several thousand vectors, and after
// every vector was replaced, a search still returns min(k, qualifying) current versions, the
// nearest by the engine's own quantized distances.
TEST(QuantizedFilteredSearchTest, SelectiveFiltersAndReplacedVersionsNeverShortenResults) {
  constexpr std::size_t kCount = 1500, kK = 10;
  const auto data = testing::clustered_vectors(kCount, 16, 15, 0.1f, 31);
  for (const SearchStrategy strategy : {SearchStrategy::GraphWalk, SearchStrategy::Planned}) {
    reseed_level_generator(6);
    Config config = quantized_config(16, Quantization::SQ8);
    config.search_strategy = strategy;
    QuantizedVectorDb db(config, true, Originals::None);
    auto load = [&] {
      std::vector<BatchEntry> entries;
      for (std::size_t i = 0; i < kCount; ++i) {
        entries.push_back({VectorId(std::to_string(i)), data[i], Json{{"b", i % 500}}});
      }
      ASSERT_TRUE(db.upsert_batch(std::move(entries)));
    };
    std::vector<std::vector<float>> queries;
    for (std::size_t i = 0; i < 20; ++i) queries.push_back(data[(i * 211) % kCount]);
    std::vector<Json> values;
    for (int b = 0; b < 10; ++b) values.push_back(Json(b * 7));
    const Filter one(Filter::Eq{"b", Json(3)});
    const Filter few(Filter::In{"b", values});
    struct Case {
      const Filter* filter;
      bool (*qualifies)(std::size_t);
    };
    const Case cases[] = {
        {&one, [](std::size_t i) { return i % 500 == 3; }},
        {&few, [](std::size_t i) { return i % 500 < 70 && i % 500 % 7 == 0; }},
        {nullptr, [](std::size_t) { return true; }},
    };
    for (int round = 0; round < 2; ++round) {  // the second loads every id again
      load();
      const std::size_t first = round * kCount;  // internal id of position 0 in this round
      for (const Case& c : cases) {
        auto truth = [&](const std::vector<float>& query) {
          std::vector<std::string> ids;
          auto quantized = [&](std::size_t i) {
            return *db.storage().distance(static_cast<InternalId>(first + i), query,
                                          DistanceMetric::Euclidean);
          };
          for (const std::size_t i : testing::exact_nearest(kCount, kK, quantized, c.qualifies)) {
            ids.push_back(std::to_string(i));
          }
          return ids;
        };
        EXPECT_GE(testing::filtered_recall(db, queries, kK, c.filter, truth, false), 0.99);
      }
    }
  }
}

// What a quantized engine shows of its store: the listing, every vector as get() gives it back
// (bit for bit) with its metadata.
using Shown = std::tuple<std::string, std::optional<Json>, std::optional<StoredVector>>;
std::vector<Shown> contents(const QuantizedVectorDb& db) {
  std::vector<Shown> shown;
  for (ListItem& item : db.list(0, UINT32_MAX)) {
    const auto got = db.get(item.id.str());
    shown.emplace_back(item.id.str(), std::move(item.metadata), got ? *got : std::nullopt);
  }
  return shown;
}

// Replaced and deleted versions of a quantized engine are reclaimed as a full-precision one's
// are, with their codes copied: the store shows exactly what it showed, len() still counts every
// vector ever stored, every live node stays reachable and searches still find the true
// neighbours, through a repaired graph (a tenth removed) and a relinked one (past a fifth).
TEST(QuantizedReclaimTest, CompactionKeepsTheStoreItsLenAndItsRecall) {
  reseed_level_generator(4);
  constexpr std::size_t kDim = 32, kCount = 2000;
  const auto data = testing::random_vectors(kCount, kDim, 21);
  const auto replacements = testing::random_vectors(kCount, kDim, 22);
  auto db = std::make_unique<QuantizedVectorDb>(quantized_config(kDim, Quantization::SQ8), true,
                                                Originals::None);
  std::vector<BatchEntry> entries;
  for (std::size_t i = 0; i < kCount; ++i) {
    std::optional<Json> metadata;
    if (i % 2 == 0) metadata = Json{{"i", i}};
    entries.push_back({VectorId("v" + std::to_string(i)), data[i], metadata});
  }
  ASSERT_TRUE(db->upsert_batch(std::move(entries)));
  std::set<std::size_t> deleted;
  std::vector<std::vector<float>> current = data;
  const auto change = [&](std::size_t i) {
    const std::string id = "v" + std::to_string(i);
    if (i % 3 == 0) {
      ASSERT_TRUE(db->remove(id));
      deleted.insert(i);
    } else {
      ASSERT_TRUE(db->upsert(VectorId(id), replacements[i], Json{{"r", i}}));
      current[i] = replacements[i];
    }
  };
  const auto check_compaction = [&](bool force) {
    const auto shown = contents(*db);
    const std::size_t len = db->len();
    const QuantizedVectorDb* before = db.get();
    ASSERT_TRUE(reclaim_space(db, force));
    EXPECT_NE(db.get(), before);
    EXPECT_EQ(db->removed_count(), 0u);
    EXPECT_EQ(db->len(), len);
    EXPECT_EQ(contents(*db), shown);
    EXPECT_EQ(testing::reachable_count(db->index()->state()), shown.size());

    std::vector<std::pair<std::string, std::vector<float>>> live;
    for (std::size_t i = 0; i < kCount; ++i) {
      if (!deleted.contains(i)) live.emplace_back("v" + std::to_string(i), current[i]);
    }
    const double recall = testing::filtered_recall(
        *db, testing::random_vectors(100, kDim, 23), 10, nullptr,
        [&](const std::vector<float>& query) {
          return testing::exact_nearest_ids(live, query, 10, DistanceMetric::Euclidean);
        },
        false);
    EXPECT_GE(recall, 0.85);
  };

  for (std::size_t i = 0; i < kCount; i += 10) change(i);  // a tenth: the graph is repaired
  check_compaction(/*force=*/true);
  for (std::size_t i = 1; i < kCount; i += 2) change(i);  // half: linked afresh
  check_compaction(/*force=*/false);

  // Emptied and compacted to nothing, it answers as it did: no hits, not IndexEmpty.
  for (const ListItem& item : db->list(0, UINT32_MAX)) ASSERT_TRUE(db->remove(item.id.str()));
  const std::size_t len = db->len();
  ASSERT_TRUE(reclaim_space(db));
  EXPECT_EQ(db->version_count(), 0u);
  EXPECT_EQ(db->len(), len);
  const auto hits = db->search(data[0], 10, nullptr);
  ASSERT_TRUE(hits.has_value());
  EXPECT_TRUE(hits->empty());
}

// A binary store scans its codes; compacted, it keeps them, so every search gives the very same
// results, distances and tie order included.
TEST(QuantizedReclaimTest, CompactedScanGivesTheSameResults) {
  constexpr std::size_t kDim = 64, kCount = 600;
  const auto data = testing::random_vectors(kCount, kDim, 31);
  auto db = std::make_unique<QuantizedVectorDb>(quantized_config(kDim, Quantization::Binary), false,
                                                Originals::None);
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_TRUE(db->insert(VectorId("v" + std::to_string(i)), data[i], std::nullopt));
  }
  for (std::size_t i = 0; i < kCount; i += 2) ASSERT_TRUE(db->remove("v" + std::to_string(i)));
  const auto queries = testing::random_vectors(20, kDim, 32);
  std::vector<std::vector<SearchHit>> before;
  for (const auto& query : queries) before.push_back(db->search(query, 25, nullptr).value());
  ASSERT_TRUE(reclaim_space(db));
  ASSERT_EQ(db->version_count(), kCount / 2);
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const auto after = db->search(queries[q], 25, nullptr).value();
    ASSERT_EQ(after.size(), before[q].size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      EXPECT_EQ(after[i].id, before[q][i].id);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(after[i].distance),
                std::bit_cast<std::uint32_t>(before[q][i].distance));
    }
  }
}

// Clustered data: recall@10 of SQ8 through the graph and of the binary scan, against an exact
// scan of the full-precision vectors.
TEST(QuantizedRecallTest, ClusteredVectors) {
  reseed_level_generator(1);  // graphs built here are reproducible
  constexpr std::size_t kDim = 128, kCount = 10000, kQueries = 100;
  std::mt19937 rng(8);
  std::vector<std::vector<float>> centers;
  for (int c = 0; c < 50; ++c) centers.push_back(random_vector(rng, kDim));
  std::normal_distribution<float> noise(0, 0.4f);
  auto sample = [&] {
    std::vector<float> v = centers[rng() % centers.size()];
    for (float& x : v) x += noise(rng);
    return v;
  };
  std::vector<std::vector<float>> data(kCount), queries(kQueries);
  for (auto& v : data) v = sample();
  for (auto& q : queries) q = sample();

  for (const Quantization mode : {Quantization::SQ8, Quantization::Binary}) {
    QuantizedVectorDb db(quantized_config(kDim, mode, DistanceMetric::Cosine),
                         mode == Quantization::SQ8, Originals::None);
    std::vector<BatchEntry> entries;
    for (std::size_t i = 0; i < kCount; ++i) {
      entries.push_back({VectorId(std::to_string(i)), data[i], std::nullopt});
    }
    ASSERT_TRUE(db.upsert_batch(std::move(entries)));
    std::size_t found = 0;
    for (const auto& q : queries) {
      std::vector<std::pair<float, std::size_t>> exact;
      for (std::size_t i = 0; i < kCount; ++i) {
        exact.emplace_back(distance(DistanceMetric::Cosine, q, data[i]), i);
      }
      std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
      std::set<std::string> truth;
      for (int i = 0; i < 10; ++i) truth.insert(std::to_string(exact[i].second));
      const auto hits = db.search(q, 10, nullptr).value();
      for (const SearchHit& hit : hits) found += truth.count(hit.id.str());
    }
    const double recall = static_cast<double>(found) / (kQueries * 10);
    std::printf("%s recall@10: %.3f\n", mode == Quantization::SQ8 ? "SQ8 (graph)" : "binary (scan)",
                recall);
    EXPECT_GE(recall, mode == Quantization::SQ8 ? 0.85 : 0.1);
  }
}

}  // namespace
}  // namespace vexradb
