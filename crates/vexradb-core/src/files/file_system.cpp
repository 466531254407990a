#include "files/file_system.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace vexradb {
namespace {

class PosixFileSystem final : public FileSystem {
 public:
  Result<UniqueFd> open(const std::filesystem::path& path, int flags, unsigned mode) override {
    int fd;
    do {
      fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(last_os_error());
    return UniqueFd(fd);
  }

  Status write(int fd, std::span<const std::byte> bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd, bytes.data(), bytes.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return fail(last_os_error());
      }
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
  }

  Status sync(int fd) override {
    while (::fsync(fd) != 0) {
      if (errno != EINTR) return fail(last_os_error());
    }
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
    while (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return fail(last_os_error());
    }
    return {};
  }

  Status create_directory(const std::filesystem::path& path) override {
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return fail(last_os_error());
    return {};
  }
};

}  // namespace

FileSystem& posix_file_system() {
  static PosixFileSystem file_system;
  return file_system;
}

Status make_directories(FileSystem& fs, const std::filesystem::path& path) {
  // The missing ancestors, innermost first.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path at = path.lexically_normal(); !at.empty(); at = at.parent_path()) {
    Result<bool> exists = file_exists(at);
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

}  // namespace vexradb
