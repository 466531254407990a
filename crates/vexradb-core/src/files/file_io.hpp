#pragma once

// Owned descriptors, and buffered reading and writing over them: every failure becomes an
// errors::Io value carrying errno, interrupted calls are retried, and reads and writes go through
// fixed 8 KiB buffers. The calls that change files go through a FileSystem (file_system.hpp).

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

class FileSystem;

inline constexpr std::size_t kFileBufferSize = 8192;

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

// The Io error of the calling thread's errno (the platform's description, as callers see it).
Error last_os_error();

// Whether `error` says a file is not there (an Io error of ENOENT).
bool is_missing_file(const Error& error) noexcept;

Result<std::uint64_t> file_size(int fd);
// Whether `path` exists; an Io error when the system cannot tell (anything but "no such file").
Result<bool> file_exists(const std::filesystem::path& path);

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
class FileReader {
 public:
  static Result<FileReader> open(FileSystem& file_system, const std::filesystem::path& path);

  // Fills `out` entirely, or returns false (end of file or read error; see error()).
  bool read(std::span<std::byte> out);
  std::uint64_t remaining() const noexcept { return size_ - position_; }
  std::uint64_t position() const noexcept { return position_; }
  // The operating system's text for a failed read, or empty when reading stopped at the end.
  const std::string& error() const noexcept { return error_; }

 private:
  FileReader(UniqueFd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

  UniqueFd fd_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::vector<std::byte> buffer_;
  std::size_t buffer_start_ = 0;
  std::string error_;
};

}  // namespace vexradb
