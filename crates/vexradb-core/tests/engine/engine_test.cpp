#include "engine/engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "base/fair_shared_mutex.hpp"
#include "clustered.hpp"
#include "datasets.hpp"
#include "filtered_recall.hpp"
#include "fnv_digest.hpp"
#include "kernels/distance.hpp"
#include "random_vectors.hpp"
#include "reachability.hpp"

// ---- An allocator that fails on demand --------------------------------------------------------

namespace vexradb::testing {
// While not negative, the number of allocations left before one throws std::bad_alloc.
std::atomic<std::int64_t> allocations_before_failure{-1};
}  // namespace vexradb::testing

// This test program's allocation functions: malloc, failing when told to. Every form but the
// aligned ones is replaced, so that no block passes between these and a sanitizer's own. (The
// compiler, seeing both halves inlined, would take the pairs for mismatches.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
void* allocate(std::size_t size) noexcept {
  using vexradb::testing::allocations_before_failure;
  if (allocations_before_failure.load(std::memory_order_relaxed) >= 0 &&
      allocations_before_failure.fetch_sub(1, std::memory_order_relaxed) == 0)
    return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* allocate_or_throw(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
}  // namespace
void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace vexradb {
namespace {

Config config_for(std::uint64_t dimensions, DistanceMetric metric) {
  Config config;
  config.dimensions = dimensions;
  config.distance_metric = metric;
  return config;
}

using testing::random_vectors;
using testing::reachable_count;

std::string id_of(std::size_t i) {
  std::string id = "v";  // appended, not `"v" + ...`: g++ 12 -O3 warns wrongly on the latter
  return id += std::to_string(i);
}

std::vector<BatchEntry> entries_for(const std::vector<std::vector<float>>& vectors) {
  std::vector<BatchEntry> entries;
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    entries.push_back({VectorId(id_of(i)), vectors[i], Json{{"i", i}}});
  }
  return entries;
}

// Mean share of the true k nearest (by exhaustive scan) that the engine returns.
double recall_at_k(const VectorDb& db, const std::vector<std::vector<float>>& data,
                   const std::vector<std::vector<float>>& queries, std::size_t k) {
  std::size_t found = 0;
  for (const auto& query : queries) {
    std::vector<std::pair<float, std::size_t>> exact;
    for (std::size_t i = 0; i < data.size(); ++i) {
      exact.emplace_back(distance(db.config().distance_metric, query, data[i]), i);
    }
    std::partial_sort(exact.begin(), exact.begin() + k, exact.end());
    std::set<std::string> truth;
    for (std::size_t i = 0; i < k; ++i) truth.insert(id_of(exact[i].second));
    const auto hits = db.search(query, k, nullptr);
    EXPECT_TRUE(hits.has_value());
    for (const SearchHit& hit : hits.value_or(std::vector<SearchHit>{})) {
      found += truth.count(hit.id.str());
    }
  }
  return static_cast<double>(found) / static_cast<double>(queries.size() * k);
}

class EngineTest : public ::testing::Test {
 protected:
  Status put(const char* id, std::vector<float> vector, std::optional<Json> metadata = {}) {
    return db_.insert(VectorId(id), vector, std::move(metadata));
  }
  std::vector<SearchHit> search(std::vector<float> query, std::uint64_t k,
                                const Filter* filter = nullptr) {
    auto hits = db_.search(query, k, filter);
    EXPECT_TRUE(hits.has_value());
    return hits.value_or(std::vector<SearchHit>{});
  }

  VectorDb db_{config_for(3, DistanceMetric::Euclidean)};
};

TEST_F(EngineTest, SearchOnEmptyAndEmptiedEngines) {
  auto wrong = db_.search(std::vector<float>(5, 0), 1, nullptr);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().kind(), ErrorKind::DimensionMismatch);
  auto empty = db_.search(std::vector<float>(3, 0), 1, nullptr);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().kind(), ErrorKind::IndexEmpty);

  ASSERT_TRUE(put("a", {1, 0, 0}));
  ASSERT_TRUE(put("b", {0, 1, 0}));
  EXPECT_TRUE(search({1, 0, 0}, 0).empty());
  EXPECT_TRUE(db_.remove("a"));
  EXPECT_TRUE(db_.remove("b"));
  EXPECT_TRUE(search({1, 0, 0}, 5).empty());
}

