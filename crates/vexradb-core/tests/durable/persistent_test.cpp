#include "durable/persistent.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <csignal>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "clustered.hpp"
#include "durable/data_directory.hpp"
#include "durable/manifest.hpp"
#include "fault_injection_file_system.hpp"
#include "filtered_recall.hpp"
#include "graph/graph_image.hpp"
#include "kernels/distance.hpp"
#include "random_vectors.hpp"
#include "temp_dir.hpp"

namespace vexradb {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

PersistentConfig config_for(std::uint64_t dimensions,
                            DistanceMetric metric = DistanceMetric::Euclidean) {
  PersistentConfig config;
  config.engine.dimensions = dimensions;
  config.engine.distance_metric = metric;
  return config;
}

using testing::random_vector;

using Contents = std::map<std::string, StoredVector>;

// Every live vector of a durable client with its metadata, by id.
template <class Db>
Contents contents_of(const Db& db) {
  Contents contents;
  for (const ListItem& item : db.list(0, UINT32_MAX))
    contents[item.id.str()] = db.get(item.id.str()).value().value();
  return contents;
}

// Makes every write past the current size of any file fail with EFBIG while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit previous_{};
  void (*previous_handler_)(int);
};

class PersistentEngine : public ::testing::Test {
 protected:
  std::unique_ptr<PersistentVectorDb> open(std::uint64_t dimensions = 2) {
    return open_with(config_for(dimensions));
  }
  std::unique_ptr<PersistentVectorDb> open_with(const PersistentConfig& config) {
    Result<std::unique_ptr<PersistentVectorDb>> db = PersistentVectorDb::open(dir_.path(), config);
    EXPECT_TRUE(db.has_value()) << (db ? "" : "open failed");
    return db ? std::move(*db) : nullptr;
  }
  std::filesystem::path log_path() const { return dir_.path() / "wal" / "current.wal"; }
  std::vector<SnapshotFile> snapshots() const {
    return SnapshotManager::list_snapshots(dir_.path() / "snapshots").value();
  }
  std::vector<WalRecord> log_records() const {
    return Wal::read_records(dir_.path() / "wal", 0).value();
  }
  static std::vector<float> vector_of(const PersistentVectorDb& db, const std::string& id) {
    Result<std::optional<StoredVector>> stored = db.get(id);
    return stored && *stored ? (*stored)->vector : std::vector<float>{};
  }

  TempDir dir_;
};

TEST_F(PersistentEngine, EmptyDirectoryGetsItsLayout) {
  auto db = open();
  EXPECT_EQ(read_file(log_path()), std::string("ZWAL\x01", 5));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "snapshots"));
  EXPECT_TRUE(snapshots().empty());
  EXPECT_EQ(db->search(std::vector<float>{0, 0}, 1, nullptr).error().kind(), ErrorKind::IndexEmpty);
  std::set<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    entries.insert(entry.path().filename());
  EXPECT_EQ(entries, (std::set<std::string>{"manifest.json", "snapshots", "wal"}));
  EXPECT_EQ(
      read_file(dir_.path() / "manifest.json"),
      "{\"format\": 1, \"dimensions\": 2, \"metric\": \"euclidean\", \"engine\": \"full\"}\n");
}

TEST_F(PersistentEngine, ReopenReplaysTheLog) {
  {
    auto db = open();
    ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, Json{{"k", 1}}).has_value());
    ASSERT_TRUE(db->insert(VectorId("b"), std::vector<float>{0, 1}, std::nullopt).has_value());
    ASSERT_TRUE(db->insert(VectorId("c"), std::vector<float>{1, 1}, std::nullopt).has_value());
    ASSERT_TRUE(db->remove("c").has_value());
    // Delete then insert again: the second version counts.
    ASSERT_TRUE(db->insert(VectorId("c"), std::vector<float>{5, 5}, std::nullopt).has_value());
    // A refused duplicate stays logged and is skipped on replay.
    EXPECT_EQ(db->insert(VectorId("a"), std::vector<float>{9, 9}, std::nullopt).error().kind(),
              ErrorKind::DuplicateVectorId);
    EXPECT_EQ(log_records().size(), 6u);
  }
  auto db = open();
  EXPECT_EQ(db->len(), 3u);
  EXPECT_EQ(vector_of(*db, "a"), (std::vector<float>{1, 0}));
  EXPECT_EQ(vector_of(*db, "c"), (std::vector<float>{5, 5}));
  EXPECT_TRUE(json_equal(*db->get("a").value()->metadata, Json{{"k", 1}}));
  Result<std::vector<SearchHit>> hits = db->search(std::vector<float>{0, 1}, 1, nullptr);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().id.str(), "b");
  EXPECT_EQ(db->wal().sequence(), 6u);
}

// Replay links runs of insertions together; the store it gives back must be the one the running
// engine built one change at a time: the same live ids under the same internal ids (so the same
// tombstones and list order), vectors and metadata, with inserts, upserts (a delete and an insert),
// deletes of live and unknown ids and refused duplicates interleaved. Its graph must find the
// true neighbours as well.
TEST_F(PersistentEngine, ReplayOfInterleavedChangesKeepsTheStoreOfOneAtATime) {
  constexpr std::size_t kDimensions = 16;
  std::mt19937 rng(17);
  auto db = open(kDimensions);
  for (int step = 0; step < 4000; ++step) {
    const VectorId id("v" + std::to_string(rng() % 1500));
    const std::vector<float> vector = random_vector(rng, kDimensions);
    std::optional<Json> metadata;
    if (rng() % 3 == 0) metadata = Json{{"step", step}};
    switch (rng() % 8) {
      case 0:
        ASSERT_TRUE(db->upsert(id, vector, metadata).has_value());
        break;
      case 1:
        ASSERT_TRUE(db->remove(id.str()).has_value());  // live or not
        break;
      default:  // refused when the id is live, and logged all the same
        (void)db->insert(id, vector, metadata);
    }
  }
  const std::vector<ListItem> listed = db->list(0, UINT32_MAX);
  std::map<std::string, std::pair<InternalId, StoredVector>> before;
  for (const ListItem& item : listed) {
    before.emplace(item.id.str(), std::pair(*db->memory().storage().get_internal_id(item.id.str()),
                                            *db->get(item.id.str()).value()));
  }
  const std::size_t assigned = db->memory().storage().catalog().assigned_count();
  db.reset();

  db = open(kDimensions);
  ASSERT_EQ(db->memory().storage().catalog().assigned_count(), assigned);
  const std::vector<ListItem> relisted = db->list(0, UINT32_MAX);
  ASSERT_EQ(relisted.size(), listed.size());
  std::vector<std::pair<std::string, std::vector<float>>> live;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const std::string& id = relisted[i].id.str();
    ASSERT_EQ(id, listed[i].id.str()) << "list position " << i;
    const auto& [internal, stored] = before.at(id);
    EXPECT_EQ(db->memory().storage().get_internal_id(id), internal) << id;
    EXPECT_EQ(*db->get(id).value(), stored) << id;
    live.emplace_back(id, stored.vector);
  }

  constexpr std::uint64_t k = 10;
  const std::vector<std::vector<float>> queries = testing::random_vectors(50, kDimensions, 5);
  const double recall = testing::filtered_recall(
      *db, queries, k, nullptr,
      [&](const std::vector<float>& query) {
        return testing::exact_nearest_ids(live, query, k, DistanceMetric::Euclidean);
      },
      false);
  EXPECT_GE(recall, 0.95);
}

// A filter admitting a few of a thousand vectors, and plain search after deleting most of them:
// the same min(k, qualifying) nearest results from the running engine, after reopening from the
// log, and after a checkpoint and reopening from the snapshot.
class PersistentSelectiveSearch : public PersistentEngine,
                                  public ::testing::WithParamInterface<SearchStrategy> {};

