#include "storage.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "distance.hpp"

namespace vexradb {
namespace {

// Internal ids are 32-bit: the store holds at most 2^32 vectors.
constexpr std::uint64_t kMaxVectors = std::uint64_t{1} << 32;

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

// Makes room for `additional` more elements with geometric growth (a plain reserve of the exact
// size would reallocate, and copy everything, on every append).
template <class Vector>
void reserve_more(Vector& v, std::size_t additional) {
  const std::size_t needed = v.size() + additional;
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

Status check_length(std::size_t dimension, std::span<const float> vector) {
  if (vector.size() != dimension) return fail(errors::DimensionMismatch{dimension, vector.size()});
  return {};
}

}  // namespace

VectorStorage::WriteLocks VectorStorage::lock_for_write() {
  WriteLocks locks;
  locks.vectors = WriteLock(vectors_mu_);
  locks.external_ids = WriteLock(external_ids_mu_);
  locks.id_map = WriteLock(id_map_mu_);
  locks.metadata = WriteLock(metadata_mu_);
  return locks;
}

bool VectorStorage::is_live_locked(std::string_view id) const { return id_map_.contains(id); }

Status VectorStorage::check_capacity_locked(std::size_t additional) const {
  if (external_ids_.size() + additional > kMaxVectors) {
    return fail(errors::CapacityExceeded{"internal id space of " + std::to_string(kMaxVectors) +
                                         " vectors is exhausted"});
  }
  return {};
}

// Appends one vector. Everything that can fail to allocate happens before the first container
// changes, so an allocation failure leaves the store as it was.
InternalId VectorStorage::append_locked(VectorId id, std::span<const float> vector,
                                        std::optional<Json> metadata) {
  const auto new_id = static_cast<InternalId>(external_ids_.size());
  reserve_more(vectors_, vector.size());
  reserve_more(external_ids_, 1);
  reserve_more(metadata_, 1);
  VectorId key = id;

  auto [slot, inserted] = id_map_.try_emplace(std::move(key), new_id);
  if (!inserted) {
    tombstone(slot->second);
    slot->second = new_id;
  }
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  external_ids_.push_back(std::move(id));
  metadata_.push_back(std::move(metadata));
  return new_id;
}

void VectorStorage::tombstone(InternalId id) {
  WriteLock lock(deleted_mu_);
  if (deleted_.size() <= id) deleted_.resize(std::size_t{id} + 1, false);
  deleted_[id] = true;
}

Result<InternalId> VectorStorage::insert_internal(VectorId id, std::span<const float> vector,
                                                  std::optional<Json> metadata,
                                                  bool allow_overwrite) {
  if (auto ok = check_length(dimension_, vector); !ok) return fail(std::move(ok).error());
  if (!allow_overwrite) {
    ReadLock lock(id_map_mu_);
    if (is_live_locked(id.str())) return fail(errors::DuplicateVectorId{id.str()});
  }
  WriteLocks locks = lock_for_write();
  // Checked again: another writer may have stored the id between the two locks.
  if (!allow_overwrite && is_live_locked(id.str())) {
    return fail(errors::DuplicateVectorId{id.str()});
  }
  if (auto ok = check_capacity_locked(1); !ok) return fail(std::move(ok).error());
  return append_locked(std::move(id), vector, std::move(metadata));
}

Result<InternalId> VectorStorage::upsert_batch(std::span<StorageEntry> entries) {
  for (const StorageEntry& entry : entries) {
    if (auto ok = check_length(dimension_, entry.vector); !ok) return fail(std::move(ok).error());
  }
  WriteLocks locks = lock_for_write();
  if (auto ok = check_capacity_locked(entries.size()); !ok) return fail(std::move(ok).error());
  const auto first = static_cast<InternalId>(external_ids_.size());
  reserve_more(vectors_, entries.size() * dimension_);
  reserve_more(external_ids_, entries.size());
  reserve_more(metadata_, entries.size());
  for (StorageEntry& entry : entries) {
    append_locked(std::move(entry.id), entry.vector, std::move(entry.metadata));
  }
  return first;
}

bool VectorStorage::remove(std::string_view id) {
  WriteLock lock(id_map_mu_);
  const auto found = id_map_.find(id);
  if (found == id_map_.end()) return false;
  const InternalId removed = found->second;
  id_map_.erase(found);
  tombstone(removed);
  return true;
}

std::optional<std::span<const float>> VectorStorage::slice_locked(InternalId id) const {
  const std::uint64_t end = (std::uint64_t{id} + 1) * dimension_;
  if (end > vectors_.size()) return std::nullopt;
  return std::span(vectors_).subspan(std::size_t{id} * dimension_, dimension_);
}

std::optional<float> VectorStorage::distance_locked(InternalId id, std::span<const float> query,
                                                    DistanceMetric metric) const {
  const auto slice = slice_locked(id);
  if (!slice) return std::nullopt;
  return vexradb::distance(metric, query, *slice);
}

std::optional<std::vector<float>> VectorStorage::get(InternalId id) const {
  ReadLock lock(vectors_mu_);
  const auto slice = slice_locked(id);
  if (!slice) return std::nullopt;
  return std::vector<float>(slice->begin(), slice->end());
}

std::optional<Json> VectorStorage::get_metadata(InternalId id) const {
  ReadLock lock(metadata_mu_);
  if (id >= metadata_.size()) return std::nullopt;
  return metadata_[id];
}

std::size_t VectorStorage::len() const {
  ReadLock lock(id_map_mu_);
  return id_map_.size();
}

std::optional<VectorId> VectorStorage::get_external_id(InternalId id) const {
  ReadLock lock(external_ids_mu_);
  if (id >= external_ids_.size()) return std::nullopt;
  return external_ids_[id];
}

std::optional<InternalId> VectorStorage::get_internal_id(std::string_view id) const {
  ReadLock lock(id_map_mu_);
  const auto found = id_map_.find(id);
  if (found == id_map_.end()) return std::nullopt;
  return found->second;
}

std::vector<InternalId> VectorStorage::all_internal_ids() const {
  std::size_t count;
  {
    ReadLock lock(external_ids_mu_);
    count = external_ids_.size();
  }
  std::vector<InternalId> ids(count);
  for (std::size_t i = 0; i < count; ++i) ids[i] = static_cast<InternalId>(i);
  return ids;
}

std::uint64_t VectorStorage::float_count() const {
  ReadLock lock(vectors_mu_);
  return vectors_.size();
}

VectorStorageView VectorStorage::view() const { return VectorStorageView(*this); }

bool VectorStorage::is_deleted(InternalId id) const {
  ReadLock lock(deleted_mu_);
  return id < deleted_.size() && deleted_[id];
}

std::optional<float> VectorStorage::distance(InternalId id, std::span<const float> query,
                                             DistanceMetric metric) const {
  ReadLock lock(vectors_mu_);
  return distance_locked(id, query, metric);
}

VectorStorageView::VectorStorageView(const VectorStorage& storage)
    : storage_(&storage),
      vectors_lock_(storage.vectors_mu_),
      metadata_lock_(storage.metadata_mu_),
      deleted_lock_(storage.deleted_mu_) {}

std::optional<float> VectorStorageView::distance(InternalId id, std::span<const float> query,
                                                 DistanceMetric metric) const {
  return storage_->distance_locked(id, query, metric);
}

void VectorStorageView::distances(std::span<const InternalId> ids, std::span<const float> query,
                                  DistanceMetric metric,
                                  std::span<std::optional<float>> out) const {
  // Ids without a vector are answered directly; the rest go to the kernel in chunks. Gathering
  // a chunk first also lets the prefetches of its vectors overlap.
  constexpr std::size_t kChunk = 64;
  std::array<std::span<const float>, kChunk> stored;
  std::array<std::size_t, kChunk> position;
  std::array<float, kChunk> scores;
  const std::size_t dimension = storage_->dimension_;
  const float* const base = storage_->vectors_.data();
  const std::uint64_t stored_floats = storage_->vectors_.size();
  std::size_t pending = 0;
  auto flush = [&] {
    distance_batch(metric, query, std::span(stored).first(pending),
                   std::span(scores).first(pending));
    for (std::size_t j = 0; j < pending; ++j) out[position[j]] = scores[j];
    pending = 0;
  };
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint64_t start = std::uint64_t{ids[i]} * dimension;
    if (start + dimension > stored_floats) {
      out[i] = std::nullopt;
      continue;
    }
    const float* vector = base + start;
    __builtin_prefetch(vector);
    __builtin_prefetch(vector + 16);
    stored[pending] = std::span(vector, dimension);
    position[pending] = i;
    if (++pending == kChunk) flush();
  }
  if (pending > 0) flush();
}

std::optional<std::span<const float>> VectorStorageView::get_vector_data(InternalId id) const {
  return storage_->slice_locked(id);
}

bool VectorStorageView::is_deleted(InternalId id) const {
  return id < storage_->deleted_.size() && storage_->deleted_[id];
}

const Json* VectorStorageView::metadata(InternalId id) const {
  if (id >= storage_->metadata_.size() || !storage_->metadata_[id]) return nullptr;
  return &*storage_->metadata_[id];
}

}  // namespace vexradb
