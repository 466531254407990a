#include "durable/persistent.hpp"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/internal_failure.hpp"
#include "base/overloaded.hpp"
#include "base/utf8.hpp"
#include "durable/data_directory.hpp"
#include "durable/manifest.hpp"

namespace vexradb {
namespace {

// An exclusive advisory lock on the directory itself: it survives the log file being replaced,
// adds no file, and is released by the kernel when the process dies.
Result<UniqueFd> lock_directory(FileSystem& fs, const std::filesystem::path& dir) {
  Result<UniqueFd> fd = fs.open(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) return fd;
  if (Status locked = fs.lock(fd->get()); !locked) {
    errors::Io error = std::get<errors::Io>(locked.error().payload());
    if (error.os_code == EWOULDBLOCK)
      error.description = "the data directory is in use by another client: " + error.description;
    return fail(std::move(error));
  }
  return fd;
}

// Whether the log can hold the record and give it back the same: UTF-8 text (the id, member
// names, strings) and finite numbers (the writer turns the others into null). Refused with the
// errors the exported layer gives for text that breaks these rules, before anything is logged:
// an invalid string in the log would stop every later replay at its record.
Status check_loggable(const VectorId& id, std::span<const float> vector, std::size_t dimensions,
                      const std::optional<Json>& metadata) {
  if (auto ok = check_vector_length(dimensions, vector); !ok) return ok;
  if (auto bad = utf8_error(id.str())) return fail(errors::Serialization{"id: " + *bad});
  if (!metadata) return {};
  const errors::Serialization invalid_text{"invalid UTF-8 while parsing a string"};
  std::vector<const Json*> pending{&*metadata};
  while (!pending.empty()) {
    const Json& value = *pending.back();
    pending.pop_back();
    if (const auto* object = value.get_ptr<const Json::object_t*>()) {
      for (const auto& [name, member] : *object) {
        if (utf8_error(name)) return fail(invalid_text);
        pending.push_back(&member);
      }
    } else if (const auto* array = value.get_ptr<const Json::array_t*>()) {
      for (const Json& element : *array) pending.push_back(&element);
    } else if (const auto* text = value.get_ptr<const std::string*>()) {
      if (utf8_error(*text)) return fail(invalid_text);
    } else if (const auto* number = value.get_ptr<const double*>()) {
      if (!std::isfinite(*number)) return fail(errors::Serialization{"number out of range"});
    }
  }
  return {};
}

std::uint64_t wall_clock_millis() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return millis > 0 ? static_cast<std::uint64_t>(millis) : 0;
}

// Applies logged entries in order, as the running engine applied them one at a time: the log's
// records on recovery, and the entries of a durable batch once logged. Runs of insertions are
// stored in log order and linked together by the index's batch insertion, which is several times
// faster than linking one at a time (the graph differs, not the store). Inside a run:
// - an insertion of an id that is live, before the run or earlier in it, was refused then and is
//   skipped now;
// - a deletion of an id the run has not stored is applied at once: only the graph the run is
//   linked into can tell; a deletion of one it has stored ends the run first.
template <class Engine>
class Replay {
 public:
  explicit Replay(Engine& engine) : engine_(engine) {}

  Status apply(WalEntry& entry) {
    return std::visit(
        Overloaded{
            [&](wal_entries::Insert& e) -> Status {
              if (engine_.storage().get_internal_id(e.id.str()) || run_ids_.contains(e.id.str()))
                return {};
              run_ids_.insert(e.id.str());
              run_.push_back({std::move(e.id), std::move(e.vector), std::move(e.metadata)});
              return {};
            },
            [&](const wal_entries::Delete& e) -> Status {
              if (run_ids_.contains(e.id.str())) {
                if (auto ok = finish_run(); !ok) return ok;
              }
              engine_.remove(e.id.str());
              return {};
            },
            [](const wal_entries::Checkpoint&) -> Status { return {}; },
        },
        entry);
  }

