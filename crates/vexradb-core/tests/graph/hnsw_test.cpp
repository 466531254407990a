#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "graph/hnsw_impl.hpp"
#include "reachability.hpp"

namespace vexradb {
namespace {

using testing::reachable_count;

// A minimal store for graph tests: Euclidean distance, vectors in insertion order.
class TestStorage {
 public:
  explicit TestStorage(std::size_t dimension) : dimension_(dimension) {}

  InternalId add(std::vector<float> vector) {
    vectors_.push_back(std::move(vector));
    return static_cast<InternalId>(vectors_.size() - 1);
  }
  void remove(InternalId id) { deleted_.insert(id); }
  const std::vector<float>& vector(InternalId id) const { return vectors_[id]; }
  std::size_t size() const { return vectors_.size(); }

  std::optional<float> distance(InternalId id, std::span<const float> query, DistanceMetric) const {
    if (id >= vectors_.size()) return std::nullopt;
    float sum = 0;
    for (std::size_t i = 0; i < dimension_; ++i) {
      const float d = query[i] - vectors_[id][i];
      sum += d * d;
    }
    return std::sqrt(sum);
  }
  std::optional<std::span<const float>> get_vector_data(InternalId id) const {
    if (id >= vectors_.size()) return std::nullopt;
    return std::span<const float>(vectors_[id]);
  }
  bool is_deleted(InternalId id) const { return deleted_.contains(id); }

 private:
  std::size_t dimension_;
  std::vector<std::vector<float>> vectors_;
  std::unordered_set<InternalId> deleted_;
};

class HnswTest : public ::testing::Test {
 protected:
  HnswTest() { reseed_level_generator(3); }  // reproducible graphs

  static constexpr std::size_t kDim = 32;

  std::vector<float> random_vector() {
    std::normal_distribution<float> normal;
    std::vector<float> v(kDim);
    for (float& x : v) x = normal(rng_);
    return v;
  }

  InternalId insert(std::vector<float> v) {
    const InternalId id = storage_.add(std::move(v));
    index_.insert(id, storage_.vector(id), storage_);
    return id;
  }

  // Ids stored but not yet linked, as one batch.
  std::vector<BatchItem> stage(std::size_t count) {
    std::vector<BatchItem> items;
    for (std::size_t i = 0; i < count; ++i) {
      const InternalId id = storage_.add(random_vector());
      items.push_back({id, storage_.vector(id)});
    }
    return items;
  }

  std::vector<Candidate> search(std::span<const float> query, std::uint64_t n) {
    auto result = index_.search(
        [&](InternalId id) { return storage_.distance(id, query, DistanceMetric::Euclidean); }, n,
        [&](InternalId id) { return !storage_.is_deleted(id); });
    EXPECT_TRUE(result.has_value());
    return result.value_or(std::vector<Candidate>{});
  }

  // Vectors around `clusters` centres, each component within `spread` of its centre's.
  std::vector<BatchItem> stage_clustered(std::size_t count, std::size_t clusters, float spread) {
    std::vector<std::vector<float>> centres;
    for (std::size_t c = 0; c < clusters; ++c) centres.push_back(random_vector());
    std::uniform_real_distribution<float> offset(-spread, spread);
    std::vector<BatchItem> items;
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<float> v = centres[i % clusters];
      for (float& x : v) x += offset(rng_);
      const InternalId id = storage_.add(std::move(v));
      items.push_back({id, storage_.vector(id)});
    }
    return items;
  }

  void insert_one_by_one(std::span<const BatchItem> items) {
    for (const BatchItem& item : items) index_.insert(item.id, item.vector, storage_);
  }

  void expect_every_node_reachable() {
    EXPECT_EQ(reachable_count(index_.state()), storage_.size());
  }

