#include "storage/quantized_storage.hpp"

#include <array>

#include "base/internal_failure.hpp"
#include "kernels/distance.hpp"

namespace vexradb {
QuantizedStorage::QuantizedStorage(std::size_t dimension, Quantization mode, Originals originals)
    : dimension_(dimension),
      mode_(mode),
      originals_kept_(originals),
      binary_(dimension),
      originals_(dimension) {}

QuantizedStorage::Encoded QuantizedStorage::encode(std::span<const float> vector) const {
  Encoded encoded;
  if (mode_ == Quantization::SQ8) encoded.sq8 = SQ8Quantizer::quantize(vector);
  if (mode_ == Quantization::Binary) encoded.binary = binary_.quantize(vector);
  return encoded;
}

void QuantizedStorage::reserve_codes(std::size_t count) {
  if (mode_ == Quantization::SQ8) {
    reserve_more(sq8_codes_, count * dimension_);
    reserve_more(sq8_params_, count);
  } else if (mode_ == Quantization::Binary) {
    reserve_more(binary_codes_, count * binary_.bytes_per_vector());
  }
  if (has_originals()) originals_.reserve(count);
}

// Appends one vector's codes into the room reserve_codes made.
void QuantizedStorage::append_codes(const Encoded& encoded) {
  if (mode_ == Quantization::SQ8) {
    sq8_codes_.insert(sq8_codes_.end(), encoded.sq8.codes.begin(), encoded.sq8.codes.end());
    sq8_params_.emplace_back(encoded.sq8.offset, encoded.sq8.scale);
  } else if (mode_ == Quantization::Binary) {
    binary_codes_.insert(binary_codes_.end(), encoded.binary.begin(), encoded.binary.end());
  }
}

// Stores one vector as the next internal id; `keep_original` records its original. Nothing
// changes on failure: only the catalog's assignment can fail once room is made, and it undoes
// itself.
template <class KeepOriginal>
Result<InternalId> QuantizedStorage::store(VectorId id, std::span<const float> vector,
                                           std::optional<Json> metadata, bool allow_overwrite,
                                           KeepOriginal keep_original) {
  if (auto ok = check_vector_length(dimension_, vector); !ok) return fail(std::move(ok).error());
  if (!allow_overwrite && catalog_.is_live(id.str())) {
    return fail(errors::DuplicateVectorId{id.str()});
  }
  if (auto ok = catalog_.check_capacity(1); !ok) return fail(std::move(ok).error());
  const Encoded encoded = encode(vector);
  reserve_codes(1);
  catalog_.reserve(1);
  const InternalId new_id = catalog_.next_id();
  catalog_.assign(std::move(id), std::move(metadata));
  append_codes(encoded);
  if (has_originals()) keep_original();
  return new_id;
}

Result<InternalId> QuantizedStorage::insert_internal(VectorId id, std::span<const float> vector,
                                                     std::optional<Json> metadata,
                                                     bool allow_overwrite) {
  return store(std::move(id), vector, std::move(metadata), allow_overwrite,
               [&] { originals_.append(vector); });
}

Result<InternalId> QuantizedStorage::insert_from_file(VectorId id, std::span<const float> vector,
                                                      std::optional<Json> metadata,
                                                      const std::shared_ptr<const VectorFile>& file,
                                                      std::uint64_t offset) {
  VEXRA_CHECK(originals_kept_ == Originals::Durable, "only a durable store leaves originals out");
  return store(std::move(id), vector, std::move(metadata), false,
               [&] { originals_.append_in_file(file, offset); });
}

Result<InternalId> QuantizedStorage::upsert_batch(std::span<StorageEntry> entries) {
  for (const StorageEntry& entry : entries) {
    if (auto ok = check_vector_length(dimension_, entry.vector); !ok)
      return fail(std::move(ok).error());
  }
  std::vector<Encoded> encoded;
  encoded.reserve(entries.size());
  for (const StorageEntry& entry : entries) encoded.push_back(encode(entry.vector));

  if (auto ok = catalog_.check_capacity(entries.size()); !ok) {
    return fail(std::move(ok).error());
  }
  reserve_codes(entries.size());
  catalog_.reserve(entries.size());
  const InternalId first = catalog_.next_id();
  try {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      catalog_.assign(std::move(entries[i].id), std::move(entries[i].metadata));
      append_codes(encoded[i]);
      if (has_originals()) originals_.append(entries[i].vector);
    }
  } catch (...) {
    unstore_from(first);  // all or nothing
    throw;
  }
  return first;
}