TEST_P(PersistentSelectiveSearch, FindsEveryQualifyingVectorAcrossReopens) {
  constexpr std::size_t kCount = 1000, kK = 10;
  const auto data = testing::clustered_vectors(kCount, 8, 20, 0.1f, 41);
  std::vector<bool> live(kCount, true);
  const Filter few(Filter::Eq{"b", Json(7)});  // every 250th vector
  std::vector<std::vector<float>> queries;
  for (std::size_t i = 0; i < 10; ++i) queries.push_back(data[i * 97]);
  auto expect_nearest = [&](const PersistentVectorDb& db) {
    for (const Filter* filter : {&few, static_cast<const Filter*>(nullptr)}) {
      auto truth = [&](const std::vector<float>& query) {
        std::vector<std::string> ids;
        for (const std::size_t i : testing::exact_nearest(
                 kCount, kK,
                 [&](std::size_t i) { return distance(DistanceMetric::Euclidean, query, data[i]); },
                 [&](std::size_t i) { return live[i] && (filter == nullptr || i % 250 == 7); })) {
          ids.push_back(std::to_string(i));
        }
        return ids;
      };
      EXPECT_GE(testing::filtered_recall(db, queries, kK, filter, truth, false), 0.99);
    }
  };
  PersistentConfig config = config_for(8);
  config.engine.search_strategy = GetParam();
  {
    auto db = open_with(config);
    for (std::size_t i = 0; i < kCount; ++i) {
      ASSERT_TRUE(db->insert(VectorId(std::to_string(i)), data[i], Json{{"b", i % 250}}));
    }
    for (std::size_t i = 0; i < kCount; ++i) {
      if (i % 9 != 0 && i % 250 != 7) {
        ASSERT_TRUE(db->remove(std::to_string(i)));
        live[i] = false;
      }
    }
    expect_nearest(*db);
  }
  {
    auto db = open_with(config);
    expect_nearest(*db);
    ASSERT_TRUE(db->checkpoint());
    expect_nearest(*db);
  }
  expect_nearest(*open_with(config));
}

INSTANTIATE_TEST_SUITE_P(WalkAndPlanned, PersistentSelectiveSearch,
                         ::testing::Values(SearchStrategy::GraphWalk, SearchStrategy::Planned));

// Vectors of no components are logged, replayed and searched like any others.
TEST_F(PersistentEngine, EmptyVectorsSurviveReplay) {
  {
    auto db = open(0);
    ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{}, std::nullopt));
    ASSERT_TRUE(db->insert(VectorId("b"), std::vector<float>{}, std::nullopt));
  }
  auto db = open(0);
  EXPECT_EQ(db->len(), 2u);
  EXPECT_EQ(db->search(std::vector<float>{}, 5, nullptr).value().size(), 2u);
}

// Text the log cannot give back as it was (ids or metadata strings that are not UTF-8, numbers
// that are not finite) is refused before it is logged: once logged, an invalid string stopped
// every later replay at its record, and a NaN came back as null.
TEST_F(PersistentEngine, RecordsTheLogCannotHoldAreRefused) {
  const std::vector<float> v{1, 2};
  {
    auto db = open();
    const Json bad_member = Json{{"ok\xff", 1}};
    const Json bad_string = Json{{"k", Json::array({"\xc3"})}};
    const Json not_finite = Json{{"n", {{"x", std::nan("")}}}};
    const Status refused[] = {
        db->insert(VectorId("\xff"), v, std::nullopt),
        db->upsert(VectorId("a"), v, bad_member),
        db->insert(VectorId("a"), v, bad_string),
        db->upsert_batch({{VectorId("a"), v, std::nullopt}, {VectorId("b"), v, not_finite}}),
    };
    for (const Status& status : refused) {
      ASSERT_FALSE(status.has_value());
      EXPECT_EQ(status.error().kind(), ErrorKind::Serialization);
    }
    EXPECT_TRUE(log_records().empty());
    ASSERT_TRUE(db->insert(VectorId("c"), v, Json{{"k", "caf\xc3\xa9"}}));
  }
  auto db = open();
  EXPECT_EQ(db->len(), 1u);
  EXPECT_EQ(vector_of(*db, "c"), v);
}

// A search answers the same before a checkpoint, after it and after reopening: IndexEmpty for a
// database without live vectors, whether it never had any or they were all deleted (the
// checkpoint leaves deleted vectors out, and then nothing tells the two apart).
TEST_F(PersistentEngine, EmptyAndEmptiedDatabasesAnswerAlikeAcrossCheckpoints) {
  const std::vector<float> query{1, 0};
  auto expect_index_empty = [&](const PersistentVectorDb& db) {
    auto hits = db.search(query, 3, nullptr);
    ASSERT_FALSE(hits.has_value());
    EXPECT_EQ(hits.error().kind(), ErrorKind::IndexEmpty);
  };
  {
    auto db = open();
    expect_index_empty(*db);
    ASSERT_TRUE(db->checkpoint());
    expect_index_empty(*db);
  }
  expect_index_empty(*open());
  {
    auto db = open();
    ASSERT_TRUE(db->insert(VectorId("a"), query, std::nullopt));
    ASSERT_TRUE(db->insert(VectorId("b"), query, std::nullopt));
    ASSERT_TRUE(db->remove("a").value());
    EXPECT_EQ(db->search(query, 3, nullptr).value().size(), 1u);
    ASSERT_TRUE(db->remove("b").value());
    expect_index_empty(*db);
    ASSERT_TRUE(db->checkpoint());
    expect_index_empty(*db);
  }
  expect_index_empty(*open());
}

TEST_F(PersistentEngine, RefusedChangesLogNothing) {
  auto db = open();
  ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, std::nullopt).has_value());
  const std::uint64_t size = db->wal().size();
  EXPECT_EQ(db->insert(VectorId("b"), std::vector<float>{1}, std::nullopt).error().kind(),
            ErrorKind::DimensionMismatch);
  // A refused upsert must not have deleted the old version first.
  EXPECT_EQ(db->upsert(VectorId("a"), std::vector<float>{1, 2, 3}, std::nullopt).error().kind(),
            ErrorKind::DimensionMismatch);
  std::vector<BatchEntry> batch{{VectorId("a"), {2, 2}, std::nullopt},
                                {VectorId("z"), {2}, std::nullopt}};
  EXPECT_EQ(db->upsert_batch(std::move(batch)).error().kind(), ErrorKind::DimensionMismatch);
  EXPECT_EQ(db->wal().size(), size);
  EXPECT_EQ(vector_of(*db, "a"), (std::vector<float>{1, 0}));

  // Deleting an id that is not there still logs the deletion.
  EXPECT_EQ(db->remove("nobody"), false);
  EXPECT_GT(db->wal().size(), size);
}

TEST_F(PersistentEngine, UpsertLogsDeleteAndInsertTogether) {
  auto db = open();
  ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, std::nullopt).has_value());
  ASSERT_TRUE(db->upsert(VectorId("a"), std::vector<float>{0, 1}, std::nullopt).has_value());
  const std::vector<WalRecord> records = log_records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<wal_entries::Delete>(records[1].entry));
  EXPECT_TRUE(std::holds_alternative<wal_entries::Insert>(records[2].entry));
  EXPECT_EQ(db->len(), 1u);
  EXPECT_EQ(vector_of(*db, "a"), (std::vector<float>{0, 1}));
}

TEST_F(PersistentEngine, CheckpointInstallsTheStoredGraph) {
  HnswIndex::State before;
  std::uint64_t snapshot_sequence = 0;
  {
    auto db = open(4);
    std::mt19937 rng(1);
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(
          db->insert(VectorId("v" + std::to_string(i)), random_vector(rng, 4), std::nullopt));
    snapshot_sequence = db->wal().sequence();
    ASSERT_TRUE(db->checkpoint().has_value());
    before = db->memory().index().state();
  }
  ASSERT_EQ(snapshots().size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(log_path()), 33u);
  const std::vector<WalRecord> records = log_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].sequence, snapshot_sequence + 1);
  EXPECT_TRUE(std::holds_alternative<wal_entries::Checkpoint>(records[0].entry));

  auto db = open(4);
  EXPECT_EQ(db->len(), 300u);
  const HnswIndex::State after = db->memory().index().state();
  ASSERT_EQ(after.nodes.size(), before.nodes.size());
  for (std::size_t i = 0; i < after.nodes.size(); ++i)
    EXPECT_EQ(after.nodes[i].neighbors, before.nodes[i].neighbors);
  EXPECT_EQ(after.entry_point, before.entry_point);
  EXPECT_EQ(db->wal().sequence(), snapshot_sequence + 1);
}

