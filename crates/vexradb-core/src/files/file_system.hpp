#pragma once

// files/: the file layer. Every file the durable engine and the directory tools touch is reached
// through a FileSystem: opening, looking, reading (sequential and at an offset), locking and every
// change (write, fsync, rename, removal, truncation, directory creation), so that a test can fail
// or shorten any of them or simulate a power cut (as LevelDB's Env and its fault-injection
// environment do). Above the interface sit the owned descriptor, a buffered writer and a buffered
// sequential reader.
//
// Every failure is an errors::Io value carrying errno; interrupted calls are retried.
// May use: base/.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"

namespace vexradb {

inline constexpr std::size_t kFileBufferSize = 8192;
// The suffix of a file written whole under a temporary name and then renamed into place.
inline constexpr std::string_view kTempSuffix = ".tmp";

// An owned file descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset() noexcept;

 private:
  int fd_ = -1;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // ---- Opening and looking
  // open(2); O_CLOEXEC is always added.
  virtual Result<UniqueFd> open(const std::filesystem::path& path, int flags,
                                unsigned mode = 0666) = 0;
  // Whether `path` exists; an Io error when the system cannot tell (anything but "no such file").
  virtual Result<bool> exists(const std::filesystem::path& path) = 0;
  // Whether `path` is a directory; false when it is missing.
  virtual Result<bool> is_directory(const std::filesystem::path& path) = 0;
  // The names of the directory's entries, in no particular order.
  virtual Result<std::vector<std::string>> list(const std::filesystem::path& dir) = 0;
  // fstat(2)'s size of the open file.
  virtual Result<std::uint64_t> size(int fd) = 0;
  // An exclusive advisory lock on the open file or directory, without waiting (flock(2)); it dies
  // with the descriptor and with the process.
  virtual Status lock(int fd) = 0;

  // ---- Reading. Both may give fewer bytes than asked, and give 0 only at the end of the file.
  // read(2) from the descriptor's position.
  virtual Result<std::size_t> read(int fd, std::span<std::byte> out) = 0;
  // pread(2) at `offset`.
  virtual Result<std::size_t> read_at(int fd, std::uint64_t offset, std::span<std::byte> out) = 0;

  // ---- Changes
  // Writes every byte, continuing after short writes.
  virtual Status write(int fd, std::span<const std::byte> bytes) = 0;
  // fsync(2): the file's contents reach stable storage.
  virtual Status sync(int fd) = 0;
  // Makes the directory's entries (creations, renames, removals) durable.
  virtual Status sync_directory(const std::filesystem::path& path) = 0;
  // rename(2): atomically replaces `to` with `from`.
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // unlink(2).
  virtual Status remove(const std::filesystem::path& path) = 0;
  // ftruncate(2).
  virtual Status truncate(int fd, std::uint64_t size) = 0;
  // mkdir(2); a directory already there is not an error.
  virtual Status create_directory(const std::filesystem::path& path) = 0;
};

// The operating system's file system.
FileSystem& posix_file_system();

// The Io error of the calling thread's errno (the platform's description, as callers see it).
Error last_os_error();

// Whether `error` says a file is not there (an Io error of ENOENT).
bool is_missing_file(const Error& error) noexcept;

// Removes the file at `path`; one that is not there is not an error.
Status remove_if_present(FileSystem& fs, const std::filesystem::path& path);

// Creates the directory and its missing ancestors, making each new entry durable in its parent:
// a power cut must not take away a directory whose files were synced.
Status make_directories(FileSystem& fs, const std::filesystem::path& path);

// The temporary name a file is written under before it is renamed into place (kTempSuffix added).
std::filesystem::path temporary_path(const std::filesystem::path& path);

// Creates or empties the file at `path`, writes `bytes` and forces them to stable storage.
Status write_synced_file(FileSystem& fs, const std::filesystem::path& path,
                         std::span<const std::byte> bytes);

// How replace_file went: whether the new file took the name (the error, if any, may come after
// that: a failed sync of the directory).
struct Replaced {
  bool renamed = false;
  Status status;
};

// Replaces the file at `path` by one that holds `bytes`: written whole and synced under its
// temporary name, renamed into place, and the rename made durable. A reader, or a crash, finds
// either file whole, never a part of the new one. The temporary file of a failed attempt is
// removed as far as that goes; one a crash leaves is emptied by the next attempt.
Replaced replace_file(FileSystem& fs, const std::filesystem::path& path,
                      std::span<const std::byte> bytes);

// Fills `out` from `offset`, or fails: an Io error for a failed read, and for a file that ends
// before `out` is full.
Status read_exactly_at(FileSystem& fs, int fd, std::uint64_t offset, std::span<std::byte> out);

// Appends through an 8 KiB buffer; bytes that do not fit are written through.
class BufferedWriter {
 public:
  BufferedWriter(FileSystem& file_system, int fd) : file_system_(file_system), fd_(fd) {}

  Status write(std::span<const std::byte> bytes);
  Status flush();

 private:
  FileSystem& file_system_;
  int fd_;
  std::vector<std::byte> buffer_;
};

// Sequential reads through an 8 KiB buffer over a file whose length was taken at open, so that a
// reader can refuse a declared length larger than what is left before it allocates for it.
//
// Reading past that length is the end of the data, which a caller may take for a record cut
// short; a failed read, or a file that gives out before that length, is a failure instead
// (status()), which a caller must never take for the end: a log read that stops at a passing
// device error would otherwise cut acknowledged records.
class FileReader {
 public:
  static Result<FileReader> open(FileSystem& file_system, const std::filesystem::path& path);

  // Fills `out` entirely, or returns false: at the end of the data, or after a failure.
  bool read(std::span<std::byte> out);
  // Fills `out` entirely, or gives the Io error of the failure or of the data ending first.
  Status read_exactly(std::span<std::byte> out);
  std::uint64_t remaining() const noexcept { return size_ - position_; }
  std::uint64_t position() const noexcept { return position_; }
  // Why reading stopped short of the file's length: the Io error, or success when it did not.
  Status status() const;

 private:
  FileReader(FileSystem& file_system, UniqueFd fd, std::uint64_t size)
      : file_system_(&file_system), fd_(std::move(fd)), size_(size) {}

  FileSystem* file_system_;
  UniqueFd fd_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::vector<std::byte> buffer_;
  std::size_t buffer_start_ = 0;
  // Held apart rather than as an optional Io: g++ 12 at -O1 takes the optional's move for a read
  // of an uninitialized errno (-Wmaybe-uninitialized).
  bool failed_ = false;
  errors::Io failure_{0, {}};
};

}  // namespace vexradb
