#include "durable/data_directory.hpp"

#include <cerrno>
#include <unordered_set>

#include "graph/graph_image.hpp"
#include "graph/hnsw.hpp"

namespace vexradb {
namespace {

std::filesystem::path log_path() {
  return std::filesystem::path(kWalDirectory) / std::string(kWalFileName);
}

std::filesystem::path snapshot_path(const SnapshotFile& file) {
  return std::filesystem::path(kSnapshotDirectory) / file.path.filename();
}

// The length of the first vector the log holds.
Result<std::optional<std::uint64_t>> logged_dimensions(const std::filesystem::path& data_dir,
                                                       FileSystem& fs) {
  Result<std::vector<WalRecord>> records = Wal::read_records(data_dir / kWalDirectory, 0, fs);
  if (!records) return fail(std::move(records).error());
  for (const WalRecord& record : *records) {
    if (const auto* insert = std::get_if<wal_entries::Insert>(&record.entry))
      return std::optional<std::uint64_t>(insert->vector.size());
  }
  return std::optional<std::uint64_t>();
}

std::string hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

// recorded_checksum(), checksum_of() and read_manifest() fail with the Storage error of a damaged
// file or the Io error of an unreadable one.
std::string read_failure(const Error& error) {
  if (const auto* storage = error.get_if<errors::Storage>()) return storage->text;
  if (const auto* io = error.get_if<errors::Io>()) return "cannot be read: " + io->description;
  return "cannot be read";
}

// Whether the file's bytes are those its checkpoint wrote. A checksum file that cannot be read
// is damage like any other: it is reported, and the other files are still checked.
std::optional<Finding> check_checksum(const SnapshotFile& file, FileSystem& fs) {
  Result<std::optional<SnapshotChecksum>> recorded =
      SnapshotManager::recorded_checksum(file.path, fs);
  if (!recorded) {
    return Finding{checksum_path(snapshot_path(file)), std::nullopt, read_failure(recorded.error()),
                   true};
  }
  if (!*recorded) {
    return Finding{snapshot_path(file), std::nullopt,
                   "no checksum recorded beside it: only its structure was checked", false};
  }
  Result<SnapshotChecksum> actual = SnapshotManager::checksum_of(file.path, fs);
  if (!actual) {
    return Finding{snapshot_path(file), std::nullopt,
                   "its checksum " + read_failure(actual.error()), true};
  }
  if (*actual == **recorded) return std::nullopt;
  return Finding{snapshot_path(file), std::nullopt,
                 "checksum mismatch: written as crc32 " + hex((*recorded)->crc32) + " over " +
                     std::to_string((*recorded)->size) + " bytes, now crc32 " + hex(actual->crc32) +
                     " over " + std::to_string(actual->size) + " bytes",
                 true};
}

// What recovery would refuse or repair in a snapshot that decodes.
std::vector<std::string> inconsistencies(const Snapshot& snapshot,
                                         const std::optional<Manifest>& manifest) {
  std::vector<std::string> found;
  if (manifest && snapshot.header.dimensions != manifest->dimensions) {
    found.push_back("its vectors have " + std::to_string(snapshot.header.dimensions) +
                    " components, the manifest says " + std::to_string(manifest->dimensions));
  }
  std::unordered_set<std::string_view> ids;
  for (const SnapshotVector& vector : snapshot.vectors) {
    if (vector.vector.size() != snapshot.header.dimensions) {
      found.push_back("vector `" + vector.id.str() + "` has " +
                      std::to_string(vector.vector.size()) + " components, the header says " +
                      std::to_string(snapshot.header.dimensions));
    }
    if (!ids.insert(vector.id.str()).second)
      found.push_back("vector `" + vector.id.str() + "` is stored twice");
  }
  if (snapshot.graph) {
    const HnswIndex empty(HnswConfig{}, DistanceMetric::Euclidean);
    if (!describes_vectors(*snapshot.graph, snapshot.vectors.size()) ||
        !empty.fits(*snapshot.graph))
      found.push_back("the graph does not describe the stored vectors (recovery rebuilds it)");
  }
  return found;
}

void check_snapshot(const SnapshotFile& file, const std::optional<Manifest>& manifest,
                    FileSystem& fs, std::vector<Finding>& findings) {
  std::uint64_t stopped_at = 0;
  Result<Snapshot> snapshot = SnapshotManager::load(file.path, fs, &stopped_at);
  // Pruned since it was listed, by a checkpoint of the client using the directory: not damage.
  if (!snapshot && is_missing_file(snapshot.error())) return;
  if (!snapshot) {
    findings.push_back({snapshot_path(file), stopped_at, read_failure(snapshot.error()), true});
  } else {
    for (std::string& what : inconsistencies(*snapshot, manifest))
      findings.push_back({snapshot_path(file), std::nullopt, std::move(what), true});
  }
  if (std::optional<Finding> checksum = check_checksum(file, fs))
    findings.push_back(std::move(*checksum));
}

// The manifest, or none when the directory has none or it cannot be used (a finding then).
std::optional<Manifest> check_manifest_file(const std::filesystem::path& data_dir, FileSystem& fs,
                                            std::vector<Finding>& findings) {
  Result<std::optional<Manifest>> manifest = read_manifest(data_dir, fs);
  if (manifest) return *manifest;
  findings.push_back({kManifestFileName, std::nullopt, read_failure(manifest.error()), true});
  return std::nullopt;
}

// The header and size of a listed snapshot.
Result<SnapshotSummary> summarize(SnapshotFile file, FileSystem& fs) {
  Result<FileReader> reader = FileReader::open(fs, file.path);
  if (!reader) return fail(std::move(reader).error());
  const std::uint64_t bytes = reader->remaining();
  Result<SnapshotHeader> header = SnapshotManager::load_header(file.path, fs);
  if (!header) return fail(std::move(header).error());
  return SnapshotSummary{std::move(file), *header, bytes};
}

// Every snapshot's header and size, oldest first.
Result<std::vector<SnapshotSummary>> summarize_snapshots(const std::filesystem::path& dir,
                                                         FileSystem& fs) {
  return read_while_pruned([&]() -> Result<std::vector<SnapshotSummary>> {
    Result<std::vector<SnapshotFile>> files = SnapshotManager::list_snapshots(dir, fs);
    if (!files) return fail(std::move(files).error());
    std::vector<SnapshotSummary> summaries;
    for (SnapshotFile& file : *files) {
      Result<SnapshotSummary> summary = summarize(std::move(file), fs);
      if (!summary) return fail(std::move(summary).error());
      summaries.push_back(std::move(*summary));
    }
    return summaries;
  });
}

}  // namespace

Status expect_data_directory(const std::filesystem::path& data_dir, FileSystem& fs) {
  Result<bool> is_directory = fs.is_directory(data_dir);
  if (!is_directory || !*is_directory)
    return fail(errors::Io{ENOENT, "no such directory: " + data_dir.string()});
  Result<bool> has_log = fs.exists(data_dir / log_path());
  if (!has_log) return fail(std::move(has_log).error());
  if (!*has_log) {
    return fail(errors::Io{ENOENT, "not a data directory (it has no " + log_path().string() +
                                       "): " + data_dir.string()});
  }
  return {};
}

Result<DirectorySummary> describe_directory(const std::filesystem::path& data_dir, FileSystem& fs) {
  if (auto ok = expect_data_directory(data_dir, fs); !ok) return fail(std::move(ok).error());
  DirectorySummary summary;
  Result<std::optional<Manifest>> manifest = read_manifest(data_dir, fs);
  if (!manifest) return fail(std::move(manifest).error());
  summary.manifest = *manifest;
  Result<LogReport> log = Wal::inspect(data_dir / kWalDirectory, fs);
  if (!log) return fail(std::move(log).error());
  summary.log = std::move(*log);
  Result<std::vector<SnapshotSummary>> snapshots =
      summarize_snapshots(data_dir / kSnapshotDirectory, fs);
  if (!snapshots) return fail(std::move(snapshots).error());
  summary.snapshots = std::move(*snapshots);
  if (!summary.snapshots.empty()) {
    summary.dimensions = summary.snapshots.back().header.dimensions;
  } else {
    Result<std::optional<std::uint64_t>> logged = logged_dimensions(data_dir, fs);
    if (!logged) return fail(std::move(logged).error());
    summary.dimensions = *logged;
  }
  if (!summary.dimensions && summary.manifest) summary.dimensions = summary.manifest->dimensions;
  return summary;
}

Result<std::vector<Finding>> verify_directory(const std::filesystem::path& data_dir,
                                              FileSystem& fs) {
  if (auto ok = expect_data_directory(data_dir, fs); !ok) return fail(std::move(ok).error());
  std::vector<Finding> findings;
  const std::optional<Manifest> manifest = check_manifest_file(data_dir, fs, findings);
  Result<std::vector<SnapshotFile>> files =
      SnapshotManager::list_snapshots(data_dir / kSnapshotDirectory, fs);
  if (!files) return fail(std::move(files).error());
  for (const SnapshotFile& file : *files) check_snapshot(file, manifest, fs, findings);
  Result<LogReport> log = Wal::inspect(data_dir / kWalDirectory, fs);
  if (!log) return fail(std::move(log).error());
  for (FileDamage& damage : log->damage)
    findings.push_back({log_path(), damage.offset, std::move(damage.what), true});
  if (log->torn_tail) {
    findings.push_back({log_path(), log->torn_tail,
                        "the end of a write that did not complete (the next open cuts it; "
                        "nothing written whole is lost)",
                        false});
  }
  return findings;
}

}  // namespace vexradb