// A checkpoint with nothing to leave out writes the engine where it stands instead of its image:
// the file must be the image's, byte for byte, for a graph linked one node at a time and for one
// installed from a snapshot and grown by the batches of a replay.
TEST_F(PersistentEngine, CheckpointWithoutRemovalsWritesTheImageBytes) {
  std::mt19937 rng(5);
  auto insert = [&](PersistentVectorDb& db, int first, int count) {
    for (int i = first; i < first + count; ++i) {
      std::optional<Json> metadata;
      if (i % 3 != 0)
        metadata = Json{{"n", i}, {"tag", "t" + std::to_string(i % 5)}, {"x", 0.5 * i}};
      ASSERT_TRUE(db.insert(VectorId("v" + std::to_string(i)), random_vector(rng, 4), metadata));
    }
  };
  auto expect_image_bytes = [&](const PersistentVectorDb& db) {
    const SnapshotFile written = snapshots().back();
    const SnapshotHeader header = SnapshotManager::load_header(written.path).value();
    const VectorDb::Image image = db.memory().image(true);
    ASSERT_GT(image.graph.max_level, 0u);
    TempDir other;
    ASSERT_TRUE(SnapshotManager(other.path(), 3).save(header, image.graph, image.vectors));
    EXPECT_EQ(read_file(written.path), read_file(other.path() / written.path.filename()));
  };
  {
    auto db = open(4);
    insert(*db, 0, 300);
    ASSERT_TRUE(db->checkpoint().has_value());
    expect_image_bytes(*db);
    insert(*db, 300, 200);
  }
  auto db = open(4);
  ASSERT_EQ(db->memory().removed_count(), 0u);
  ASSERT_TRUE(db->checkpoint().has_value());
  expect_image_bytes(*db);
}

// Runs `on_open` each time a checkpoint lets readers in.
class CallbackGate final : public ReaderGate {
 public:
  explicit CallbackGate(std::function<void()> on_open) : on_open_(std::move(on_open)) {}
  void allow_readers() override { on_open_(); }
  void exclude_readers() override {}

 private:
  std::function<void()> on_open_;
};

// Every checkpoint, explicit or owed by a full log, lets readers in while it writes the
// snapshot; a search from another thread then sees what the reopened database shows.
TEST_F(PersistentEngine, ReadersLetInDuringACheckpointSeeWhatReopeningShows) {
  std::mt19937 rng(2);
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 20; ++i) queries.push_back(random_vector(rng, 4));
  PersistentConfig config = config_for(4);
  config.max_wal_size = 4000;
  auto db = open_with(config);
  int openings = 0;
  std::vector<std::vector<SearchHit>> seen;
  CallbackGate gate([&] {
    ++openings;
    seen.clear();
    std::thread reader([&] {
      for (const auto& query : queries) seen.push_back(db->search(query, 10, nullptr).value());
    });
    reader.join();
  });
  db->set_reader_gate(&gate);
  for (int i = 0; i < 300; ++i)
    ASSERT_TRUE(db->insert(VectorId("v" + std::to_string(i)), random_vector(rng, 4), {}));
  const int automatic = openings;
  ASSERT_TRUE(db->checkpoint().has_value());
  EXPECT_GT(automatic, 0);
  EXPECT_EQ(openings, automatic + 1);
  db.reset();

  auto reopened = open(4);
  ASSERT_EQ(seen.size(), queries.size());
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const std::vector<SearchHit> hits = reopened->search(queries[q], 10, nullptr).value();
    ASSERT_EQ(hits.size(), seen[q].size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].id, seen[q][i].id);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(hits[i].distance),
                std::bit_cast<std::uint32_t>(seen[q][i].distance));
    }
  }
}

// A read-only view of a directory whose client checkpoints just as the view opens the newest
// snapshot it listed still holds every vector committed before it began: the checkpoint moves
// the log's records into a newer snapshot, and prunes the listed one when only one is kept.
TEST_F(PersistentEngine, ReadOnlyViewDuringACheckpointMissesNothingCommitted) {
  for (const std::uint32_t kept : {1u, 3u}) {
    SCOPED_TRACE(kept);
    std::filesystem::remove_all(dir_.path());
    PersistentConfig config = config_for(2);
    config.max_snapshots = kept;
    auto db = open_with(config);
    for (int i = 0; i < 15; ++i) {
      ASSERT_TRUE(db->insert(VectorId("v" + std::to_string(i)), std::vector<float>{1, 1}, {}));
      if (i == 9) {
        ASSERT_TRUE(db->checkpoint().has_value());
      }
    }
    testing::FaultInjectionFileSystem checkpoint_first(dir_.path());
    bool checkpointed = false;
    checkpoint_first.before_open([&](const std::filesystem::path& path) {
      if (path.extension() == ".snap" && !std::exchange(checkpointed, true)) {
        ASSERT_TRUE(db->checkpoint().has_value());
      }
    });
    Result<std::unique_ptr<VectorDb>> view =
        read_only_engine(dir_.path(), config.engine, checkpoint_first);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ((*view)->len(), 15u);
    EXPECT_EQ(snapshots().size(), std::min<std::size_t>(kept, 2));
  }
}

TEST_F(PersistentEngine, SnapshotNamesAlwaysGrowAndOnlyThreeStay) {
  auto db = open();
  std::vector<std::uint64_t> numbers;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(db->insert(VectorId("v" + std::to_string(i)), std::vector<float>{1, 1}, {}));
    ASSERT_TRUE(db->checkpoint().has_value());  // usually within one millisecond
    numbers.push_back(snapshots().back().number);
  }
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end(), std::less_equal<>()) &&
              std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end());
  const std::vector<SnapshotFile> kept = snapshots();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.front().number, numbers[1]);
  db.reset();
  EXPECT_EQ(open()->len(), 4u);
}

TEST_F(PersistentEngine, LogPastItsLimitCheckpoints) {
  PersistentConfig config = config_for(2);
  config.max_wal_size = 300;
  auto db = open_with(config);
  int inserted = 0;
  while (snapshots().empty() && inserted < 100) {
    ASSERT_TRUE(
        db->insert(VectorId("v" + std::to_string(inserted++)), std::vector<float>{1, 2}, {}));
  }
  ASSERT_EQ(snapshots().size(), 1u);
  EXPECT_EQ(db->wal().size(), 33u);
  EXPECT_EQ(std::filesystem::file_size(log_path()), 33u);
  db.reset();
  EXPECT_EQ(open()->len(), static_cast<std::size_t>(inserted));
}