TEST_F(EngineTest, UpsertReplacesTheVectorInSearchGetAndList) {
  ASSERT_TRUE(put("a", {0, 0, 0}, Json{{"v", 1}}));
  ASSERT_TRUE(put("b", {5, 5, 5}));
  ASSERT_TRUE(db_.upsert(VectorId("a"), std::vector<float>{10, 10, 10}, Json{{"v", 2}}));

  const auto hits = search({0, 0, 0}, 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id.str(), "b");
  EXPECT_EQ(hits[1].id.str(), "a");
  EXPECT_FLOAT_EQ(hits[1].distance, std::sqrt(300.0f));

  const auto got = db_.get("a");
  ASSERT_TRUE(got.has_value() && got->has_value());
  EXPECT_EQ((*got)->vector, (std::vector<float>{10, 10, 10}));
  EXPECT_TRUE(json_equal(*(*got)->metadata, Json{{"v", 2}}));

  const auto items = db_.list(0, 10);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].id.str(), "b");
  EXPECT_EQ(items[1].id.str(), "a");  // moved to its newest position
  EXPECT_TRUE(db_.list(2, 10).empty());
  EXPECT_EQ(db_.list(1, 1).size(), 1u);
}

TEST_F(EngineTest, DuplicatesDeletesAndReinserts) {
  ASSERT_TRUE(put("a", {1, 1, 1}));
  const Status duplicate = put("a", {2, 2, 2});
  ASSERT_FALSE(duplicate.has_value());
  EXPECT_EQ(duplicate.error().kind(), ErrorKind::DuplicateVectorId);
  EXPECT_TRUE(db_.remove("a"));
  EXPECT_FALSE(db_.remove("a"));
  EXPECT_FALSE(db_.get("a").value().has_value());
  ASSERT_TRUE(put("a", {3, 3, 3}, Json{{"again", true}}));
  EXPECT_EQ(db_.get("a").value()->vector, (std::vector<float>{3, 3, 3}));
  EXPECT_EQ(db_.len(), 1u);
  const auto hits = search({1, 1, 1}, 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id.str(), "a");
}

TEST_F(EngineTest, FiltersNeverReturnVectorsWithoutMetadata) {
  ASSERT_TRUE(put("jazz", {1, 0, 0}, Json{{"genre", "jazz"}}));
  ASSERT_TRUE(put("rock", {0, 1, 0}, Json{{"genre", "rock"}}));
  ASSERT_TRUE(put("bare", {0, 0, 1}));
  const Filter jazz(Filter::Eq{"genre", Json("jazz")});
  auto hits = search({0, 0, 1}, 10, &jazz);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id.str(), "jazz");

  const Filter not_jazz = Filter::negate(Filter(Filter::Eq{"genre", Json("jazz")})).value();
  hits = search({0, 0, 1}, 10, &not_jazz);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id.str(), "rock");

  const Filter nothing(Filter::Eq{"genre", Json("opera")});
  EXPECT_TRUE(search({0, 0, 1}, 10, &nothing).empty());
}

TEST_F(EngineTest, BatchWithOneBadEntryStoresNothing) {
  std::vector<BatchEntry> entries;
  entries.push_back({VectorId("a"), {1, 2, 3}, std::nullopt});
  entries.push_back({VectorId("b"), {1, 2}, std::nullopt});
  const Status refused = db_.upsert_batch(std::move(entries));
  ASSERT_FALSE(refused.has_value());
  const auto* mismatch = refused.error().get_if<errors::DimensionMismatch>();
  ASSERT_NE(mismatch, nullptr);
  EXPECT_EQ(mismatch->got, 2u);
  EXPECT_EQ(db_.len(), 0u);
  EXPECT_TRUE(db_.list(0, 10).empty());
  EXPECT_TRUE(db_.upsert_batch({}).has_value());
}

// The image leaves removed nodes out and repairs the lists that led to them; no live node may
// be cut off, even where tight clusters are joined by few links.
TEST(EngineImageTest, RepairedGraphKeepsTightClustersReachable) {
  reseed_level_generator(2);
  constexpr std::size_t kDimensions = 16;
  const auto centres = random_vectors(40, kDimensions, 8);
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> offset(-0.05f, 0.05f);
  std::vector<std::vector<float>> data;
  for (std::size_t i = 0; i < 3000; ++i) {
    std::vector<float> v = centres[i % centres.size()];
    for (float& x : v) x += offset(rng);
    data.push_back(std::move(v));
  }
  VectorDb db(config_for(kDimensions, DistanceMetric::Euclidean));
  for (std::size_t i = 0; i < data.size(); ++i) {
    ASSERT_TRUE(db.insert(VectorId(id_of(i)), data[i], std::nullopt));
  }
  for (std::size_t i = 0; i < data.size(); i += 7) ASSERT_TRUE(db.remove(id_of(i)));
  const VectorDb::Image image = db.image(true);
  ASSERT_EQ(image.graph.nodes.size(), db.len());
  EXPECT_EQ(reachable_count(image.graph), db.len());
}

