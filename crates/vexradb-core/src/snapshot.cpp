#include "snapshot.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "encoding.hpp"
#include "file_io.hpp"
#include "file_system.hpp"
#include "utf8.hpp"

namespace vexradb {
namespace {

constexpr std::string_view kMagic = "ZSNP";
constexpr std::uint8_t kVersion = 2;
constexpr std::string_view kNamePrefix = "snapshot_";
constexpr std::string_view kNameSuffix = ".snap";
constexpr std::string_view kTempSuffix = ".tmp";

// Smallest encodings, for refusing counts that the rest of the file cannot hold.
constexpr std::uint64_t kMinNodeBytes = 4 + 8 + 8;
constexpr std::uint64_t kMinListBytes = 8;
constexpr std::uint64_t kMinVectorBytes = 8 + 8 + 1;

// The number of a snapshot file name: "+"? digits, below 2^64.
std::optional<std::uint64_t> parse_number(std::string_view digits) {
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint64_t> snapshot_number(std::string_view name) {
  if (utf8_error(name) || name.size() < kNamePrefix.size() + kNameSuffix.size() ||
      !name.starts_with(kNamePrefix) || !name.ends_with(kNameSuffix))
    return std::nullopt;
  return parse_number(
      name.substr(kNamePrefix.size(), name.size() - kNamePrefix.size() - kNameSuffix.size()));
}

// ---- Writing ----------------------------------------------------------------------------------

void encode_header(const SnapshotHeader& header, Encoder& out) {
  for (const char c : kMagic) out.u8(static_cast<std::uint8_t>(c));
  out.u8(kVersion);
  out.u64(header.timestamp);
  out.u64(header.sequence);
  out.u64(header.dimensions);
  out.u64(header.vector_count);
}

void encode_node(const HnswNode& node, Encoder& out) {
  out.u32(node.id);
  out.u64(node.level);
  out.u64(node.neighbors.size());
  for (const std::vector<InternalId>& list : node.neighbors) {
    out.u64(list.size());
    for (const InternalId id : list) out.u32(id);
  }
}

void encode_vector(const SnapshotVector& vector, Encoder& out) {
  out.text(vector.id.str());
  out.floats(vector.vector);
  out.optional_text(metadata_text(vector.metadata));
}

// Encodes the file piece by piece into a scratch buffer and hands each piece to the writer.
class SnapshotWriter {
 public:
  SnapshotWriter(FileSystem& fs, int fd) : writer_(fs, fd) {}

  Status write(const SnapshotHeader& header, const HnswIndex::State& graph,
               std::span<const SnapshotVector> vectors) {
    encode_header(header, out_);
    out_.u8(1);
    out_.u64(graph.nodes.size());
    for (const HnswNode& node : graph.nodes) {
      encode_node(node, out_);
      if (auto ok = drain(); !ok) return ok;
    }
    out_.u8(graph.entry_point ? 1 : 0);
    if (graph.entry_point) out_.u32(*graph.entry_point);
    out_.u64(graph.max_level);
    for (std::size_t start = 0; start < vectors.size(); start += kSnapshotChunkSize) {
      const std::span<const SnapshotVector> chunk =
          vectors.subspan(start, std::min(kSnapshotChunkSize, vectors.size() - start));
      out_.u64(chunk.size());
      for (const SnapshotVector& vector : chunk) {
        encode_vector(vector, out_);
        if (auto ok = drain(); !ok) return ok;
      }
    }
    if (auto ok = drain(); !ok) return ok;
    return as_storage_error(writer_.flush());
  }

 private:
  Status drain() {
    Status written = writer_.write(std::as_bytes(std::span(scratch_)));
    scratch_.clear();
    return as_storage_error(std::move(written));
  }
  // A write failure reaches the caller as the encoder reports it.
  static Status as_storage_error(Status status) {
    if (status) return status;
    const auto* io = std::get_if<errors::Io>(&status.error().payload());
    return fail(errors::Storage{"io error: " + (io != nullptr ? io->description : "")});
  }

  BufferedWriter writer_;
  std::string scratch_;
  Encoder out_{scratch_};
};

// ---- Reading ----------------------------------------------------------------------------------

using FileDecoder = Decoder<FileReader>;

// Unwraps a decoded value into `out`, or returns the failure as a Storage error.
#define VEXRA_DECODE(out, expr)                                                       \
  auto out##_decoded = (expr);                                                        \
  if (!out##_decoded) return fail(errors::Storage{std::move(out##_decoded).error()}); \
  auto out = std::move(*out##_decoded)

Result<SnapshotHeader> read_header(FileDecoder& in) {
  std::uint8_t magic[4];
  for (std::uint8_t& byte : magic) {
    VEXRA_DECODE(value, in.u8());
    byte = value;
  }
  VEXRA_DECODE(version, in.u8());
  VEXRA_DECODE(timestamp, in.u64());
  VEXRA_DECODE(sequence, in.u64());
  VEXRA_DECODE(dimensions, in.u64());
  VEXRA_DECODE(vector_count, in.u64());
  if (std::string_view(reinterpret_cast<const char*>(magic), 4) != kMagic)
    return fail(errors::Storage{"Invalid snapshot magic bytes"});
  if (version != kVersion)
    return fail(errors::Storage{"Unsupported snapshot version: " + std::to_string(version)});
  return SnapshotHeader{timestamp, sequence, dimensions, vector_count};
}

Result<HnswNode> read_node(FileDecoder& in) {
  VEXRA_DECODE(id, in.u32());
  VEXRA_DECODE(level, in.u64());
  VEXRA_DECODE(list_count, in.count(kMinListBytes));
  HnswNode node{id, level, {}};
  node.neighbors.reserve(list_count);
  for (std::uint64_t i = 0; i < list_count; ++i) {
    VEXRA_DECODE(length, in.count(sizeof(InternalId)));
    std::vector<InternalId>& list = node.neighbors.emplace_back();
    list.reserve(length);
    for (std::uint64_t j = 0; j < length; ++j) {
      VEXRA_DECODE(neighbor, in.u32());
      list.push_back(neighbor);
    }
  }
  return node;
}

Result<HnswIndex::State> read_graph(FileDecoder& in) {
  HnswIndex::State graph;
  VEXRA_DECODE(node_count, in.count(kMinNodeBytes));
  graph.nodes.reserve(node_count);
  for (std::uint64_t i = 0; i < node_count; ++i) {
    Result<HnswNode> node = read_node(in);
    if (!node) return fail(std::move(node).error());
    graph.nodes.push_back(std::move(*node));
  }
  VEXRA_DECODE(has_entry, in.tag());
  if (has_entry) {
    VEXRA_DECODE(entry, in.u32());
    graph.entry_point = entry;
  }
  VEXRA_DECODE(max_level, in.u64());
  graph.max_level = max_level;
  return graph;
}

Result<SnapshotVector> read_vector(FileDecoder& in) {
  VEXRA_DECODE(id, in.text());
  VEXRA_DECODE(vector, in.floats());
  VEXRA_DECODE(metadata, in.metadata());
  return SnapshotVector{VectorId(std::move(id)), std::move(vector), std::move(metadata)};
}

Status read_vectors(FileDecoder& in, std::uint64_t count, std::vector<SnapshotVector>& out) {
  std::uint64_t remaining = count;
  while (remaining != 0) {
    VEXRA_DECODE(chunk, in.count(kMinVectorBytes));
    for (std::uint64_t i = 0; i < chunk; ++i) {
      Result<SnapshotVector> vector = read_vector(in);
      if (!vector) return fail(std::move(vector).error());
      out.push_back(std::move(*vector));
    }
    remaining -= std::min(chunk, remaining);
  }
  return {};
}

#undef VEXRA_DECODE

}  // namespace

std::string snapshot_file_name(std::uint64_t timestamp) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%016llu", static_cast<unsigned long long>(timestamp));
  return std::string(kNamePrefix) + digits + std::string(kNameSuffix);
}

Result<std::vector<SnapshotFile>> SnapshotManager::list_snapshots(
    const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::directory_iterator entries(dir, error);
  if (error) return fail(errors::Io::from_errno(error.value()));
  std::vector<SnapshotFile> files;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) return fail(errors::Io::from_errno(error.value()));
    const std::filesystem::path& path = entries->path();
    if (std::optional<std::uint64_t> number = snapshot_number(path.filename().native()))
      files.push_back({*number, path});
  }
  if (error) return fail(errors::Io::from_errno(error.value()));
  std::stable_sort(files.begin(), files.end(), [](const SnapshotFile& a, const SnapshotFile& b) {
    return a.number < b.number;
  });
  return files;
}

Status SnapshotManager::save(SnapshotHeader header, const HnswIndex::State& graph,
                             std::span<const SnapshotVector> vectors) const {
  header.vector_count = vectors.size();
  const std::filesystem::path path = snapshot_dir_ / snapshot_file_name(header.timestamp);
  std::filesystem::path temp = path;
  temp += kTempSuffix;
  Status saved = [&]() -> Status {
    Result<UniqueFd> file = fs_->open(temp, O_WRONLY | O_CREAT | O_TRUNC);
    if (!file) return fail(std::move(file).error());
    if (auto ok = SnapshotWriter(*fs_, file->get()).write(header, graph, vectors); !ok) return ok;
    if (auto ok = fs_->sync(file->get()); !ok) return ok;
    return fs_->rename(temp, path);
  }();
  if (!saved) {
    (void)fs_->remove(temp);  // best effort: the next open removes it too
    return saved;
  }
  return fs_->sync_directory(snapshot_dir_);
}

Status SnapshotManager::prune() const {
  Result<std::vector<SnapshotFile>> files = list_snapshots(snapshot_dir_);
  if (!files) return fail(std::move(files).error());
  if (files->size() <= max_snapshots_) return {};
  const std::size_t excess = files->size() - max_snapshots_;
  for (std::size_t i = 0; i < excess; ++i) {
    if (auto ok = fs_->remove((*files)[i].path); !ok) return ok;
  }
  return {};
}

Status SnapshotManager::remove_unfinished() const {
  std::error_code error;
  std::filesystem::directory_iterator entries(snapshot_dir_, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::string name = entries->path().filename().native();
    const bool unfinished =
        name.ends_with(kTempSuffix) &&
        snapshot_number(std::string_view(name).substr(0, name.size() - kTempSuffix.size()));
    if (!unfinished) continue;
    if (auto ok = fs_->remove(entries->path()); !ok) return ok;
  }
  if (error) return fail(errors::Io::from_errno(error.value()));
  return {};
}

Result<Snapshot> SnapshotManager::load(const std::filesystem::path& path, FileSystem& fs) {
  Result<FileReader> file = FileReader::open(fs, path);
  if (!file) return fail(std::move(file).error());
  FileDecoder in(*file);
  Result<SnapshotHeader> header = read_header(in);
  if (!header) return fail(std::move(header).error());
  Snapshot snapshot{*header, std::nullopt, {}};
  Decoded<bool> has_graph = in.tag();
  if (!has_graph) return fail(errors::Storage{std::move(has_graph).error()});
  if (*has_graph) {
    Result<HnswIndex::State> graph = read_graph(in);
    if (!graph) return fail(std::move(graph).error());
    snapshot.graph = std::move(*graph);
  }
  if (auto ok = read_vectors(in, header->vector_count, snapshot.vectors); !ok)
    return fail(std::move(ok).error());
  return snapshot;
}

}  // namespace vexradb
