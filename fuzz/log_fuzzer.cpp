// The log of a data directory, read back from arbitrary bytes. Reading and opening either fail
// with an error value or succeed; opening cuts only what reading would not return anyway, and a
// record appended to the opened log is read back after the records that were there.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "durable/wal.hpp"
#include "fuzz_support.hpp"

namespace vexradb::fuzz {
namespace {

bool same_record(const WalRecord& a, const WalRecord& b) {
  return a.sequence == b.sequence && a.checksum == b.checksum &&
         encode_entry(a.entry) == encode_entry(b.entry);
}

bool same_records(std::span<const WalRecord> a, std::span<const WalRecord> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_record);
}

const WalEntry& appended_entry() {
  static const WalEntry entry =
      wal_entries::Insert{VectorId("appended"), {0.5f, -1.0f}, Json{{"after", "damage"}}};
  return entry;
}

void check_log(std::string_view bytes) {
  const std::filesystem::path directory = fresh_directory("wal");
  write_file(directory / kWalFileName, bytes);

  const Result<std::vector<WalRecord>> before = Wal::read_records(directory, 0);
  Result<Wal> wal = Wal::open(directory);
  if (!wal) return;
  const Result<std::vector<WalRecord>> opened = Wal::read_records(directory, 0);
  require(before.has_value() == opened.has_value(), "opening the log keeps it readable or not");
  if (!opened) return;
  require(same_records(*before, *opened), "opening the log keeps every record reading returns");

  const Result<std::uint64_t> sequence = wal->append(appended_entry());
  if (!sequence) return;
  const Result<std::vector<WalRecord>> appended = Wal::read_records(directory, 0);
  require(appended.has_value() && appended->size() == opened->size() + 1,
          "an appended record is read back");
  const WalRecord& last = appended->back();
  require(same_records(std::span(*appended).first(opened->size()), *opened) &&
              last.sequence == *sequence &&
              encode_entry(last.entry) == encode_entry(appended_entry()),
          "an appended record is read back after the earlier ones, with its sequence number");
}

}  // namespace
}  // namespace vexradb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexradb::fuzz::check_log(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
