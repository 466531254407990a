#pragma once

// The data directory's manifest: how the directory is to be read (the length of its vectors and
// the metric its graph was built for) and the engine it was last opened with, in "manifest.json"
// at its root, one line of JSON:
//   {"format": 1, "dimensions": 128, "metric": "cosine", "engine": "full"}
// A client writes it when it opens a directory that holds nothing yet, and again when it opens
// the directory with another engine; every open checks it. Directories written before manifests
// existed have none and open as they always did: their metric cannot be known.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/config.hpp"
#include "base/error.hpp"
#include "base/types.hpp"
#include "files/file_system.hpp"

namespace vexradb {

inline constexpr std::string_view kManifestFileName = "manifest.json";

struct Manifest {
  std::uint64_t dimensions = 0;
  DistanceMetric metric = DistanceMetric::Cosine;
  Quantization engine = Quantization::None;  // the engine the directory was last opened with

  bool operator==(const Manifest&) const = default;
};

// The names the manifest and the command-line tool give metrics and engines.
std::string_view metric_name(DistanceMetric metric);
std::optional<DistanceMetric> metric_named(std::string_view name);
std::string_view engine_name(Quantization engine);

// The file's text.
std::string manifest_text(const Manifest& manifest);
// The manifest `text` holds, or a Storage error saying why it is not one this version reads (any
// bytes: the file is untrusted input).
Result<Manifest> parse_manifest(std::string_view text);

// The directory's manifest; none when it has none. Io error when it cannot be read, Storage error
// naming the file when it is not a manifest this version reads.
Result<std::optional<Manifest>> read_manifest(const std::filesystem::path& data_dir,
                                              FileSystem& fs = posix_file_system());
// Replaces the directory's manifest, atomically and durably.
Status write_manifest(const std::filesystem::path& data_dir, const Manifest& manifest,
                      FileSystem& fs = posix_file_system());

// InvalidConfiguration error naming the first field in which the client's configuration differs
// from the directory's manifest, with both values.
Status check_manifest(const Manifest& manifest, const Config& config);

// check_manifest against the directory's manifest, if it has one (read_manifest's errors too).
Status check_directory_manifest(const std::filesystem::path& data_dir, const Config& config,
                                FileSystem& fs);

// What a client that opens the directory does with its manifest, holding the directory's lock and
// before it changes anything else there: checks the configuration against the manifest and
// records the engine when it differs; writes the manifest when the directory holds no data yet
// (no snapshot, no log record). A directory with data but no manifest is left without one.
Status check_and_record_manifest(const std::filesystem::path& data_dir, const Config& config,
                                 FileSystem& fs);

}  // namespace vexradb
