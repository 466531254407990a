#pragma once

// storage/: where vectors live: the id table and catalogue (text id, internal id, metadata,
// versions), the full-precision store and the quantized one. May use: base/, kernels/, text/,
// metadata/.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "metadata/json.hpp"
#include "storage/id_catalog.hpp"

namespace vexradb {

class VectorStorageView;

// DimensionMismatch unless `vector` has `dimension` components.
Status check_vector_length(std::size_t dimension, std::span<const float> vector);

// One vector of a batch upsert, with its id and metadata (moved out when stored).
struct StorageEntry {
  VectorId id;
  std::span<const float> vector;
  std::optional<Json> metadata;
};

// The full-precision store: every vector ever accepted, back to back in one float array, under
// dense internal ids 0, 1, 2 ... that are never reused; the caller's ids mapped both ways; the
// metadata of each internal id; and tombstones. Nothing is ever removed: deleting or replacing a
// vector tombstones its internal id and re-points (or drops) the id map entry.
//
// Not synchronised: see the threading rule in engine.hpp.
class VectorStorage {
 public:
  explicit VectorStorage(std::size_t dimension) : dimension_(dimension) {}
  VectorStorage(const VectorStorage&) = delete;
  VectorStorage& operator=(const VectorStorage&) = delete;

  std::size_t dimension() const noexcept { return dimension_; }

  // Stores a vector under a new internal id and returns it. Fails with DimensionMismatch for a
  // vector of the wrong length, DuplicateVectorId when `id` is live and `allow_overwrite` is
  // false, CapacityExceeded once 2^32 vectors were stored; nothing changes on failure. With
  // `allow_overwrite`, a live id's earlier internal id is tombstoned. Without metadata, nothing is
  // stored for the new internal id (earlier versions keep theirs).
  Result<InternalId> insert_internal(VectorId id, std::span<const float> vector,
                                     std::optional<Json> metadata, bool allow_overwrite);

  // Stores every entry in order, with overwrite, and returns the first new internal id (the others
  // follow consecutively). Every length is checked first: on any failure nothing is stored. Moves
  // the metadata out of the entries.
  Result<InternalId> upsert_batch(std::span<StorageEntry> entries);

  // Tombstones the live version of `id`; false when there is none.
  bool remove(std::string_view id) { return catalog_.remove(id); }
  // Builds the keyword index over the catalogue (see IdCatalog::index_text).
  Status index_text(const TextIndexOptions& options) { return catalog_.index_text(options); }
  // Takes back the vectors stored from internal id `first` on, newest first, as if they had
  // never been stored: the undo of insertions the graph could not take.
  void unstore_from(InternalId first) noexcept;

  // The ids, metadata and tombstones.
  const IdCatalog& catalog() const noexcept { return catalog_; }
  // A copy of the vector of an internal id (tombstoned or not), or nothing if never assigned.
  std::optional<std::vector<float>> get(InternalId id) const;
  // A copy of the metadata stored with an internal id (tombstoned or not).
  std::optional<Json> get_metadata(InternalId id) const { return catalog_.get_metadata(id); }
  // Number of live vectors.
  std::size_t len() const { return catalog_.live_count(); }
  // The external id an internal id was assigned under, live or not.
  std::optional<VectorId> get_external_id(InternalId id) const {
    return catalog_.get_external_id(id);
  }
  // The live internal id of an external id.
  std::optional<InternalId> get_internal_id(std::string_view id) const {
    return catalog_.get_internal_id(id);
  }
  // 0, 1, ..., n - 1 for every internal id ever assigned, tombstoned ones included.
  std::vector<InternalId> all_internal_ids() const { return catalog_.all_internal_ids(); }
  // Floats held by the vector array (every vector ever stored).
  std::uint64_t float_count() const { return vectors_.size(); }

  // The store as the graph and the searches read it: vectors in place, distances in batches.
  VectorStorageView view() const;

  // The interface the graph reads the store through, with vectors copied out.
  bool is_deleted(InternalId id) const { return catalog_.is_deleted(id); }
  std::optional<std::vector<float>> get_vector_data(InternalId id) const { return get(id); }
  std::optional<float> distance(InternalId id, std::span<const float> query,
                                DistanceMetric metric) const;

 private:
  friend class VectorStorageView;

  InternalId append(VectorId id, std::span<const float> vector, std::optional<Json> metadata);
  // The stored floats of an internal id, or nothing if it was never assigned.
  std::optional<std::span<const float>> slice(InternalId id) const;

  const std::size_t dimension_;
  std::vector<float> vectors_;
  // |v|² of each stored vector as the cosine distance computes it (cosine_squared_norm).
  std::vector<float> squared_norms_;
  IdCatalog catalog_;
};

// The store read in place for one search or one insertion: distances computed on the stored
// floats, several vectors per kernel pass, and the catalog's lookups without copies.
class VectorStorageView {
 public:
  std::size_t dimension() const noexcept { return storage_->dimension_; }

  std::optional<float> distance(InternalId id, std::span<const float> query,
                                DistanceMetric metric) const;
  // out[i] = distance(ids[i], query, metric), computed several stored vectors per pass.
  void distances(std::span<const InternalId> ids, std::span<const float> query,
                 DistanceMetric metric, std::span<std::optional<float>> out) const;
  // The same, for one query scored many times: `query_norm` caches what depends on the query
  // alone (its squared norm, for cosine); pass the same, initially empty, for one query.
  void distances(std::span<const InternalId> ids, std::span<const float> query,
                 DistanceMetric metric, std::span<std::optional<float>> out,
                 std::optional<float>& query_norm) const;
  // The stored vector in place (valid while the view lives), or nothing if never assigned.
  std::optional<std::span<const float>> get_vector_data(InternalId id) const;
  // The squared norm kept with the stored vector (as cosine_squared_norm gives it), or nothing
  // if never assigned.
  std::optional<float> squared_norm(InternalId id) const {
    const std::vector<float>& norms = storage_->squared_norms_;
    return id < norms.size() ? std::optional<float>(norms[id]) : std::nullopt;
  }
  bool is_deleted(InternalId id) const { return storage_->catalog_.is_deleted(id); }
  // The metadata stored with an internal id in place, or null; no tombstone check.
  const Json* metadata(InternalId id) const { return storage_->catalog_.metadata(id); }
  // The ids, metadata and tombstones.
  const IdCatalog& catalog() const noexcept { return storage_->catalog_; }

 private:
  friend class VectorStorage;
  explicit VectorStorageView(const VectorStorage& storage);

  const VectorStorage* storage_;
};

}  // namespace vexradb
