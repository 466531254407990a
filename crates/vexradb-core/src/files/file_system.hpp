#pragma once

// The file operations that change what is stored, behind one narrow interface: the durable
// engine makes every open, write, fsync, rename, removal, truncation and directory creation
// through a FileSystem, so that a test can fail any of them or simulate a power cut (as LevelDB's
// fault-injection environment does). Reads go to the descriptors directly.
//
// Every failure is an errors::Io value carrying errno; interrupted calls are retried.

#include <cstdint>
#include <filesystem>
#include <span>

#include "base/error.hpp"
#include "files/file_io.hpp"

namespace vexradb {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // open(2); O_CLOEXEC is always added.
  virtual Result<UniqueFd> open(const std::filesystem::path& path, int flags,
                                unsigned mode = 0666) = 0;
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

// Creates the directory and its missing ancestors, making each new entry durable in its parent:
// a power cut must not take away a directory whose files were synced.
Status make_directories(FileSystem& fs, const std::filesystem::path& path);

}  // namespace vexradb
