#include "fault_injection_file_system.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vexradb::testing {
namespace {

std::filesystem::path normal(const std::filesystem::path& path) { return path.lexically_normal(); }

// The whole contents of an open file, read through a new descriptor of the same file (the
// engine's own may be write-only).
std::string contents_of_descriptor(int fd) {
  std::ifstream in("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read back descriptor " + std::to_string(fd));
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string contents_of_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

FaultInjectionFileSystem::FaultInjectionFileSystem(std::filesystem::path root)
    : root_(normal(root)) {
  live_[root_] = std::make_shared<Node>(Node{true, {}});
  record_existing(root_);
}

void FaultInjectionFileSystem::record_existing(const std::filesystem::path& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::filesystem::path path = normal(entry.path());
    const bool directory = entry.is_directory();
    live_[path] = std::make_shared<Node>(Node{directory, directory ? "" : contents_of_file(path)});
    if (directory) record_existing(path);
  }
  durable_[dir] = live_entries(dir);
}

FaultInjectionFileSystem::Entries FaultInjectionFileSystem::live_entries(
    const std::filesystem::path& dir) const {
  Entries entries;
  for (auto it = live_.upper_bound(dir); it != live_.end(); ++it) {
    if (it->first.parent_path() == dir) entries[it->first.filename()] = it->second;
  }
  return entries;
}

void FaultInjectionFileSystem::fail_from(std::uint64_t call, bool and_every_later) {
  fail_at_ = call;
  fail_every_later_ = and_every_later;
}

Status FaultInjectionFileSystem::take_call() {
  const std::uint64_t call = calls_++;
  if (fail_at_ && (call == *fail_at_ || (fail_every_later_ && call > *fail_at_))) {
    ++failures_;
    return fail(errors::Io::from_errno(EIO));
  }
  return {};
}

void FaultInjectionFileSystem::fault_reads(std::string name, ReadFault fault, std::uint64_t from,
                                           bool and_every_later) {
  read_faults_ = ReadFaults{std::move(name), fault, from, and_every_later};
}

std::optional<FaultInjectionFileSystem::ReadFault> FaultInjectionFileSystem::take_read(int fd) {
  const auto name = names_.find(fd);
  if (!read_faults_ || name == names_.end() || name->second != read_faults_->name)
    return std::nullopt;
  const std::uint64_t read = read_faults_->reads++;
  if (read < read_faults_->from || (read > read_faults_->from && !read_faults_->every_later))
    return std::nullopt;
  ++faulted_reads_;
  return read_faults_->fault;
}

template <class Read>
Result<std::size_t> FaultInjectionFileSystem::faulted_read(int fd, std::span<std::byte> out,
                                                           Read read) {
  const std::optional<ReadFault> fault = take_read(fd);
  if (!fault) return read(out);
  switch (*fault) {
    case ReadFault::Error:
      return fail(errors::Io::from_errno(EIO));
    case ReadFault::EndOfFile:
      return 0;
    case ReadFault::Partial:
      return read(out.first((out.size() + 1) / 2));
  }
  return fail(errors::Io::from_errno(EINVAL));
}

Result<std::size_t> FaultInjectionFileSystem::read(int fd, std::span<std::byte> out) {
  return faulted_read(
      fd, out, [&](std::span<std::byte> part) { return posix_file_system().read(fd, part); });
}

Result<std::size_t> FaultInjectionFileSystem::read_at(int fd, std::uint64_t offset,
                                                      std::span<std::byte> out) {
  return faulted_read(fd, out, [&](std::span<std::byte> part) {
    return posix_file_system().read_at(fd, offset, part);
  });
}

Result<bool> FaultInjectionFileSystem::exists(const std::filesystem::path& path) {
  if (auto ok = take_call(); !ok) return fail(std::move(ok).error());
  return posix_file_system().exists(path);
}

Result<bool> FaultInjectionFileSystem::is_directory(const std::filesystem::path& path) {
  if (auto ok = take_call(); !ok) return fail(std::move(ok).error());
  return posix_file_system().is_directory(path);
}

Result<std::vector<std::string>> FaultInjectionFileSystem::list(const std::filesystem::path& dir) {
  if (auto ok = take_call(); !ok) return fail(std::move(ok).error());
  return posix_file_system().list(dir);
}

Result<std::uint64_t> FaultInjectionFileSystem::size(int fd) {
  if (auto ok = take_call(); !ok) return fail(std::move(ok).error());
  return posix_file_system().size(fd);
}

Status FaultInjectionFileSystem::lock(int fd) {
  if (auto ok = take_call(); !ok) return ok;
  return posix_file_system().lock(fd);
}

Result<UniqueFd> FaultInjectionFileSystem::open(const std::filesystem::path& path, int flags,
                                                unsigned mode) {
  if (before_open_) before_open_(path);
  if (auto ok = take_call(); !ok) return fail(std::move(ok).error());
  const std::filesystem::path key = normal(path);
  Result<UniqueFd> fd = posix_file_system().open(path, flags, mode);
  if (!fd) return fd;
  if (!live_.contains(key) && (flags & O_CREAT) != 0) live_[key] = std::make_shared<Node>();
  names_[fd->get()] = path.filename();
  if (auto node = live_.find(key); node != live_.end()) {
    descriptors_[fd->get()] = node->second;
  } else {
    descriptors_.erase(fd->get());
  }
  return fd;
}

Status FaultInjectionFileSystem::write(int fd, std::span<const std::byte> bytes) {
  if (auto ok = take_call(); !ok) return ok;
  return posix_file_system().write(fd, bytes);
}

Status FaultInjectionFileSystem::sync(int fd) {
  // The durable state is this object's own record: the device need not be asked.
  if (auto ok = take_call(); !ok) return ok;
  if (auto node = descriptors_.find(fd); node != descriptors_.end() && !node->second->directory)
    node->second->durable = contents_of_descriptor(fd);
  return {};
}

Status FaultInjectionFileSystem::sync_directory(const std::filesystem::path& path) {
  if (auto ok = take_call(); !ok) return ok;
  if (!std::filesystem::is_directory(path)) return fail(errors::Io::from_errno(ENOTDIR));
  durable_[normal(path)] = live_entries(normal(path));
  return {};
}

Status FaultInjectionFileSystem::rename(const std::filesystem::path& from,
                                        const std::filesystem::path& to) {
  if (auto ok = take_call(); !ok) return ok;
  if (auto ok = posix_file_system().rename(from, to); !ok) return ok;
  if (auto node = live_.extract(normal(from))) {
    node.key() = normal(to);
    live_.erase(node.key());
    live_.insert(std::move(node));
  }
  return {};
}

Status FaultInjectionFileSystem::remove(const std::filesystem::path& path) {
  if (auto ok = take_call(); !ok) return ok;
  if (auto ok = posix_file_system().remove(path); !ok) return ok;
  live_.erase(normal(path));
  return {};
}

Status FaultInjectionFileSystem::truncate(int fd, std::uint64_t size) {
  if (auto ok = take_call(); !ok) return ok;
  return posix_file_system().truncate(fd, size);
}

Status FaultInjectionFileSystem::create_directory(const std::filesystem::path& path) {
  if (auto ok = take_call(); !ok) return ok;
  if (auto ok = posix_file_system().create_directory(path); !ok) return ok;
  if (!live_.contains(normal(path))) live_[normal(path)] = std::make_shared<Node>(Node{true, {}});
  return {};
}

void FaultInjectionFileSystem::cut_power() {
  const Entries root_entries = durable_[root_];
  rebuild(root_, root_entries);
  live_.clear();
  durable_.clear();
  descriptors_.clear();
  names_.clear();
  live_[root_] = std::make_shared<Node>(Node{true, {}});
  record_existing(root_);
}

void FaultInjectionFileSystem::rebuild(const std::filesystem::path& dir, const Entries& entries) {
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    std::filesystem::remove_all(entry.path());
  for (const auto& [name, node] : entries) {
    const std::filesystem::path path = dir / name;
    if (node->directory) {
      std::filesystem::create_directory(path);
      const auto durable = durable_.find(path);
      rebuild(path, durable != durable_.end() ? durable->second : Entries{});
    } else {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << node->durable;
    }
  }
}

}  // namespace vexradb::testing
