#pragma once

// durable/: the write-ahead log, snapshots, the data directory's manifest and read-only checks,
// and the durable engine built from them on an in-memory engine. May use every folder above,
// reaching files only through files/.
//
// The durable engine: an in-memory engine, with every change written to the write-ahead log
// before it is applied, snapshots at checkpoints, and recovery on open. Over the full-precision
// engine (PersistentVectorDb) or the quantized one (PersistentQuantizedDb). Both write the same
// files: the log and the snapshots hold full-precision vectors, so either can open a directory
// the other wrote. The quantized one keeps codes in memory and leaves the full-precision vectors
// in the newest snapshot file, read when a search rescores, a get asks for one or the next
// snapshot copies them; those logged since are held in memory until that snapshot.
//
// Data directory: "wal/current.wal" (the log), "snapshots/" (the newest three snapshots) and
// "manifest.json" (its dimensions, metric and last engine; see manifest.hpp).
// The engine holds an exclusive advisory lock on the directory for its whole life, so that two
// clients never write the same log; the lock dies with the process.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/config.hpp"
#include "base/error.hpp"
#include "durable/snapshot.hpp"
#include "durable/wal.hpp"
#include "engine/engine.hpp"
#include "files/file_system.hpp"

namespace vexradb {

struct PersistentConfig {
  // Dimensions, metric and graph parameters; for the quantized engine also its codes
  // (`quantization`: SQ8, searched through a graph, or Binary, by scanning), whether it rescores
  // and by how much it oversamples.
  Config engine;
  std::uint64_t max_wal_size =
      kDefaultMaxWalSize;  // a change that grows the log past it checkpoints
  std::size_t max_snapshots = kDefaultMaxSnapshots;
  bool sync_on_write = false;  // force every logged change to stable storage before applying it
  // Every change to the data directory's files goes through it; it outlives the database.
  FileSystem* file_system = &posix_file_system();
};

// Lets readers use the engine while a checkpoint only reads it. An owner that keeps readers out
// for the length of every change implements it: a checkpoint, explicit or owed by a change that
// filled the log, calls allow_readers() before it compacts the engine, writes the snapshot and
// starts the new log, and exclude_readers() after; when it installs a compacted engine, it lets
// readers in again while it frees the replaced one and excludes them before it returns. Other
// writers stay out throughout.
// The full-precision vectors of a snapshot just written, read where they are: internal id i of
// the engine it was written from at offsets[i] of `file`.
struct SnapshotVectors {
  std::shared_ptr<const VectorFile> file;
  std::vector<std::uint64_t> offsets;
};

class ReaderGate {
 public:
  virtual void allow_readers() = 0;
  virtual void exclude_readers() = 0;

 protected:
  ~ReaderGate() = default;
};

// A search as the durable engine answers it (see PersistentDb::search), over its in-memory
// engine or one read_only_engine() recovered.
Result<std::vector<SearchHit>> search_recovered(const VectorDb& engine,
                                                std::span<const float> query, std::uint64_t k,
                                                const Filter* filter);

// The full-precision engine a data directory recovers to, read without writing, locking or
// repairing anything, for tools that inspect a directory another client may be using: what
// open() would give, except that a damaged or torn log tail is read up to, not cut, and the
// manifest is checked but not written. Io error for a missing directory or one that holds no log.
Result<std::unique_ptr<VectorDb>> read_only_engine(const std::filesystem::path& data_dir,
                                                   const Config& config,
                                                   FileSystem& fs = posix_file_system());

// Threads: the engine's threading rule (engine.hpp), with insert, upsert, upsert_batch, remove,
// checkpoint and sync as the non-const calls, except where the reader gate lets readers in.
// Readers that come in during a checkpoint that a batch owes see the entries before it.
template <class Engine>
class PersistentDb {
 public:
  // Creates the directory layout as needed, takes the directory lock (Io error when another
  // client holds it), checks and records the manifest (InvalidConfiguration error for dimensions
  // or a metric other than those the directory was written with), opens the log and recovers:
  // loads the newest snapshot and replays the log records numbered after it.
  static Result<std::unique_ptr<PersistentDb>> open(const std::filesystem::path& data_dir,
                                                    const PersistentConfig& config);

