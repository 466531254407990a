#include "files/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files/file_system.hpp"

namespace vexradb {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void UniqueFd::reset() noexcept {
  // close(2) releases the descriptor even when it reports an error, so it is never retried.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Error last_os_error() { return errors::Io::from_errno(errno); }

bool is_missing_file(const Error& error) noexcept {
  const auto* io = error.get_if<errors::Io>();
  return io != nullptr && io->os_code == ENOENT;
}

Result<std::uint64_t> file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(info.st_size);
}

Result<bool> file_exists(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return true;
  if (errno == ENOENT) return false;
  return fail(last_os_error());
}

Status BufferedWriter::write(std::span<const std::byte> bytes) {
  if (buffer_.size() + bytes.size() > kFileBufferSize) {
    if (auto ok = flush(); !ok) return ok;
    if (bytes.size() >= kFileBufferSize) return file_system_.write(fd_, bytes);
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Status BufferedWriter::flush() {
  if (buffer_.empty()) return {};
  // What reached the operating system stays there even when the rest fails; the buffer is
  // dropped either way, so a later flush never writes bytes twice.
  Status written = file_system_.write(fd_, buffer_);
  buffer_.clear();
  return written;
}

Result<FileReader> FileReader::open(FileSystem& file_system, const std::filesystem::path& path) {
  Result<UniqueFd> fd = file_system.open(path, O_RDONLY);
  if (!fd) return fail(std::move(fd).error());
  Result<std::uint64_t> size = file_size(fd->get());
  if (!size) return fail(std::move(size).error());
  return FileReader(std::move(*fd), *size);
}

bool FileReader::read(std::span<std::byte> out) {
  if (out.size() > remaining()) return false;
  while (!out.empty()) {
    if (buffer_start_ == buffer_.size()) {
      buffer_.resize(kFileBufferSize);
      buffer_start_ = 0;
      ssize_t got;
      do {
        got = ::read(fd_.get(), buffer_.data(), buffer_.size());
      } while (got < 0 && errno == EINTR);
      if (got <= 0) {
        // The file shrank under us, or the device failed.
        if (got < 0) error_ = errors::Io::from_errno(errno).description;
        buffer_.clear();
        size_ = position_;
        return false;
      }
      buffer_.resize(static_cast<std::size_t>(got));
    }
    const std::size_t n = std::min(out.size(), buffer_.size() - buffer_start_);
    std::memcpy(out.data(), buffer_.data() + buffer_start_, n);
    buffer_start_ += n;
    position_ += n;
    out = out.subspan(n);
  }
  return true;
}

}  // namespace vexradb
