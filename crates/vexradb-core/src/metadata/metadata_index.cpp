#include "metadata/metadata_index.hpp"

#include <atomic>
#include <cstddef>
#include <span>
#include <utility>

#include "base/id_hash.hpp"

namespace vexradb {
namespace {

// The finaliser of SplitMix64: every input bit moves every output bit.
std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

}  // namespace

bool is_scalar(const Json& value) noexcept { return !value.is_structured(); }

std::uint64_t json_value_hash(const Json& value) noexcept {
  // The payload's bytes go through the keyed hash, and the type tag is mixed in after, so that
  // neither a value of another kind nor another value of the same kind can be made to collide
  // without the key (unsigned 1, signed 1 and float 1.0 are not equal).
  const std::uint64_t tag = mix(static_cast<std::uint64_t>(value.type()) + 1);
  auto hashed = [tag](auto payload) {
    return mix(tag ^ keyed_hash(std::as_bytes(std::span(&payload, 1))));
  };
  switch (value.type()) {
    case Json::value_t::boolean:
      return hashed(std::uint64_t{*value.get_ptr<const bool*>() ? 1u : 0u});
    case Json::value_t::number_unsigned:
      return hashed(*value.get_ptr<const std::uint64_t*>());
    case Json::value_t::number_integer:
      return hashed(*value.get_ptr<const std::int64_t*>());
    case Json::value_t::number_float: {
      const double number = *value.get_ptr<const double*>();
      // 0.0 equals -0.0, so both hash as 0.0.
      return hashed(number == 0.0 ? 0.0 : number);
    }
    case Json::value_t::string: {
      const std::string& text = *value.get_ptr<const std::string*>();
      return mix(tag ^ keyed_hash(std::as_bytes(std::span(text.data(), text.size()))));
    }
    default:  // null; arrays and objects hash by their type alone
      return tag;
  }
}

std::uint64_t MetadataIndex::Column::next_dictionary() noexcept {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t MetadataIndex::Column::code(const Json& value) const {
  const auto found = codes_by_value_.find(value);
  return found == codes_by_value_.end() ? 0 : found->second;
}

void MetadataIndex::add(InternalId id, const Json& metadata) {
  try {
    add_all(id, metadata);
    if (described_.size() <= id) described_.resize(std::size_t{id} + 1, false);
    described_[id] = true;
  } catch (...) {
    // Half recorded: forgotten, as the id is handed out again with other metadata.
    remove_from(id);
    throw;
  }
}

void MetadataIndex::add_all(InternalId id, const Json& metadata) {
  // Walked with an explicit stack: metadata built in code may nest deeper than parsed text can.
  std::vector<std::pair<const Json*, std::string>> pending{{&metadata, std::string()}};
  while (!pending.empty()) {
    auto [value, path] = std::move(pending.back());
    pending.pop_back();
    if (const auto* object = value->get_ptr<const Json::object_t*>()) {
      const bool top = value == &metadata;
      for (const auto& [name, member] : *object) {
        // Such names make two members share a path, or a member the path of the whole value.
        if (name.find('.') != std::string::npos || (top && name.empty())) exact_ = false;
        pending.emplace_back(&member, top ? name : path + "." + name);
      }
    } else if (is_scalar(*value)) {
      add_value(id, path, *value);
    }
  }
}

void MetadataIndex::add_value(InternalId id, const std::string& path, const Json& value) {
  Column& column = columns_.try_emplace(path, hasher_).first->second;
  auto [slot, fresh] = column.codes_by_value_.try_emplace(
      value, static_cast<std::uint32_t>(column.postings_.size() + 1));
  if (fresh) {
    column.dictionary_ = Column::next_dictionary();
    column.postings_.emplace_back();
  }
  std::vector<InternalId>& ids = column.postings_[slot->second - 1];
  if (!ids.empty() && ids.back() == id) return;  // a path repeated within one document
  ids.push_back(id);
  if (column.codes_.size() <= id) column.codes_.resize(std::size_t{id} + 1, 0);
  column.codes_[id] = slot->second;
}

void MetadataIndex::remove_from(InternalId first) noexcept {
  for (auto& [path, column] : columns_) {
    for (std::vector<InternalId>& ids : column.postings_) {
      while (!ids.empty() && ids.back() >= first) ids.pop_back();
    }
    // Only values first recorded for the removed ids are left without ids, and they hold the
    // last codes (a failure may have handed out a code before making its list): those codes are
    // handed out again.
    while (!column.postings_.empty() && column.postings_.back().empty())
      column.postings_.pop_back();
    const std::size_t erased = std::erase_if(
        column.codes_by_value_,
        [codes = column.postings_.size()](const auto& entry) { return entry.second > codes; });
    if (erased > 0) column.dictionary_ = Column::next_dictionary();
    if (column.codes_.size() > first) column.codes_.resize(first);
  }
  if (described_.size() > first) described_.resize(first);
}

const MetadataIndex::Column* MetadataIndex::column(std::string_view path) const {
  const auto found = columns_.find(path);
  return found == columns_.end() ? nullptr : &found->second;
}

std::span<const InternalId> MetadataIndex::postings(std::string_view path,
                                                    const Json& value) const {
  const Column* found = column(path);
  if (found == nullptr) return {};
  const std::uint32_t code = found->code(value);
  return code == 0 ? std::span<const InternalId>() : found->ids(code);
}

}  // namespace vexradb