// A batch logs exactly the records of one upsert at a time, byte for byte, checkpoints after the
// same changes, and leaves the same store, live or reopened; only the graph is linked otherwise.
TEST_F(PersistentEngine, BatchLogsAndCheckpointsAsOneUpsertAtATime) {
  std::mt19937 rng(11);
  std::vector<BatchEntry> earlier, batch;
  for (int i = 0; i < 20; ++i)
    earlier.push_back({VectorId("v" + std::to_string(i)), random_vector(rng, 8), std::nullopt});
  for (int i = 0; i < 300; ++i) {
    // Ids stored before the batch, ids repeated inside it, and new ones.
    std::optional<Json> metadata;
    if (i % 3 == 0) metadata = Json{{"i", i}};
    batch.push_back({VectorId("v" + std::to_string((i * 7) % 240)), random_vector(rng, 8),
                     std::move(metadata)});
  }
  struct Written {
    std::string log;                                                 // its bytes
    std::vector<std::uint64_t> logged;                               // the log's sequence numbers
    std::vector<std::pair<std::uint64_t, std::uint64_t>> snapshots;  // sequence, vectors
    std::vector<std::pair<std::string, StoredVector>> store;
  };
  auto store_of = [](const PersistentVectorDb& db) {
    std::vector<std::pair<std::string, StoredVector>> store;
    for (const ListItem& item : db.list(0, UINT32_MAX))
      store.emplace_back(item.id.str(), db.get(item.id.str()).value().value());
    return store;
  };
  auto write = [&](const std::filesystem::path& dir, bool as_batch, std::uint64_t max_wal_size) {
    PersistentConfig config = config_for(8);
    config.max_wal_size = max_wal_size;
    auto db = PersistentVectorDb::open(dir, config).value();
    for (const BatchEntry& entry : earlier)
      EXPECT_TRUE(db->upsert(entry.id, entry.vector, entry.metadata).has_value());
    if (as_batch) {
      EXPECT_TRUE(db->upsert_batch(batch).has_value());
    } else {
      for (const BatchEntry& entry : batch)
        EXPECT_TRUE(db->upsert(entry.id, entry.vector, entry.metadata).has_value());
    }
    Written written{read_file(dir / "wal" / "current.wal"), {}, {}, store_of(*db)};
    const std::vector<WalRecord> records = Wal::read_records(dir / "wal", 0).value();
    for (const WalRecord& record : records) written.logged.push_back(record.sequence);
    const std::vector<SnapshotFile> files =
        SnapshotManager::list_snapshots(dir / "snapshots").value();
    for (const SnapshotFile& file : files) {
      const SnapshotHeader header = SnapshotManager::load_header(file.path).value();
      written.snapshots.emplace_back(header.sequence, header.vector_count);
    }
    db.reset();
    EXPECT_TRUE(store_of(*PersistentVectorDb::open(dir, config).value()) == written.store);
    return written;
  };
  // Without a checkpoint the logs match byte for byte. With them, the log after the last one
  // starts with a checkpoint record, whose timestamp differs from run to run.
  for (const std::uint64_t max_wal_size : {kDefaultMaxWalSize, std::uint64_t{9000}}) {
    SCOPED_TRACE(max_wal_size);
    const std::string name = std::to_string(max_wal_size);
    const Written single = write(dir_.path() / ("single" + name), false, max_wal_size);
    const Written batched = write(dir_.path() / ("batch" + name), true, max_wal_size);
    EXPECT_EQ(batched.snapshots, single.snapshots);
    EXPECT_EQ(batched.logged, single.logged);
    EXPECT_EQ(batched.log.size(), single.log.size());
    if (single.snapshots.empty()) {
      EXPECT_TRUE(batched.log == single.log) << "the logs differ";
    } else {
      EXPECT_GE(single.snapshots.size(), 3u);
    }
    EXPECT_TRUE(batched.store == single.store) << "the stores differ";
  }
}

// One directory opened at full precision, then with SQ8 and binary codes (their full-precision
// vectors left in the snapshot file), then at full precision again: every client holds the same
// vectors bit for bit and the same metadata, whether they came from a snapshot or from the log,
// across checkpoints of the quantized clients (which copy the vectors from the old snapshot and
// from memory into the new one); the quantized clients' searches rescored find what the exact
// ones find.
TEST_F(PersistentEngine, DirectoryOpensQuantizedAndBackWithTheSameVectors) {
  constexpr std::size_t kDim = 24, kCount = 1200, kQueries = 40, kK = 10;
  const auto data = testing::clustered_vectors(kCount + 200, kDim, 12, 0.3f, 5);
  const auto queries = testing::clustered_vectors(kQueries, kDim, 12, 0.3f, 6);
  auto record = [&](std::size_t i) {
    return BatchEntry{VectorId("v" + std::to_string(i)), data[i], Json{{"n", static_cast<int>(i)}}};
  };
  auto full_config = config_for(kDim);
  auto expected = [&] {
    auto db = open_with(full_config);
    std::vector<BatchEntry> first;
    for (std::size_t i = 0; i < 900; ++i) first.push_back(record(i));
    EXPECT_TRUE(db->upsert_batch(std::move(first)));
    EXPECT_TRUE(db->checkpoint());
    for (std::size_t i = 900; i < kCount; ++i) {
      EXPECT_TRUE(db->insert(record(i).id, data[i], record(i).metadata));
    }
    for (std::size_t i = 0; i < 60; ++i) EXPECT_TRUE(db->remove("v" + std::to_string(i * 7)));
    EXPECT_TRUE(db->upsert(VectorId("v1"), data[kCount], {}));  // logged after the snapshot
    return contents_of(*db);
  }();
  // The exact k nearest of each query among the live vectors.
  auto exact_ids = [&](const Contents& contents, std::span<const float> query) {
    std::vector<std::pair<float, std::string>> scored;
    for (const auto& [id, stored] : contents)
      scored.emplace_back(distance(DistanceMetric::Euclidean, query, stored.vector), id);
    std::sort(scored.begin(), scored.end());
    std::set<std::string> ids;
    for (std::size_t i = 0; i < kK; ++i) ids.insert(scored[i].second);
    return ids;
  };
  std::size_t next = kCount + 1;
  for (const Quantization codes : {Quantization::SQ8, Quantization::Binary}) {
    SCOPED_TRACE(codes == Quantization::SQ8 ? "SQ8" : "binary");
    PersistentConfig config = full_config;
    config.engine.quantization = codes;
    config.engine.rescore = true;
    // 24 bits rank too coarsely for the default: the binary client rescores many more.
    config.engine.oversampling = codes == Quantization::SQ8 ? default_oversampling(codes) : 40;
    auto db = PersistentQuantizedDb::open(dir_.path(), config).value();
    EXPECT_EQ(contents_of(*db), expected);
    EXPECT_EQ(db->len(), expected.size());
    std::size_t found = 0;
    for (const auto& query : queries) {
      const std::set<std::string> truth = exact_ids(expected, query);
      const std::vector<SearchHit> hits = db->search(query, kK, nullptr).value();
      for (const SearchHit& hit : hits) {
        found += truth.count(hit.id.str());
        // Rescored: the distance is the exact one.
        EXPECT_EQ(hit.distance,
                  distance(DistanceMetric::Euclidean, query, expected.at(hit.id.str()).vector));
      }
    }
    EXPECT_GE(static_cast<double>(found) / (kQueries * kK),
              codes == Quantization::SQ8 ? 0.95 : 0.9);
    // Changes and checkpoints of the quantized client: the second checkpoint reads the vectors
    // the first one moved to its snapshot, and the snapshots they came from are pruned.
    for (int round = 0; round < 4; ++round) {
      ASSERT_TRUE(db->insert(VectorId("q" + std::to_string(next)), data[next % data.size()], {}));
      expected["q" + std::to_string(next)] = StoredVector{data[next % data.size()], std::nullopt};
      ++next;
      const std::string removed = "v" + std::to_string(next - kCount + 900);
      ASSERT_TRUE(db->remove(removed).value());
      expected.erase(removed);
      ASSERT_TRUE(db->checkpoint());
    }
    ASSERT_TRUE(db->upsert(VectorId("v2"), data[3], {}));
    expected["v2"] = StoredVector{data[3], std::nullopt};
    EXPECT_EQ(contents_of(*db), expected);
  }
  auto db = open_with(full_config);
  EXPECT_EQ(contents_of(*db), expected);
  std::size_t found = 0;
  for (const auto& query : queries) {
    const std::set<std::string> truth = exact_ids(expected, query);
    const std::vector<SearchHit> hits = db->search(query, kK, nullptr).value();
    for (const SearchHit& hit : hits) found += truth.count(hit.id.str());
  }
  EXPECT_GE(static_cast<double>(found) / (kQueries * kK), 0.95);
}