// Replaced and deleted versions are reclaimed once they make up a fifth of the graph: the engine
// that replaces the old one keeps every live vector with its metadata, in the same list order,
// all of them reachable, and finds the true neighbours as a fresh index would.
TEST(EngineReclaimTest, CompactionKeepsLiveVectorsTheirOrderAndRecall) {
  reseed_level_generator(3);
  constexpr std::size_t kDimensions = 32;
  std::vector<std::vector<float>> data = random_vectors(3000, kDimensions, 11);
  const std::vector<std::vector<float>> replacements = random_vectors(3000, kDimensions, 12);
  auto db = std::make_unique<VectorDb>(config_for(kDimensions, DistanceMetric::Euclidean));
  ASSERT_TRUE(db->upsert_batch(entries_for(data)));
  std::set<std::size_t> deleted;
  const auto change = [&](std::size_t i) {
    if (i % 4 == 0) {
      ASSERT_TRUE(db->remove(id_of(i)));
      deleted.insert(i);
    } else {
      ASSERT_TRUE(db->upsert(VectorId(id_of(i)), replacements[i], Json{{"r", i}}));
      data[i] = replacements[i];
    }
  };
  for (std::size_t i = 0; i < 600; ++i) change(i * 5);  // a sixth of the graph removed
  const VectorDb* before = db.get();
  ASSERT_TRUE(reclaim_space(db));
  EXPECT_EQ(db.get(), before) << "compacted below the share";
  const std::vector<ListItem> listed = db->list(0, UINT32_MAX);
  std::vector<StoredVector> stored;
  for (const ListItem& item : listed) stored.push_back(*db->get(item.id.str()).value());
  for (std::size_t i = 0; i < 300; ++i) change(i * 5 + 1);  // past a fifth
  ASSERT_TRUE(reclaim_space(db));
  EXPECT_EQ(db->removed_count(), 0u);
  EXPECT_EQ(db->index().node_count(), db->len());
  EXPECT_EQ(reachable_count(db->index().state()), db->len());

  // The list keeps its order: vectors untouched by the second round where they were, the
  // replaced ones moved to the end in the order of their replacement.
  const std::vector<ListItem> relisted = db->list(0, UINT32_MAX);
  ASSERT_EQ(relisted.size(), data.size() - deleted.size());
  std::size_t untouched = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const std::size_t index = std::stoul(listed[i].id.str().substr(1));
    if (index % 5 == 1 && index < 1500) continue;
    ASSERT_EQ(relisted[untouched].id.str(), listed[i].id.str());
    EXPECT_EQ(*db->get(relisted[untouched].id.str()).value(), stored[i]);
    ++untouched;
  }
  for (std::size_t i = untouched; i < relisted.size(); ++i) {
    const std::size_t index = std::stoul(relisted[i].id.str().substr(1));
    EXPECT_EQ(db->get(relisted[i].id.str()).value()->vector, data[index]);
  }

  constexpr std::uint64_t k = 10;
  std::vector<std::pair<std::string, std::vector<float>>> live;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (!deleted.contains(i)) live.emplace_back(id_of(i), data[i]);
  }
  const double recall = testing::filtered_recall(
      *db, random_vectors(100, kDimensions, 13), k, nullptr,
      [&](const std::vector<float>& query) {
        return testing::exact_nearest_ids(live, query, k, DistanceMetric::Euclidean);
      },
      false);
  EXPECT_GE(recall, 0.95);

  // Emptied, then compacted to nothing: searches answer as the emptied engine did, with no hits
  // rather than IndexEmpty.
  for (const ListItem& item : db->list(0, UINT32_MAX)) ASSERT_TRUE(db->remove(item.id.str()));
  ASSERT_TRUE(reclaim_space(db));
  EXPECT_EQ(db->index().node_count(), 0u);
  const auto hits = db->search(data[0], k, nullptr);
  ASSERT_TRUE(hits.has_value());
  EXPECT_TRUE(hits->empty());
}

// A stored graph the index cannot hold (here a list longer than its layer's cap) is not
// installed: the vectors are linked anew, and every one of them is found again.
TEST(EngineRestoreTest, GraphBeyondTheIndexLimitsIsRelinked) {
  const auto data = random_vectors(200, 8, 5);
  VectorDb original(config_for(8, DistanceMetric::Euclidean));
  ASSERT_TRUE(original.upsert_batch(entries_for(data)));
  VectorDb::Image image = original.image(true);
  std::vector<InternalId>& list = image.graph.nodes[0].neighbors[0];
  for (InternalId id = 1; list.size() <= HnswConfig{}.max_connections_layer0; ++id) {
    list.push_back(id);
  }

  VectorDb restored(config_for(8, DistanceMetric::Euclidean));
  ASSERT_TRUE(restored.restore(image.vectors, image.graph));
  EXPECT_EQ(restored.len(), data.size());
  EXPECT_LE(restored.index().state().nodes[0].neighbors[0].size(),
            HnswConfig{}.max_connections_layer0);
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto hits = restored.search(data[i], 1, nullptr);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ(hits->front().id.str(), id_of(i));
  }
}