  // Stores and links the pending run.
  Status finish_run() {
    run_ids_.clear();
    if (run_.empty()) return {};
    return engine_.upsert_batch(std::exchange(run_, {}));
  }

 private:
  Engine& engine_;
  std::vector<BatchEntry> run_;
  std::unordered_set<std::string> run_ids_;
};

Status check_snapshot_dimensions(const SnapshotHeader& header, const Config& config) {
  if (header.dimensions == config.dimensions) return {};
  return fail(errors::InvalidConfiguration{
      "Snapshot dimensions (" + std::to_string(header.dimensions) + ") don't match config (" +
      std::to_string(config.dimensions) + ")"});
}

// Loads a snapshot into the empty full-precision engine; gives its header.
Result<SnapshotHeader> restore_snapshot(VectorDb& engine, const SnapshotFile& file,
                                        FileSystem& fs) {
  Result<Snapshot> snapshot = SnapshotManager::load(file.path, fs);
  if (!snapshot) return fail(std::move(snapshot).error());
  if (auto ok = check_snapshot_dimensions(snapshot->header, engine.config()); !ok)
    return fail(std::move(ok).error());
  if (auto ok = engine.restore(snapshot->vectors, std::move(snapshot->graph)); !ok)
    return fail(std::move(ok).error());
  return snapshot->header;
}

// Codes computed from each vector as it is read; the vectors themselves stay in the file.
class QuantizedRestore final : public SnapshotSink {
 public:
  QuantizedRestore(QuantizedVectorDb& engine, std::shared_ptr<const VectorFile> file)
      : engine_(engine), file_(std::move(file)) {}

  void graph(HnswIndex::State graph) override { graph_ = std::move(graph); }
  Status vector(SnapshotVector vector, std::uint64_t floats_at) override {
    return engine_.store_from_file(std::move(vector), file_, floats_at);
  }
  void link() { engine_.link_restored(std::move(graph_)); }

 private:
  QuantizedVectorDb& engine_;
  std::shared_ptr<const VectorFile> file_;
  std::optional<HnswIndex::State> graph_;
};

Result<SnapshotHeader> restore_snapshot(QuantizedVectorDb& engine, const SnapshotFile& file,
                                        FileSystem& fs) {
  Result<SnapshotHeader> header = SnapshotManager::load_header(file.path, fs);
  if (!header) return fail(std::move(header).error());
  if (auto ok = check_snapshot_dimensions(*header, engine.config()); !ok)
    return fail(std::move(ok).error());
  Result<std::shared_ptr<const VectorFile>> vectors = open_vector_file(file.path, fs);
  if (!vectors) return fail(std::move(vectors).error());
  QuantizedRestore restore(engine, std::move(*vectors));
  header = SnapshotManager::load(file.path, fs, restore);
  if (!header) return fail(std::move(header).error());
  restore.link();
  return header;
}

// Loads the newest snapshot into the empty `engine` and replays the log records numbered after
// it; gives that number (0 without a snapshot). Reads only, so it may run beside a client that
// checkpoints: the log is opened before the snapshots are listed, so whatever a checkpoint takes
// from that log meanwhile is in the newer snapshot found (see Wal::open_for_reading).
template <class Engine>
Result<std::uint64_t> recover_into(Engine& engine, const std::filesystem::path& snapshot_dir,
                                   const std::filesystem::path& wal_dir, FileSystem& fs) {
  Result<std::optional<FileReader>> log = Wal::open_for_reading(wal_dir, fs);
  if (!log) return fail(std::move(log).error());
  Result<std::uint64_t> after = read_while_pruned([&]() -> Result<std::uint64_t> {
    Result<std::vector<SnapshotFile>> files = SnapshotManager::list_snapshots(snapshot_dir, fs);
    if (!files) return fail(std::move(files).error());
    if (files->empty()) return 0;
    Result<SnapshotHeader> header = restore_snapshot(engine, files->back(), fs);
    if (!header) return fail(std::move(header).error());
    return header->sequence;
  });
  if (!after) return after;
  if (!*log) return after;
  Replay replay(engine);
  Result<std::vector<WalRecord>> records = Wal::read_records(**log, *after);
  if (!records) return fail(std::move(records).error());
  for (WalRecord& record : *records) {
    if (auto ok = replay.apply(record.entry); !ok) return fail(std::move(ok).error());
  }
  if (auto ok = replay.finish_run(); !ok) return fail(std::move(ok).error());
  return after;
}

// The engine a durable client keeps in memory.
template <class Engine>
std::unique_ptr<Engine> new_engine(const Config& config) {
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
    return std::make_unique<QuantizedVectorDb>(
        config, /*with_index=*/config.quantization == Quantization::SQ8, Originals::Durable);
  } else {
    return std::make_unique<VectorDb>(config);
  }
}

}  // namespace