// The graph was built for one metric and the vectors have one length: a client that asks for
// others is refused, by name and both values, before it changes anything.
TEST_F(PersistentEngine, ADirectoryOpensOnlyWithTheDimensionsAndMetricItWasWrittenWith) {
  {
    auto db = open(64);
    ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>(64, 1.0f), {}).has_value());
    ASSERT_TRUE(db->checkpoint().has_value());
  }
  // A torn frame, which a client that opens the directory cuts.
  write_file(log_path(), read_file(log_path()) + std::string("\x30\x00\x00\x00\x01", 5));
  const std::string log = read_file(log_path());
  auto refusal = [&](const PersistentConfig& config) {
    Result<std::unique_ptr<PersistentVectorDb>> db = PersistentVectorDb::open(dir_.path(), config);
    Result<std::unique_ptr<VectorDb>> view = read_only_engine(dir_.path(), config.engine);
    EXPECT_FALSE(view.has_value());
    if (db || view) return std::string("opened");
    EXPECT_EQ(view.error().kind(), ErrorKind::InvalidConfiguration);
    const auto* refused = db.error().get_if<errors::InvalidConfiguration>();
    return refused != nullptr ? refused->text : "an error of another kind";
  };
  EXPECT_EQ(refusal(config_for(128)),
            "the data directory was written with dimensions 64, this client asks for 128");
  EXPECT_EQ(refusal(config_for(64, DistanceMetric::Cosine)),
            "the data directory was written with metric euclidean, this client asks for cosine");
  EXPECT_EQ(read_file(log_path()), log);
  const std::string manifest = read_file(dir_.path() / "manifest.json");

  // The engine it was opened with is recorded; a refused client records nothing.
  Config sq8 = config_for(64).engine;
  sq8.quantization = Quantization::SQ8;
  ASSERT_TRUE(check_and_record_manifest(dir_.path(), sq8, posix_file_system()).has_value());
  EXPECT_EQ(read_manifest(dir_.path()).value(),
            (Manifest{64, DistanceMetric::Euclidean, Quantization::SQ8}));
  sq8.distance_metric = DistanceMetric::DotProduct;
  sq8.quantization = Quantization::Binary;
  EXPECT_FALSE(check_and_record_manifest(dir_.path(), sq8, posix_file_system()).has_value());
  EXPECT_EQ(read_manifest(dir_.path()).value()->engine, Quantization::SQ8);
  EXPECT_EQ(open(64)->len(), 1u);
  EXPECT_EQ(read_file(dir_.path() / "manifest.json"), manifest);

  // A directory written before manifests existed opens with any metric, as it always did, and
  // stays without one; its snapshot still refuses other dimensions.
  std::filesystem::remove(dir_.path() / "manifest.json");
  EXPECT_EQ(open_with(config_for(64, DistanceMetric::Cosine))->len(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "manifest.json"));
  Result<std::unique_ptr<PersistentVectorDb>> db =
      PersistentVectorDb::open(dir_.path(), config_for(128));
  ASSERT_FALSE(db.has_value());
  EXPECT_EQ(std::get<errors::InvalidConfiguration>(db.error().payload()).text,
            "Snapshot dimensions (64) don't match config (128)");
  // One that holds nothing yet gets its manifest.
  std::filesystem::remove_all(dir_.path() / "snapshots");
  std::filesystem::remove_all(dir_.path() / "wal");
  EXPECT_EQ(open_with(config_for(3, DistanceMetric::DotProduct))->len(), 0u);
  EXPECT_EQ(read_manifest(dir_.path()).value(),
            (Manifest{3, DistanceMetric::DotProduct, Quantization::None}));
}

// The manifest is read as untrusted input: whatever it holds, opening and reading the directory
// end in a Storage error naming the file, and verification reports it.
TEST_F(PersistentEngine, AManifestThatCannotBeReadIsAClearError) {
  open(2).reset();
  const std::filesystem::path path = dir_.path() / "manifest.json";
  const std::string good = read_file(path);
  const std::pair<std::string, std::string> damaged[] = {
      {"", "it is not JSON: EOF while parsing a value"},
      {std::string("\xff\x00\x93NUMPY", 8), "it is not JSON: expected value"},
      {good.substr(0, 30), "it is not JSON: EOF while parsing"},
      {"[1, 2]", "it is not a JSON object"},
      {R"({"format": 2, "dimensions": 2, "metric": "euclidean", "engine": "full"})",
       "its format is 2; this version reads 1"},
      {R"({"dimensions": 2, "metric": "euclidean", "engine": "full"})", "it has no \"format\""},
      {R"({"format": 1, "dimensions": "2", "metric": "euclidean", "engine": "full"})",
       "its \"dimensions\" is \"2\", not a whole number"},
      {R"({"format": 1, "dimensions": 18446744073709551616, "metric": "euclidean", "engine": "full"})",
       "its \"dimensions\" is 1.8446744073709552e19, not a whole number"},
      {R"({"format": 1, "dimensions": 2, "metric": "Euclidean", "engine": "full"})",
       "its \"metric\" is \"Euclidean\", not one of cosine, euclidean, dot"},
      {R"({"format": 1, "dimensions": 2, "metric": "euclidean", "engine": null})",
       "its \"engine\" is null, not one of full, sq8, binary"},
      {std::string(5000, ' ') + good,
       "it has " + std::to_string(5000 + good.size()) + " bytes, more than 4096"},
  };
  for (const auto& [text, reason] : damaged) {
    SCOPED_TRACE(reason);
    write_file(path, text);
    Result<std::unique_ptr<PersistentVectorDb>> db =
        PersistentVectorDb::open(dir_.path(), config_for(2));
    ASSERT_FALSE(db.has_value());
    const std::string expected = "not a data directory manifest that this version reads (" + reason;
    const auto& refused = std::get<errors::Storage>(db.error().payload()).text;
    EXPECT_EQ(refused.find(expected), 0u) << refused;
    EXPECT_TRUE(refused.ends_with("): " + path.string())) << refused;
    EXPECT_EQ(describe_directory(dir_.path()).error().kind(), ErrorKind::Storage);
    const std::vector<Finding> findings = verify_directory(dir_.path()).value();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].file, "manifest.json");
    EXPECT_TRUE(findings[0].damage);
    EXPECT_EQ(findings[0].what, refused);
  }
  // A manifest that disagrees with the snapshot's vectors is damage too.
  write_file(path, good);
  {
    auto db = open(2);
    ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, {}).has_value());
    ASSERT_TRUE(db->checkpoint().has_value());
  }
  ASSERT_TRUE(
      write_manifest(dir_.path(), Manifest{3, DistanceMetric::Euclidean, Quantization::None}));
  const std::vector<Finding> findings = verify_directory(dir_.path()).value();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].what, "its vectors have 2 components, the manifest says 3");
}

TEST_F(PersistentEngine, ASecondOpenOfTheDirectoryFails) {
  auto first = open();
  Result<std::unique_ptr<PersistentVectorDb>> second =
      PersistentVectorDb::open(dir_.path(), config_for(2));
  ASSERT_FALSE(second.has_value());
  const auto& io = std::get<errors::Io>(second.error().payload());
  EXPECT_EQ(io.os_code, EWOULDBLOCK);
  EXPECT_NE(io.description.find("in use by another client"), std::string::npos);
  // The lock holds across the log being replaced, and goes with the engine.
  ASSERT_TRUE(first->checkpoint().has_value());
  EXPECT_FALSE(PersistentVectorDb::open(dir_.path(), config_for(2)).has_value());
  first.reset();
  EXPECT_TRUE(PersistentVectorDb::open(dir_.path(), config_for(2)).has_value());
}

TEST_F(PersistentEngine, NumberingStaysAboveTheSnapshotWhenTheLogIsLost) {
  std::uint64_t snapshot_sequence = 0;
  {
    auto db = open();
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(db->insert(VectorId("v" + std::to_string(i)), std::vector<float>{1, 0}, {}));
    ASSERT_TRUE(db->checkpoint().has_value());
    snapshot_sequence = db->wal().sequence() - 1;
  }
  std::filesystem::remove(log_path());
  {
    auto db = open();
    EXPECT_EQ(db->wal().sequence(), snapshot_sequence);
    ASSERT_TRUE(db->insert(VectorId("late"), std::vector<float>{0, 1}, {}).has_value());
  }
  auto db = open();
  EXPECT_EQ(db->len(), 6u);
  EXPECT_EQ(vector_of(*db, "late"), (std::vector<float>{0, 1}));
}

TEST_F(PersistentEngine, LeftoversOfAnInterruptedCheckpointAreIgnored) {
  {
    auto db = open();
    ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, {}).has_value());
  }
  // A half-written snapshot under its temporary name and a torn frame at the end of the log.
  const std::filesystem::path temp = dir_.path() / "snapshots" / (snapshot_file_name(99) + ".tmp");
  write_file(temp, "ZSNP");
  write_file(log_path(), read_file(log_path()) + std::string("\x30\x00\x00\x00\x01", 5));
  const std::filesystem::path manifest_temp = dir_.path() / "manifest.json.tmp";
  write_file(manifest_temp, "{\"form");
  {
    auto db = open();
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_FALSE(std::filesystem::exists(manifest_temp));
    EXPECT_EQ(db->len(), 1u);
    ASSERT_TRUE(db->insert(VectorId("b"), std::vector<float>{0, 1}, {}).has_value());
  }
  EXPECT_EQ(open()->len(), 2u);
}