// Random inserts, upserts and deletes against a model of what is live: search, get, list and len
// only ever show live ids with their current vectors.
TEST(EngineModelTest, RandomWritesNeverExposeDeletedOrReplacedVersions) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pick_id(0, 59);
  std::uniform_int_distribution<int> pick_op(0, 3);
  std::normal_distribution<float> normal;
  VectorDb db(config_for(4, DistanceMetric::Euclidean));
  std::map<std::string, std::vector<float>> live;
  for (int step = 0; step < 1500; ++step) {
    const std::string id = id_of(pick_id(rng));
    std::vector<float> v(4);
    for (float& x : v) x = normal(rng);
    switch (pick_op(rng)) {
      case 0:
        if (db.insert(VectorId(id), v, std::nullopt)) {
          ASSERT_FALSE(live.contains(id));
          live[id] = v;
        } else {
          ASSERT_TRUE(live.contains(id));
        }
        break;
      case 1:
      case 2:
        ASSERT_TRUE(db.upsert(VectorId(id), v, std::nullopt));
        live[id] = v;
        break;
      case 3:
        ASSERT_EQ(db.remove(id), live.erase(id) == 1);
        break;
    }
  }
  ASSERT_EQ(db.len(), live.size());
  ASSERT_EQ(db.list(0, 1000).size(), live.size());
  for (const auto& [id, vector] : live) ASSERT_EQ(db.get(id).value()->vector, vector);
  for (int q = 0; q < 50; ++q) {
    std::vector<float> query(4);
    for (float& x : query) x = normal(rng);
    const auto hits = db.search(query, 10, nullptr);
    ASSERT_TRUE(hits.has_value());
    std::set<std::string> seen;
    for (const SearchHit& hit : *hits) {
      ASSERT_TRUE(live.contains(hit.id.str())) << hit.id.str() << " is not live";
      ASSERT_TRUE(seen.insert(hit.id.str()).second) << hit.id.str() << " returned twice";
      ASSERT_EQ(hit.distance, distance(DistanceMetric::Euclidean, query, live[hit.id.str()]));
    }
  }
}

// The keyword index of the allocation failure tests.
const TextIndexOptions kTagText{{"tag"}, std::nullopt, 1.2, 0.75};

