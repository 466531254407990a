#include "filter_cache.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "metadata/filter_json.hpp"
#include "method_frame.hpp"

namespace vexradb::ffi {
namespace {

std::size_t hash_of(std::span<const std::uint8_t> bytes) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Outcome<Filter> from_json(std::string_view text) {
  Result<Filter> filter = filter_from_json(text);
  if (!filter) return tl::unexpected(to_vexra_error(filter.error()));
  return std::move(*filter);
}

}  // namespace

Outcome<std::shared_ptr<const Filter>> FilterCache::get(FilterForm form,
                                                        std::span<const std::uint8_t> bytes,
                                                        const Convert& convert) {
  const std::size_t hash = hash_of(bytes);
  if (std::shared_ptr<const Filter> kept = find(hash, form, bytes)) return kept;
  // Converted outside the lock: other calls' filters need not wait for this one.
  Outcome<Filter> converted = convert();
  if (!converted) return tl::unexpected(std::move(converted).error());
  auto filter = std::make_shared<const Filter>(std::move(*converted));
  if (bytes.size() <= kMaxBytes) keep(hash, form, bytes, filter);
  return filter;
}

std::shared_ptr<const Filter> FilterCache::find(std::size_t hash, FilterForm form,
                                                std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mu_);
  const auto found = std::find_if(recent_.begin(), recent_.end(), [&](const Entry& entry) {
    return entry.hash == hash && entry.form == form &&
           std::equal(entry.bytes.begin(), entry.bytes.end(), bytes.begin(), bytes.end());
  });
  if (found == recent_.end()) return nullptr;
  recent_.splice(recent_.begin(), recent_, found);
  return found->filter;
}

void FilterCache::keep(std::size_t hash, FilterForm form, std::span<const std::uint8_t> bytes,
                       std::shared_ptr<const Filter> filter) {
  Entry entry{hash, form, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), std::move(filter)};
  std::lock_guard lock(mu_);
  // Another call may have kept the same filter while this one converted it.
  for (const Entry& kept : recent_) {
    if (kept.hash == hash && kept.form == form && kept.bytes == entry.bytes) return;
  }
  recent_.push_front(std::move(entry));
  if (recent_.size() > kEntries) recent_.pop_back();
}

FilterCache& FilterCache::process_wide() {
  static FilterCache cache;
  return cache;
}

Outcome<std::shared_ptr<const Filter>> converted_filter(std::string_view name, FilterForm form,
                                                        std::span<const std::uint8_t> bytes) {
  return FilterCache::process_wide().get(form, bytes, [&]() -> Outcome<Filter> {
    switch (form) {
      case FilterForm::Record:
        return to_core_filter(lift_bytes(name, bytes, lift_search_filter));
      case FilterForm::JsonText:
        return from_json(text_of(name, bytes));
      case FilterForm::JsonString:
        return from_json(
            lift_bytes(name, bytes, [](WireReader& reader) { return reader.read_string(); }));
    }
    fail_conversion(name, "unknown filter form");
  });
}

Outcome<std::shared_ptr<const Filter>> optional_json_filter(std::string_view name,
                                                            std::span<const std::uint8_t> bytes) {
  if (bytes.size() == 1 && bytes[0] == 0) return nullptr;
  if (bytes.empty() || bytes[0] != 1) fail_conversion(name, "unexpected tag byte for Option");
  return converted_filter(name, FilterForm::JsonString, bytes.subspan(1));
}

}  // namespace vexradb::ffi
