#pragma once
// Read-only checks of a durable engine's data directory, for tools that look at a directory
// another client may be using: nothing here writes, locks or repairs anything.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "durable/manifest.hpp"
#include "durable/snapshot.hpp"
#include "durable/wal.hpp"
#include "files/file_system.hpp"

namespace vexradb {

// A data directory holds the log in "wal/" and the snapshots in "snapshots/".
inline constexpr std::string_view kWalDirectory = "wal";
inline constexpr std::string_view kSnapshotDirectory = "snapshots";

struct SnapshotSummary {
  SnapshotFile file;
  SnapshotHeader header;
  std::uint64_t bytes;
};

struct DirectorySummary {
  std::vector<SnapshotSummary> snapshots;  // oldest first; recovery loads the last
  LogReport log;
  // None for a directory written before manifests existed (its metric is not known).
  std::optional<Manifest> manifest;
  // From the newest snapshot, else from the first vector in the log, else from the manifest; none
  // for a directory that never held a vector and has no manifest.
  std::optional<std::uint64_t> dimensions;
};

// Something verify_directory found: damage, or a remark about a file that is sound as far as it
// can tell (a torn log tail, a snapshot written without a checksum).
struct Finding {
  std::filesystem::path file;  // relative to the data directory
  std::optional<std::uint64_t> offset;
  std::string what;
  bool damage;
};

// Io error for a missing directory or one that holds no log (not a data directory).
Status expect_data_directory(const std::filesystem::path& data_dir,
                             FileSystem& fs = posix_file_system());

// Io error as expect_data_directory; read_manifest's errors for a manifest it cannot use.
Result<DirectorySummary> describe_directory(const std::filesystem::path& data_dir,
                                            FileSystem& fs = posix_file_system());

// Reads the manifest and every snapshot and log frame whole: their structure, the snapshots'
// checksums, whether each snapshot's graph and vectors agree, and whether its vectors have the
// manifest's dimensions. The directory is sound when no finding is damage.
Result<std::vector<Finding>> verify_directory(const std::filesystem::path& data_dir,
                                              FileSystem& fs = posix_file_system());

}  // namespace vexradb