// An allocation that fails in the middle of an insertion (in the store, the catalog, the metadata
// index, the keyword index or the graph) leaves the engine as it was: each entry of a batch
// stored and linked whole or not at all, searches finding every live vector under its own id,
// filters seeing exactly the live metadata, keyword searches answering as an index built afresh,
// and later insertions working. Every allocation of each change is failed in turn.
// The last change replaces enough vectors to be stored into a compaction that leaves out the
// versions it replaces: a failure there must not lose them.
template <class Db>
void check_insertions_are_all_or_nothing(const std::function<std::unique_ptr<Db>()>& make) {
  using Change = std::function<Status(std::unique_ptr<Db>&)>;
  const auto vector_of = [](int seed) {
    std::mt19937 rng(static_cast<std::uint32_t>(seed));
    return testing::random_vector(rng, 8);
  };
  const Json tagged{{"tag", "new"}};
  const std::vector<BatchEntry> batch{{VectorId("n1"), vector_of(101), tagged},
                                      {VectorId("v5"), vector_of(102), tagged},
                                      {VectorId("n1"), vector_of(103), Json{{"tag", "newer"}}}};
  std::vector<BatchEntry> replacing;
  for (int i = 0; i < 20; ++i)
    replacing.push_back({VectorId(id_of(i)), vector_of(300 + i), tagged});
  struct Case {
    const char* name;
    Change change;
    std::vector<BatchEntry> entries;  // of a batch, each stored whole or not at all
  };
  const std::vector<Case> changes{
      {"insert", [&](auto& db) { return db->insert(VectorId("n0"), vector_of(100), tagged); }, {}},
      {"upsert", [&](auto& db) { return db->upsert(VectorId("v3"), vector_of(100), tagged); }, {}},
      {"batch", [&](auto& db) { return db->upsert_batch(batch); }, batch},
      {"reclaiming batch", [&](auto& db) { return upsert_batch_reclaiming(db, replacing); },
       replacing},
  };
  using Contents = std::map<std::string, std::optional<Json>>;
  const auto contents_of = [](const Db& db) {
    Contents contents;
    for (const ListItem& item : db.list(0, 1000)) contents[item.id.str()] = item.metadata;
    return contents;
  };
  for (const auto& [name, change, entries] : changes) {
    SCOPED_TRACE(name);
    // What the engine may hold after a failure: as before, or after whole batch entries.
    std::vector<Contents> allowed{contents_of(*make())};
    for (const BatchEntry& entry : entries) {
      Contents next = allowed.back();
      next[entry.id.str()] = entry.metadata;
      allowed.push_back(std::move(next));
    }
    for (std::int64_t n = 0;; ++n) {
      std::unique_ptr<Db> db = make();
      testing::allocations_before_failure = n;
      bool failed = false;
      try {
        ASSERT_TRUE(change(db).has_value());
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      testing::allocations_before_failure = -1;
      if (!failed) break;
      SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
      const Contents contents = contents_of(*db);
      ASSERT_NE(std::find(allowed.begin(), allowed.end(), contents), allowed.end());
      ASSERT_TRUE(db->upsert(VectorId("later"), vector_of(200), tagged));
      std::set<std::string> tagged_ids;
      for (const ListItem& item : db->list(0, 1000)) {
        if (item.metadata == tagged) tagged_ids.insert(item.id.str());
        const std::vector<float> stored = db->get(item.id.str()).value()->vector;
        const std::vector<SearchHit> hits = db->search(stored, 3, nullptr).value();
        ASSERT_TRUE(std::any_of(hits.begin(), hits.end(),
                                [&](const SearchHit& hit) { return hit.id == item.id; }))
            << item.id.str() << " is not found by its own vector";
      }
      const Filter is_tagged(Filter::Eq{"tag", Json("new")});
      const std::vector<SearchHit> hits = db->search(vector_of(0), 100, &is_tagged).value();
      std::set<std::string> found;
      for (const SearchHit& hit : hits) found.insert(hit.id.str());
      EXPECT_EQ(found, tagged_ids);
      const auto keyword = [&] {
        std::vector<std::pair<std::string, double>> answer;
        const std::vector<TextHit> hits = db->text_search("new newer odd", 100, nullptr).value();
        for (const TextHit& hit : hits) answer.emplace_back(hit.id.str(), hit.score);
        return answer;
      };
      const auto kept = keyword();
      ASSERT_TRUE(db->index_text(kTagText));
      EXPECT_EQ(kept, keyword());
    }
  }
}

template <class Db>
std::unique_ptr<Db> filled(std::unique_ptr<Db> db) {
  EXPECT_TRUE(db->index_text(kTagText));
  std::mt19937 rng(5);
  for (int i = 0; i < 60; ++i) {
    const Json metadata{{"tag", i % 2 == 0 ? "even" : "odd"}};
    EXPECT_TRUE(db->insert(VectorId(id_of(i)), testing::random_vector(rng, 8), metadata));
  }
  return db;
}

TEST(EngineAllocationFailureTest, InsertionsAreAllOrNothing) {
  check_insertions_are_all_or_nothing<VectorDb>(
      [] { return filled(std::make_unique<VectorDb>(config_for(8, DistanceMetric::Euclidean))); });
}

TEST(EngineAllocationFailureTest, QuantizedInsertionsAreAllOrNothing) {
  Config config = config_for(8, DistanceMetric::Euclidean);
  config.quantization = Quantization::SQ8;
  check_insertions_are_all_or_nothing<QuantizedVectorDb>([config] {
    return filled(
        std::make_unique<QuantizedVectorDb>(config, /*with_index=*/true, Originals::None));
  });
}

TEST(EngineRecallTest, FindsTheTrueNeighboursForEveryMetric) {
  reseed_level_generator(1);  // graphs built here are reproducible
  const auto data = random_vectors(5000, 32, 1);
  const auto queries = random_vectors(100, 32, 2);
  for (const DistanceMetric metric :
       {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::DotProduct}) {
    VectorDb db(config_for(32, metric));
    for (std::size_t i = 0; i < data.size(); ++i) {
      ASSERT_TRUE(db.insert(VectorId(id_of(i)), data[i], std::nullopt));
    }
    const double recall = recall_at_k(db, data, queries, 10);
    EXPECT_GE(recall, 0.95) << "metric " << static_cast<int>(metric);
  }
}

// A first batch into an empty engine must link as well as inserting one vector at a time. Word
// vectors are the hard case: many are nobody's near neighbour, so links to them are easily lost.
TEST(EngineRecallTest, BatchIntoAnEmptyEngineMatchesSingleInsertion) {
  reseed_level_generator(1);  // graphs built here are reproducible
  const auto glove = testing_support::load_glove();
  const auto data = glove ? glove->base : random_vectors(5000, 32, 3);
  const auto queries =
      glove ? std::vector<std::vector<float>>(glove->queries.begin(), glove->queries.begin() + 200)
            : random_vectors(100, 32, 4);
  const Config config = config_for(data.front().size(), DistanceMetric::Cosine);
  VectorDb single(config);
  for (std::size_t i = 0; i < data.size(); ++i) {
    ASSERT_TRUE(single.insert(VectorId(id_of(i)), data[i], std::nullopt));
  }
  VectorDb batched(config);
  ASSERT_TRUE(batched.upsert_batch(entries_for(data)));
  EXPECT_EQ(batched.len(), data.size());
  EXPECT_GE(recall_at_k(batched, data, queries, 10), recall_at_k(single, data, queries, 10) - 0.01);
}

// Identical vectors (the same text stored twice, empty documents that embed alike) tie exactly
// from every point. Stored one at a time or by batches, before distinct ones, they must leave
// every vector reachable and the distinct ones as findable as without them, in both engines.
TEST(EngineRecallTest, IdenticalVectorsLeaveEveryVectorReachable) {
  constexpr std::size_t kDimensions = 16, kCopies = 1000, kDistinct = 1000;
  std::vector<std::vector<float>> data(kCopies, random_vectors(1, kDimensions, 7).front());
  for (auto& v : random_vectors(kDistinct, kDimensions, 8)) data.push_back(std::move(v));
  std::vector<std::vector<float>> queries;
  for (const auto& offset : random_vectors(100, kDimensions, 9)) {
    std::vector<float> query = data[kCopies + queries.size() * 7];
    for (std::size_t j = 0; j < kDimensions; ++j) query[j] += 0.05f * offset[j];
    queries.push_back(std::move(query));
  }
  // One at a time, or the copies by one batch and then the distinct vectors by another, into a
  // graph of nothing but copies.
  auto fill = [&](auto& db, bool one_at_a_time) {
    if (one_at_a_time) {
      for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_TRUE(db.upsert(VectorId(id_of(i)), data[i], std::nullopt));
      }
    } else {
      const auto entries = entries_for(data);
      ASSERT_TRUE(db.upsert_batch({entries.begin(), entries.begin() + kCopies}));
      ASSERT_TRUE(db.upsert_batch({entries.begin() + kCopies, entries.end()}));
    }
  };
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
    for (const bool one_at_a_time : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "metric " << static_cast<int>(metric)
                                        << (one_at_a_time ? ", one at a time" : ", by batches"));
      reseed_level_generator(6);
      Config config = config_for(kDimensions, metric);
      VectorDb db(config);
      fill(db, one_at_a_time);
      EXPECT_EQ(reachable_count(db.index().state()), data.size());
      EXPECT_GE(recall_at_k(db, data, queries, 10), 0.95);
      // The 8-bit engine links its graph by quantized distances: copies share their codes.
      config.quantization = Quantization::SQ8;
      QuantizedVectorDb sq8(config, /*with_index=*/true, Originals::None);
      fill(sq8, one_at_a_time);
      EXPECT_EQ(reachable_count(sq8.index()->state()), data.size());
    }
  }
}