template <class Engine>
PersistentDb<Engine>::PersistentDb(const std::filesystem::path& data_dir,
                                   const PersistentConfig& config, UniqueFd lock, Wal wal)
    : config_(config),
      directory_lock_(std::move(lock)),
      wal_(std::move(wal)),
      snapshots_(data_dir / kSnapshotDirectory, config.max_snapshots, *config.file_system),
      memory_(new_engine<Engine>(config.engine)) {
  wal_.set_max_size(config.max_wal_size);
}

template <class Engine>
Result<std::unique_ptr<PersistentDb<Engine>>> PersistentDb<Engine>::open(
    const std::filesystem::path& data_dir, const PersistentConfig& config) {
  FileSystem& fs = *config.file_system;
  if (auto ok = make_directories(fs, data_dir); !ok) return fail(std::move(ok).error());
  Result<UniqueFd> lock = lock_directory(fs, data_dir);
  if (!lock) return fail(std::move(lock).error());
  if (auto ok = check_and_record_manifest(data_dir, config.engine, fs); !ok)
    return fail(std::move(ok).error());
  Result<Wal> wal = Wal::open(data_dir / kWalDirectory, fs);
  if (!wal) return fail(std::move(wal).error());
  if (auto ok = make_directories(fs, data_dir / kSnapshotDirectory); !ok)
    return fail(std::move(ok).error());
  std::unique_ptr<PersistentDb> db(
      new PersistentDb(data_dir, config, std::move(*lock), std::move(*wal)));
  if (auto ok = db->snapshots_.remove_unfinished(); !ok) return fail(std::move(ok).error());
  if (auto ok = db->recover(); !ok) return fail(std::move(ok).error());
  return db;
}

template <class Engine>
Status PersistentDb<Engine>::recover() {
  Result<std::uint64_t> after =
      recover_into(*memory_, snapshots_.directory(), wal_.directory(), *config_.file_system);
  if (!after) return fail(std::move(after).error());
  // Even with the log lost or unreadable, new records must sort after the snapshot's.
  wal_.continue_after(*after);
  return {};
}

Result<std::unique_ptr<VectorDb>> read_only_engine(const std::filesystem::path& data_dir,
                                                   const Config& config, FileSystem& fs) {
  if (auto ok = expect_data_directory(data_dir, fs); !ok) return fail(std::move(ok).error());
  if (auto ok = check_directory_manifest(data_dir, config, fs); !ok)
    return fail(std::move(ok).error());
  auto engine = std::make_unique<VectorDb>(config);
  Result<std::uint64_t> after =
      recover_into(*engine, data_dir / kSnapshotDirectory, data_dir / kWalDirectory, fs);
  if (!after) return fail(std::move(after).error());
  return engine;
}

template <class Engine>
Status PersistentDb<Engine>::log(std::span<const WalEntry> entries) {
  Result<std::uint64_t> logged = wal_.append_all(entries);
  if (!logged) return fail(std::move(logged).error());
  if (config_.sync_on_write) return wal_.sync();
  return {};
}