// After a failed sync the kernel may have dropped the pages it held, and a later sync could
// report success for them: the log refuses every write until the directory is opened again.
TEST_F(PersistentEngine, AFailedSyncStopsTheLogUntilReopened) {
  const std::vector<float> v{1, 0};
  testing::FaultInjectionFileSystem fs(dir_.path());
  PersistentConfig config = config_for(2);
  config.file_system = &fs;
  auto db = open_with(config);
  ASSERT_TRUE(db->insert(VectorId("a"), v, std::nullopt));
  fs.fail_from(fs.calls(), /*and_every_later=*/false);
  const Status synced = db->sync();
  fs.clear_faults();
  ASSERT_FALSE(synced.has_value());
  EXPECT_EQ(std::get<errors::Io>(synced.error().payload()).os_code, EIO);
  for (const Status& refused :
       {db->insert(VectorId("b"), v, std::nullopt), db->sync(), db->checkpoint()}) {
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), ErrorKind::Io);
  }
  EXPECT_FALSE(db->remove("a").has_value());
  EXPECT_FALSE(db->get("b").value().has_value());
  db.reset();
  db = open();
  EXPECT_EQ(db->len(), 1u);
  ASSERT_TRUE(db->insert(VectorId("b"), v, std::nullopt));
  EXPECT_TRUE(db->sync());
}

TEST_F(PersistentEngine, FailedWritesApplyNothingAndLoseNothing) {
  auto db = open();
  ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, {}).has_value());
  ASSERT_TRUE(db->checkpoint().has_value());
  ASSERT_TRUE(db->insert(VectorId("b"), std::vector<float>{0, 1}, {}).has_value());
  const std::string log_before = read_file(log_path());
  const std::vector<SnapshotFile> snapshots_before = snapshots();
  {
    FileSizeLimit limit(std::filesystem::file_size(log_path()));
    const Status inserted = db->insert(VectorId("c"), std::vector<float>{1, 1}, {});
    ASSERT_FALSE(inserted.has_value());
    EXPECT_EQ(std::get<errors::Io>(inserted.error().payload()).os_code, EFBIG);
    EXPECT_EQ(db->len(), 2u);
    EXPECT_FALSE(db->get("c").value().has_value());
    ASSERT_FALSE(db->remove("a").has_value());
    EXPECT_TRUE(db->get("a").value().has_value());
    // The snapshot cannot be written: the previous one and the log stay as they were.
    EXPECT_FALSE(db->checkpoint().has_value());
  }
  EXPECT_EQ(read_file(log_path()), log_before);
  {
    // A frame that reaches the file only in part is cut off again, so that it cannot hide the
    // frames written after it.
    FileSizeLimit limit(std::filesystem::file_size(log_path()) + 10);
    EXPECT_FALSE(db->insert(VectorId("c"), std::vector<float>{1, 1}, {}).has_value());
  }
  EXPECT_EQ(snapshots().size(), snapshots_before.size());
  ASSERT_TRUE(db->insert(VectorId("c"), std::vector<float>{1, 1}, {}).has_value());
  db.reset();
  db = open();
  EXPECT_EQ(db->len(), 3u);
}

TEST_F(PersistentEngine, RecordsCoveredByTheSnapshotAreNeverReplayed) {
  std::string old_log;
  {
    auto db = open();
    ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, {}).has_value());
    ASSERT_TRUE(db->remove("a").has_value());
    old_log = read_file(log_path());
    ASSERT_TRUE(db->checkpoint().has_value());
  }
  // As if the process had stopped after the snapshot but before the log was replaced.
  write_file(log_path(), old_log);
  auto db = open();
  EXPECT_EQ(db->len(), 0u);
  EXPECT_FALSE(db->get("a").value().has_value());
}

TEST_F(PersistentEngine, CheckpointThatCannotReplaceTheLogKeepsLogging) {
  auto db = open();
  ASSERT_TRUE(db->insert(VectorId("a"), std::vector<float>{1, 0}, {}).has_value());
  // Something in the way of the new log's temporary name.
  std::filesystem::create_directory(dir_.path() / "wal" / "current.wal.tmp");
  EXPECT_EQ(db->checkpoint().error().kind(), ErrorKind::Io);
  ASSERT_TRUE(db->insert(VectorId("b"), std::vector<float>{0, 1}, {}).has_value());
  std::filesystem::remove(dir_.path() / "wal" / "current.wal.tmp");
  ASSERT_TRUE(db->checkpoint().has_value());
  ASSERT_TRUE(db->insert(VectorId("c"), std::vector<float>{1, 1}, {}).has_value());
  db.reset();
  EXPECT_EQ(open()->len(), 3u);
}

// Deletions and replacements before a checkpoint leave removed nodes in the graph. The snapshot
// must still pair every restored node with its own vector, searches after reopening must be as
// good as on a fresh index, and the engine after the checkpoint must answer exactly as the
// reopened one. Churning every 12th vector leaves few removed nodes (the graph is repaired
// around them); every 3rd leaves many (the live vectors are linked afresh).
class ChurnBeforeCheckpoint : public PersistentEngine,
                              public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ChurnBeforeCheckpoint, RestoredGraphMatchesItsVectors) {
  constexpr std::size_t kDimensions = 16, kCount = 1500;
  const std::size_t stride = GetParam();
  std::mt19937 rng(7);
  std::map<std::string, std::vector<float>> live;
  std::vector<std::vector<float>> queries;
  for (int q = 0; q < 50; ++q) queries.push_back(random_vector(rng, kDimensions));
  std::vector<std::vector<SearchHit>> before;
  {
    auto db = open(kDimensions);
    for (std::size_t i = 0; i < kCount; ++i) {
      const std::string id = "v" + std::to_string(i);
      live[id] = random_vector(rng, kDimensions);
      ASSERT_TRUE(db->insert(VectorId(id), live[id], {}).has_value());
    }
    for (std::size_t i = 0; i < kCount; i += stride) {
      const std::string id = "v" + std::to_string(i);
      if (i % 2 == 0) {
        live.erase(id);
        ASSERT_TRUE(db->remove(id).value());
      } else {
        live[id] = random_vector(rng, kDimensions);
        ASSERT_TRUE(db->upsert(VectorId(id), live[id], {}).has_value());
      }
    }
    ASSERT_TRUE(db->checkpoint().has_value());
    for (const auto& query : queries) before.push_back(db->search(query, 10, nullptr).value());
  }
  // The file's graph is over exactly the stored vectors, so opening installs it as it is.
  const Result<Snapshot> snapshot = SnapshotManager::load(snapshots().back().path);
  ASSERT_TRUE(snapshot->graph.has_value());
  EXPECT_TRUE(describes_vectors(*snapshot->graph, live.size()));
  auto db = open(kDimensions);
  ASSERT_EQ(db->len(), live.size());

  std::size_t found = 0;
  for (std::size_t q = 0; q < queries.size(); ++q) {
    std::vector<std::pair<float, std::string>> exact;
    for (const auto& [id, v] : live)
      exact.push_back({distance(DistanceMetric::Euclidean, queries[q], v), id});
    std::sort(exact.begin(), exact.end());
    std::set<std::string> truth;
    for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].second);
    const std::vector<SearchHit> hits = db->search(queries[q], 10, nullptr).value();
    ASSERT_EQ(hits.size(), before[q].size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
      const SearchHit& hit = hits[i];
      ASSERT_TRUE(live.contains(hit.id.str())) << hit.id.str();
      EXPECT_EQ(hit.distance, distance(DistanceMetric::Euclidean, queries[q], live[hit.id.str()]));
      EXPECT_EQ(hit.id, before[q][i].id);
      found += truth.count(hit.id.str());
    }
  }
  EXPECT_GE(static_cast<double>(found) / (10 * queries.size()), 0.95);
}

INSTANTIATE_TEST_SUITE_P(PersistentEngine, ChurnBeforeCheckpoint, ::testing::Values(12, 3));