// Real data: recall of an engine built by one batch upsert, on a held-out share of each set.
TEST(EngineRecallTest, RealDataSets) {
  reseed_level_generator(1);  // graphs built here are reproducible
  struct Case {
    std::optional<testing_support::Dataset> (*load)();
    DistanceMetric metric;
    std::size_t base;  // a prefix keeps the suite quick under sanitizers
    double min_recall;
  } cases[] = {
      {testing_support::load_sift, DistanceMetric::Euclidean, 4500, 0.95},
      {testing_support::load_mnist, DistanceMetric::Euclidean, 3000, 0.95},
      {testing_support::load_glove, DistanceMetric::Cosine, 3697, 0.95},
  };
  for (const Case& c : cases) {
    const auto set = c.load();
    if (!set) GTEST_SKIP() << "shared data folder not found";
    std::vector<std::vector<float>> base(set->base.begin(),
                                         set->base.begin() + static_cast<std::ptrdiff_t>(c.base));
    std::vector<std::vector<float>> queries(set->queries.begin(), set->queries.begin() + 100);
    VectorDb db(config_for(set->dimension, c.metric));
    ASSERT_TRUE(db.upsert_batch(entries_for(base)));
    const double recall = recall_at_k(db, base, queries, 10);
    std::printf("%s: recall@10 %.3f\n", set->name.c_str(), recall);
    EXPECT_GE(recall, c.min_recall) << set->name;
  }
}

