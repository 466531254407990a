#include "storage/storage.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "graph/hnsw_impl.hpp"

namespace vexradb {
namespace {

Json meta(int n) { return Json{{"n", n}}; }

class StorageTest : public ::testing::Test {
 protected:
  InternalId put(const char* id, float x, std::optional<Json> metadata = std::nullopt,
                 bool overwrite = false) {
    auto stored = storage_.insert_internal(VectorId(id), std::vector<float>{x, x, x},
                                           std::move(metadata), overwrite);
    EXPECT_TRUE(stored.has_value());
    return stored.value_or(0);
  }

  VectorStorage storage_{3};
};

TEST_F(StorageTest, RefusesWrongLengthAndDuplicatesWithoutChanging) {
  put("a", 1);
  auto wrong = storage_.insert_internal(VectorId("b"), std::vector<float>(5, 0), {}, false);
  ASSERT_FALSE(wrong.has_value());
  const auto* mismatch = wrong.error().get_if<errors::DimensionMismatch>();
  ASSERT_NE(mismatch, nullptr);
  EXPECT_EQ(mismatch->expected, 3u);
  EXPECT_EQ(mismatch->got, 5u);

  auto duplicate = storage_.insert_internal(VectorId("a"), std::vector<float>(3, 2), {}, false);
  ASSERT_FALSE(duplicate.has_value());
  ASSERT_NE(duplicate.error().get_if<errors::DuplicateVectorId>(), nullptr);
  EXPECT_EQ(duplicate.error().get_if<errors::DuplicateVectorId>()->text, "a");

  EXPECT_EQ(storage_.len(), 1u);
  EXPECT_EQ(storage_.all_internal_ids().size(), 1u);
  EXPECT_EQ(storage_.float_count(), 3u);
  EXPECT_FALSE(storage_.get_internal_id("b"));
}

TEST_F(StorageTest, UpsertTombstonesThePreviousVersion) {
  const InternalId old_id = put("a", 1, meta(1));
  const InternalId new_id = put("a", 2, std::nullopt, true);
  EXPECT_EQ(new_id, old_id + 1);
  EXPECT_EQ(storage_.len(), 1u);
  EXPECT_EQ(storage_.get_internal_id("a"), new_id);
  EXPECT_EQ(storage_.get_external_id(old_id)->str(), "a");
  EXPECT_TRUE(storage_.is_deleted(old_id));
  EXPECT_FALSE(storage_.is_deleted(new_id));
  // The old version keeps its metadata; the new one was stored without.
  EXPECT_TRUE(json_equal(*storage_.get_metadata(old_id), meta(1)));
  EXPECT_FALSE(storage_.get_metadata(new_id));
  EXPECT_EQ(storage_.get(old_id), (std::vector<float>{1, 1, 1}));
}

TEST_F(StorageTest, DeleteAndReinsert) {
  EXPECT_FALSE(storage_.remove("never"));
  const InternalId first = put("a", 1);
  put("b", 2);
  put("c", 3);
  EXPECT_TRUE(storage_.remove("a"));
  EXPECT_FALSE(storage_.remove("a"));
  EXPECT_EQ(storage_.len(), 2u);
  EXPECT_EQ(storage_.all_internal_ids(), (std::vector<InternalId>{0, 1, 2}));
  EXPECT_TRUE(storage_.is_deleted(first));

  const InternalId again = put("a", 4);  // no duplicate: the id is not live
  EXPECT_EQ(again, 3u);
  EXPECT_EQ(storage_.len(), 3u);
  EXPECT_FALSE(storage_.get(99));
  EXPECT_FALSE(storage_.get_external_id(99));
}

// Many more ids than the smallest table, so that it grows and its probe runs wrap around its
// end; erasures then shift entries back across the wrap. A plain map is the reference, and every
// other version carries metadata.
TEST(IdCatalogTest, LiveIdsFollowAReferenceThroughChurn) {
  IdCatalog catalog;
  std::unordered_map<std::string, InternalId> reference;
  std::vector<std::optional<Json>> metadata;  // of each internal id
  std::mt19937 random(5);
  for (int step = 0; step < 20000; ++step) {
    const std::string id = "id" + std::to_string(random() % 3000);
    if (random() % 3 == 0) {
      const std::optional<InternalId> live = catalog.get_internal_id(id);
      ASSERT_EQ(catalog.remove(id), live.has_value());
      reference.erase(id);
      continue;
    }
    const InternalId next = catalog.next_id();
    catalog.reserve(1);
    const std::optional<Json> given = step % 2 ? std::optional(meta(step)) : std::nullopt;
    const std::optional<InternalId> replaced = catalog.assign(VectorId(id), given);
    metadata.push_back(given);
    const auto old = reference.find(id);
    ASSERT_EQ(replaced, old == reference.end() ? std::nullopt : std::optional(old->second));
    reference[id] = next;
    if (step % 7 == 0) {  // an insertion that failed after its id was assigned
      catalog.unassign_last();
      metadata.pop_back();
      if (replaced) {
        reference[id] = *replaced;
      } else {
        reference.erase(id);
      }
    }
  }
  ASSERT_EQ(catalog.live_count(), reference.size());
  for (int n = 0; n < 3000; ++n) {
    const std::string id = "id" + std::to_string(n);
    const auto expected = reference.find(id);
    EXPECT_EQ(catalog.get_internal_id(id),
              expected == reference.end() ? std::nullopt : std::optional(expected->second))
        << id;
  }
  ASSERT_EQ(catalog.assigned_count(), metadata.size());
  for (InternalId n = 0; n < metadata.size(); ++n) EXPECT_EQ(catalog.get_metadata(n), metadata[n]);
}

TEST_F(StorageTest, IdsAreCaseSensitive) {
  put("Doc", 1);
  put("doc", 2);
  EXPECT_EQ(storage_.len(), 2u);
  EXPECT_NE(storage_.get_internal_id("Doc"), storage_.get_internal_id("doc"));
}

TEST_F(StorageTest, BatchStoresEverythingOrNothing) {
  const std::vector<float> good(3, 1), bad(2, 1);
  std::vector<StorageEntry> entries{{VectorId("a"), good, meta(1)}, {VectorId("b"), bad, {}}};
  auto refused = storage_.upsert_batch(entries);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::DimensionMismatch);
  EXPECT_EQ(storage_.all_internal_ids().size(), 0u);

