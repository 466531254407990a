#include "storage/id_catalog.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace vexradb {
namespace {

// Internal ids are 32-bit: a store holds at most 2^32 vectors.
constexpr std::uint64_t kMaxIds = std::uint64_t{1} << 32;

// In IdCatalog::metadata_at_: the id has no metadata. Only the last of the 2^32 possible ids
// could have its metadata there, which assign refuses.
constexpr std::uint32_t kNoMetadata = UINT32_MAX;

}  // namespace

Status IdCatalog::check_capacity(std::size_t additional) const {
  if (texts_.size() + additional > kMaxIds) {
    return fail(errors::CapacityExceeded{"internal id space of " + std::to_string(kMaxIds) +
                                         " vectors is exhausted"});
  }
  return {};
}

void IdCatalog::reserve(std::size_t additional) {
  texts_.reserve(additional);
  reserve_more(metadata_at_, additional);
  reserve_more(metadata_values_, additional);
  id_table_.reserve(id_table_.size() + additional);
  // Marks are only ever set on assigned ids: with room for every id, marking never allocates.
  const std::size_t ids = texts_.size() + additional;
  if (deleted_.capacity() < ids) deleted_.reserve(std::max(ids, 2 * deleted_.capacity()));
  if (replaced_.capacity() < ids) replaced_.reserve(std::max(ids, 2 * replaced_.capacity()));
}

std::optional<InternalId> IdCatalog::assign(VectorId id, std::optional<Json> metadata) {
  const InternalId new_id = next_id();
  // First, as it may fail: an id listed before it is assigned is skipped by every reader, and a
  // half-made entry undoes itself.
  if (metadata) {
    metadata_index_.add(new_id, *metadata);
  }
  try {
    if (text_index_) text_index_->add(new_id, metadata ? &*metadata : nullptr);
  } catch (...) {
    metadata_index_.remove_from(new_id);
    throw;
  }
  std::optional<InternalId> replaced;
  const std::size_t values_before = metadata_values_.size();
  try {
    texts_.push_back(id.str());
    if (metadata) {
      if (metadata_values_.size() == kNoMetadata) throw std::length_error("metadata positions");
      metadata_values_.push_back(std::move(*metadata));
      metadata_at_.push_back(static_cast<std::uint32_t>(metadata_values_.size() - 1));
    } else {
      metadata_at_.push_back(kNoMetadata);
    }
    replaced = id_table_.insert_or_assign(new_id, texts_);
  } catch (...) {
    while (texts_.size() > new_id) texts_.pop_back();
    metadata_values_.resize(values_before);
    metadata_at_.resize(std::min<std::size_t>(metadata_at_.size(), new_id));
    metadata_index_.remove_from(new_id);
    if (text_index_) text_index_->remove_from(new_id);
    throw;
  }
  if (replaced) {
    mark_dead(replaced_, *replaced);
  }
  return replaced;
}

void IdCatalog::unassign_last() noexcept {
  const auto last = static_cast<InternalId>(texts_.size() - 1);
  const std::string_view id = texts_[last];
  // The version it replaced: the newest earlier one of the same id, if marked replaced (only a
  // newer version marks one so). It was current before, so all its marks go.
  std::optional<InternalId> replaced;
  for (InternalId earlier = last; earlier-- > 0;) {
    if (texts_[earlier] != id) continue;
    if (earlier < replaced_.size() && replaced_[earlier]) replaced = earlier;
    break;
  }
  if (replaced) {
    replaced_[*replaced] = false;
    if (*replaced < deleted_.size()) deleted_[*replaced] = false;
    --dead_count_;
    id_table_.assign(id, *replaced, texts_);
    if (text_index_) text_index_->revive(*replaced);
  } else {
    id_table_.erase(id, texts_);
  }
  metadata_index_.remove_from(last);
  if (text_index_) text_index_->remove_from(last);
  if (metadata_at_.back() != kNoMetadata) metadata_values_.pop_back();
  metadata_at_.pop_back();
  texts_.pop_back();
}

void IdCatalog::mark_dead(std::vector<bool>& marks, InternalId id) {
  if (marks.size() <= id) marks.resize(std::size_t{id} + 1, false);
  if (marks[id]) return;
  if (is_current(id)) {
    ++dead_count_;
    if (text_index_) text_index_->retire(id);
  }
  marks[id] = true;
}

Status IdCatalog::index_text(const TextIndexOptions& options) {
  Result<TextIndex> created = TextIndex::create(options);
  if (!created) return fail(std::move(created).error());
  auto index = std::make_unique<TextIndex>(std::move(*created));
  for (InternalId id = 0; id < assigned_count(); ++id) {
    index->add(id, metadata(id));
    if (!is_current(id)) index->retire(id);
  }
  index->shrink_to_fit();
  text_index_ = std::move(index);
  return {};
}

const Json* IdCatalog::metadata(InternalId id) const {
  if (id >= metadata_at_.size() || metadata_at_[id] == kNoMetadata) return nullptr;
  return &metadata_values_[metadata_at_[id]];
}

void IdCatalog::tombstone(InternalId id) { mark_dead(deleted_, id); }

bool IdCatalog::remove(std::string_view id) {
  const std::optional<InternalId> found = get_internal_id(id);
  if (!found) return false;
  // Tombstoned first, as growing the marks may fail: an id out of the table must be dead.
  tombstone(*found);
  id_table_.erase(id, texts_);
  return true;
}

std::optional<Json> IdCatalog::get_metadata(InternalId id) const {
  const Json* found = metadata(id);
  if (found == nullptr) return std::nullopt;
  return *found;
}

std::optional<VectorId> IdCatalog::get_external_id(InternalId id) const {
  if (id >= texts_.size()) return std::nullopt;
  return VectorId(std::string(texts_[id]));
}

std::optional<InternalId> IdCatalog::get_internal_id(std::string_view id) const {
  return id_table_.find(id, texts_);
}

std::vector<InternalId> IdCatalog::all_internal_ids() const {
  const std::size_t count = assigned_count();
  std::vector<InternalId> ids(count);
  for (std::size_t i = 0; i < count; ++i) ids[i] = static_cast<InternalId>(i);
  return ids;
}

}  // namespace vexradb