// ---- Injected failures and power cuts ---------------------------------------------------------
//
// One seeded workload of inserts, upserts, batches, deletions, syncs and checkpoints (and, with a
// small log limit, checkpoints inside changes) runs over a FaultInjectionFileSystem, once for
// every call the workload makes of it: failing that call alone, or that call and everything
// after it followed by a power cut.

struct WorkloadOp {
  enum class Kind { Insert, Upsert, Batch, Remove, Sync, Checkpoint } kind;
  std::vector<VectorRecord> records;  // one, except for a batch; only the id for a removal

  // The contents after the operation took effect, in part when it failed: a batch applies its
  // entries one by one and may stop after any of them.
  std::vector<Contents> outcomes(const Contents& before) const {
    std::vector<Contents> outcomes{before};
    if (kind == Kind::Sync || kind == Kind::Checkpoint) return outcomes;
    for (const VectorRecord& record : records) {
      Contents next = outcomes.back();
      if (kind == Kind::Remove) {
        next.erase(record.id.str());
      } else {
        next[record.id.str()] = StoredVector{record.vector, record.metadata};
      }
      outcomes.push_back(std::move(next));
    }
    return outcomes;
  }
  Contents applied_to(const Contents& before) const { return outcomes(before).back(); }

  template <class Db>
  Status run_on(Db& db) const {
    switch (kind) {
      case Kind::Insert:
        return db.insert(records[0].id, records[0].vector, records[0].metadata);
      case Kind::Upsert:
        return db.upsert(records[0].id, records[0].vector, records[0].metadata);
      case Kind::Batch:
        return db.upsert_batch(records);
      case Kind::Remove: {
        Result<bool> removed = db.remove(records[0].id.str());
        if (!removed) return fail(std::move(removed).error());
        return {};
      }
      case Kind::Sync:
        return db.sync();
      case Kind::Checkpoint:
        return db.checkpoint();
    }
    return {};
  }

  bool makes_durable() const { return kind == Kind::Sync || kind == Kind::Checkpoint; }
};

std::vector<WorkloadOp> fault_workload() {
  std::mt19937 rng(20261208);
  Contents live;
  std::vector<WorkloadOp> ops;
  auto record = [&](const std::string& id) {
    std::optional<Json> metadata;
    if (rng() % 2 == 0) metadata = Json{{"n", static_cast<int>(rng() % 100)}};
    return VectorRecord{VectorId(id), random_vector(rng, 3), std::move(metadata)};
  };
  auto any_id = [&] { return "v" + std::to_string(rng() % 10); };
  while (ops.size() < 48) {
    using Kind = WorkloadOp::Kind;
    WorkloadOp op{Kind::Sync, {}};
    switch (rng() % 10) {
      case 0:
      case 1:
      case 2: {
        const std::string id = any_id();
        if (live.contains(id)) continue;  // an insertion of a live id is refused by design
        op = {Kind::Insert, {record(id)}};
        break;
      }
      case 3:
      case 4:
        op = {Kind::Upsert, {record(any_id())}};
        break;
      case 5:
        op = {Kind::Batch, {record(any_id()), record(any_id())}};
        if (op.records[0].id == op.records[1].id) continue;
        break;
      case 6:
        op = {Kind::Remove, {VectorRecord{VectorId(any_id()), {}, {}}}};
        break;
      case 7:
      case 8:
        op = {Kind::Sync, {}};
        break;
      case 9:
        op = {Kind::Checkpoint, {}};
        break;
    }
    live = op.applied_to(live);
    ops.push_back(std::move(op));
  }
  return ops;
}

// The durable engines the fault tests run over: full precision, and SQ8 codes over
// full-precision vectors left in the snapshot files.
template <class Db>
PersistentConfig fault_config(FileSystem& fs) {
  PersistentConfig config = config_for(3);
  config.max_wal_size = 400;  // a few changes fill the log: changes checkpoint too
  config.file_system = &fs;
  if constexpr (std::is_same_v<Db, PersistentQuantizedDb>) {
    config.engine.quantization = Quantization::SQ8;
    config.engine.rescore = true;
    config.engine.oversampling = 3;
  }
  return config;
}
using DurableEngines = ::testing::Types<PersistentVectorDb, PersistentQuantizedDb>;

std::string describe(const Error& error) {
  if (const auto* io = error.get_if<errors::Io>()) return io->description;
  return "an error of kind " + std::to_string(static_cast<int>(error.kind()));
}

std::string describe(const Contents& contents) {
  std::string text;
  for (const auto& [id, stored] : contents) text += id + " ";
  return text.empty() ? "(nothing)" : text;
}

// The workload's calls of the file system when nothing fails.
template <class Db>
std::uint64_t calls_of_workload(const std::vector<WorkloadOp>& ops) {
  TempDir dir;
  testing::FaultInjectionFileSystem fs(dir.path());
  auto db = Db::open(dir.path() / "db", fault_config<Db>(fs)).value();
  for (const WorkloadOp& op : ops) EXPECT_TRUE(op.run_on(*db).has_value());
  return fs.calls();
}

template <class Db>
class PersistentPowerCut : public ::testing::Test {};
TYPED_TEST_SUITE(PersistentPowerCut, DurableEngines);

// After a power cut, the directory reopens with the contents after some operation between the
// last one that made everything durable and the one that was running when the power went.
TYPED_TEST(PersistentPowerCut, LosesNothingSyncedAtAnyStep) {
  using Db = TypeParam;
  const std::vector<WorkloadOp> ops = fault_workload();
  const std::uint64_t calls = calls_of_workload<Db>(ops);
  ASSERT_GT(calls, ops.size());
  for (std::uint64_t cut = 0; cut <= calls; ++cut) {
    SCOPED_TRACE("power cut at call " + std::to_string(cut));
    TempDir dir;
    testing::FaultInjectionFileSystem fs(dir.path());
    fs.fail_from(cut, /*and_every_later=*/true);
    // What the directory may hold after the cut: the contents after any operation from the
    // last one that made everything durable, or any outcome of the one the cut interrupted.
    std::vector<Contents> allowed{{}};
    if (auto db = Db::open(dir.path() / "db", fault_config<Db>(fs))) {
      for (const WorkloadOp& op : ops) {
        const Contents before = allowed.back();
        if (!op.run_on(**db)) {
          for (Contents& outcome : op.outcomes(before)) allowed.push_back(std::move(outcome));
          break;
        }
        if (op.makes_durable()) allowed.clear();
        allowed.push_back(op.applied_to(before));
      }
    }
    fs.cut_power();
    testing::FaultInjectionFileSystem after_cut(dir.path());
    Result<std::unique_ptr<Db>> reopened = Db::open(dir.path() / "db", fault_config<Db>(after_cut));
    ASSERT_TRUE(reopened.has_value()) << describe(reopened.error());
    const Contents recovered = contents_of(**reopened);
    EXPECT_TRUE(std::find(allowed.begin(), allowed.end(), recovered) != allowed.end())
        << "recovered " << describe(recovered) << "; last durable " << describe(allowed.front());
    // And it takes changes again.
    ASSERT_TRUE((*reopened)->upsert(VectorId("after"), std::vector<float>{1, 2, 3}, {}));
    ASSERT_TRUE((*reopened)->checkpoint());
  }
}

template <class Db>
class PersistentInjectedFailures : public ::testing::Test {};
TYPED_TEST_SUITE(PersistentInjectedFailures, DurableEngines);

