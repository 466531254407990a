#pragma once

// A FileSystem for tests that fails the calls it is told to, fails or shortens reads, and can
// simulate a power cut.
//
// It works on the real files under one root directory and keeps, beside them, what a power cut
// would leave: each file's contents as of its last fsync, and each directory's entries as of
// its last fsync. A cut rewrites the tree under the root to exactly that: data written after a
// file's last fsync is gone (a file never synced is empty), and creations, renames and removals
// not followed by an fsync of their directory are undone. Whatever existed under the root when
// the object was made counts as durable.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/file_system.hpp"

namespace vexradb::testing {

class FaultInjectionFileSystem final : public FileSystem {
 public:
  explicit FaultInjectionFileSystem(std::filesystem::path root);

  // Fails the call numbered `call` (from 0, counting every call of the interface but the reads)
  // with EIO; with `and_every_later`, every call after it fails too, as on a device that lost
  // power.
  void fail_from(std::uint64_t call, bool and_every_later);

  // What becomes of a faulted read: it fails with EIO; it gives nothing, as at the end of a file
  // that shrank since it was opened; or it gives only part of what was asked (as reads may),
  // the rest coming on the next read.
  enum class ReadFault { Error, EndOfFile, Partial };
  // Faults the read of files named `name` numbered `from` (from 0, counting the reads of such
  // files); with `and_every_later`, every later one too.
  void fault_reads(std::string name, ReadFault fault, std::uint64_t from, bool and_every_later);
  // How many reads fault_reads() has faulted.
  std::uint64_t faulted_reads() const noexcept { return faulted_reads_; }

  // Runs `hook` with the path before every open.
  void before_open(std::function<void(const std::filesystem::path&)> hook) {
    before_open_ = std::move(hook);
  }
  // Stops failing calls.
  void clear_faults() { fail_at_ = std::nullopt; }
  std::uint64_t calls() const noexcept { return calls_; }
  std::uint64_t failures() const noexcept { return failures_; }

  // Leaves under the root only what was durable (see above). Descriptors still open through this
  // object must be closed first.
  void cut_power();

  Result<UniqueFd> open(const std::filesystem::path& path, int flags, unsigned mode) override;
  Result<bool> exists(const std::filesystem::path& path) override;
  Result<bool> is_directory(const std::filesystem::path& path) override;
  Result<std::vector<std::string>> list(const std::filesystem::path& dir) override;
  Result<std::uint64_t> size(int fd) override;
  Status lock(int fd) override;
  Result<std::size_t> read(int fd, std::span<std::byte> out) override;
  Result<std::size_t> read_at(int fd, std::uint64_t offset, std::span<std::byte> out) override;
  Status write(int fd, std::span<const std::byte> bytes) override;
  Status sync(int fd) override;
  Status sync_directory(const std::filesystem::path& path) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status remove(const std::filesystem::path& path) override;
  Status truncate(int fd, std::uint64_t size) override;
  Status create_directory(const std::filesystem::path& path) override;

 private:
  // A file or directory. A file's `durable` contents are those of its last fsync.
  struct Node {
    bool directory = false;
    std::string durable;
  };
  using NodePtr = std::shared_ptr<Node>;
  using Entries = std::map<std::string, NodePtr>;  // by name

  // Counts the call; an Io error when it is one to fail.
  Status take_call();
  // The fault of this read of `fd`, if it is one to fault.
  std::optional<ReadFault> take_read(int fd);
  // A read of `fd` into `out` as the fault, if any, makes it.
  template <class Read>
  Result<std::size_t> faulted_read(int fd, std::span<std::byte> out, Read read);
  void record_existing(const std::filesystem::path& dir);
  Entries live_entries(const std::filesystem::path& dir) const;
  void rebuild(const std::filesystem::path& dir, const Entries& entries);

  std::filesystem::path root_;
  std::map<std::filesystem::path, NodePtr> live_;     // every node under the root, by path
  std::map<std::filesystem::path, Entries> durable_;  // each directory's entries at its fsync
  std::map<int, NodePtr> descriptors_;                // files opened through this object
  std::map<int, std::string> names_;                  // the names they were opened by
  std::uint64_t calls_ = 0;
  std::uint64_t failures_ = 0;
  std::optional<std::uint64_t> fail_at_;
  bool fail_every_later_ = false;
  struct ReadFaults {
    std::string name;
    ReadFault fault;
    std::uint64_t from;
    bool every_later;
    std::uint64_t reads = 0;
  };
  std::optional<ReadFaults> read_faults_;
  std::uint64_t faulted_reads_ = 0;
  std::function<void(const std::filesystem::path&)> before_open_;
};

}  // namespace vexradb::testing
