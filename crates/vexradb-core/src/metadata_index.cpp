#include "metadata_index.hpp"

#include <bit>
#include <cmath>
#include <functional>
#include <utility>

namespace vexradb {
namespace {

// The bytes that identify a value under json_equal, appended to `key`: a type tag, then the
// value itself (a float with its zero sign cleared, since 0.0 equals -0.0).
void append_value_key(std::string& key, const Json& value) {
  key.push_back(static_cast<char>(value.type()));
  auto append_word = [&key](std::uint64_t word) {
    for (int byte = 0; byte < 8; ++byte) key.push_back(static_cast<char>(word >> (8 * byte)));
  };
  switch (value.type()) {
    case Json::value_t::boolean:
      key.push_back(*value.get_ptr<const bool*>() ? 1 : 0);
      break;
    case Json::value_t::number_unsigned:
      append_word(*value.get_ptr<const std::uint64_t*>());
      break;
    case Json::value_t::number_integer:
      append_word(static_cast<std::uint64_t>(*value.get_ptr<const std::int64_t*>()));
      break;
    case Json::value_t::number_float: {
      const double number = *value.get_ptr<const double*>();
      append_word(std::bit_cast<std::uint64_t>(number == 0.0 ? 0.0 : number));
      break;
    }
    case Json::value_t::string:
      key += *value.get_ptr<const std::string*>();
      break;
    default:  // null has no payload; arrays and objects are told apart by their tag alone
      break;
  }
}

std::uint64_t hash_of(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

// The key of one posting list: the path, a separator no UTF-8 text contains, then the value.
std::string posting_key(std::string_view path, const Json& value) {
  std::string key(path);
  key.push_back('\xff');
  append_value_key(key, value);
  return key;
}

}  // namespace

bool is_scalar(const Json& value) noexcept { return !value.is_structured(); }

std::uint64_t json_value_hash(const Json& value) noexcept {
  std::string key;
  try {
    append_value_key(key, value);
  } catch (...) {
    return 0;  // out of memory for a long string: any hash agrees with json_equal
  }
  return hash_of(key);
}

void MetadataIndex::add(InternalId id, const Json& metadata) {
  // Walked with an explicit stack: metadata built in code may nest deeper than parsed text can.
  std::vector<std::pair<const Json*, std::string>> pending{{&metadata, std::string()}};
  while (!pending.empty()) {
    auto [value, path] = std::move(pending.back());
    pending.pop_back();
    if (const auto* object = value->get_ptr<const Json::object_t*>()) {
      for (const auto& [name, member] : *object) {
        pending.emplace_back(&member, value == &metadata ? name : path + "." + name);
      }
    } else if (is_scalar(*value)) {
      std::vector<InternalId>& ids = postings_[hash_of(posting_key(path, *value))];
      // A repeated hash within one document (a collision) lists the id once.
      if (ids.empty() || ids.back() != id) ids.push_back(id);
    }
  }
}

std::span<const InternalId> MetadataIndex::postings(std::string_view path,
                                                    const Json& value) const {
  const auto found = postings_.find(hash_of(posting_key(path, value)));
  if (found == postings_.end()) return {};
  return found->second;
}

}  // namespace vexradb
