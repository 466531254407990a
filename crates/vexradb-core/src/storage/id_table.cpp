#include "storage/id_table.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "base/id_hash.hpp"

namespace vexradb {
namespace {

constexpr std::size_t kMinSlots = 16;

// Slots for `count` ids at most 3/4 full.
std::size_t slots_for(std::size_t count) {
  return std::bit_ceil(std::max(kMinSlots, count + count / 3 + 1));
}

}  // namespace

void IdTexts::push_back(std::string_view text) {
  reserve(1);
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  ends_.push_back(bytes_.size());
}

void IdTexts::pop_back() noexcept {
  bytes_.resize(ends_.size() < 2 ? 0 : ends_[ends_.size() - 2]);
  ends_.pop_back();
}

std::uint32_t IdTable::tag_of(std::string_view id) noexcept {
  const auto tag = static_cast<std::uint32_t>(IdHash{}(id));
  return tag == 0 ? 1 : tag;
}

void IdTable::reserve(std::size_t count) {
  if (slots_for(count) > slots_.size()) rehash(slots_for(count));
}

void IdTable::rehash(std::size_t slot_count) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slot_count));
  for (const Slot& slot : old) {
    if (slot.tag == 0) continue;
    std::size_t position = home(slot.tag);
    while (slots_[position].tag != 0) position = next(position);
    slots_[position] = slot;
  }
}

std::size_t IdTable::position_of(std::string_view id, std::uint32_t tag,
                                 const IdTexts& texts) const {
  for (std::size_t position = home(tag);; position = next(position)) {
    const Slot& slot = slots_[position];
    if (slot.tag == 0 || (slot.tag == tag && texts[slot.value] == id)) return position;
  }
}

std::optional<InternalId> IdTable::find(std::string_view id, const IdTexts& texts) const {
  if (size_ == 0) return std::nullopt;
  const Slot& slot = slots_[position_of(id, tag_of(id), texts)];
  if (slot.tag == 0) return std::nullopt;
  return slot.value;
}

std::optional<InternalId> IdTable::insert_or_assign(InternalId value, const IdTexts& texts) {
  reserve(size_ + 1);
  const std::string_view id = texts[value];
  const std::uint32_t tag = tag_of(id);
  Slot& slot = slots_[position_of(id, tag, texts)];
  if (slot.tag != 0) return std::exchange(slot.value, value);
  slot = Slot{tag, value};
  ++size_;
  return std::nullopt;
}

void IdTable::assign(std::string_view id, InternalId value, const IdTexts& texts) {
  slots_[position_of(id, tag_of(id), texts)].value = value;
}

std::optional<InternalId> IdTable::erase(std::string_view id, const IdTexts& texts) {
  if (size_ == 0) return std::nullopt;
  std::size_t hole = position_of(id, tag_of(id), texts);
  if (slots_[hole].tag == 0) return std::nullopt;
  const InternalId erased = slots_[hole].value;
  // Each entry of the run after the hole moves back into it unless its home slot lies
  // cyclically in (hole, position]: then the hole is before its home and it must stay.
  for (std::size_t position = next(hole); slots_[position].tag != 0; position = next(position)) {
    const std::size_t wanted = home(slots_[position].tag);
    const bool stays = hole <= position ? hole < wanted && wanted <= position
                                        : hole < wanted || wanted <= position;
    if (stays) continue;
    slots_[hole] = slots_[position];
    hole = position;
  }
  slots_[hole] = Slot{};
  --size_;
  return erased;
}

}  // namespace vexradb
