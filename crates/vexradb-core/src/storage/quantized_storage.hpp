#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "kernels/quantization.hpp"
#include "metadata/json.hpp"
#include "storage/id_catalog.hpp"
#include "storage/original_vectors.hpp"
#include "storage/storage.hpp"

namespace vexradb {

class QuantizedStorageView;

// Which full-precision vectors ("originals") a quantized store keeps besides its codes.
enum class Originals : std::uint8_t {
  None,  // codes only (mode None keeps its vectors all the same: they are its stored form)
  // Every vector, in memory: distances of mode None and the graph's ranking of neighbours use
  // them.
  InMemory,
  // Every vector, those a snapshot gave left in its file (see OriginalVectors): they serve
  // rescoring, get and the next snapshot only; walks and the graph use the codes alone, so reading
  // a file never slows them.
  Durable,
};

// The store of the quantized engine: each vector as 8-bit codes with its (offset, scale), or as
// one bit per component, optionally with its original. Ids, metadata and tombstones work as in
// VectorStorage, except that an upsert does not tombstone the replaced internal id (it simply stops
// being live) and len() counts every internal id ever assigned.
//
// Not synchronised: see the threading rule in engine.hpp.
class QuantizedStorage {
 public:
  QuantizedStorage(std::size_t dimension, Quantization mode, Originals originals);
  QuantizedStorage(const QuantizedStorage&) = delete;
  QuantizedStorage& operator=(const QuantizedStorage&) = delete;

  std::size_t dimension() const noexcept { return dimension_; }
  Quantization mode() const noexcept { return mode_; }
  Originals originals() const noexcept { return originals_kept_; }

  // As VectorStorage::insert_internal, without tombstoning a replaced version.
  Result<InternalId> insert_internal(VectorId id, std::span<const float> vector,
                                     std::optional<Json> metadata, bool allow_overwrite);
  // Stores every entry in order with overwrite; returns the first new internal id. Every length is
  // checked first: on failure nothing is stored.
  Result<InternalId> upsert_batch(std::span<StorageEntry> entries);
  // As VectorStorage::unstore_from.
  void unstore_from(InternalId first) noexcept;
  // Room for `count` more vectors; appending them with append_stored then cannot fail to
  // allocate.
  void reserve(std::size_t count) {
    reserve_codes(count);
    catalog_.reserve(count);
  }
  // Stores internal id `id` of `from` (a store of the same dimension and forms) under its
  // external id and metadata as the next internal id. Its codes are copied, not computed again:
  // without originals there is nothing to compute them from.
  void append_stored(const QuantizedStorage& from, InternalId id);
  bool remove(std::string_view id) { return catalog_.remove(id); }
  // Builds the keyword index over the catalogue (see IdCatalog::index_text).
  Status index_text(const TextIndexOptions& options) { return catalog_.index_text(options); }

  // The ids, metadata and tombstones.
  const IdCatalog& catalog() const noexcept { return catalog_; }
  // Every internal id ever assigned (deleted and replaced ones included).
  std::size_t len() const { return catalog_.assigned_count(); }
  std::optional<Json> get_metadata(InternalId id) const { return catalog_.get_metadata(id); }
  std::optional<VectorId> get_external_id(InternalId id) const {
    return catalog_.get_external_id(id);
  }
  std::optional<InternalId> get_internal_id(std::string_view id) const {
    return catalog_.get_internal_id(id);
  }
  std::vector<InternalId> all_internal_ids() const { return catalog_.all_internal_ids(); }
  // Whether every stored vector's original can be read.
  bool has_originals() const noexcept {
    return mode_ == Quantization::None || originals_kept_ != Originals::None;
  }
  // Copies the original of `id` (a stored id of a store that has originals) into `out`; Io error
  // when it is in a file that cannot be read.
  Status read_original(InternalId id, std::span<float> out) const {
    return originals_.read(id, out);
  }
  // Stores a vector whose original stays at `offset` of `file`, as the next internal id: how a
  // Durable store is loaded from a snapshot. Nothing changes on failure.
  Result<InternalId> insert_from_file(VectorId id, std::span<const float> vector,
                                      std::optional<Json> metadata,
                                      const std::shared_ptr<const VectorFile>& file,
                                      std::uint64_t offset);
  // A Durable store's originals are all in `file` now, internal id i at offsets[i].
  void move_originals_to(std::shared_ptr<const VectorFile> file,
                         std::vector<std::uint64_t> offsets) {
    originals_.move_to_file(std::move(file), std::move(offsets));
  }
  // Bytes of codes, parameters and originals held in memory (ids, maps and metadata are not
  // counted).
  std::uint64_t memory_usage() const;

  QuantizedStorageView view() const;

  // The interface the graph reads the store through, with vectors copied out.
  bool is_deleted(InternalId id) const { return catalog_.is_deleted(id); }
  // The original, else in mode SQ8 the reconstruction scale * code + offset; nothing in binary
  // mode without originals.
  std::optional<std::vector<float>> get_vector_data(InternalId id) const;
  // From the stored form: the metric on the originals in mode None, the SQ8 asymmetric distance,
  // or the binary distance (the query binarised on every call).
  std::optional<float> distance(InternalId id, std::span<const float> query,
                                DistanceMetric metric) const;