  std::mt19937 rng_{42};
  TestStorage storage_{kDim};
  HnswIndex index_{HnswConfig{}, DistanceMetric::Euclidean};
};

TEST_F(HnswTest, EmptyIndexRefusesToSearch) {
  const auto query = random_vector();
  auto result = index_.search([](InternalId) { return std::optional<float>(0.0f); }, 10,
                              [](InternalId) { return true; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::IndexEmpty);
  EXPECT_EQ(index_.memory_usage(), 0u);
}

TEST_F(HnswTest, FirstNodeBecomesTheEntryPointAndSecondIsLinkedBothWays) {
  const InternalId a = storage_.add(random_vector());
  index_.insert_with_level(a, 3, storage_.vector(a), storage_);
  HnswIndex::State state = index_.state();
  EXPECT_EQ(state.entry_point, a);
  EXPECT_EQ(state.max_level, 3u);
  ASSERT_EQ(state.nodes[a].neighbors.size(), 4u);
  for (const auto& list : state.nodes[a].neighbors) EXPECT_TRUE(list.empty());

  const InternalId b = storage_.add(random_vector());
  index_.insert_with_level(b, 0, storage_.vector(b), storage_);
  state = index_.state();
  EXPECT_EQ(state.nodes[a].neighbors[0], std::vector<InternalId>{b});
  EXPECT_EQ(state.nodes[b].neighbors[0], std::vector<InternalId>{a});
  EXPECT_EQ(state.entry_point, a);

  const auto hits = search(storage_.vector(b), 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, b);
  EXPECT_EQ(hits[0].distance, 0.0f);
}

TEST_F(HnswTest, NeighbourListsStayWithinTheirCaps) {
  for (int i = 0; i < 300; ++i) insert(random_vector());
  const HnswIndex::State state = index_.state();
  for (const HnswNode& node : state.nodes) {
    for (std::size_t layer = 0; layer < node.neighbors.size(); ++layer) {
      EXPECT_LE(node.neighbors[layer].size(), layer == 0 ? 32u : 16u);
    }
  }
  EXPECT_GT(index_.memory_usage(), 300u * 40u);
}

TEST_F(HnswTest, SelectNeighborsKeepsShortListsAndBackFills) {
  // On a line: 0, 1, 2, 3 and the query at -1. From the query's view 1 is "behind" 0.
  for (float x : {0.0f, 1.0f, 2.0f, 3.0f}) storage_.add(std::vector<float>(kDim, x));
  const std::vector<float> query(kDim, -1.0f);
  std::vector<Candidate> sorted;
  for (InternalId id = 0; id < 4; ++id) {
    sorted.push_back({id, *storage_.distance(id, query, DistanceMetric::Euclidean)});
  }
  // Exactly m entries come back unchanged, even where the heuristic would drop some.
  const auto same = index_.select_neighbors(std::span(sorted).first(3), 3, storage_);
  ASSERT_EQ(same.size(), 3u);
  EXPECT_EQ(same[2].id, 2u);
  // With more than m, 1, 2 and 3 are all closer to 0 than to the query, so they are discarded
  // and then back-filled in order.
  const auto chosen = index_.select_neighbors(sorted, 3, storage_);
  ASSERT_EQ(chosen.size(), 3u);
  EXPECT_EQ(chosen[0].id, 0u);
  EXPECT_EQ(chosen[1].id, 1u);
  EXPECT_EQ(chosen[2].id, 2u);
}

TEST_F(HnswTest, SearchWalksThroughDeletedNodesToLiveOnes) {
  std::vector<InternalId> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(insert(random_vector()));
  const std::vector<float> query = storage_.vector(ids[17]);
  const auto before = search(query, 10);
  for (int i = 0; i < 5; ++i) storage_.remove(before[i].id);
  const auto after = search(query, 5);
  ASSERT_EQ(after.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(after[i].id, before[i + 5].id);
}

TEST_F(HnswTest, NodeInsertedAmongOnlyTombstonesStaysFindable) {
  const InternalId a = insert(random_vector());
  storage_.remove(a);
  const InternalId b = insert(random_vector());
  const auto hits = search(storage_.vector(b), 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, b);
  EXPECT_EQ(reachable_count(index_.state()), 2u);
}

// An overflowing list is cut back with the neighbour heuristic. Keeping the plain closest
// instead drops the few links between tight clusters, and whole clusters fall out of reach.
TEST_F(HnswTest, TightClustersStayReachable) {
  insert_one_by_one(stage_clustered(3000, 30, 0.05f));
  expect_every_node_reachable();
}

TEST_F(HnswTest, BatchIntoAnEmptyIndexLeavesEveryNodeReachable) {
  index_.insert_batch(stage(2000), storage_);
  EXPECT_EQ(index_.node_count(), 2000u);
  expect_every_node_reachable();
}

TEST_F(HnswTest, BatchesIntoSmallAndLargeIndexesLeaveEveryNodeReachable) {
  for (int i = 0; i < 10; ++i) insert(random_vector());
  index_.insert_batch(stage(1500), storage_);
  expect_every_node_reachable();
  index_.insert_batch(stage(300), storage_);
  expect_every_node_reachable();
  index_.insert_batch(stage_clustered(1500, 20, 0.05f), storage_);
  expect_every_node_reachable();
}

TEST_F(HnswTest, BatchOfOneEqualsSingleInsertion) {
  for (int i = 0; i < 100; ++i) insert(random_vector());
  const std::vector<float> extra = random_vector();

  HnswIndex single(HnswConfig{}, DistanceMetric::Euclidean);
  HnswIndex batched(HnswConfig{}, DistanceMetric::Euclidean);
  for (const HnswIndex* target : {&single, &batched}) {
    std::vector<BatchItem> all;
    for (InternalId id = 0; id < storage_.size(); ++id) all.push_back({id, storage_.vector(id)});
    const std::vector<std::uint64_t> levels(all.size(), 0);
    const_cast<HnswIndex*>(target)->insert_batch_with_levels(all, levels, storage_);
  }
  const InternalId id = storage_.add(extra);
  single.insert_with_level(id, 1, storage_.vector(id), storage_);
  const BatchItem item{id, storage_.vector(id)};
  const std::uint64_t level = 1;
  batched.insert_batch_with_levels(std::span(&item, 1), std::span(&level, 1), storage_);

  const auto a = single.state();
  const auto b = batched.state();
  ASSERT_EQ(a.nodes.size(), b.nodes.size());
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    EXPECT_EQ(a.nodes[i].neighbors, b.nodes[i].neighbors) << "node " << i;
  }
  EXPECT_EQ(a.entry_point, b.entry_point);
  EXPECT_EQ(a.max_level, b.max_level);
}

TEST_F(HnswTest, ItemsOfOneRoundAreNotLinkedToEachOther) {
  for (int i = 0; i < 50; ++i) insert(random_vector());
  const std::vector<float> base = random_vector();
  std::vector<float> twin = base;
  twin[0] += 1e-4f;
  const InternalId a = storage_.add(base);
  const InternalId b = storage_.add(twin);
  const std::vector<BatchItem> items{{a, storage_.vector(a)}, {b, storage_.vector(b)}};
  const std::vector<std::uint64_t> levels{0, 0};
  index_.insert_batch_with_levels(items, levels, storage_);
  const auto state = index_.state();
  for (const InternalId n : state.nodes[a].neighbors[0]) EXPECT_NE(n, b);
  for (const InternalId n : state.nodes[b].neighbors[0]) EXPECT_NE(n, a);
}

TEST_F(HnswTest, BatchItemAboveTheTopBecomesTheEntryPoint) {
  for (int i = 0; i < 20; ++i) insert(random_vector());
  const auto items = stage(3);
  const std::uint64_t top = index_.state().max_level;
  const std::vector<std::uint64_t> levels{top + 2, 0, 0};
  index_.insert_batch_with_levels(items, levels, storage_);
  const auto state = index_.state();
  EXPECT_EQ(state.entry_point, items[0].id);
  EXPECT_EQ(state.max_level, top + 2);
}

TEST_F(HnswTest, InstalledStateGivesBackTheSameGraph) {
  for (int i = 0; i < 300; ++i) insert(random_vector());
  const HnswIndex::State original = index_.state();
  ASSERT_TRUE(index_.fits(original));
  HnswIndex copy(HnswConfig{}, DistanceMetric::Euclidean);
  copy.install(original);
  const HnswIndex::State installed = copy.state();
  ASSERT_EQ(installed.nodes.size(), original.nodes.size());
  for (std::size_t i = 0; i < original.nodes.size(); ++i) {
    EXPECT_EQ(installed.nodes[i].level, original.nodes[i].level);
    EXPECT_EQ(installed.nodes[i].neighbors, original.nodes[i].neighbors);
  }
  EXPECT_EQ(installed.entry_point, original.entry_point);
  EXPECT_EQ(installed.max_level, original.max_level);
  const std::vector<float> query = random_vector();
  auto distance = [&](InternalId id) {
    return storage_.distance(id, query, DistanceMetric::Euclidean);
  };
  auto any = [](InternalId) { return true; };
  const auto a = index_.search(distance, 10, any);
  const auto b = copy.search(distance, 10, any);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->size(), b->size());
  for (std::size_t i = 0; i < a->size(); ++i) EXPECT_EQ((*a)[i].id, (*b)[i].id);
}

TEST_F(HnswTest, StatesBeyondTheIndexLimitsDoNotFit) {
  for (int i = 0; i < 40; ++i) insert(random_vector());
  HnswIndex::State long_list = index_.state();
  long_list.nodes[0].neighbors[0].resize(33, 1);
  EXPECT_FALSE(index_.fits(long_list));

  HnswIndex::State too_high = index_.state();
  too_high.nodes[0].level = kMaxNodeLevel + 1;
  too_high.nodes[0].neighbors.resize(kMaxNodeLevel + 2);
  EXPECT_FALSE(index_.fits(too_high));

  HnswIndex::State missing_list = index_.state();
  missing_list.nodes[0].neighbors.push_back({});
  EXPECT_FALSE(index_.fits(missing_list));
}

TEST_F(HnswTest, LevelsFollowTheGeometricDraw) {
  int above_zero = 0;
  std::uint64_t highest = 0;
  constexpr int kDraws = 160000;
  for (int i = 0; i < kDraws; ++i) {
    const std::uint64_t level = index_.random_level();
    above_zero += level > 0;
    highest = std::max(highest, level);
  }
  // P(level >= 1) = 1/16: 10000 expected, with a standard deviation near 97.
  EXPECT_NEAR(above_zero, kDraws / 16, 600);
  EXPECT_LE(highest, 13u);
}

}  // namespace
}  // namespace vexradb
