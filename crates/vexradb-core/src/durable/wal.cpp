#include "durable/wal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "base/overloaded.hpp"
#include "durable/crc32.hpp"

namespace vexradb {
namespace {

constexpr std::string_view kHeader{"ZWAL\x01", 5};
constexpr std::string_view kDamagedSuffix = ".damaged-";
constexpr std::uint64_t kMaxBodyLength = std::numeric_limits<std::uint32_t>::max();

namespace entries = wal_entries;

std::size_t entry_size(const WalEntry& entry, const std::optional<std::string>& metadata) {
  return std::visit(Overloaded{
                        [&](const entries::Insert& e) {
                          return 4 + Encoder::text_size(e.id.str()) +
                                 Encoder::floats_size(e.vector) +
                                 Encoder::optional_text_size(metadata);
                        },
                        [](const entries::Delete& e) { return 4 + Encoder::text_size(e.id.str()); },
                        [](const entries::Checkpoint&) -> std::size_t { return 4 + 8; },
                    },
                    entry);
}

void encode_entry_into(const WalEntry& entry, const std::optional<std::string>& metadata,
                       Encoder& out) {
  out.u32(static_cast<std::uint32_t>(entry.index()));
  std::visit(Overloaded{
                 [&](const entries::Insert& e) {
                   out.text(e.id.str());
                   out.floats(e.vector);
                   out.optional_text(metadata);
                 },
                 [&](const entries::Delete& e) { out.text(e.id.str()); },
                 [&](const entries::Checkpoint& e) { out.u64(e.timestamp); },
             },
             entry);
}

std::optional<std::string> entry_metadata(const WalEntry& entry) {
  const auto* insert = std::get_if<entries::Insert>(&entry);
  return insert != nullptr ? metadata_text(insert->metadata) : std::nullopt;
}

// Appends the frame of (sequence, entry) to `frames`: one allocation-free pass after the caller
// reserved the frame's size.
Status encode_frame(std::uint64_t sequence, const WalEntry& entry, std::string& frames) {
  const std::optional<std::string> metadata = entry_metadata(entry);
  const std::uint64_t entry_bytes = entry_size(entry, metadata);
  const std::uint64_t body_length = 8 + entry_bytes + 4;
  if (body_length > kMaxBodyLength) {
    return fail(errors::Serialization{"a log record of " + std::to_string(body_length) +
                                      " bytes exceeds the 4 GiB frame limit"});
  }
  frames.reserve(frames.size() + 4 + body_length);
  Encoder out(frames);
  out.u32(static_cast<std::uint32_t>(body_length));
  out.u64(sequence);
  const std::size_t entry_start = frames.size();
  encode_entry_into(entry, metadata, out);
  out.u32(crc32_of(std::string_view(frames).substr(entry_start)));
  return {};
}

template <class Source>
Decoded<WalEntry> decode_entry(Decoder<Source>& in) {
  Decoded<std::uint32_t> variant = in.u32();
  if (!variant) return tl::unexpected(std::move(variant).error());
  switch (*variant) {
    case 0: {
      Decoded<std::string> id = in.text();
      if (!id) return tl::unexpected(std::move(id).error());
      Decoded<std::vector<float>> vector = in.floats();
      if (!vector) return tl::unexpected(std::move(vector).error());
      Decoded<std::optional<Json>> metadata = in.metadata();
      if (!metadata) return tl::unexpected(std::move(metadata).error());
      return entries::Insert{VectorId(std::move(*id)), std::move(*vector), std::move(*metadata)};
    }
    case 1: {
      Decoded<std::string> id = in.text();
      if (!id) return tl::unexpected(std::move(id).error());
      return entries::Delete{VectorId(std::move(*id))};
    }
    case 2: {
      Decoded<std::uint64_t> timestamp = in.u64();
      if (!timestamp) return tl::unexpected(std::move(timestamp).error());
      return entries::Checkpoint{*timestamp};
    }
    default:
      return tl::unexpected("invalid value: integer `" + std::to_string(*variant) +
                            "`, expected variant index 0 <= i < 3");
  }
}

// One frame as the readers see it: the decoded record, or why its body does not decode.
struct Frame {
  Decoded<WalRecord> record;
  std::uint64_t end;  // file offset just past the frame
};

// Reads the next whole frame; nothing at the end of the file or at a frame cut short (a declared
// length past the end is refused before anything is allocated for it).
std::optional<Frame> next_frame(FileReader& file) {
  std::uint32_t length = 0;
  if (!file.read(std::as_writable_bytes(std::span(&length, 1)))) return std::nullopt;
  if (length > file.remaining()) return std::nullopt;
  std::vector<std::byte> body(length);
  if (!file.read(body)) return std::nullopt;
  return Frame{decode_record(body), file.position()};
}

Result<FileReader> open_after_header(FileSystem& fs, const std::filesystem::path& path) {
  Result<FileReader> file = FileReader::open(fs, path);
  if (!file) return file;
  std::byte header[kWalHeaderSize];
  if (auto ok = file->read_exactly(header); !ok) return fail(std::move(ok).error());
  return file;
}

// The sequence number of the last frame that decodes and verifies (undecodable frames are
// skipped), the end of the frames that recovery reads (it stops at the first undecodable one),
// and the sequence number of the last of those; and whether a whole frame failed to decode.
struct LogScan {
  std::uint64_t last_sequence = 0;
  std::uint64_t readable_end = kWalHeaderSize;
  std::uint64_t last_readable_sequence = 0;
  bool undecodable_frame = false;
};

// Io error when the file cannot be read to its end.
Result<LogScan> scan_log(FileReader& file) {
  LogScan scan;
  while (std::optional<Frame> frame = next_frame(file)) {
    if (!frame->record) {
      scan.undecodable_frame = true;
      continue;
    }
    if (verify(*frame->record)) scan.last_sequence = frame->record->sequence;
    if (!scan.undecodable_frame) {
      scan.readable_end = frame->end;
      scan.last_readable_sequence = frame->record->sequence;
    }
  }
  if (auto ok = file.status(); !ok) return fail(std::move(ok).error());
  return scan;
}

// Whether `bytes` hold, starting anywhere, a whole frame numbered above `after` that decodes and
// verifies. Any number above is looked for, not just those that would follow `after`: a log that
// begins after a checkpoint numbers its first frame from the snapshot's sequence, which the log
// alone does not know.
bool holds_frame_after(std::span<const std::byte> bytes, std::uint64_t after) {
  constexpr std::size_t kLengthSize = sizeof(std::uint32_t);
  constexpr std::size_t kSequenceSize = sizeof(std::uint64_t);
  for (std::size_t body_start = kLengthSize; body_start + kSequenceSize <= bytes.size();
       ++body_start) {
    std::uint32_t length;
    std::memcpy(&length, bytes.data() + body_start - kLengthSize, sizeof length);
    if (length < kSequenceSize || length > bytes.size() - body_start) continue;
    std::uint64_t sequence;
    std::memcpy(&sequence, bytes.data() + body_start, sizeof sequence);
    if (sequence <= after) continue;
    const Decoded<WalRecord> record = decode_record(bytes.subspan(body_start, length));
    if (record && verify(*record)) return true;
  }
  return false;
}

// The bytes of the file from `offset` to `end`.
Result<std::vector<std::byte>> read_range(FileSystem& fs, const std::filesystem::path& path,
                                          std::uint64_t offset, std::uint64_t end) {
  Result<UniqueFd> file = fs.open(path, O_RDONLY);
  if (!file) return fail(std::move(file).error());
  std::vector<std::byte> bytes(end - offset);
  if (auto ok = read_exactly_at(fs, file->get(), offset, bytes); !ok)
    return fail(std::move(ok).error());
  return bytes;
}

// Whether the bytes past the frames recovery reads (`rest`) are more than a torn tail: a whole
// frame that does not decode, or, behind a frame whose declared length runs past the end of the
// file, one of the frames that would follow it. A flipped bit in a length field looks like a
// frame cut short, but a torn tail is the end of the last write and has nothing whole behind it.
bool is_damage(const LogScan& scan, std::span<const std::byte> rest) {
  return scan.undecodable_frame || holds_frame_after(rest, scan.last_readable_sequence);
}

// Writes the bytes recovery cuts off (`rest`) into a new file beside the log,
// "current.wal.damaged-N" with the first free N, which nothing reads back: they stay for
// inspection.
Status keep_aside(FileSystem& fs, const std::filesystem::path& path,
                  std::span<const std::byte> rest) {
  for (std::uint64_t n = 1;; ++n) {
    std::filesystem::path aside = path;
    aside += std::string(kDamagedSuffix) + std::to_string(n);
    Result<UniqueFd> out = fs.open(aside, O_WRONLY | O_CREAT | O_EXCL);
    if (!out && std::get<errors::Io>(out.error().payload()).os_code == EEXIST) continue;
    if (!out) return fail(std::move(out).error());
    if (auto ok = fs.write(out->get(), rest); !ok) return ok;
    if (auto ok = fs.sync(out->get()); !ok) return ok;
    return fs.sync_directory(path.parent_path());
  }
}

// Replaces the log at `path` by one that holds only the header: no reader ever sees a log shorter
// than its header.
Replaced install_empty_log(FileSystem& fs, const std::filesystem::path& path) {
  return replace_file(fs, path, std::as_bytes(std::span(kHeader)));
}

Result<UniqueFd> open_for_append(FileSystem& fs, const std::filesystem::path& path) {
  return fs.open(path, O_WRONLY | O_APPEND);
}

}  // namespace

std::string encode_entry(const WalEntry& entry) {
  const std::optional<std::string> metadata = entry_metadata(entry);
  std::string bytes;
  bytes.reserve(entry_size(entry, metadata));
  Encoder out(bytes);
  encode_entry_into(entry, metadata, out);
  return bytes;
}

bool verify(const WalRecord& record) {
  return crc32_of(encode_entry(record.entry)) == record.checksum;
}

Decoded<WalRecord> decode_record(std::span<const std::byte> body) {
  SpanSource source(body);
  Decoder in(source);
  Decoded<std::uint64_t> sequence = in.u64();
  if (!sequence) return tl::unexpected(std::move(sequence).error());
  Decoded<WalEntry> entry = decode_entry(in);
  if (!entry) return tl::unexpected(std::move(entry).error());
  Decoded<std::uint32_t> checksum = in.u32();
  if (!checksum) return tl::unexpected(std::move(checksum).error());
  return WalRecord{*sequence, std::move(*entry), *checksum};
}

Result<Wal> Wal::open(const std::filesystem::path& wal_dir, FileSystem& fs) {
  if (auto ok = make_directories(fs, wal_dir); !ok) return fail(std::move(ok).error());
  const std::filesystem::path path = wal_dir / kWalFileName;
  // The new log of a checkpoint that a crash interrupted; the log in place is the valid one.
  if (Result<bool> leftover = fs.exists(temporary_path(path)); leftover && *leftover) {
    if (auto ok = fs.remove(temporary_path(path)); !ok) return fail(std::move(ok).error());
  }
  // Only a log that is really missing is created: any other failure to look must not end in
  // replacing it.
  Result<bool> exists = fs.exists(path);
  if (!exists) return fail(std::move(exists).error());
  if (!*exists) {
    if (Replaced log = install_empty_log(fs, path); !log.status)
      return fail(std::move(log.status).error());
    Result<UniqueFd> file = open_for_append(fs, path);
    if (!file) return fail(std::move(file).error());
    return Wal(fs, wal_dir, std::move(*file), 0, kWalHeaderSize);
  }

  Result<UniqueFd> file = fs.open(path, O_RDWR | O_APPEND);
  if (!file) return fail(std::move(file).error());
  Result<std::uint64_t> length = fs.size(file->get());
  if (!length) return fail(std::move(length).error());
  if (*length < kWalHeaderSize) {
    // Not a log this library wrote; recovery reports it. Nothing is changed.
    return Wal(fs, wal_dir, std::move(*file), 0, *length);
  }
  Result<FileReader> reader = open_after_header(fs, path);
  if (!reader) return fail(std::move(reader).error());
  Result<LogScan> scanned = scan_log(*reader);
  if (!scanned) return fail(std::move(scanned).error());
  const LogScan& scan = *scanned;
  if (scan.readable_end < *length) {
    Result<std::vector<std::byte>> rest = read_range(fs, path, scan.readable_end, *length);
    if (!rest) return fail(std::move(rest).error());
    if (is_damage(scan, *rest)) {
      if (auto ok = keep_aside(fs, path, *rest); !ok) return fail(std::move(ok).error());
    }
    if (auto ok = fs.truncate(file->get(), scan.readable_end); !ok)
      return fail(std::move(ok).error());
    if (auto ok = fs.sync(file->get()); !ok) return fail(std::move(ok).error());
  }
  return Wal(fs, wal_dir, std::move(*file), scan.last_sequence, scan.readable_end);
}

Result<std::vector<WalRecord>> Wal::read_records(const std::filesystem::path& wal_dir,
                                                 std::uint64_t after, FileSystem& fs) {
  Result<std::optional<FileReader>> log = open_for_reading(wal_dir, fs);
  if (!log) return fail(std::move(log).error());
  if (!*log) return std::vector<WalRecord>();
  return read_records(**log, after);
}

Result<std::optional<FileReader>> Wal::open_for_reading(const std::filesystem::path& wal_dir,
                                                        FileSystem& fs) {
  const std::filesystem::path path = wal_dir / kWalFileName;
  Result<bool> exists = fs.exists(path);
  if (!exists) return fail(std::move(exists).error());
  if (!*exists) return std::optional<FileReader>();
  Result<FileReader> file = open_after_header(fs, path);
  if (!file) return fail(std::move(file).error());
  return std::optional<FileReader>(std::move(*file));
}

Result<std::vector<WalRecord>> Wal::read_records(FileReader& log, std::uint64_t after) {
  std::vector<WalRecord> records;
  while (std::optional<Frame> frame = next_frame(log)) {
    if (!frame->record) break;
    if (frame->record->sequence > after && verify(*frame->record))
      records.push_back(std::move(*frame->record));
  }
  if (auto ok = log.status(); !ok) return fail(std::move(ok).error());
  return records;
}

Result<LogReport> Wal::inspect(const std::filesystem::path& wal_dir, FileSystem& fs) {
  Result<FileReader> file = FileReader::open(fs, wal_dir / kWalFileName);
  if (!file) return fail(std::move(file).error());
  LogReport report;
  report.bytes = file->remaining();
  std::byte header[kWalHeaderSize];
  const bool has_header = file->read(header);
  if (auto ok = file->status(); !ok) return fail(std::move(ok).error());
  if (!has_header || std::memcmp(header, kHeader.data(), kHeader.size()) != 0) {
    report.damage.push_back({0, "not a log header (\"ZWAL\", version 1)"});
    return report;
  }
  std::uint64_t readable_sequence = 0;
  bool undecodable = false;
  while (file->remaining() > 0) {
    const std::uint64_t start = file->position();
    std::optional<Frame> frame = next_frame(*file);
    if (auto ok = file->status(); !ok) return fail(std::move(ok).error());
    if (!frame) {
      Result<std::vector<std::byte>> rest =
          read_range(fs, wal_dir / kWalFileName, start, report.bytes);
      if (!rest) return fail(std::move(rest).error());
      LogScan scan;
      scan.undecodable_frame = undecodable;
      scan.last_readable_sequence = readable_sequence;
      if (is_damage(scan, *rest)) {
        report.damage.push_back({start, "a frame cut short with whole frames behind it"});
      } else {
        report.torn_tail = start;
      }
      break;
    }
    if (!frame->record) {
      undecodable = true;
      report.damage.push_back({start, "a frame that does not decode: " + frame->record.error()});
      continue;
    }
    const WalRecord& record = *frame->record;
    if (!undecodable) readable_sequence = record.sequence;
    if (!verify(record)) {
      report.damage.push_back(
          {start, "checksum mismatch in record " + std::to_string(record.sequence)});
      continue;
    }
    if (report.records > 0 && record.sequence <= report.newest_sequence) {
      report.damage.push_back({start, "record " + std::to_string(record.sequence) +
                                          " follows record " +
                                          std::to_string(report.newest_sequence)});
    }
    ++report.records;
    report.newest_sequence = std::max(report.newest_sequence, record.sequence);
  }
  return report;
}

Status Wal::ensure_writer() {
  if (file_) return {};
  Result<UniqueFd> file = open_for_append(*fs_, file_path());
  if (!file) return fail(std::move(file).error());
  if (torn_tail_) {
    if (auto ok = fs_->truncate(file->get(), size_); !ok) return ok;
    torn_tail_ = false;
  }
  Result<std::uint64_t> length = fs_->size(file->get());
  if (!length) return fail(std::move(length).error());
  file_ = std::move(*file);
  size_ = *length;
  return {};
}

// A frame that reached the file only in part would hide every later frame from recovery: it is
// cut off again, or, failing that, before the next write.
void Wal::drop_partial_frame() {
  if (fs_->truncate(file_.get(), size_)) return;
  file_.reset();
  torn_tail_ = true;
}

Result<std::uint64_t> Wal::append(const WalEntry& entry) {
  return append_all(std::span(&entry, 1));
}

Status Wal::refuse_after_failed_sync() const {
  if (!sync_failed_) return {};
  return fail(errors::Io{0,
                         "an earlier sync of the log failed; open the data directory again to "
                         "read back what reached the disk"});
}

Result<std::uint64_t> Wal::append_all(std::span<const WalEntry> entries) {
  Result<std::size_t> logged = append_frames(entries, entries.size(), /*until_full=*/false);
  if (!logged) return fail(std::move(logged).error());
  return sequence_;
}

Result<std::size_t> Wal::append_until_full(std::span<const WalEntry> entries, std::size_t group) {
  return append_frames(entries, group, /*until_full=*/true);
}

Result<std::size_t> Wal::append_frames(std::span<const WalEntry> entries, std::size_t group,
                                       bool until_full) {
  if (auto ok = refuse_after_failed_sync(); !ok) return fail(std::move(ok).error());
  if (auto ok = ensure_writer(); !ok) return fail(std::move(ok).error());
  std::string frames;
  std::uint64_t sequence = sequence_;
  std::size_t logged = 0;
  Status stopped;
  // The first change is always taken: a log already past its limit (its writer could not start
  // a new one) takes changes one at a time, as before.
  auto full = [&] { return until_full && logged > 0 && size_ + frames.size() > max_size_; };
  while (logged < entries.size() && !full()) {
    const std::span<const WalEntry> change =
        entries.subspan(logged).first(std::min(group, entries.size() - logged));
    const std::size_t frames_before = frames.size();
    stopped = encode_change(change, sequence, frames);
    if (!stopped) {
      frames.resize(frames_before);
      break;
    }
    sequence += change.size();
    logged += change.size();
  }
  if (logged == 0 && !entries.empty()) return fail(std::move(stopped).error());
  sequence_ = sequence;
  if (auto ok = fs_->write(file_.get(), std::as_bytes(std::span(frames))); !ok) {
    drop_partial_frame();
    return fail(std::move(ok).error());
  }
  size_ += frames.size();
  return logged;
}

Status Wal::encode_change(std::span<const WalEntry> change, std::uint64_t after,
                          std::string& frames) const {
  // A number that wrapped to 0 would sort before every reader's starting point: the record would
  // be written, acknowledged and never replayed. (A damaged sequence field passes the checksum,
  // which covers only the entry, so a log can claim the last number.)
  if (change.size() > UINT64_MAX - after)
    return fail(errors::Storage{"the log has no sequence number left for another record"});
  for (const WalEntry& entry : change) {
    if (auto ok = encode_frame(++after, entry, frames); !ok) return ok;
  }
  return {};
}

Status Wal::sync() {
  if (auto ok = refuse_after_failed_sync(); !ok) return ok;
  if (auto ok = ensure_writer(); !ok) return ok;
  Status synced = fs_->sync(file_.get());
  if (!synced) sync_failed_ = true;
  return synced;
}

Status Wal::reset() {
  if (auto ok = refuse_after_failed_sync(); !ok) return ok;
  Replaced log = install_empty_log(*fs_, file_path());
  // Until the rename the old log is untouched and stays in use; after it, the old descriptor
  // names the replaced file and must not take more frames.
  if (!log.renamed) return std::move(log.status);
  file_.reset();
  torn_tail_ = false;
  Status reopened = ensure_writer();
  return !log.status ? std::move(log.status) : reopened;
}

}  // namespace vexradb
