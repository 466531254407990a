#include "files/file_system.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vexradb {
namespace {

// The result of a system call that returns -1 and sets errno on failure, retried while
// interrupted.
template <class Call>
auto retrying(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

class PosixFileSystem final : public FileSystem {
 public:
  Result<UniqueFd> open(const std::filesystem::path& path, int flags, unsigned mode) override {
    const int fd = retrying([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
    if (fd < 0) return fail(last_os_error());
    return UniqueFd(fd);
  }

  Result<bool> exists(const std::filesystem::path& path) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return true;
    if (errno == ENOENT) return false;
    return fail(last_os_error());
  }

  Result<bool> is_directory(const std::filesystem::path& path) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    if (errno == ENOENT || errno == ENOTDIR) return false;
    return fail(last_os_error());
  }

  Result<std::vector<std::string>> list(const std::filesystem::path& dir) override {
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(dir.c_str()), &::closedir);
    if (!stream) return fail(last_os_error());
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream.get());
      if (entry == nullptr) break;
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return fail(last_os_error());
    return names;
  }

  Result<std::uint64_t> size(int fd) override {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return fail(last_os_error());
    return static_cast<std::uint64_t>(info.st_size);
  }

  Status lock(int fd) override {
    if (retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) return fail(last_os_error());
    return {};
  }

  Result<std::size_t> read(int fd, std::span<std::byte> out) override {
    const ssize_t got = retrying([&] { return ::read(fd, out.data(), out.size()); });
    if (got < 0) return fail(last_os_error());
    return static_cast<std::size_t>(got);
  }

  Result<std::size_t> read_at(int fd, std::uint64_t offset, std::span<std::byte> out) override {
    const ssize_t got =
        retrying([&] { return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)); });
    if (got < 0) return fail(last_os_error());
    return static_cast<std::size_t>(got);
  }

  Status write(int fd, std::span<const std::byte> bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = retrying([&] { return ::write(fd, bytes.data(), bytes.size()); });
      if (written < 0) return fail(last_os_error());
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
  }

  Status sync(int fd) override {
    if (retrying([&] { return ::fsync(fd); }) != 0) return fail(last_os_error());
    return {};
  }

  Status sync_directory(const std::filesystem::path& path) override {
    Result<UniqueFd> directory = open(path, O_RDONLY | O_DIRECTORY, 0);
    if (!directory) return fail(std::move(directory).error());
    return sync(directory->get());
  }

  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (std::rename(from.c_str(), to.c_str()) != 0) return fail(last_os_error());
    return {};
  }

  Status remove(const std::filesystem::path& path) override {
    if (::unlink(path.c_str()) != 0) return fail(last_os_error());
    return {};
  }

  Status truncate(int fd, std::uint64_t size) override {
    if (retrying([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) != 0)
      return fail(last_os_error());
    return {};
  }

  Status create_directory(const std::filesystem::path& path) override {
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return fail(last_os_error());
    return {};
  }
};

// The Io error of a file that ends before the bytes its reader expected.
errors::Io ended_early() { return errors::Io{0, "failed to fill whole buffer"}; }

}  // namespace

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

FileSystem& posix_file_system() {
  static PosixFileSystem file_system;
  return file_system;
}

Error last_os_error() { return errors::Io::from_errno(errno); }

bool is_missing_file(const Error& error) noexcept {
  const auto* io = error.get_if<errors::Io>();
  return io != nullptr && io->os_code == ENOENT;
}

Status remove_if_present(FileSystem& fs, const std::filesystem::path& path) {
  Status removed = fs.remove(path);
  if (!removed && is_missing_file(removed.error())) return {};
  return removed;
}

Status make_directories(FileSystem& fs, const std::filesystem::path& path) {
  // The missing ancestors, innermost first.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path at = path.lexically_normal(); !at.empty(); at = at.parent_path()) {
    Result<bool> exists = fs.exists(at);
    if (!exists) return fail(std::move(exists).error());
    if (*exists) break;
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto dir = missing.rbegin(); dir != missing.rend(); ++dir) {
    if (auto ok = fs.create_directory(*dir); !ok) return ok;
    const std::filesystem::path parent = dir->parent_path();
    if (auto ok = fs.sync_directory(parent.empty() ? "." : parent); !ok) return ok;
  }
  return {};
}

std::filesystem::path temporary_path(const std::filesystem::path& path) {
  std::filesystem::path temp = path;
  temp += kTempSuffix;
  return temp;
}

Status write_synced_file(FileSystem& fs, const std::filesystem::path& path,
                         std::span<const std::byte> bytes) {
  Result<UniqueFd> file = fs.open(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!file) return fail(std::move(file).error());
  if (auto ok = fs.write(file->get(), bytes); !ok) return ok;
  return fs.sync(file->get());
}

Replaced replace_file(FileSystem& fs, const std::filesystem::path& path,
                      std::span<const std::byte> bytes) {
  const std::filesystem::path temp = temporary_path(path);
  Status written = write_synced_file(fs, temp, bytes);
  if (written) written = fs.rename(temp, path);
  if (!written) {
    (void)fs.remove(temp);  // best effort
    return {false, std::move(written)};
  }
  const std::filesystem::path parent = path.parent_path();
  return {true, fs.sync_directory(parent.empty() ? "." : parent)};
}

Status read_exactly_at(FileSystem& fs, int fd, std::uint64_t offset, std::span<std::byte> out) {
  while (!out.empty()) {
    Result<std::size_t> got = fs.read_at(fd, offset, out);
    if (!got) return fail(std::move(got).error());
    if (*got == 0) return fail(ended_early());
    offset += *got;
    out = out.subspan(*got);
  }
  return {};
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
  Result<std::uint64_t> size = file_system.size(fd->get());
  if (!size) return fail(std::move(size).error());
  return FileReader(file_system, std::move(*fd), *size);
}

bool FileReader::read(std::span<std::byte> out) {
  if (out.size() > remaining()) return false;
  while (!out.empty()) {
    if (buffer_start_ == buffer_.size()) {
      buffer_.resize(
          static_cast<std::size_t>(std::min<std::uint64_t>(kFileBufferSize, remaining())));
      buffer_start_ = 0;
      Result<std::size_t> got = file_system_->read(fd_.get(), buffer_);
      if (!got || *got == 0) {
        // The device failed, or the file shrank under us: nothing further is read.
        failed_ = true;
        failure_ = got ? ended_early() : std::get<errors::Io>(got.error().payload());
        buffer_.clear();
        size_ = position_;
        return false;
      }
      buffer_.resize(*got);
    }
    const std::size_t n = std::min(out.size(), buffer_.size() - buffer_start_);
    std::memcpy(out.data(), buffer_.data() + buffer_start_, n);
    buffer_start_ += n;
    position_ += n;
    out = out.subspan(n);
  }
  return true;
}

Status FileReader::read_exactly(std::span<std::byte> out) {
  if (read(out)) return {};
  return fail(failed_ ? failure_ : ended_early());
}

Status FileReader::status() const {
  if (failed_) return fail(failure_);
  return {};
}

}  // namespace vexradb
