#include "quantized_storage.hpp"

#include "distance.hpp"

namespace vexradb {
namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

}  // namespace

QuantizedStorage::QuantizedStorage(std::size_t dimension, Quantization mode, bool keep_originals)
    : dimension_(dimension), mode_(mode), keep_originals_(keep_originals), binary_(dimension) {}

QuantizedStorage::Encoded QuantizedStorage::encode(std::span<const float> vector) const {
  Encoded encoded;
  if (mode_ == Quantization::SQ8) encoded.sq8 = SQ8Quantizer::quantize(vector);
  if (mode_ == Quantization::Binary) encoded.binary = binary_.quantize(vector);
  return encoded;
}

QuantizedStorage::StoreLocks QuantizedStorage::lock_stores_for_write() {
  StoreLocks locks;
  locks.sq8_codes = WriteLock(sq8_codes_mu_);
  locks.sq8_params = WriteLock(sq8_params_mu_);
  locks.binary_codes = WriteLock(binary_codes_mu_);
  locks.originals = WriteLock(originals_mu_);
  return locks;
}

void QuantizedStorage::reserve_codes_locked(std::size_t count) {
  if (mode_ == Quantization::SQ8) {
    reserve_more(sq8_codes_, count * dimension_);
    reserve_more(sq8_params_, count);
  } else if (mode_ == Quantization::Binary) {
    reserve_more(binary_codes_, count * binary_.bytes_per_vector());
  }
  if (keeps_originals()) reserve_more(originals_, count * dimension_);
}

// Appends one vector's stored forms into the room reserve_codes_locked made. The caller holds the
// stores' and the catalog's write locks.
void QuantizedStorage::append_codes_locked(const Encoded& encoded, std::span<const float> vector) {
  if (mode_ == Quantization::SQ8) {
    sq8_codes_.insert(sq8_codes_.end(), encoded.sq8.codes.begin(), encoded.sq8.codes.end());
    sq8_params_.emplace_back(encoded.sq8.offset, encoded.sq8.scale);
  } else if (mode_ == Quantization::Binary) {
    binary_codes_.insert(binary_codes_.end(), encoded.binary.begin(), encoded.binary.end());
  }
  if (keeps_originals()) originals_.insert(originals_.end(), vector.begin(), vector.end());
}

Result<InternalId> QuantizedStorage::insert_internal(VectorId id, std::span<const float> vector,
                                                     std::optional<Json> metadata,
                                                     bool allow_overwrite) {
  if (auto ok = check_vector_length(dimension_, vector); !ok) return fail(std::move(ok).error());
  if (!allow_overwrite && catalog_.is_live(id.str())) {
    return fail(errors::DuplicateVectorId{id.str()});
  }
  // Quantized before any lock is taken.
  const Encoded encoded = encode(vector);
  const StoreLocks store_locks = lock_stores_for_write();
  const IdCatalog::WriteLocks locks = catalog_.lock_for_write();
  if (!allow_overwrite && catalog_.is_live_locked(id.str())) {
    return fail(errors::DuplicateVectorId{id.str()});
  }
  if (auto ok = catalog_.check_capacity_locked(1); !ok) return fail(std::move(ok).error());
  // Only the assignment can fail once room is made, and it undoes itself.
  reserve_codes_locked(1);
  catalog_.reserve_locked(1);
  const InternalId new_id = catalog_.next_id_locked();
  catalog_.assign_locked(std::move(id), std::move(metadata));
  append_codes_locked(encoded, vector);
  return new_id;
}

Result<InternalId> QuantizedStorage::upsert_batch(std::span<StorageEntry> entries) {
  for (const StorageEntry& entry : entries) {
    if (auto ok = check_vector_length(dimension_, entry.vector); !ok)
      return fail(std::move(ok).error());
  }
  std::vector<Encoded> encoded;
  encoded.reserve(entries.size());
  for (const StorageEntry& entry : entries) encoded.push_back(encode(entry.vector));

  const StoreLocks store_locks = lock_stores_for_write();
  const IdCatalog::WriteLocks locks = catalog_.lock_for_write();
  if (auto ok = catalog_.check_capacity_locked(entries.size()); !ok) {
    return fail(std::move(ok).error());
  }
  reserve_codes_locked(entries.size());
  catalog_.reserve_locked(entries.size());
  const InternalId first = catalog_.next_id_locked();
  try {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      catalog_.assign_locked(std::move(entries[i].id), std::move(entries[i].metadata));
      append_codes_locked(encoded[i], entries[i].vector);
    }
  } catch (...) {
    unstore_from_locked(first);  // all or nothing
    throw;
  }
  return first;
}

void QuantizedStorage::unstore_from(InternalId first) {
  const StoreLocks store_locks = lock_stores_for_write();
  const IdCatalog::WriteLocks locks = catalog_.lock_for_write();
  unstore_from_locked(first);
}

void QuantizedStorage::unstore_from_locked(InternalId first) noexcept {
  while (catalog_.next_id_locked() > first) catalog_.unassign_last_locked();
  if (mode_ == Quantization::SQ8) {
    sq8_codes_.resize(std::size_t{first} * dimension_);
    sq8_params_.resize(first);
  } else if (mode_ == Quantization::Binary) {
    binary_codes_.resize(std::size_t{first} * binary_.bytes_per_vector());
  }
  if (keeps_originals()) originals_.resize(std::size_t{first} * dimension_);
}