template <class Engine>
Status PersistentDb<Engine>::checkpoint_if_full() {
  if (wal_.size() > wal_.max_size()) return checkpoint();
  return {};
}

template <class Engine>
Status PersistentDb<Engine>::insert(const VectorId& id, std::span<const float> vector,
                                    std::optional<Json> metadata) {
  if (auto ok = check_loggable(id, vector, config_.engine.dimensions, metadata); !ok) return ok;
  WalEntry entry = wal_entries::Insert{id, {vector.begin(), vector.end()}, std::move(metadata)};
  if (auto ok = log(std::span(&entry, 1)); !ok) return ok;
  auto& insert = std::get<wal_entries::Insert>(entry);
  if (auto ok = memory_->insert(insert.id, insert.vector, std::move(insert.metadata)); !ok)
    return ok;
  return checkpoint_if_full();
}

template <class Engine>
Status PersistentDb<Engine>::upsert(const VectorId& id, std::span<const float> vector,
                                    std::optional<Json> metadata) {
  if (auto ok = check_loggable(id, vector, config_.engine.dimensions, metadata); !ok) return ok;
  std::array<WalEntry, 2> entries{
      wal_entries::Delete{id},
      wal_entries::Insert{id, {vector.begin(), vector.end()}, std::move(metadata)}};
  if (auto ok = log(entries); !ok) return ok;
  memory_->remove(id.str());
  auto& insert = std::get<wal_entries::Insert>(entries[1]);
  if (auto ok = memory_->insert(insert.id, insert.vector, std::move(insert.metadata)); !ok)
    return ok;
  return checkpoint_if_full();
}

template <class Engine>
Status PersistentDb<Engine>::upsert_batch(std::vector<BatchEntry> entries) {
  for (const BatchEntry& entry : entries) {
    if (auto ok = check_loggable(entry.id, entry.vector, config_.engine.dimensions, entry.metadata);
        !ok)
      return ok;
  }
  // The records one upsert at a time would log, in the same order.
  std::vector<WalEntry> records;
  records.reserve(2 * entries.size());
  for (BatchEntry& entry : entries) {
    records.emplace_back(wal_entries::Delete{entry.id});
    records.emplace_back(wal_entries::Insert{std::move(entry.id), std::move(entry.vector),
                                             std::move(entry.metadata)});
  }
  entries = {};
  // Each pass logs the changes up to the one that fills the log in one write, applies them as
  // recovery would (runs of insertions linked by the parallel batch insertion), and checkpoints
  // where one upsert at a time would have.
  for (std::span<WalEntry> rest(records); !rest.empty();) {
    Result<std::size_t> logged = wal_.append_until_full(rest, 2);
    if (!logged) return fail(std::move(logged).error());
    if (config_.sync_on_write) {
      if (auto ok = wal_.sync(); !ok) return ok;
    }
    Replay replay(*memory_);
    for (WalEntry& record : rest.first(*logged)) {
      if (auto ok = replay.apply(record); !ok) return ok;
    }
    if (auto ok = replay.finish_run(); !ok) return ok;
    rest = rest.subspan(*logged);
    if (auto ok = checkpoint_if_full(); !ok) return ok;
  }
  return {};
}

template <class Engine>
Result<bool> PersistentDb<Engine>::remove(std::string_view id) {
  const WalEntry entry = wal_entries::Delete{VectorId(std::string(id))};
  if (auto ok = log(std::span(&entry, 1)); !ok) return fail(std::move(ok).error());
  const bool removed = memory_->remove(id);
  if (auto ok = checkpoint_if_full(); !ok) return fail(std::move(ok).error());
  return removed;
}

