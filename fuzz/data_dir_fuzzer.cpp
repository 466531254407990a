// A whole data directory, opened and used after damage. Each process first builds a small
// directory with the durable engine itself (a snapshot and a log behind it); each input is a
// list of edits (see Edit) applied to copies of those two files. Opening the damaged copy, and
// searching, inserting and checkpointing in it, must end in values or error values: never in a
// crash, a hang or a sanitizer report. What a checkpoint wrote must open again as it was.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "durable/persistent.hpp"
#include "fuzz_support.hpp"

namespace vexradb::fuzz {
namespace {

constexpr std::uint64_t kDimensions = 4;
constexpr std::size_t kSnapshotVectors = 8;
constexpr std::size_t kLoggedVectors = 4;
// The logged vectors, less one deletion.
constexpr std::size_t kLiveVectors = kSnapshotVectors + kLoggedVectors - 1;

PersistentConfig config() {
  PersistentConfig config;
  config.engine.dimensions = kDimensions;
  config.engine.distance_metric = DistanceMetric::Euclidean;
  return config;
}

std::vector<float> vector_of(std::size_t i) {
  const auto x = static_cast<float>(i);
  return {x, 1.0f - x, 0.25f * x, -x};
}

Json metadata_of(std::size_t i) {
  return Json{{"group", i % 3}, {"name", "vector " + std::to_string(i)}, {"score", 0.5 * i}};
}

// The files of an undamaged directory, relative to it.
struct DataDirectory {
  std::filesystem::path snapshot_path;
  std::string snapshot;
  std::string log;
};

const std::filesystem::path kLogPath = std::filesystem::path("wal") / kWalFileName;

void insert_vectors(PersistentVectorDb& db, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    require(db.insert(VectorId("v" + std::to_string(i)), vector_of(i), metadata_of(i)).has_value(),
            "the template's vectors insert");
  }
}

DataDirectory make_template() {
  const std::filesystem::path directory = fresh_directory("template");
  {
    Result<std::unique_ptr<PersistentVectorDb>> db = PersistentVectorDb::open(directory, config());
    require(db.has_value(), "the template directory opens");
    insert_vectors(**db, 0, kSnapshotVectors);
    require((*db)->checkpoint().has_value(), "the template checkpoints");
    insert_vectors(**db, kSnapshotVectors, kSnapshotVectors + kLoggedVectors);
    require((*db)->remove("v2").value_or(false), "the template's deletion is logged");
  }
  DataDirectory files;
  // Only the snapshot is damaged and copied; its checksum file beside it plays no part in opening.
  const Result<std::vector<SnapshotFile>> snapshots =
      SnapshotManager::list_snapshots(directory / "snapshots");
  require(snapshots.has_value() && snapshots->size() == 1, "the template holds one snapshot");
  files.snapshot_path = std::filesystem::relative(snapshots->front().path, directory);
  files.snapshot = read_file(directory / files.snapshot_path);
  files.log = read_file(directory / kLogPath);
  std::filesystem::remove_all(directory);
  return files;
}

const DataDirectory& undamaged() {
  static const DataDirectory files = make_template();
  return files;
}

std::filesystem::path damaged_copy(const std::vector<Edit>& edits) {
  DataDirectory files = undamaged();
  for (const Edit& edit : edits) {
    apply_edit(edit, edit.file == Edit::File::Snapshot ? files.snapshot : files.log);
  }
  const std::filesystem::path directory = fresh_directory("data");
  std::filesystem::create_directories(directory / files.snapshot_path.parent_path());
  std::filesystem::create_directories(directory / kLogPath.parent_path());
  write_file(directory / files.snapshot_path, files.snapshot);
  write_file(directory / kLogPath, files.log);
  return directory;
}

// Which of the uses of an opened directory succeeded.
struct Uses {
  bool searched;
  bool inserted;
  bool checkpointed;
};

Uses use(PersistentVectorDb& db) {
  const std::vector<float> query = vector_of(3);
  const Filter filter(Filter::Eq{"group", Json(1)});
  Uses uses;
  uses.searched =
      db.search(query, 5, nullptr).has_value() && db.search(query, 5, &filter).has_value();
  uses.inserted =
      db.insert(VectorId("inserted after opening"), query, metadata_of(kLiveVectors)).has_value();
  uses.checkpointed = db.checkpoint().has_value();
  return uses;
}

void check_directory(const std::vector<Edit>& edits) {
  const std::filesystem::path directory = damaged_copy(edits);
  std::size_t live = 0;
  {
    Result<std::unique_ptr<PersistentVectorDb>> db = PersistentVectorDb::open(directory, config());
    if (edits.empty()) {
      require(db.has_value() && (*db)->len() == kLiveVectors,
              "an undamaged directory opens with every live vector");
    }
    if (!db) return;
    const Uses uses = use(**db);
    if (edits.empty()) {
      require(uses.searched && uses.inserted && uses.checkpointed,
              "an undamaged directory takes searches, an insertion and a checkpoint");
    }
    if (!uses.checkpointed) return;
    live = (*db)->len();
  }
  const Result<std::unique_ptr<PersistentVectorDb>> reopened =
      PersistentVectorDb::open(directory, config());
  require(reopened.has_value() && (*reopened)->len() == live,
          "a checkpointed directory opens again with the vectors it had");
}

}  // namespace
}  // namespace vexradb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexradb::fuzz::check_directory(vexradb::fuzz::decode_edits(std::span(data, size)));
  return 0;
}