  put("a", 5);
  std::vector<StorageEntry> batch{
      {VectorId("a"), good, meta(1)}, {VectorId("b"), good, {}}, {VectorId("a"), good, meta(2)}};
  auto first = storage_.upsert_batch(batch);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, 1u);
  EXPECT_EQ(storage_.len(), 2u);
  EXPECT_EQ(storage_.get_internal_id("a"), 3u);  // the batch's later entry wins
  EXPECT_TRUE(storage_.is_deleted(0));
  EXPECT_TRUE(storage_.is_deleted(1));
  EXPECT_TRUE(json_equal(*storage_.get_metadata(3), meta(2)));
}

TEST_F(StorageTest, ViewComputesInPlaceAndSeesTombstonesAndMetadata) {
  put("a", 1, meta(7));
  put("b", 2);
  storage_.remove("a");
  const VectorStorageView view = storage_.view();
  const std::vector<float> query{1, 1, 1};
  EXPECT_EQ(view.distance(0, query, DistanceMetric::Euclidean), 0.0f);
  EXPECT_EQ(view.distance(0, query, DistanceMetric::Euclidean),
            storage_.distance(0, query, DistanceMetric::Euclidean));
  EXPECT_FALSE(view.distance(2, query, DistanceMetric::Euclidean));
  EXPECT_TRUE(view.is_deleted(0));
  EXPECT_FALSE(view.is_deleted(1));
  ASSERT_NE(view.metadata(0), nullptr);
  EXPECT_EQ(view.metadata(1), nullptr);
  EXPECT_EQ(view.get_vector_data(1)->size(), 3u);
}