// Snapshot names must grow strictly: a name that repeated or went back would overwrite or hide
// the only complete snapshot once the log is reset.
template <class Engine>
Result<std::uint64_t> PersistentDb<Engine>::next_snapshot_timestamp() const {
  Result<std::vector<SnapshotFile>> files =
      SnapshotManager::list_snapshots(snapshots_.directory(), *config_.file_system);
  if (!files) return fail(std::move(files).error());
  std::uint64_t timestamp = wall_clock_millis();
  if (!files->empty() && files->back().number >= timestamp) {
    if (files->back().number == UINT64_MAX)
      return fail(errors::Storage{"no snapshot number is left after the newest one"});
    timestamp = files->back().number + 1;
  }
  return timestamp;
}

namespace {

// What every durable search checks first: the query's length (as the in-memory engines do
// first), then that some vector is live.
Status check_durable_query(const Config& config, std::size_t live, std::span<const float> query) {
  if (auto ok = check_vector_length(config.dimensions, query); !ok) return ok;
  if (live == 0) return fail(errors::IndexEmpty{});
  return {};
}

}  // namespace

Result<std::vector<SearchHit>> search_recovered(const VectorDb& engine,
                                                std::span<const float> query, std::uint64_t k,
                                                const Filter* filter) {
  if (auto ok = check_durable_query(engine.config(), engine.len(), query); !ok)
    return fail(std::move(ok).error());
  return engine.search_without_margin(query, k, filter);
}

template <class Engine>
std::size_t PersistentDb<Engine>::len() const {
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
    return memory_->storage().catalog().live_count();
  } else {
    return memory_->len();
  }
}

template <class Engine>
Result<std::vector<SearchHit>> PersistentDb<Engine>::search(std::span<const float> query,
                                                            std::uint64_t k,
                                                            const Filter* filter) const {
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
    if (auto ok = check_durable_query(memory_->config(), len(), query); !ok)
      return fail(std::move(ok).error());
    return memory_->search(query, k, filter);
  } else {
    return search_recovered(*memory_, query, k, filter);
  }
}

namespace {

// Readers may use the engine for the life of this object.
class ReadersAllowed {
 public:
  explicit ReadersAllowed(ReaderGate* gate) : gate_(gate) {
    if (gate_ != nullptr) gate_->allow_readers();
  }
  ~ReadersAllowed() {
    if (gate_ != nullptr) gate_->exclude_readers();
  }
  ReadersAllowed(const ReadersAllowed&) = delete;
  ReadersAllowed& operator=(const ReadersAllowed&) = delete;

 private:
  ReaderGate* gate_;
};

// An engine from which nothing was removed, as the snapshot of its image would hold it: its
// nodes and vectors are already numbered 0, 1, ... in store order, as the image renumbers them, so
// they are written where they stand instead of being copied first. The quantized engine's
// vectors are its originals, read where they are kept; one that scans has no graph to write.
template <class Engine>
class UncompactedEngine final : public SnapshotContent {
 public:
  explicit UncompactedEngine(const Engine& engine) : engine_(engine) {
    VEXRA_CHECK(engine.removed_count() == 0,
                "only an engine without removed versions is its image");
  }

  bool has_graph() const override { return graph() != nullptr; }
  std::size_t node_count() const override { return graph()->node_count(); }
  HnswNode node(InternalId id) const override { return graph()->node(id); }
  std::optional<InternalId> entry_point() const override { return graph()->entry_point(); }
  std::uint64_t max_level() const override { return graph()->max_level(); }
  std::size_t vector_count() const override { return engine_.version_count(); }
  Result<SnapshotVector> vector(std::size_t index) const override {
    const auto id = static_cast<InternalId>(index);
    if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
      const QuantizedStorage& storage = engine_.storage();
      SnapshotVector record{*storage.get_external_id(id),
                            std::vector<float>(engine_.config().dimensions),
                            storage.get_metadata(id)};
      if (auto ok = storage.read_original(id, record.vector); !ok)
        return fail(std::move(ok).error());
      return record;
    } else {
      std::optional<VectorRecord> record = engine_.record(id);
      VEXRA_CHECK(record.has_value(), "a live node has no stored vector");
      return std::move(*record);
    }
  }