void QuantizedStorage::unstore_from(InternalId first) noexcept {
  while (catalog_.next_id() > first) catalog_.unassign_last();
  if (mode_ == Quantization::SQ8) {
    sq8_codes_.resize(std::size_t{first} * dimension_);
    sq8_params_.resize(first);
  } else if (mode_ == Quantization::Binary) {
    binary_codes_.resize(std::size_t{first} * binary_.bytes_per_vector());
  }
  if (has_originals()) originals_.truncate(first);
}

void QuantizedStorage::append_stored(const QuantizedStorage& from, InternalId id) {
  catalog_.assign(VectorId(std::string(from.catalog_.external_id(id))), from.get_metadata(id));
  const std::size_t components_at = std::size_t{id} * dimension_;
  if (mode_ == Quantization::SQ8) {
    const auto codes = std::span(from.sq8_codes_).subspan(components_at, dimension_);
    sq8_codes_.insert(sq8_codes_.end(), codes.begin(), codes.end());
    sq8_params_.push_back(from.sq8_params_[id]);
  } else if (mode_ == Quantization::Binary) {
    const std::size_t width = binary_.bytes_per_vector();
    const auto codes = std::span(from.binary_codes_).subspan(std::size_t{id} * width, width);
    binary_codes_.insert(binary_codes_.end(), codes.begin(), codes.end());
  }
  if (has_originals()) originals_.append_from(from.originals_, id);
}

std::optional<std::span<const float>> QuantizedStorage::original(InternalId id) const {
  if (!ranks_with_originals()) return std::nullopt;
  return originals_.held(id);
}

std::optional<std::vector<float>> QuantizedStorage::reconstruct(InternalId id) const {
  if (mode_ != Quantization::SQ8 || id >= sq8_params_.size()) return std::nullopt;
  const std::uint64_t end = (std::uint64_t{id} + 1) * dimension_;
  if (end > sq8_codes_.size()) return std::nullopt;
  const auto [offset, scale] = sq8_params_[id];
  return SQ8Quantizer::reconstruct(
      std::span(sq8_codes_).subspan(std::size_t{id} * dimension_, dimension_), offset, scale);
}

std::optional<std::vector<float>> QuantizedStorage::get_vector_data(InternalId id) const {
  if (const auto kept = original(id)) return std::vector<float>(kept->begin(), kept->end());
  return reconstruct(id);
}

std::optional<float> QuantizedStorage::distance_with_code(
    InternalId id, std::span<const float> query, const std::vector<std::uint8_t>* query_code,
    DistanceMetric metric) const {
  switch (mode_) {
    case Quantization::None: {
      const auto kept = original(id);
      if (!kept) return std::nullopt;
      return vexradb::distance(metric, query, *kept);
    }
    case Quantization::SQ8: {
      if (!has_sq8_codes(id)) return std::nullopt;
      const SQ8Stored stored = sq8_stored(id);
      return SQ8Quantizer::asymmetric_distance(query, std::span(stored.codes, dimension_),
                                               stored.offset, stored.scale, metric);
    }
    case Quantization::Binary: {
      if (query_code == nullptr || id >= binary_coded_count()) return std::nullopt;
      const std::uint64_t width = binary_.bytes_per_vector();
      return binary_distance(*query_code, std::span(binary_codes_).subspan(id * width, width),
                             dimension_);
    }
  }
  return std::nullopt;
}