std::optional<std::span<const float>> QuantizedStorage::original_locked(InternalId id) const {
  if (!keeps_originals()) return std::nullopt;
  const std::uint64_t end = (std::uint64_t{id} + 1) * dimension_;
  if (end > originals_.size()) return std::nullopt;
  return std::span(originals_).subspan(std::size_t{id} * dimension_, dimension_);
}

std::optional<std::vector<float>> QuantizedStorage::get_original(InternalId id) const {
  ReadLock lock(originals_mu_);
  const auto original = original_locked(id);
  if (!original) return std::nullopt;
  return std::vector<float>(original->begin(), original->end());
}

std::optional<std::vector<float>> QuantizedStorage::reconstruct_locked(InternalId id) const {
  if (mode_ != Quantization::SQ8 || id >= sq8_params_.size()) return std::nullopt;
  const std::uint64_t end = (std::uint64_t{id} + 1) * dimension_;
  if (end > sq8_codes_.size()) return std::nullopt;
  const auto [offset, scale] = sq8_params_[id];
  return SQ8Quantizer::reconstruct(
      std::span(sq8_codes_).subspan(std::size_t{id} * dimension_, dimension_), offset, scale);
}

std::optional<std::vector<float>> QuantizedStorage::get_vector_data(InternalId id) const {
  if (auto original = get_original(id)) return original;
  ReadLock codes_lock(sq8_codes_mu_);
  ReadLock params_lock(sq8_params_mu_);
  return reconstruct_locked(id);
}

std::optional<float> QuantizedStorage::distance_locked(InternalId id, std::span<const float> query,
                                                       const std::vector<std::uint8_t>* query_code,
                                                       DistanceMetric metric) const {
  switch (mode_) {
    case Quantization::None: {
      const auto original = original_locked(id);
      if (!original) return std::nullopt;
      return vexradb::distance(metric, query, *original);
    }
    case Quantization::SQ8: {
      const std::uint64_t end = (std::uint64_t{id} + 1) * dimension_;
      if (id >= sq8_params_.size() || end > sq8_codes_.size()) return std::nullopt;
      const auto [offset, scale] = sq8_params_[id];
      return SQ8Quantizer::asymmetric_distance(
          query, std::span(sq8_codes_).subspan(std::size_t{id} * dimension_, dimension_), offset,
          scale, metric);
    }
    case Quantization::Binary: {
      if (query_code == nullptr) return std::nullopt;
      const std::uint64_t width = binary_.bytes_per_vector();
      if ((std::uint64_t{id} + 1) * width > binary_codes_.size()) return std::nullopt;
      return binary_distance(*query_code, std::span(binary_codes_).subspan(id * width, width),
                             dimension_);
    }
  }
  return std::nullopt;
}

std::optional<float> QuantizedStorage::distance(InternalId id, std::span<const float> query,
                                                DistanceMetric metric) const {
  ReadLock codes_lock(sq8_codes_mu_);
  ReadLock params_lock(sq8_params_mu_);
  ReadLock binary_lock(binary_codes_mu_);
  ReadLock originals_lock(originals_mu_);
  if (mode_ == Quantization::Binary) {
    const std::vector<std::uint8_t> code = binary_.quantize(query);
    return distance_locked(id, query, &code, metric);
  }
  return distance_locked(id, query, nullptr, metric);
}

std::uint64_t QuantizedStorage::memory_usage() const {
  std::uint64_t bytes = 0;
  if (mode_ == Quantization::SQ8) {
    {
      ReadLock lock(sq8_codes_mu_);
      bytes += sq8_codes_.size();
    }
    ReadLock lock(sq8_params_mu_);
    bytes += 8 * sq8_params_.size();
  } else if (mode_ == Quantization::Binary) {
    ReadLock lock(binary_codes_mu_);
    bytes += binary_codes_.size();
  }
  if (keeps_originals()) {
    ReadLock lock(originals_mu_);
    bytes += sizeof(float) * originals_.size();
  }
  return bytes;
}

QuantizedStorageView QuantizedStorage::view() const { return QuantizedStorageView(*this); }

QuantizedStorageView::QuantizedStorageView(const QuantizedStorage& storage)
    : storage_(&storage),
      sq8_codes_lock_(storage.sq8_codes_mu_),
      sq8_params_lock_(storage.sq8_params_mu_),
      binary_codes_lock_(storage.binary_codes_mu_),
      originals_lock_(storage.originals_mu_),
      catalog_locks_(storage.catalog_.lock_for_view()) {}

std::optional<std::vector<std::uint8_t>> QuantizedStorageView::binary_code(
    std::span<const float> query) const {
  if (storage_->mode_ != Quantization::Binary) return std::nullopt;
  return storage_->binary_.quantize(query);
}

std::optional<std::vector<float>> QuantizedStorageView::get_vector_data(InternalId id) const {
  if (const auto original = storage_->original_locked(id)) {
    return std::vector<float>(original->begin(), original->end());
  }
  return storage_->reconstruct_locked(id);
}

}  // namespace vexradb