 private:
  friend class QuantizedStorageView;

  // What one vector is stored as; computed before the store changes.
  struct Encoded {
    SQ8Code sq8;
    std::vector<std::uint8_t> binary;
  };
  Encoded encode(std::span<const float> vector) const;
  template <class KeepOriginal>
  Result<InternalId> store(VectorId id, std::span<const float> vector, std::optional<Json> metadata,
                           bool allow_overwrite, KeepOriginal keep_original);
  // Whether distances and the graph may use the originals.
  bool ranks_with_originals() const noexcept {
    return mode_ == Quantization::None || originals_kept_ == Originals::InMemory;
  }
  // Room for `count` more vectors' stored forms; appending them then cannot fail.
  void reserve_codes(std::size_t count);
  void append_codes(const Encoded& encoded);

  // The quantized distance; binary codes need the query's code (no distance without one).
  std::optional<float> distance_with_code(InternalId id, std::span<const float> query,
                                          const std::vector<std::uint8_t>* query_code,
                                          DistanceMetric metric) const;
  // Binary mode: how many ids, from 0 on, have codes (all of them when codes are empty).
  std::uint64_t binary_coded_count() const {
    const std::uint64_t width = binary_.bytes_per_vector();
    return width == 0 ? UINT64_MAX : binary_codes_.size() / width;
  }
  // Mode SQ8: whether `id` has codes, and then its codes and parameters in place.
  bool has_sq8_codes(InternalId id) const {
    return id < sq8_params_.size() && (std::uint64_t{id} + 1) * dimension_ <= sq8_codes_.size();
  }
  SQ8Stored sq8_stored(InternalId id) const {
    const auto [offset, scale] = sq8_params_[id];
    return {sq8_codes_.data() + std::size_t{id} * dimension_, offset, scale};
  }
  // Mode SQ8: distance_with_code for every id, several stored vectors per kernel pass.
  void sq8_distances(std::span<const InternalId> ids, std::span<const float> query,
                     DistanceMetric metric, std::span<std::optional<float>> out) const;
  std::optional<std::vector<float>> reconstruct(InternalId id) const;
  std::optional<std::span<const float>> original(InternalId id) const;

  const std::size_t dimension_;
  const Quantization mode_;
  const Originals originals_kept_;
  const BinaryQuantizer binary_;

  std::vector<std::uint8_t> sq8_codes_;
  std::vector<std::pair<float, float>> sq8_params_;  // (offset, scale) per internal id
  std::vector<std::uint8_t> binary_codes_;
  OriginalVectors originals_;  // used only when has_originals()
  IdCatalog catalog_;
};

// The store read in place for one search or one insertion.
class QuantizedStorageView {
 public:
  // The query's binary code in binary mode, nothing otherwise.
  std::optional<std::vector<std::uint8_t>> binary_code(std::span<const float> query) const;

  // The storage interface over the view, for graph walks and insertion: distances without a
  // query code (SQ8 and None), reconstructed vectors, tombstones.
  std::optional<float> distance(InternalId id, std::span<const float> query,
                                DistanceMetric metric) const {
    return storage_->distance_with_code(id, query, nullptr, metric);
  }
  // out[i] = distance(ids[i], query, metric): in mode SQ8 several stored vectors per kernel pass,
  // which the graph's walks use for whole neighbour lists.
  void distances(std::span<const InternalId> ids, std::span<const float> query,
                 DistanceMetric metric, std::span<std::optional<float>> out) const;
  std::optional<std::vector<float>> get_vector_data(InternalId id) const;
  bool is_deleted(InternalId id) const { return storage_->catalog_.is_deleted(id); }
  const Json* metadata(InternalId id) const { return storage_->catalog_.metadata(id); }
  // The ids, metadata and tombstones.
  const IdCatalog& catalog() const noexcept { return storage_->catalog_; }

  // Binary mode: out[i] = the binary distance from `query_code` (see binary_code()) to the codes
  // of ids[i], or nothing for an id without codes. A run of consecutive ids, whose codes lie back
  // to back, is scored in one kernel pass: a scan hands over its ids in ascending order.
  void binary_distances(std::span<const std::uint8_t> query_code, std::span<const InternalId> ids,
                        std::span<std::optional<float>> out) const;
  // Binary mode: out[i] = the binary distance from `query_code` to the codes of id first + i,
  // every one of which must have codes (InternalFailure otherwise, with nothing written).
  void binary_distances(std::span<const std::uint8_t> query_code, InternalId first,
                        std::span<float> out) const;

  // Binary mode: the codes of every stored vector, back to back.
  std::span<const std::uint8_t> binary_codes() const { return storage_->binary_codes_; }

 private:
  friend class QuantizedStorage;
  explicit QuantizedStorageView(const QuantizedStorage& storage);

  const QuantizedStorage* storage_;
};

}  // namespace vexradb
