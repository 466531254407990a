#pragma once
// The verbs of the `vexradb` tool. Those that read (info, verify, dump, search) open nothing for
// writing and take no lock: they leave the directory byte for byte as it was, and can look at a
// directory a client is using. Those that write (import, checkpoint) open it as any client does,
// taking its lock, so they fail while another client holds it.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "base/error.hpp"
#include "base/types.hpp"

namespace vexradb::cli {

struct Options {
  std::filesystem::path dir;
  // The graph is built, and searched, with the metric. Without --metric, the one the directory's
  // manifest records, or cosine for a directory written before manifests existed (which must then
  // be given the metric its clients use); one that differs from the manifest's is refused.
  std::optional<DistanceMetric> metric;
  std::filesystem::path file;         // import
  std::string id_prefix;              // import: ids of unnamed rows
  std::optional<std::string> vector;  // search: the query as a JSON array
  std::optional<std::string> id;      // search: or the stored vector of this id
  std::uint64_t k = 10;
  std::optional<std::string> filter;  // search: a filter in its JSON form
};

Status info(const Options& options, std::ostream& out);
// Whether the directory is sound; prints every finding.
Result<bool> verify(const Options& options, std::ostream& out);
// JSON Lines: {"id", "vector", "metadata"} per live vector.
Status dump(const Options& options, std::ostream& out);
Status import_file(const Options& options, std::ostream& out);
// JSON Lines: {"id", "distance", "metadata"} per hit, nearest first.
Status search(const Options& options, std::ostream& out);
Status checkpoint(const Options& options, std::ostream& out);

}  // namespace vexradb::cli
