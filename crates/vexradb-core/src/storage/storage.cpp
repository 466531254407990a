#include "storage/storage.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "base/internal_failure.hpp"
#include "kernels/distance.hpp"

namespace vexradb {
Status check_vector_length(std::size_t dimension, std::span<const float> vector) {
  if (vector.size() != dimension) return fail(errors::DimensionMismatch{dimension, vector.size()});
  return {};
}

// Appends one vector. Everything that can fail to allocate happens before anything changes (the
// catalog's assignment undoes itself), so an allocation failure leaves the store as it was.
InternalId VectorStorage::append(VectorId id, std::span<const float> vector,
                                 std::optional<Json> metadata) {
  reserve_more(vectors_, vector.size());
  reserve_more(squared_norms_, 1);
  catalog_.reserve(1);
  const InternalId new_id = catalog_.next_id();
  if (const auto replaced = catalog_.assign(std::move(id), std::move(metadata))) {
    catalog_.tombstone(*replaced);
  }
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  squared_norms_.push_back(cosine_squared_norm(vector));
  return new_id;
}

Result<InternalId> VectorStorage::insert_internal(VectorId id, std::span<const float> vector,
                                                  std::optional<Json> metadata,
                                                  bool allow_overwrite) {
  if (auto ok = check_vector_length(dimension_, vector); !ok) return fail(std::move(ok).error());
  if (!allow_overwrite && catalog_.is_live(id.str())) {
    return fail(errors::DuplicateVectorId{id.str()});
  }
  if (auto ok = catalog_.check_capacity(1); !ok) return fail(std::move(ok).error());
  return append(std::move(id), vector, std::move(metadata));
}

Result<InternalId> VectorStorage::upsert_batch(std::span<StorageEntry> entries) {
  for (const StorageEntry& entry : entries) {
    if (auto ok = check_vector_length(dimension_, entry.vector); !ok)
      return fail(std::move(ok).error());
  }
  if (auto ok = catalog_.check_capacity(entries.size()); !ok) {
    return fail(std::move(ok).error());
  }
  const InternalId first = catalog_.next_id();
  reserve_more(vectors_, entries.size() * dimension_);
  reserve_more(squared_norms_, entries.size());
  catalog_.reserve(entries.size());
  try {
    for (StorageEntry& entry : entries) {
      append(std::move(entry.id), entry.vector, std::move(entry.metadata));
    }
  } catch (...) {
    unstore_from(first);  // all or nothing
    throw;
  }
  return first;
}

void VectorStorage::unstore_from(InternalId first) noexcept {
  while (catalog_.next_id() > first) catalog_.unassign_last();
  vectors_.resize(std::size_t{first} * dimension_);
  squared_norms_.resize(first);
}

std::optional<std::span<const float>> VectorStorage::slice(InternalId id) const {
  // One norm is kept per stored vector, which counts them also when they have no components.
  if (id >= squared_norms_.size()) return std::nullopt;
  return std::span(vectors_).subspan(std::size_t{id} * dimension_, dimension_);
}

std::optional<std::vector<float>> VectorStorage::get(InternalId id) const {
  const auto stored = slice(id);
  if (!stored) return std::nullopt;
  return std::vector<float>(stored->begin(), stored->end());
}

VectorStorageView VectorStorage::view() const { return VectorStorageView(*this); }

std::optional<float> VectorStorage::distance(InternalId id, std::span<const float> query,
                                             DistanceMetric metric) const {
  const auto stored = slice(id);
  if (!stored) return std::nullopt;
  return vexradb::distance(metric, query, *stored);
}

VectorStorageView::VectorStorageView(const VectorStorage& storage) : storage_(&storage) {}

std::optional<float> VectorStorageView::distance(InternalId id, std::span<const float> query,
                                                 DistanceMetric metric) const {
  return storage_->distance(id, query, metric);
}

void VectorStorageView::distances(std::span<const InternalId> ids, std::span<const float> query,
                                  DistanceMetric metric,
                                  std::span<std::optional<float>> out) const {
  std::optional<float> query_norm;
  distances(ids, query, metric, out, query_norm);
}

void VectorStorageView::distances(std::span<const InternalId> ids, std::span<const float> query,
                                  DistanceMetric metric, std::span<std::optional<float>> out,
                                  std::optional<float>& query_norm) const {
  // Ids without a vector are answered directly; the rest go to the kernel in chunks. Gathering
  // a chunk first also lets the prefetches of its vectors overlap. Cosine distances of a full
  // length query use the squared norms kept with the vectors, so only the dot products are left
  // to compute (a shorter query's distances read only its length of each vector).
  constexpr std::size_t kChunk = 64;
  std::array<const float*, kChunk> stored;  // left uninitialised: filled before it is read
  std::array<float, kChunk> norms;
  std::array<std::size_t, kChunk> position;
  std::array<float, kChunk> scores;
  const std::size_t dimension = storage_->dimension_;
  VEXRA_CHECK(query.size() <= dimension, "query longer than the stored vectors");
  const bool cosine = metric == DistanceMetric::Cosine && query.size() == dimension;
  const std::vector<float>& stored_norms = storage_->squared_norms_;
  std::size_t pending = 0;
  auto flush = [&] {
    const auto batch = std::span(stored).first(pending);
    const auto batch_scores = std::span(scores).first(pending);
    if (cosine) {
      if (!query_norm) query_norm = cosine_squared_norm(query);
      cosine_batch_with_norms(query, *query_norm, batch, std::span(norms).first(pending),
                              batch_scores);
    } else {
      distance_batch_unchecked(metric, query, batch, batch_scores);
    }
    for (std::size_t j = 0; j < pending; ++j) out[position[j]] = scores[j];
    pending = 0;
  };
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] >= stored_norms.size()) {  // never stored (see slice)
      out[i] = std::nullopt;
      continue;
    }
    const float* vector = storage_->vectors_.data() + std::size_t{ids[i]} * dimension;
    __builtin_prefetch(vector);
    // The second cache line only when the vector has one: an address past the stored floats
    // (or an offset from the null base of a store of empty vectors) is undefined.
    if (dimension > 16) __builtin_prefetch(vector + 16);
    stored[pending] = vector;
    if (cosine) norms[pending] = stored_norms[ids[i]];
    position[pending] = i;
    if (++pending == kChunk) flush();
  }
  if (pending > 0) flush();
}

std::optional<std::span<const float>> VectorStorageView::get_vector_data(InternalId id) const {
  return storage_->slice(id);
}

}  // namespace vexradb
