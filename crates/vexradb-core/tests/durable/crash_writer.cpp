// The process the crash test kills: opens a data directory and runs the crash workload from a
// given operation on, forever. After each operation returns, its index goes to standard output
// as 8 native-endian bytes, written unbuffered, before the next operation starts, so that the
// test knows which operations had returned when the kill came.
//
// Usage: vexradb_crash_writer DATA_DIR FIRST_OP SEED

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "crash_workload.hpp"

namespace {

using vexradb::Error;

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (code != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The kind number, and the text when the error carries one: enough to tell the test's log why.
std::string describe(const Error& error) {
  std::string text = "error kind " + std::to_string(static_cast<int>(error.kind()));
  if (const auto* io = error.get_if<vexradb::errors::Io>()) text += ": " + io->description;
  if (const auto* storage = error.get_if<vexradb::errors::Storage>()) text += ": " + storage->text;
  return text;
}

int fail_with(const std::string& message) {
  std::fprintf(stderr, "crash writer: %s\n", message.c_str());
  return 1;
}

// A pipe write of at most PIPE_BUF bytes is atomic: the reader sees all 8 bytes or none.
bool acknowledge(std::uint64_t index) {
  ssize_t written;
  do {
    written = ::write(STDOUT_FILENO, &index, sizeof index);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(sizeof index);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail_with("usage: vexradb_crash_writer DATA_DIR FIRST_OP SEED");
  const std::optional<std::uint64_t> first = parse_u64(argv[2]);
  const std::optional<std::uint64_t> seed = parse_u64(argv[3]);
  if (!first || !seed) return fail_with("FIRST_OP and SEED must be decimal integers");

  auto db = vexradb::PersistentVectorDb::open(argv[1], vexradb::crash::workload_config());
  if (!db) return fail_with("open failed: " + describe(db.error()));
  for (std::uint64_t index = *first;; ++index) {
    vexradb::crash::Op op = vexradb::crash::make_op(*seed, index);
    const std::string_view kind = vexradb::crash::name_of(op.kind);
    if (auto ok = vexradb::crash::apply_op(**db, std::move(op)); !ok) {
      return fail_with(std::string(kind) + " " + std::to_string(index) +
                       " failed: " + describe(ok.error()));
    }
    if (!acknowledge(index)) return fail_with("the test stopped reading");
  }
}
