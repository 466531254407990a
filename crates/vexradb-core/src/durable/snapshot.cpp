#include "durable/snapshot.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include "base/utf8.hpp"
#include "durable/crc32.hpp"
#include "durable/encoding.hpp"
#include "files/file_system.hpp"

namespace vexradb {
namespace {

constexpr std::string_view kMagic = "ZSNP";
constexpr std::uint8_t kVersion = 2;
constexpr std::string_view kNamePrefix = "snapshot_";
constexpr std::string_view kNameSuffix = ".snap";
constexpr std::string_view kChecksumSuffix = ".crc32";

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

// The snapshot a checksum file belongs to, by name: "snapshot_N.snap.crc32" gives
// "snapshot_N.snap".
std::optional<std::string_view> checksummed_name(std::string_view name) {
  if (!name.ends_with(kChecksumSuffix)) return std::nullopt;
  name.remove_suffix(kChecksumSuffix.size());
  if (!snapshot_number(name)) return std::nullopt;
  return name;
}

std::filesystem::path with_suffix(std::filesystem::path path, std::string_view suffix) {
  path += suffix;
  return path;
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

// Encodes the file piece by piece into a scratch buffer and hands each piece to the writer,
// keeping the checksum of everything written.
class SnapshotWriter {
 public:
  SnapshotWriter(FileSystem& fs, int fd) : writer_(fs, fd) {}

  const SnapshotChecksum& checksum() const noexcept { return checksum_; }

  Status write(const SnapshotHeader& header, const SnapshotContent& content,
               std::vector<std::uint64_t>* floats_at) {
    encode_header(header, out_);
    out_.u8(content.has_graph() ? 1 : 0);
    if (content.has_graph()) {
      if (auto ok = write_graph(content); !ok) return ok;
    }
    const std::size_t count = content.vector_count();
    if (floats_at != nullptr) floats_at->reserve(count);
    for (std::size_t start = 0; start < count; start += kSnapshotChunkSize) {
      const std::size_t end = start + std::min(kSnapshotChunkSize, count - start);
      out_.u64(end - start);
      for (std::size_t index = start; index < end; ++index) {
        Result<SnapshotVector> vector = content.vector(index);
        if (!vector) return fail(std::move(vector).error());
        out_.text(vector->id.str());
        // The floats follow their u64 count.
        if (floats_at != nullptr) floats_at->push_back(position() + 8);
        out_.floats(vector->vector);
        out_.optional_text(metadata_text(vector->metadata));
        if (auto ok = drain(); !ok) return ok;
      }
    }
    if (auto ok = drain(); !ok) return ok;
    return as_storage_error(writer_.flush());
  }

 private:
  Status write_graph(const SnapshotContent& content) {
    out_.u64(content.node_count());
    for (InternalId id = 0; id < content.node_count(); ++id) {
      encode_node(content.node(id), out_);
      if (auto ok = drain(); !ok) return ok;
    }
    const std::optional<InternalId> entry_point = content.entry_point();
    out_.u8(entry_point ? 1 : 0);
    if (entry_point) out_.u32(*entry_point);
    out_.u64(content.max_level());
    return {};
  }
  // The offset in the file of the next byte encoded.
  std::uint64_t position() const noexcept { return checksum_.size + scratch_.size(); }

  Status drain() {
    checksum_.crc32 = crc32_update(checksum_.crc32, scratch_);
    checksum_.size += scratch_.size();
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
  SnapshotChecksum checksum_;
  std::string scratch_;
  Encoder out_{scratch_};
};

// A graph and vectors held whole.
class HeldContent final : public SnapshotContent {
 public:
  HeldContent(const HnswIndex::State& graph, std::span<const SnapshotVector> vectors)
      : graph_(graph), vectors_(vectors) {}

  std::size_t node_count() const override { return graph_.nodes.size(); }
  HnswNode node(InternalId id) const override { return graph_.nodes[id]; }
  std::optional<InternalId> entry_point() const override { return graph_.entry_point; }
  std::uint64_t max_level() const override { return graph_.max_level; }
  std::size_t vector_count() const override { return vectors_.size(); }
  Result<SnapshotVector> vector(std::size_t index) const override { return vectors_[index]; }

 private:
  const HnswIndex::State& graph_;
  std::span<const SnapshotVector> vectors_;
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

Status read_vector(FileReader& file, FileDecoder& in, SnapshotSink& sink) {
  VEXRA_DECODE(id, in.text());
  // The floats follow their u64 count.
  const std::uint64_t floats_at = file.position() + 8;
  VEXRA_DECODE(vector, in.floats());
  VEXRA_DECODE(metadata, in.metadata());
  return sink.vector(
      SnapshotVector{VectorId(std::move(id)), std::move(vector), std::move(metadata)}, floats_at);
}

Status read_vectors(FileReader& file, FileDecoder& in, std::uint64_t count, SnapshotSink& sink) {
  std::uint64_t remaining = count;
  while (remaining != 0) {
    VEXRA_DECODE(chunk, in.count(kMinVectorBytes));
    for (std::uint64_t i = 0; i < chunk; ++i) {
      if (auto ok = read_vector(file, in, sink); !ok) return ok;
    }
    remaining -= std::min(chunk, remaining);
  }
  return {};
}

Result<SnapshotHeader> read_snapshot(FileReader& file, SnapshotSink& sink) {
  FileDecoder in(file);
  Result<SnapshotHeader> header = read_header(in);
  if (!header) return fail(std::move(header).error());
  VEXRA_DECODE(has_graph, in.tag());
  if (has_graph) {
    Result<HnswIndex::State> graph = read_graph(in);
    if (!graph) return fail(std::move(graph).error());
    sink.graph(std::move(*graph));
  }
  if (auto ok = read_vectors(file, in, header->vector_count, sink); !ok)
    return fail(std::move(ok).error());
  return header;
}

// Keeps the whole snapshot.
class HeldSnapshot final : public SnapshotSink {
 public:
  void graph(HnswIndex::State graph) override { snapshot.graph = std::move(graph); }
  Status vector(SnapshotVector vector, std::uint64_t) override {
    snapshot.vectors.push_back(std::move(vector));
    return {};
  }

  Snapshot snapshot;
};

class SnapshotVectorFile final : public VectorFile {
 public:
  SnapshotVectorFile(FileSystem& fs, UniqueFd fd) : fs_(fs), fd_(std::move(fd)) {}

  Status read(std::uint64_t offset, std::span<float> out) const override {
    return read_exactly_at(fs_, fd_.get(), offset, std::as_writable_bytes(out));
  }

 private:
  FileSystem& fs_;
  UniqueFd fd_;
};

#undef VEXRA_DECODE

// ---- Checksum files ---------------------------------------------------------------------------

constexpr std::size_t kChecksumLineMax = 8 + 1 + 20 + 1;

std::string checksum_line(const SnapshotChecksum& checksum) {
  char line[kChecksumLineMax + 1];
  std::snprintf(line, sizeof line, "%08x %llu\n", static_cast<unsigned>(checksum.crc32),
                static_cast<unsigned long long>(checksum.size));
  return line;
}

std::optional<SnapshotChecksum> parse_checksum_line(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space != 8 || !line.ends_with('\n')) return std::nullopt;
  const std::string_view crc = line.substr(0, space);
  const std::string_view size = line.substr(space + 1, line.size() - space - 2);
  SnapshotChecksum checksum;
  const auto crc_end = crc.data() + crc.size();
  const auto size_end = size.data() + size.size();
  if (std::from_chars(crc.data(), crc_end, checksum.crc32, 16).ptr != crc_end || size.empty() ||
      std::from_chars(size.data(), size_end, checksum.size).ptr != size_end)
    return std::nullopt;
  return checksum;
}

Status write_checksum_file(FileSystem& fs, const std::filesystem::path& path,
                           const SnapshotChecksum& checksum) {
  const std::string line = checksum_line(checksum);
  return write_synced_file(fs, path, std::as_bytes(std::span(line)));
}

// A checkpoint's temporary file, or a checksum file left without its snapshot.
bool is_unfinished(FileSystem& fs, const std::filesystem::path& path) {
  const std::string name = path.filename().native();
  if (name.ends_with(kTempSuffix)) {
    const std::string_view stem =
        std::string_view(name).substr(0, name.size() - kTempSuffix.size());
    return snapshot_number(stem) || checksummed_name(stem);
  }
  const std::optional<std::string_view> snapshot = checksummed_name(name);
  if (!snapshot) return false;
  const Result<bool> present = fs.exists(path.parent_path() / *snapshot);
  return present && !*present;
}

}  // namespace

std::filesystem::path checksum_path(const std::filesystem::path& snapshot) {
  return with_suffix(snapshot, kChecksumSuffix);
}

std::string snapshot_file_name(std::uint64_t timestamp) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%016llu", static_cast<unsigned long long>(timestamp));
  return std::string(kNamePrefix) + digits + std::string(kNameSuffix);
}

Result<std::vector<SnapshotFile>> SnapshotManager::list_snapshots(const std::filesystem::path& dir,
                                                                  FileSystem& fs) {
  Result<std::vector<std::string>> names = fs.list(dir);
  if (!names) return fail(std::move(names).error());
  std::vector<SnapshotFile> files;
  for (const std::string& name : *names) {
    if (std::optional<std::uint64_t> number = snapshot_number(name))
      files.push_back({*number, dir / name});
  }
  std::stable_sort(files.begin(), files.end(), [](const SnapshotFile& a, const SnapshotFile& b) {
    return a.number < b.number;
  });
  return files;
}

Status SnapshotManager::save(SnapshotHeader header, const HnswIndex::State& graph,
                             std::span<const SnapshotVector> vectors) const {
  return save(header, HeldContent(graph, vectors));
}

Status SnapshotManager::save(SnapshotHeader header, const SnapshotContent& content,
                             std::vector<std::uint64_t>* floats_at) const {
  header.vector_count = content.vector_count();
  const std::filesystem::path path = snapshot_dir_ / snapshot_file_name(header.timestamp);
  const std::filesystem::path temp = with_suffix(path, kTempSuffix);
  const std::filesystem::path sum = checksum_path(path);
  const std::filesystem::path sum_temp = with_suffix(sum, kTempSuffix);
  bool sum_named = false;
  Status saved = [&]() -> Status {
    Result<UniqueFd> file = fs_->open(temp, O_WRONLY | O_CREAT | O_TRUNC);
    if (!file) return fail(std::move(file).error());
    SnapshotWriter writer(*fs_, file->get());
    if (auto ok = writer.write(header, content, floats_at); !ok) return ok;
    if (auto ok = fs_->sync(file->get()); !ok) return ok;
    if (auto ok = write_checksum_file(*fs_, sum_temp, writer.checksum()); !ok) return ok;
    if (auto ok = fs_->rename(sum_temp, sum); !ok) return ok;
    sum_named = true;
    return fs_->rename(temp, path);
  }();
  if (!saved) {
    // Best effort: the next open removes what is left.
    (void)fs_->remove(temp);
    (void)fs_->remove(sum_temp);
    if (sum_named) (void)fs_->remove(sum);
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
    if (auto ok = remove_if_present(*fs_, checksum_path((*files)[i].path)); !ok) return ok;
  }
  return {};
}

Status SnapshotManager::remove_unfinished() const {
  Result<std::vector<std::string>> names = fs_->list(snapshot_dir_);
  if (!names) return fail(std::move(names).error());
  for (const std::string& name : *names) {
    const std::filesystem::path path = snapshot_dir_ / name;
    if (!is_unfinished(*fs_, path)) continue;
    if (auto ok = fs_->remove(path); !ok) return ok;
  }
  return {};
}

Result<Snapshot> SnapshotManager::load(const std::filesystem::path& path, FileSystem& fs,
                                       std::uint64_t* stopped_at) {
  HeldSnapshot held;
  Result<SnapshotHeader> header = load(path, fs, held, stopped_at);
  if (!header) return fail(std::move(header).error());
  held.snapshot.header = *header;
  return std::move(held.snapshot);
}

Result<SnapshotHeader> SnapshotManager::load(const std::filesystem::path& path, FileSystem& fs,
                                             SnapshotSink& sink, std::uint64_t* stopped_at) {
  Result<FileReader> file = FileReader::open(fs, path);
  if (!file) return fail(std::move(file).error());
  Result<SnapshotHeader> header = read_snapshot(*file, sink);
  if (stopped_at != nullptr) *stopped_at = file->position();
  // A read that failed is reported as itself, not as the damage the decoder took it for.
  if (auto ok = file->status(); !ok) return fail(std::move(ok).error());
  return header;
}

Result<std::shared_ptr<const VectorFile>> open_vector_file(const std::filesystem::path& path,
                                                           FileSystem& fs) {
  Result<UniqueFd> fd = fs.open(path, O_RDONLY);
  if (!fd) return fail(std::move(fd).error());
  return std::shared_ptr<const VectorFile>(
      std::make_shared<SnapshotVectorFile>(fs, std::move(*fd)));
}

Result<SnapshotHeader> SnapshotManager::load_header(const std::filesystem::path& path,
                                                    FileSystem& fs) {
  Result<FileReader> file = FileReader::open(fs, path);
  if (!file) return fail(std::move(file).error());
  FileDecoder in(*file);
  Result<SnapshotHeader> header = read_header(in);
  if (auto ok = file->status(); !ok) return fail(std::move(ok).error());
  return header;
}

Result<std::optional<SnapshotChecksum>> SnapshotManager::recorded_checksum(
    const std::filesystem::path& snapshot, FileSystem& fs) {
  const std::filesystem::path path = checksum_path(snapshot);
  Result<bool> exists = fs.exists(path);
  if (!exists) return fail(std::move(exists).error());
  if (!*exists) return std::optional<SnapshotChecksum>();
  Result<FileReader> file = FileReader::open(fs, path);
  if (!file) return fail(std::move(file).error());
  const errors::Storage invalid{"not a snapshot checksum file: " + path.filename().string()};
  if (file->remaining() > kChecksumLineMax) return fail(invalid);
  std::string line(file->remaining(), '\0');
  if (auto ok = file->read_exactly(std::as_writable_bytes(std::span(line))); !ok)
    return fail(std::move(ok).error());
  std::optional<SnapshotChecksum> checksum = parse_checksum_line(line);
  if (!checksum) return fail(invalid);
  return checksum;
}

Result<SnapshotChecksum> SnapshotManager::checksum_of(const std::filesystem::path& snapshot,
                                                      FileSystem& fs) {
  Result<FileReader> file = FileReader::open(fs, snapshot);
  if (!file) return fail(std::move(file).error());
  SnapshotChecksum checksum;
  std::string piece;
  while (file->remaining() > 0) {
    piece.resize(std::min<std::uint64_t>(file->remaining(), 1 << 16));
    if (auto ok = file->read_exactly(std::as_writable_bytes(std::span(piece))); !ok)
      return fail(std::move(ok).error());
    checksum.crc32 = crc32_update(checksum.crc32, piece);
    checksum.size += piece.size();
  }
  return checksum;
}

}  // namespace vexradb
