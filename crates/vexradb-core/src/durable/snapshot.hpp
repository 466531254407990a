#pragma once

// Snapshot files: a complete image of the durable engine at a checkpoint, one file per
// checkpoint named "snapshot_" + the checkpoint's timestamp (at least 16 digits) + ".snap".
//
// Layout (encoding.hpp): magic "ZSNP", version 2, u64 timestamp, u64 sequence (the image holds
// every logged change up to it), u64 dimensions, u64 vector count; a tag byte and the graph
// (nodes with their neighbour lists, optional entry point, maximum level); then the vectors in
// chunks of at most 1000, each an u64 count followed by (id, vector, optional metadata) records.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "files/file_system.hpp"
#include "graph/hnsw.hpp"
#include "metadata/json.hpp"
#include "storage/original_vectors.hpp"
#include "storage/vector_record.hpp"

namespace vexradb {

inline constexpr std::size_t kSnapshotChunkSize = 1000;
inline constexpr std::size_t kDefaultMaxSnapshots = 3;

struct SnapshotHeader {
  std::uint64_t timestamp = 0;
  std::uint64_t sequence = 0;
  std::uint64_t dimensions = 0;
  std::uint64_t vector_count = 0;
};

// One live vector. Its position in the file is its only order.
using SnapshotVector = VectorRecord;

struct Snapshot {
  SnapshotHeader header;
  std::optional<HnswIndex::State> graph;  // always written; a file without one is accepted
  std::vector<SnapshotVector> vectors;
};

// The checksum of a whole snapshot file. The format has none of its own, so a checkpoint keeps
// it beside the file, in "<snapshot name>.crc32" as one line "<8 hex digits> <size>": a check
// can then find any changed byte, including one in vector data that still decodes.
struct SnapshotChecksum {
  std::uint32_t crc32 = 0;
  std::uint64_t size = 0;
  bool operator==(const SnapshotChecksum&) const = default;
};

// What a snapshot file holds, as the writer reads it: one node and one vector at a time, so that
// a checkpoint can write an engine's graph and vectors where they are instead of copying them
// whole first. Node i has id i; the vectors are written in index order. A vector that cannot be
// read fails the snapshot.
class SnapshotContent {
 public:
  // Without a graph (an engine that scans), the file says so and the nodes are not asked for.
  virtual bool has_graph() const { return true; }
  virtual std::size_t node_count() const = 0;
  virtual HnswNode node(InternalId id) const = 0;
  virtual std::optional<InternalId> entry_point() const = 0;
  virtual std::uint64_t max_level() const = 0;
  virtual std::size_t vector_count() const = 0;
  virtual Result<SnapshotVector> vector(std::size_t index) const = 0;

 protected:
  ~SnapshotContent() = default;
};

// What a snapshot file holds, as the reader hands it on: the graph when there is one, then each
// vector in file order with the offset in the file of its first float, so that a reader may
// leave the floats there (see open_vector_file).
class SnapshotSink {
 public:
  virtual void graph(HnswIndex::State graph) = 0;
  virtual Status vector(SnapshotVector vector, std::uint64_t floats_at) = 0;

 protected:
  ~SnapshotSink() = default;
};

struct SnapshotFile {
  std::uint64_t number;
  std::filesystem::path path;
};

std::string snapshot_file_name(std::uint64_t timestamp);
std::filesystem::path checksum_path(const std::filesystem::path& snapshot);

// The snapshot directory: listing, writing, pruning and loading its files.
class SnapshotManager {
 public:
  SnapshotManager(std::filesystem::path snapshot_dir, std::size_t max_snapshots,
                  FileSystem& fs = posix_file_system())
      : fs_(&fs), snapshot_dir_(std::move(snapshot_dir)), max_snapshots_(max_snapshots) {}

  // The snapshot files by ascending number (equal numbers in directory order). Names that are
  // not "snapshot_" + decimal number (an optional "+" allowed) + ".snap" are ignored, so are
  // the temporary files of a checkpoint in progress.
  static Result<std::vector<SnapshotFile>> list_snapshots(const std::filesystem::path& dir,
                                                          FileSystem& fs = posix_file_system());

  // Writes the file of `header.timestamp` completely under a temporary name, forces it to
  // stable storage and renames it into place: a file with a snapshot's name is always complete.
  // Its checksum file takes its name just before it. Storage error with the encoder's message
  // when writing fails, Io for the file operations; on failure no new file is left behind.
  // With `floats_at`, receives the offset in the file of each vector's first float.
  Status save(SnapshotHeader header, const SnapshotContent& content,
              std::vector<std::uint64_t>* floats_at = nullptr) const;
  // As above, for a graph and vectors held whole.
  Status save(SnapshotHeader header, const HnswIndex::State& graph,
              std::span<const SnapshotVector> vectors) const;

  // Removes the oldest files beyond the newest `max_snapshots`, with their checksum files.
  Status prune() const;
  // Removes the temporary files of checkpoints that a crash interrupted, and checksum files
  // whose snapshot is not there.
  Status remove_unfinished() const;

  // Reads a whole snapshot file. Storage errors: "io error: failed to fill whole buffer" for a
  // file cut short, "Invalid snapshot magic bytes", "Unsupported snapshot version: N", or the
  // decoder's message for a damaged body; Io when the file cannot be read to the end it had when
  // opened.
  // `stopped_at`, when given, receives the offset where reading ended (for a damaged file, about
  // where the damage was found).
  static Result<Snapshot> load(const std::filesystem::path& path,
                               FileSystem& fs = posix_file_system(),
                               std::uint64_t* stopped_at = nullptr);
  // As load, handing the graph and the vectors to `sink` as they are read; gives the header.
  // The sink's failures end the reading and are returned as they are.
  static Result<SnapshotHeader> load(const std::filesystem::path& path, FileSystem& fs,
                                     SnapshotSink& sink, std::uint64_t* stopped_at = nullptr);
  // Reads the header alone.
  static Result<SnapshotHeader> load_header(const std::filesystem::path& path,
                                            FileSystem& fs = posix_file_system());
  // The checksum recorded beside a snapshot file; none for a file written without one. Io error
  // when it cannot be read, Storage when it is not a checksum file.
  static Result<std::optional<SnapshotChecksum>> recorded_checksum(
      const std::filesystem::path& snapshot, FileSystem& fs = posix_file_system());
  // The checksum of the file as it is now.
  static Result<SnapshotChecksum> checksum_of(const std::filesystem::path& snapshot,
                                              FileSystem& fs = posix_file_system());

  const std::filesystem::path& directory() const noexcept { return snapshot_dir_; }

 private:
  FileSystem* fs_;
  std::filesystem::path snapshot_dir_;
  std::size_t max_snapshots_;
};

// The vectors of a snapshot file, read where they are through the file layer for as long as the
// result lives (the open file outlives its name: pruning does not take it away).
Result<std::shared_ptr<const VectorFile>> open_vector_file(const std::filesystem::path& path,
                                                           FileSystem& fs);

// Runs `read`, which lists snapshots and reads some of them, again while it fails because a
// listed file is gone: a client checkpointing beside a reader prunes old snapshots, and a newer
// one is listed then. Gives up after a few rounds, with the last failure.
template <class Read>
auto read_while_pruned(Read read) -> decltype(read()) {
  constexpr int kRounds = 16;
  for (int round = 1;; ++round) {
    auto result = read();
    if (result || round == kRounds || !is_missing_file(result.error())) return result;
  }
}

}  // namespace vexradb