// Filters admitting a few of 2,000 clustered vectors (through the metadata index, and
// by a sampled estimate for the range), then deletion of nearly all of them: with each strategy
// every search returns min(k, qualifying) results, the nearest qualifying ones. The exact scan
// returns exactly the true ones; the walk and the planner at least 99% of them.
TEST(EngineFilteredSearchTest, SelectiveFiltersAndDeletionsNeverShortenResults) {
  constexpr std::size_t kCount = 2000, kDimensions = 16, kK = 10;
  const auto data = testing::clustered_vectors(kCount, kDimensions, 20, 0.1f, 21);
  std::vector<BatchEntry> entries;
  for (std::size_t i = 0; i < kCount; ++i) {
    entries.push_back({VectorId(id_of(i)), data[i], Json{{"b", i % 1000}, {"c", i % 7}}});
  }
  std::vector<std::vector<float>> queries;
  for (std::size_t i = 0; i < 20; ++i) queries.push_back(data[(i * 397) % kCount]);
  std::vector<Json> twenty;
  for (int b = 0; b < 20; ++b) twenty.push_back(Json(b));
  std::vector<Json> hundred;
  for (int b = 0; b < 100; ++b) hundred.push_back(Json(b));
  struct Case {
    Filter filter;
    bool (*qualifies)(std::size_t);
  };
  const Case cases[] = {
      {Filter(Filter::Eq{"b", Json(3)}), [](std::size_t i) { return i % 1000 == 3; }},
      {Filter(Filter::In{"b", twenty}), [](std::size_t i) { return i % 1000 < 20; }},
      {Filter::all({Filter(Filter::In{"b", hundred}), Filter(Filter::Eq{"c", Json(2)})}).value(),
       [](std::size_t i) { return i % 1000 < 100 && i % 7 == 2; }},
      {Filter(Filter::Range{std::nullopt, std::nullopt, 3.0, std::nullopt, "b"}),
       [](std::size_t i) { return i % 1000 < 3; }},
      {Filter::negate(Filter(Filter::Eq{"c", Json(0)})).value(),
       [](std::size_t i) { return i % 7 != 0; }},
  };
  for (const SearchStrategy strategy :
       {SearchStrategy::GraphWalk, SearchStrategy::ExactScan, SearchStrategy::Planned}) {
    SCOPED_TRACE(static_cast<int>(strategy));
    reseed_level_generator(3);
    Config config = config_for(kDimensions, DistanceMetric::Euclidean);
    config.search_strategy = strategy;
    VectorDb db(config);
    ASSERT_TRUE(db.upsert_batch(entries));
    std::vector<bool> live(kCount, true);
    auto check = [&](const Filter* filter, bool (*qualifies)(std::size_t)) {
      auto truth = [&](const std::vector<float>& query) {
        std::vector<std::string> ids;
        for (const std::size_t i : testing::exact_nearest(
                 kCount, kK,
                 [&](std::size_t i) { return distance(DistanceMetric::Euclidean, query, data[i]); },
                 [&](std::size_t i) {
                   return live[i] && (qualifies == nullptr || qualifies(i));
                 })) {
          ids.push_back(id_of(i));
        }
        return ids;
      };
      const bool exact = strategy == SearchStrategy::ExactScan;
      EXPECT_GE(testing::filtered_recall(db, queries, kK, filter, truth, exact), 0.99);
    };
    for (const Case& c : cases) check(&c.filter, c.qualifies);
    for (std::size_t i = 0; i < kCount; ++i) {
      if (i % 25 != 0) {
        ASSERT_TRUE(db.remove(id_of(i)));
        live[i] = false;
      }
    }
    check(nullptr, nullptr);
    for (const Case& c : cases) check(&c.filter, c.qualifies);
  }
}

// After most vectors are deleted, the layer searches of an insertion still find live neighbours
// for a new node: its lists fill up with live nodes only, as far as there are enough of them.
TEST(EngineFilteredSearchTest, InsertionAfterMassDeletionLinksToLiveNodes) {
  reseed_level_generator(4);
  const auto data = random_vectors(3000, 16, 22);
  VectorDb db(config_for(16, DistanceMetric::Euclidean));
  ASSERT_TRUE(db.upsert_batch(entries_for(data)));
  for (std::size_t i = 0; i < data.size(); i += 100) {
    for (std::size_t j = i + 1; j < std::min(i + 100, data.size()); ++j) {
      ASSERT_TRUE(db.remove(id_of(j)));
    }
  }
  const auto fresh = random_vectors(50, 16, 23);
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    const std::size_t live_before = db.len();
    ASSERT_TRUE(db.insert(VectorId("new" + std::to_string(i)), fresh[i], std::nullopt));
    const HnswIndex::State graph = db.index().state();
    const std::vector<InternalId>& list = graph.nodes.back().neighbors[0];
    EXPECT_EQ(list.size(), std::min<std::size_t>(live_before, HnswConfig{}.max_connections_layer0));
    for (const InternalId neighbour : list) EXPECT_FALSE(db.storage().is_deleted(neighbour));
  }
}

// A digest of the ids, distance bits and graph lists that a run produced.
class Digest : public testing_support::FnvDigest {
 public:
  using FnvDigest::add;
  void add(const HnswIndex::State& graph) {
    add(graph.entry_point.value_or(~InternalId{0}));
    for (const HnswNode& node : graph.nodes) {
      add(node.level);
      for (const auto& list : node.neighbors) {
        add(list.size());
        for (const InternalId id : list) add(id);
      }
    }
  }
  void add(const std::vector<SearchHit>& hits) {
    for (const SearchHit& hit : hits) {
      add(hit.id.str());
      add(std::bit_cast<std::uint32_t>(hit.distance));
    }
  }
};