// Batched scoring answers as single distances do: for every metric, for a query shorter than
// the stored vectors (only its length is read, so kept norms do not apply), and with no vector
// for ids past the end, whatever the dimension.
TEST(StorageScoringTest, BatchedScoresEqualSingleDistances) {
  std::mt19937 rng(4);
  std::normal_distribution<float> normal;
  for (const std::size_t dimension : {0u, 10u}) {
    VectorStorage storage(dimension);
    for (int i = 0; i < 20; ++i) {
      std::vector<float> v(dimension);
      for (float& x : v) x = normal(rng);
      ASSERT_TRUE(storage.insert_internal(VectorId("v" + std::to_string(i)), v, {}, false));
    }
    const VectorStorageView view = storage.view();
    const std::vector<InternalId> ids{3, 0, 19, 20, 7, 1000};
    for (const std::size_t length : {dimension, dimension / 2}) {
      std::vector<float> query(length);
      for (float& x : query) x = normal(rng);
      for (const DistanceMetric metric :
           {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
        std::vector<std::optional<float>> batched(ids.size());
        view.distances(ids, query, metric, batched);
        for (std::size_t i = 0; i < ids.size(); ++i) {
          const std::optional<float> single = view.distance(ids[i], query, metric);
          ASSERT_EQ(batched[i].has_value(), single.has_value()) << dimension << " " << ids[i];
          if (single) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(*batched[i]),
                      std::bit_cast<std::uint32_t>(*single));
          }
        }
      }
    }
  }
}

// Readers share a store without locking it (its owner orders writers against them): every read
// path must leave the store as it found it.
TEST_F(StorageTest, ConcurrentReadersSeeTheSameStore) {
  constexpr int kIds = 200;
  for (int i = 0; i < kIds; ++i) put(("id" + std::to_string(i)).c_str(), float(i), meta(i));
  std::vector<InternalId> ids(kIds);
  for (int i = 0; i < kIds; ++i) ids[i] = static_cast<InternalId>(i);
  const std::vector<float> query{1, 2, 3};
  std::vector<std::optional<float>> expected(kIds);
  storage_.view().distances(ids, query, DistanceMetric::Euclidean, expected);

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      std::vector<std::optional<float>> scores(kIds);
      for (int round = 0; round < 20; ++round) {
        const VectorStorageView view = storage_.view();
        view.distances(ids, query, DistanceMetric::Euclidean, scores);
        EXPECT_EQ(scores, expected);
        for (int i = 0; i < kIds; ++i) {
          const auto internal = storage_.get_internal_id("id" + std::to_string(i));
          ASSERT_TRUE(internal.has_value());
          EXPECT_EQ(storage_.get(*internal), std::vector<float>(3, float(i)));
          EXPECT_EQ(storage_.get_metadata(*internal), meta(i));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(storage_.len(), std::size_t{kIds});
}

// The view scores whole neighbour lists per kernel pass; the graph must come out exactly as when
// every distance is taken one at a time through the locking interface.
TEST(StorageGraphTest, BatchedScoringBuildsTheSameGraph) {
  constexpr std::size_t kDim = 13;  // not a multiple of four: tails take part
  VectorStorage storage(kDim);
  std::mt19937 rng(9);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> level(0, 2);
  HnswIndex one_by_one(HnswConfig{}, DistanceMetric::Cosine);
  HnswIndex batched(HnswConfig{}, DistanceMetric::Cosine);
  for (int i = 0; i < 400; ++i) {
    std::vector<float> v(kDim);
    for (float& x : v) x = normal(rng);
    const InternalId id =
        storage.insert_internal(VectorId(std::to_string(i)), v, {}, false).value();
    const std::uint64_t node_level = level(rng) == 2 ? 1 : 0;
    one_by_one.insert_with_level(id, node_level, v, storage);
    batched.insert_with_level(id, node_level, v, storage.view());
  }
  const auto a = one_by_one.state();
  const auto b = batched.state();
  ASSERT_EQ(a.nodes.size(), b.nodes.size());
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    ASSERT_EQ(a.nodes[i].neighbors, b.nodes[i].neighbors) << "node " << i;
  }
}

}  // namespace
}  // namespace vexradb