// A failed call is reported by the operation that made it, never hidden; once the fault clears
// the database goes on (after reopening, when a sync of the log failed), and ends with every
// change, the failed one applied whole or not at all.
TYPED_TEST(PersistentInjectedFailures, EveryFailureIsReportedAndTheDatabaseRecovers) {
  using Db = TypeParam;
  const std::vector<WorkloadOp> ops = fault_workload();
  const std::uint64_t calls = calls_of_workload<Db>(ops);
  for (std::uint64_t failing = 0; failing < calls; ++failing) {
    SCOPED_TRACE("failure of call " + std::to_string(failing));
    TempDir dir;
    testing::FaultInjectionFileSystem fs(dir.path());
    fs.fail_from(failing, /*and_every_later=*/false);
    const PersistentConfig config = fault_config<Db>(fs);
    auto open = [&] { return Db::open(dir.path() / "db", config); };
    Result<std::unique_ptr<Db>> db = open();
    if (!db) {
      EXPECT_EQ(fs.failures(), 1u) << describe(db.error());
      db = open();
      ASSERT_TRUE(db.has_value()) << describe(db.error());
    }
    auto reopen = [&] {
      db->reset();
      db = open();
      if (!db) db = open();  // the failing call may be one of opening
      ASSERT_TRUE(db.has_value()) << describe(db.error());
    };
    // The contents the database may hold: the failed operation took effect whole, in part or
    // not at all; every other one took effect.
    std::vector<Contents> possible{{}};
    for (const WorkloadOp& op : ops) {
      std::uint64_t failures_before = fs.failures();
      Status status = op.run_on(**db);
      if (!status && fs.failures() == failures_before) {
        EXPECT_NE(describe(status.error()).find("an earlier sync of the log failed"),
                  std::string::npos)
            << describe(status.error());
        ASSERT_NO_FATAL_FAILURE(reopen());
        failures_before = fs.failures();
        status = op.run_on(**db);
      }
      std::vector<Contents> next;
      for (const Contents& contents : possible) {
        if (fs.failures() == failures_before) {
          ASSERT_TRUE(status.has_value()) << describe(status.error());
          next.push_back(op.applied_to(contents));
        } else {
          EXPECT_FALSE(status.has_value()) << "a failed call was reported as success";
          for (Contents& outcome : op.outcomes(contents)) next.push_back(std::move(outcome));
        }
      }
      possible = std::move(next);
    }
    const Contents before_reopen = contents_of(**db);
    EXPECT_TRUE(std::find(possible.begin(), possible.end(), before_reopen) != possible.end())
        << describe(before_reopen);
    db->reset();
    db = open();
    ASSERT_TRUE(db.has_value()) << describe(db.error());
    EXPECT_EQ(contents_of(**db), before_reopen);
  }
}

// A read that fails or comes back empty while a directory opens, of the newest snapshot or of the
// log, is an Io error, never a database with less in it, and changes nothing on disk: the next
// open finds everything. Reads that give only part of what was asked change nothing at all.
TEST(PersistentInjectedFailure, FailedOrShortReadsAreErrorsNeverAWrongAnswer) {
  TempDir dir;
  const std::filesystem::path db_dir = dir.path() / "db";
  PersistentConfig config = config_for(128);
  Contents written;
  {
    auto db = PersistentVectorDb::open(db_dir, config).value();
    std::mt19937 rng(7);
    for (int i = 0; i < 60; ++i) {
      ASSERT_TRUE(db->insert(VectorId("v" + std::to_string(i)), random_vector(rng, 128), {}));
      if (i == 39) {
        ASSERT_TRUE(db->checkpoint().has_value());
      }
    }
    written = contents_of(*db);
  }
  const std::string snapshot =
      SnapshotManager::list_snapshots(db_dir / "snapshots").value().back().path.filename();
  // The vectors a client or a read-only view opened through `fs` holds.
  auto open_through = [&](FileSystem& fs, bool view) -> Result<std::size_t> {
    if (view) {
      Result<std::unique_ptr<VectorDb>> opened = read_only_engine(db_dir, config.engine, fs);
      if (!opened) return fail(std::move(opened).error());
      return (*opened)->len();
    }
    PersistentConfig through = config;
    through.file_system = &fs;
    Result<std::unique_ptr<PersistentVectorDb>> opened = PersistentVectorDb::open(db_dir, through);
    if (!opened) return fail(std::move(opened).error());
    EXPECT_EQ(contents_of(**opened), written);
    return (*opened)->len();
  };
  using Fault = testing::FaultInjectionFileSystem::ReadFault;
  const std::string manifest(kManifestFileName);
  for (const std::string& file : {snapshot, std::string("current.wal"), manifest}) {
    for (const Fault fault : {Fault::Error, Fault::EndOfFile, Fault::Partial}) {
      for (const auto& [from, every_later] : {std::pair{0u, true}, {1u, true}, {1u, false}}) {
        if (file == manifest && from > 0) continue;  // it is read in one piece
        for (const bool view : {false, true}) {
          SCOPED_TRACE(file + ", fault " + std::to_string(static_cast<int>(fault)) + " at read " +
                       std::to_string(from) + (every_later ? " and later" : "") +
                       (view ? ", read-only view" : ""));
          testing::FaultInjectionFileSystem fs(dir.path());
          fs.fault_reads(file, fault, from, every_later);
          const Result<std::size_t> held = open_through(fs, view);
          ASSERT_GT(fs.faulted_reads(), 0u);
          if (fault == Fault::Partial) {
            ASSERT_TRUE(held.has_value()) << describe(held.error());
            EXPECT_EQ(*held, written.size());
            continue;
          }
          if (held) {
            ADD_FAILURE() << "opened with " << *held << " vectors";
          } else {
            EXPECT_EQ(held.error().kind(), ErrorKind::Io) << describe(held.error());
          }
          EXPECT_EQ(contents_of(*PersistentVectorDb::open(db_dir, config).value()), written);
        }
      }
    }
  }
  // A quantized client reads the snapshot's vectors while it runs: a read that fails or finds
  // the file shorter fails the search, get or checkpoint that made it, never answering wrongly
  // or leaving the directory short; partial reads are completed.
  for (const Fault fault : {Fault::Error, Fault::EndOfFile, Fault::Partial}) {
    SCOPED_TRACE("quantized client, fault " + std::to_string(static_cast<int>(fault)));
    testing::FaultInjectionFileSystem fs(dir.path());
    PersistentConfig quantized = config;
    quantized.engine.quantization = Quantization::SQ8;
    quantized.engine.rescore = true;
    quantized.engine.oversampling = 3;
    quantized.file_system = &fs;
    auto db = PersistentQuantizedDb::open(db_dir, quantized).value();
    const std::vector<float>& query = written.at("v3").vector;  // in the snapshot
    const std::vector<SearchHit> before = db->search(query, 5, nullptr).value();
    fs.fault_reads(snapshot, fault, 0, /*and_every_later=*/true);
    const Result<std::vector<SearchHit>> during = db->search(query, 5, nullptr);
    const Result<std::optional<StoredVector>> got = db->get("v3");
    const Status checkpointed = db->checkpoint();
    ASSERT_GT(fs.faulted_reads(), 0u);
    if (fault == Fault::Partial) {
      ASSERT_TRUE(during.has_value() && got.has_value() && checkpointed.has_value());
      ASSERT_EQ(during->size(), before.size());
      for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(during->at(i).id, before[i].id);
        EXPECT_EQ(during->at(i).distance, before[i].distance);
      }
      EXPECT_EQ(**got, written.at("v3"));
    } else {
      EXPECT_EQ(during.error().kind(), ErrorKind::Io);
      EXPECT_EQ(got.error().kind(), ErrorKind::Io);
      EXPECT_EQ(checkpointed.error().kind(), ErrorKind::Io);
    }
    db.reset();
    EXPECT_EQ(contents_of(*PersistentVectorDb::open(db_dir, config).value()), written);
  }
  // Verification reads every file whole, the checksum files too: one it cannot read is never
  // reported sound.
  const std::string checksum = checksum_path(db_dir / "snapshots" / snapshot).filename();
  for (const std::string& file : {snapshot, checksum, std::string("current.wal"), manifest}) {
    for (const Fault fault : {Fault::Error, Fault::EndOfFile, Fault::Partial}) {
      SCOPED_TRACE("verifying, " + file + ", fault " + std::to_string(static_cast<int>(fault)));
      testing::FaultInjectionFileSystem fs(dir.path());
      fs.fault_reads(file, fault, 0, /*and_every_later=*/true);
      const Result<std::vector<Finding>> findings = verify_directory(db_dir, fs);
      ASSERT_GT(fs.faulted_reads(), 0u);
      const bool sound = findings && std::none_of(findings->begin(), findings->end(),
                                                  [](const Finding& f) { return f.damage; });
      EXPECT_EQ(sound, fault == Fault::Partial);
    }
  }
}

}  // namespace
}  // namespace vexradb
