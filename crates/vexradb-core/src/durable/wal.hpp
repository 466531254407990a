#pragma once

// The write-ahead log: one append-only file, "current.wal" in the log directory, holding the
// changes made since the last checkpoint. File: the magic "ZWAL" and version byte 1, then frames
// back to back; a frame is a u32 body length and a body (u64 sequence, the encoded entry, the
// CRC-32 of the entry bytes). See encoding.hpp for the value encoding.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "durable/encoding.hpp"
#include "files/file_system.hpp"
#include "metadata/json.hpp"

namespace vexradb {

namespace wal_entries {
struct Insert {
  VectorId id;
  std::vector<float> vector;
  std::optional<Json> metadata;
};
struct Delete {
  VectorId id;
};
struct Checkpoint {
  std::uint64_t timestamp;  // milliseconds since the Unix epoch; names the snapshot
};
}  // namespace wal_entries

// One logged change; the alternative's index is its variant number in the file.
using WalEntry = std::variant<wal_entries::Insert, wal_entries::Delete, wal_entries::Checkpoint>;

struct WalRecord {
  std::uint64_t sequence;
  WalEntry entry;
  std::uint32_t checksum;  // CRC-32 of the entry's encoding
};

inline constexpr std::string_view kWalFileName = "current.wal";

// A place in a file where a check found something wrong.
struct FileDamage {
  std::uint64_t offset;
  std::string what;
};

// What a check of the log file found, reading it whole without changing it.
struct LogReport {
  std::uint64_t bytes = 0;
  std::uint64_t records = 0;  // frames that decode and verify
  std::uint64_t newest_sequence = 0;
  std::vector<FileDamage> damage;
  // Where the end of a last write that did not complete begins: cut by the next open without
  // losing anything written whole, so not damage.
  std::optional<std::uint64_t> torn_tail;
};
inline constexpr std::uint64_t kWalHeaderSize = 5;
inline constexpr std::uint64_t kDefaultMaxWalSize = 64ull << 20;

// The encoding of an entry (variant index first), which the checksum covers.
std::string encode_entry(const WalEntry& entry);
// Whether the record's checksum matches the canonical encoding of its entry.
bool verify(const WalRecord& record);
// Decodes a frame body; bytes after the checksum are ignored.
Decoded<WalRecord> decode_record(std::span<const std::byte> body);

// The open log. Every append is handed to the operating system before it returns; sync makes the
// log durable against power loss. Not thread-safe: the engine serialises all calls.
class Wal {
 public:
  // Creates the directory and a fresh log if there is none; otherwise restores the sequence
  // counter from the last verified frame and cuts the file after the last frame that recovery
  // can read, so that new frames never hide behind a torn or undecodable one. Cutting a torn
  // tail (the end of a last write that did not complete) loses nothing that was written whole;
  // any other cut first copies the bytes it removes into "current.wal.damaged-N" beside the log
  // (the first free N), which nothing reads back.
  static Result<Wal> open(const std::filesystem::path& wal_dir,
                          FileSystem& fs = posix_file_system());

  // Every verified record numbered above `after`, in file order. Reading stops at a frame that
  // is cut short or does not decode; a frame whose checksum does not match is skipped. A read
  // that fails, or a file that gives out before the length it had when opened, is an Io error,
  // never a shorter list.
  static Result<std::vector<WalRecord>> read_records(const std::filesystem::path& wal_dir,
                                                     std::uint64_t after,
                                                     FileSystem& fs = posix_file_system());
  // The log opened for read_records past its header, or none when there is no log. A checkpoint
  // renames a new log over the old one, so a log opened here stays whole in the reader's hands:
  // a reader that opens it before it lists the snapshots misses nothing a checkpoint moves from
  // the log into a snapshot meanwhile.
  static Result<std::optional<FileReader>> open_for_reading(const std::filesystem::path& wal_dir,
                                                            FileSystem& fs = posix_file_system());
  static Result<std::vector<WalRecord>> read_records(FileReader& log, std::uint64_t after);

  // Reads every frame of the log and reports each one that is cut short, does not decode, fails
  // its checksum or is numbered out of order. Io error when there is no log file.
  static Result<LogReport> inspect(const std::filesystem::path& wal_dir,
                                   FileSystem& fs = posix_file_system());
  // Logs one entry and returns its sequence number. A Storage error, with nothing written, once
  // the numbers run out (2^64 - 1 is the last).
  Result<std::uint64_t> append(const WalEntry& entry);
  // Logs several entries in one write, so that a crash of the process keeps all of them or a
  // prefix of whole frames (usually none or all). Returns the last sequence number.
  Result<std::uint64_t> append_all(std::span<const WalEntry> entries);
  // Logs the changes of `entries`, `group` entries each, in one write, stopping after the first
  // change that takes the log past its limit (its writer checkpoints there, as after that change
  // alone), and before a change that cannot be encoded or numbered. Returns how many entries it
  // logged; fails, with nothing written, when it could log none.
  Result<std::size_t> append_until_full(std::span<const WalEntry> entries, std::size_t group);
  // Forces the logged frames to stable storage. After it fails once, the kernel may already have
  // dropped the unwritten pages and a later fsync could report success for them: the log then
  // takes no more writes (appends, syncs and resets fail with an Io error) until the directory
  // is opened again, which reads back what is really on disk.
  Status sync();
  // Replaces the log with an empty one (header only). The new file is complete before it takes
  // the old one's name, so a crash leaves either log whole. On failure before the switch the old
  // log stays in use; numbering always continues.
  Status reset();

  // Numbers new records above `sequence` (recovery: above the newest snapshot's).
  void continue_after(std::uint64_t sequence) { sequence_ = std::max(sequence_, sequence); }

  std::uint64_t sequence() const noexcept { return sequence_; }
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t max_size() const noexcept { return max_size_; }
  void set_max_size(std::uint64_t bytes) noexcept { max_size_ = bytes; }
  const std::filesystem::path& directory() const noexcept { return wal_dir_; }

 private:
  // Encodes the frames of `change`, numbered from `after` + 1, after `frames`.
  Status encode_change(std::span<const WalEntry> change, std::uint64_t after,
                       std::string& frames) const;
  // append_all, and append_until_full when `until_full`.
  Result<std::size_t> append_frames(std::span<const WalEntry> entries, std::size_t group,
                                    bool until_full);
  Wal(FileSystem& fs, std::filesystem::path wal_dir, UniqueFd file, std::uint64_t sequence,
      std::uint64_t size)
      : fs_(&fs),
        wal_dir_(std::move(wal_dir)),
        file_(std::move(file)),
        sequence_(sequence),
        size_(size) {}

  std::filesystem::path file_path() const { return wal_dir_ / kWalFileName; }
  // Reopens the log for appending when an earlier reset or failed write lost the writer.
  Status ensure_writer();
  void drop_partial_frame();

  FileSystem* fs_;
  std::filesystem::path wal_dir_;
  UniqueFd file_;  // opened for appending; closed only after a reset or a write failed halfway
  std::uint64_t sequence_;
  std::uint64_t max_size_ = kDefaultMaxWalSize;
  std::uint64_t size_;
  // The error that refuses every write once a sync failed.
  Status refuse_after_failed_sync() const;

  bool torn_tail_ = false;  // the file ends in a partial frame past size_
  bool sync_failed_ = false;
};

}  // namespace vexradb