 private:
  const HnswIndex* graph() const {
    if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
      return engine_.index();
    } else {
      return &engine_.index();
    }
  }

  const Engine& engine_;
};

}  // namespace

template <class Engine>
Result<typename PersistentDb<Engine>::Saved> PersistentDb<Engine>::save_snapshot(
    const SnapshotHeader& header) {
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
    // The compaction keeps the places of the originals; the snapshot reads them from there.
    Result<std::unique_ptr<QuantizedVectorDb>> compacted = memory_->compact();
    if (!compacted) return fail(std::move(compacted).error());
    const QuantizedVectorDb& image = *compacted ? **compacted : *memory_;
    std::vector<std::uint64_t> offsets;
    if (auto ok = snapshots_.save(header, UncompactedEngine(image), &offsets); !ok)
      return fail(std::move(ok).error());
    return Saved{std::move(*compacted), std::move(offsets)};
  } else {
    if (memory_->removed_count() == 0) {
      if (auto ok = snapshots_.save(header, UncompactedEngine(*memory_)); !ok)
        return fail(std::move(ok).error());
      return Saved{};
    }
    Result<VectorDb::Compaction> compaction = memory_->compact();
    if (!compaction) return fail(std::move(compaction).error());
    const VectorDb::Image& image = compaction->image;
    if (auto ok = snapshots_.save(header, image.graph, image.vectors); !ok)
      return fail(std::move(ok).error());
    return Saved{std::move(compaction->engine), {}};
  }
}

template <class Engine>
Status PersistentDb<Engine>::start_new_log(std::uint64_t timestamp) {
  if (auto ok = snapshots_.prune(); !ok) return ok;
  if (auto ok = wal_.reset(); !ok) return ok;
  Result<std::uint64_t> logged = wal_.append(wal_entries::Checkpoint{timestamp});
  if (!logged) return fail(std::move(logged).error());
  return {};
}

template <class Engine>
Result<typename PersistentDb<Engine>::Written> PersistentDb<Engine>::write_checkpoint() {
  Result<std::uint64_t> timestamp = next_snapshot_timestamp();
  if (!timestamp) return fail(std::move(timestamp).error());
  const SnapshotHeader header{*timestamp, wal_.sequence(), config_.engine.dimensions, 0};
  Result<Saved> saved = save_snapshot(header);
  if (!saved) return fail(std::move(saved).error());
  Written written{std::move(saved->compacted), std::nullopt, start_new_log(*timestamp)};
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
    // Until the new snapshot is open, the vectors are read where they were: still right.
    Result<std::shared_ptr<const VectorFile>> file = open_vector_file(
        snapshots_.directory() / snapshot_file_name(*timestamp), *config_.file_system);
    if (file) {
      written.vectors = SnapshotVectors{std::move(*file), std::move(saved->offsets)};
    } else if (written.new_log) {
      written.new_log = fail(std::move(file).error());
    }
  }
  return written;
}

// Readers search throughout, except while a compacted engine takes the place of the one they
// search, or the originals move to the new snapshot: the files are no part of what they read,
// and only this writer changes them.
template <class Engine>
Status PersistentDb<Engine>::checkpoint() {
  Result<Written> written = [&] {
    ReadersAllowed readers(reader_gate_);
    return write_checkpoint();
  }();
  if (!written) return fail(std::move(written).error());
  if (written->compacted) memory_.swap(written->compacted);
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>) {
    if (written->vectors) {
      memory_->move_originals_to(std::move(written->vectors->file),
                                 std::move(written->vectors->offsets));
    }
  }
  if (written->compacted) {
    // Freeing the replaced engine's many allocations takes a while, and readers no longer see it.
    ReadersAllowed readers(reader_gate_);
    written->compacted.reset();
  }
  return std::move(written->new_log);
}

template class PersistentDb<VectorDb>;
template class PersistentDb<QuantizedVectorDb>;

}  // namespace vexradb