void QuantizedStorage::sq8_distances(std::span<const InternalId> ids, std::span<const float> query,
                                     DistanceMetric metric,
                                     std::span<std::optional<float>> out) const {
  // Ids without codes are answered directly; the rest go to the kernel in chunks. Gathering a
  // chunk first also lets the loads of its codes overlap.
  constexpr std::size_t kChunk = 64;
  std::array<SQ8Stored, kChunk> stored;  // left uninitialised: filled before it is read
  std::array<std::size_t, kChunk> position;
  std::array<float, kChunk> scores;
  VEXRA_CHECK(query.size() <= dimension_, "SQ8 codes shorter than the query");
  std::size_t pending = 0;
  auto flush = [&] {
    SQ8Quantizer::asymmetric_distances(query, std::span(stored).first(pending), metric,
                                       std::span(scores).first(pending));
    for (std::size_t j = 0; j < pending; ++j) out[position[j]] = scores[j];
    pending = 0;
  };
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (!has_sq8_codes(ids[i])) {
      out[i] = std::nullopt;
      continue;
    }
    stored[pending] = sq8_stored(ids[i]);
    __builtin_prefetch(stored[pending].codes);
    // The second cache line only when the codes reach it: an address past them is undefined.
    if (dimension_ > 64) __builtin_prefetch(stored[pending].codes + 64);
    position[pending] = i;
    if (++pending == kChunk) flush();
  }
  if (pending > 0) flush();
}

std::optional<float> QuantizedStorage::distance(InternalId id, std::span<const float> query,
                                                DistanceMetric metric) const {
  if (mode_ == Quantization::Binary) {
    const std::vector<std::uint8_t> code = binary_.quantize(query);
    return distance_with_code(id, query, &code, metric);
  }
  return distance_with_code(id, query, nullptr, metric);
}

std::uint64_t QuantizedStorage::memory_usage() const {
  std::uint64_t bytes = 0;
  if (mode_ == Quantization::SQ8) {
    bytes += sq8_codes_.size() + 8 * sq8_params_.size();
  } else if (mode_ == Quantization::Binary) {
    bytes += binary_codes_.size();
  }
  if (has_originals()) bytes += originals_.memory_usage();
  return bytes;
}

QuantizedStorageView QuantizedStorage::view() const { return QuantizedStorageView(*this); }

QuantizedStorageView::QuantizedStorageView(const QuantizedStorage& storage) : storage_(&storage) {}

std::optional<std::vector<std::uint8_t>> QuantizedStorageView::binary_code(
    std::span<const float> query) const {
  if (storage_->mode_ != Quantization::Binary) return std::nullopt;
  return storage_->binary_.quantize(query);
}

void QuantizedStorageView::distances(std::span<const InternalId> ids, std::span<const float> query,
                                     DistanceMetric metric,
                                     std::span<std::optional<float>> out) const {
  if (storage_->mode_ == Quantization::SQ8) return storage_->sq8_distances(ids, query, metric, out);
  for (std::size_t i = 0; i < ids.size(); ++i) out[i] = distance(ids[i], query, metric);
}

void QuantizedStorageView::binary_distances(std::span<const std::uint8_t> query_code,
                                            std::span<const InternalId> ids,
                                            std::span<std::optional<float>> out) const {
  const std::uint64_t coded = storage_->binary_coded_count();
  constexpr std::size_t kRun = 256;
  std::array<float, kRun> scores;
  for (std::size_t i = 0; i < ids.size();) {
    const InternalId first = ids[i];
    if (first >= coded) {
      out[i++] = std::nullopt;
      continue;
    }
    std::size_t run = 1;
    while (run < kRun && i + run < ids.size() && ids[i + run] == first + run &&
           first + run < coded) {
      ++run;
    }
    binary_distances(query_code, first, std::span(scores).first(run));
    for (std::size_t j = 0; j < run; ++j) out[i + j] = scores[j];
    i += run;
  }
}

void QuantizedStorageView::binary_distances(std::span<const std::uint8_t> query_code,
                                            InternalId first, std::span<float> out) const {
  const std::uint64_t width = storage_->binary_.bytes_per_vector();
  VEXRA_CHECK(query_code.size() == width, "query code of another length than the stored codes");
  VEXRA_CHECK(first + std::uint64_t{out.size()} <= storage_->binary_coded_count(),
              "binary scan past the stored codes");
  vexradb::binary_distances(
      query_code, std::span(storage_->binary_codes_).subspan(first * width, out.size() * width),
      storage_->dimension_, out);
}

std::optional<std::vector<float>> QuantizedStorageView::get_vector_data(InternalId id) const {
  if (const auto kept = storage_->original(id)) {
    return std::vector<float>(kept->begin(), kept->end());
  }
  return storage_->reconstruct(id);
}

}  // namespace vexradb