  // Logs, then applies. A refused insertion (for example a live id) stays logged; replay skips
  // it the same way. Refused before anything is logged: a vector of the wrong length
  // (DimensionMismatch), an id or metadata string that is not UTF-8 or a metadata number that is
  // not finite (Serialization), since the log could not give those back as they were.
  Status insert(const VectorId& id, std::span<const float> vector, std::optional<Json> metadata);
  // Replaces the live vector of `id`, if any, logging a Delete and an Insert record in one write.
  // What holds after a crash: the log keeps both records, or a prefix of whole frames (recovery
  // cuts a torn last frame). Once the write returned, a crash of the process keeps both. A power
  // loss before the next sync may keep only the Delete: the id then recovers as deleted, with
  // neither version.
  Status upsert(const VectorId& id, std::span<const float> vector, std::optional<Json> metadata);
  // Upserts every entry after checking them all, logging the records of one upsert at a time in
  // as few writes as the log's limit allows and linking the vectors as a parallel batch (the
  // store is that of one upsert at a time, the graph may differ). Checkpoints where one upsert
  // at a time would have. Stops at the first failure, keeping the entries logged before it.
  Status upsert_batch(std::vector<BatchEntry> entries);
  // Logs the deletion (even of an id that is not live) and tombstones the live version.
  Result<bool> remove(std::string_view id);

  Result<std::optional<StoredVector>> get(std::string_view id) const { return memory_->get(id); }
  std::vector<ListItem> list(std::uint32_t offset, std::uint32_t limit) const {
    return memory_->list(offset, limit);
  }
  // Live vectors.
  std::size_t len() const;
  // As the engine's search, except that a database without live vectors answers IndexEmpty, as a
  // freshly opened empty directory does. A checkpoint leaves deleted vectors out, and a reopened
  // database cannot tell "all deleted" from "never stored": the answer depends on what the
  // database holds alone, so it is the same before a checkpoint, after it and after reopening.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::uint64_t k,
                                        const Filter* filter) const;

  // The keyword index (see VectorDb::index_text): built in memory from the stored metadata and
  // kept from then on, through checkpoints; nothing of it is written, so an owner that wants it
  // after reopening configures it again.
  Status index_text(const TextIndexOptions& options) { return memory_->index_text(options); }
  Result<std::vector<TextHit>> text_search(std::string_view text, std::uint64_t k,
                                           const Filter* filter) const {
    return memory_->text_search(text, k, filter);
  }

  // Writes a snapshot of every live vector and the graph, prunes old snapshots and starts a
  // fresh log.
  // Each file is complete before it takes its name; on failure the previous snapshot and the log
  // stay usable. Deleted and replaced vectors are left out: the engine continues from the
  // snapshot's image, exactly as a reopened one would (see compact).
  Status checkpoint();
  // Forces the log to stable storage.
  Status sync() { return wal_.sync(); }
  // The gate checkpoints open to readers from now on (none: readers stay out); it must outlive
  // the engine or be replaced first.
  void set_reader_gate(ReaderGate* gate) noexcept { reader_gate_ = gate; }

  const Engine& memory() const noexcept { return *memory_; }
  const Wal& wal() const noexcept { return wal_; }

 private:
  PersistentDb(const std::filesystem::path& data_dir, const PersistentConfig& config, UniqueFd lock,
               Wal wal);

  Status recover();
  // Logs `entries` in one write and, with sync_on_write, forces them out.
  Status log(std::span<const WalEntry> entries);
  // The checkpoint a change owes once the log has outgrown its limit.
  Status checkpoint_if_full();
  Result<std::uint64_t> next_snapshot_timestamp() const;
  // What a checkpoint does while readers may come in through the gate, since it only reads the
  // engine: saves the snapshot, then prunes and starts the new log. Fails only when no snapshot
  // was saved; gives the compacted engine to continue with (null when nothing was removed) and
  // how starting the new log (and opening the snapshot's vectors) went.
  struct Written {
    std::unique_ptr<Engine> compacted;
    // Where the snapshot left the full-precision vectors of the engine to continue with, if they
    // are to be read from there from now on.
    std::optional<SnapshotVectors> vectors;
    Status new_log;
  };
  Result<Written> write_checkpoint();
  // Writes the snapshot of the engine's image, compacting the engine first when removed
  // versions are to be left out. Gives the compacted engine, if any, and (quantized engine) the
  // offset in the file of each of its vectors.
  struct Saved {
    std::unique_ptr<Engine> compacted;
    std::vector<std::uint64_t> offsets;
  };
  Result<Saved> save_snapshot(const SnapshotHeader& header);
  // Prunes old snapshots and replaces the log by one that starts with the checkpoint's record.
  Status start_new_log(std::uint64_t timestamp);

  PersistentConfig config_;
  UniqueFd directory_lock_;
  Wal wal_;
  SnapshotManager snapshots_;
  std::unique_ptr<Engine> memory_;  // replaced by its compacted image at checkpoints
  ReaderGate* reader_gate_ = nullptr;
};

using PersistentVectorDb = PersistentDb<VectorDb>;
using PersistentQuantizedDb = PersistentDb<QuantizedVectorDb>;

}  // namespace vexradb