// Graphs built from the same inputs, and the searches over them, must come out exactly as they
// always have: same lists, same ids, same distance bits. The expected digests were taken from the
// engine before its search paths were reworked; a change to any of them has to be deliberate.
TEST(EngineResultsTest, GraphsAndResultsOnRealDataAreUnchanged) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The same check in every build; the regular one makes it in a fraction of the time.
  GTEST_SKIP() << "results are compared in the regular build";
#endif
  struct Case {
    std::optional<testing_support::Dataset> (*load)();
    DistanceMetric metric;
    std::size_t base;
    std::uint64_t expected;
  } cases[] = {
      {testing_support::load_sift, DistanceMetric::Euclidean, 4500, 9361803806437311768ull},
      {testing_support::load_mnist, DistanceMetric::Euclidean, 2000, 14593202780375212941ull},
      {testing_support::load_glove, DistanceMetric::Cosine, 3697, 12596153200377308369ull},
      {testing_support::load_glove, DistanceMetric::DotProduct, 2000, 3616343141189606437ull},
  };
  for (const Case& c : cases) {
    const auto set = c.load();
    if (!set) GTEST_SKIP() << "shared data folder not found";
    reseed_level_generator(5);
    std::vector<std::vector<float>> base(set->base.begin(),
                                         set->base.begin() + static_cast<std::ptrdiff_t>(c.base));
    // Half by one batch, the rest one at a time: both insertion paths.
    const std::size_t half = base.size() / 2;
    VectorDb db(config_for(set->dimension, c.metric));
    ASSERT_TRUE(db.upsert_batch(
        entries_for(std::vector<std::vector<float>>(base.begin(), base.begin() + half))));
    for (std::size_t i = half; i < base.size(); ++i) {
      ASSERT_TRUE(db.insert(VectorId(id_of(i)), base[i], std::nullopt));
    }
    Digest digest;
    digest.add(db.index().state());
    for (std::size_t q = 0; q < 100; ++q) {
      for (const std::uint64_t k : {1, 10, 150}) {
        digest.add(db.search(set->queries[q], k, nullptr).value());
      }
    }
    EXPECT_EQ(digest.value(), c.expected) << set->name;
  }
  // The 8-bit engine walks its graph by quantized distances.
  const auto sift = testing_support::load_sift();
  reseed_level_generator(5);
  Config config = config_for(sift->dimension, DistanceMetric::Euclidean);
  config.quantization = Quantization::SQ8;
  QuantizedVectorDb sq8(config, /*with_index=*/true, Originals::None);
  ASSERT_TRUE(sq8.upsert_batch(
      entries_for(std::vector<std::vector<float>>(sift->base.begin(), sift->base.begin() + 2000))));
  Digest digest;
  digest.add(sq8.index()->state());
  for (std::size_t q = 0; q < 100; ++q)
    digest.add(sq8.search(sift->queries[q], 10, nullptr).value());
  EXPECT_EQ(digest.value(), 2203023710989943191ull);
}

// Searches share the engine with each other, and batch upserts come in between them as the
// owner's read-write lock orders them: every search sees whole results.
TEST(EngineConcurrencyTest, ConcurrentSearchesBetweenBatchUpserts) {
  const auto data = random_vectors(3000, 16, 5);
  VectorDb db(config_for(16, DistanceMetric::Euclidean));
  FairSharedMutex lock;
  std::vector<std::vector<float>> first(data.begin(), data.begin() + 500);
  ASSERT_TRUE(db.upsert_batch(entries_for(first)));

  std::atomic<bool> done = false;
  std::atomic<int> searches = 0;
  auto search_continuously = [&] {
    std::size_t i = 0;
    while (!done.load()) {
      const auto& query = data[i++ % data.size()];
      ReaderLock reading(lock);
      const auto hits = db.search(query, 10, nullptr);
      ASSERT_TRUE(hits.has_value());
      ASSERT_EQ(hits->size(), 10u);
      for (std::size_t h = 1; h < hits->size(); ++h) {
        ASSERT_LE((*hits)[h - 1].distance, (*hits)[h].distance);
      }
      ++searches;
    }
  };
  std::thread reader(search_continuously);
  std::thread other_reader(search_continuously);
  while (searches.load() == 0) std::this_thread::yield();
  for (std::size_t start = 500; start < data.size(); start += 500) {
    std::vector<BatchEntry> batch;
    for (std::size_t i = start; i < start + 500; ++i) {
      batch.push_back({VectorId(id_of(i)), data[i], std::nullopt});
    }
    lock.lock();
    const Status upserted = db.upsert_batch(std::move(batch));
    lock.unlock();
    ASSERT_TRUE(upserted);
  }
  done = true;
  reader.join();
  other_reader.join();
  EXPECT_GT(searches.load(), 0);
  EXPECT_EQ(db.len(), data.size());
}

}  // namespace
}  // namespace vexradb
