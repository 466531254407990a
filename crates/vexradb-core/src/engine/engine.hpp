#pragma once

// engine/: the in-memory engines (full precision and quantized): insertion, deletion, compaction
// and search, with the planner that chooses between the graph walk and an exact scan.
// May use: base/, kernels/, metadata/, text/, storage/, graph/.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/config.hpp"
#include "base/error.hpp"
#include "base/types.hpp"
#include "engine/keyword_search.hpp"
#include "graph/hnsw.hpp"
#include "metadata/filter.hpp"
#include "metadata/json.hpp"
#include "storage/quantized_storage.hpp"
#include "storage/storage.hpp"
#include "storage/vector_record.hpp"
#include "text/text_index.hpp"

namespace vexradb {

// Threading rule of the engine (engines, stores, catalog, graph; the durable engine adds its
// reader gate): nothing in it locks. Any number of const calls may run together; a non-const call
// must run alone, with no other call on the same engine. The owner enforces that with one lock
// around the engine (the client's fair read-write lock, whose guarded members clang's
// thread-safety analysis checks). Inside one non-const call the engine may use the worker pool,
// whose tasks read what the call does not change or write parts no other task touches.

// One hit of a search: the caller's id, its distance to the query (smaller is closer) and its
// metadata.
struct SearchHit {
  VectorId id;
  float distance;
  std::optional<Json> metadata;
};

// One live vector of a listing.
struct ListItem {
  VectorId id;
  std::optional<Json> metadata;
};

// One vector of a batch upsert.
using BatchEntry = VectorRecord;

// A stored vector with its metadata, as `get` returns it.
struct StoredVector {
  std::vector<float> vector;
  std::optional<Json> metadata;

  friend bool operator==(const StoredVector&, const StoredVector&) = default;
};

// The in-memory engine at full precision: a VectorStorage and the HNSW graph over it.
//
// Deleting or replacing a vector only tombstones its internal id; the graph keeps every node
// and searches walk through tombstones without returning them.
//
// Threads: see the threading rule above; get, list, len and search are the const calls.
class VectorDb {
 public:
  explicit VectorDb(const Config& config);
  VectorDb(const VectorDb&) = delete;
  VectorDb& operator=(const VectorDb&) = delete;

  // Stores and links a new vector. DimensionMismatch for a vector of the wrong length,
  // DuplicateVectorId when the id is live, CapacityExceeded when the store is full.
  Status insert(const VectorId& id, std::span<const float> vector, std::optional<Json> metadata);
  // As insert, but a live id is replaced: its earlier version is tombstoned.
  Status upsert(const VectorId& id, std::span<const float> vector, std::optional<Json> metadata);
  // Upserts every entry in order. Every length is checked before anything is stored; the new
  // nodes are linked by the index's parallel batch insertion.
  Status upsert_batch(std::vector<BatchEntry> entries);
  // Tombstones the live version of `id`; false when there is none.
  bool remove(std::string_view id);

  // The live vector of `id` with its metadata, or nothing when the id is not live.
  Result<std::optional<StoredVector>> get(std::string_view id) const;
  // Live vectors in order of their latest insertion: skips `offset`, returns at most `limit`.
  std::vector<ListItem> list(std::uint32_t offset, std::uint32_t limit) const;
  std::size_t len() const { return storage_.len(); }

  // The k nearest live vectors that pass `filter` (when given), nearest first. Vectors without
  // metadata never pass a filter. DimensionMismatch for a query of the wrong length, IndexEmpty
  // when nothing was ever inserted. May return fewer than k.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::uint64_t k,
                                        const Filter* filter) const;
  // As search, but the walk keeps exactly the k nearest (ef = max(k, ef_search)) instead of 2k:
  // the durable engine's searches, whose beam has always been that.
  Result<std::vector<SearchHit>> search_without_margin(std::span<const float> query,
                                                       std::uint64_t k, const Filter* filter) const;

  // Builds the keyword index over the stored versions and keeps it from then on; compactions
  // carry it over. InvalidParameter for options that describe no index.
  Status index_text(const TextIndexOptions& options) { return storage_.index_text(options); }
  // The k best keyword matches (see keyword_search).
  Result<std::vector<TextHit>> text_search(std::string_view text, std::uint64_t k,
                                           const Filter* filter) const {
    return keyword_search(storage_.catalog(), text, k, filter);
  }

  // The live vectors in ascending internal-id order, and (unless `with_graph` is false) the graph
  // over exactly them, renumbered by that order: what a restore() rebuilds the same engine from.
  // The versions `dropping` names (ascending internal ids) are left out as if removed.
  struct Image {
    std::vector<VectorRecord> vectors;
    HnswIndex::State graph;
  };
  Image image(bool with_graph, std::span<const InternalId> dropping = {}) const;
  // The vector stored under internal id `id` (live or not) as an image holds it, or nothing when
  // the store has none.
  std::optional<VectorRecord> record(InternalId id) const;
  // Fills an empty engine: stores `vectors` in order (a repeated id fails), then installs
  // `graph` when it describes exactly them; otherwise (no graph, or one that does not fit)
  // links them anew.
  Status restore(std::span<const VectorRecord> vectors, std::optional<HnswIndex::State> graph);

  // The image of the engine and, when deletions or replacements left removed versions in it, the
  // engine rebuilt from that image alone: the live vectors in the same order (so list order stays
  // as it is), the graph repaired around the removed nodes or, when they were more than a fifth
  // of it, linked afresh. Memory of the removed versions goes with this engine. The versions
  // `dropping` names (ascending internal ids) count as removed; this engine is left as it is.
  struct Compaction {
    Image image;
    std::unique_ptr<VectorDb> engine;  // null when nothing was removed
  };
  Result<Compaction> compact(std::span<const InternalId> dropping = {}) const;
  // Versions held: the live ones and those deletions and replacements removed.
  std::size_t version_count() const { return index_.node_count(); }
  std::size_t removed_count() const { return version_count() - len(); }

  const Config& config() const noexcept { return config_; }
  const VectorStorage& storage() const noexcept { return storage_; }
  const HnswIndex& index() const noexcept { return index_; }

 private:
  Status store_and_link(const VectorId& id, std::span<const float> vector,
                        std::optional<Json> metadata, bool allow_overwrite);
  Result<std::vector<SearchHit>> search_candidates(std::span<const float> query,
                                                   std::uint64_t count, std::uint64_t k,
                                                   const Filter* filter) const;

  VectorStorage storage_;
  HnswIndex index_;
  const Config config_;
  // Set on the compaction of an engine whose vectors were all removed: it answers searches as
  // that engine did (no hits), not as one that never held a vector (IndexEmpty).
  bool emptied_ = false;
};

// Replaces an in-memory engine (VectorDb or QuantizedVectorDb) by its compaction once removed
// versions make up kReclaimShare of what it holds, or, with `force`, as soon as there is one;
// then hands the freed memory back to the system. The caller must hold the engine exclusively.
inline constexpr double kReclaimShare = 0.2;
template <class Db>
Status reclaim_space(std::unique_ptr<Db>& db, bool force = false);
// Db::upsert_batch, reclaiming on the way: a batch that would leave replaced versions past
// kReclaimShare is stored into a compaction that leaves out the live versions it replaces, so
// that its vectors are linked into a graph of live nodes (linking among many removed nodes is
// many times slower); that compaction replaces the engine only once the batch is in it. The
// store, the list order and the errors are those of upsert_batch, a batch that fails leaves the
// engine as it was, and the reclaims are best effort.
template <class Db>
Status upsert_batch_reclaiming(std::unique_ptr<Db>& db, std::vector<BatchEntry> entries);

// The candidates per hit a quantized engine re-ranks when it rescores and is given no other
// factor (see engine.cpp for how they were chosen).
std::uint64_t default_oversampling(Quantization quantization);

// The engine that keeps vectors quantized (8-bit codes or 1 bit per component): searched through
// an HNSW graph over the quantized distances, or, without a graph, by scanning every stored
// vector. With `rescore` and originals kept, a larger candidate set is re-ranked by exact
// distances. Operations mirror VectorDb, except that len() counts every vector ever stored and
// get() fails with VectorNotFound when no vector can be rebuilt from the codes (binary mode
// without originals).
class QuantizedVectorDb {
 public:
  // `config.quantization` chooses the codes; `with_index` builds the graph (else search scans),
  // except over binary codes without originals in memory, which cannot rank a node's
  // neighbours: those are always scanned; `originals` says which full-precision vectors are kept
  // (needed for rescoring).
  QuantizedVectorDb(const Config& config, bool with_index, Originals originals);
  QuantizedVectorDb(const QuantizedVectorDb&) = delete;
  QuantizedVectorDb& operator=(const QuantizedVectorDb&) = delete;

  Status insert(const VectorId& id, std::span<const float> vector, std::optional<Json> metadata);
  Status upsert(const VectorId& id, std::span<const float> vector, std::optional<Json> metadata);
  Status upsert_batch(std::vector<BatchEntry> entries);
  bool remove(std::string_view id) { return storage_.remove(id); }
  // The original when originals are kept (Io error when its file cannot be read), else the
  // vector rebuilt from the codes.
  Result<std::optional<StoredVector>> get(std::string_view id) const;
  std::vector<ListItem> list(std::uint32_t offset, std::uint32_t limit) const;
  // Every vector ever stored, those compactions dropped included.
  std::size_t len() const { return retired_ + storage_.len(); }
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::uint64_t k,
                                        const Filter* filter) const;
  Status index_text(const TextIndexOptions& options) { return storage_.index_text(options); }
  Result<std::vector<TextHit>> text_search(std::string_view text, std::uint64_t k,
                                           const Filter* filter) const {
    return keyword_search(storage_.catalog(), text, k, filter);
  }

  // The engine holding only the live vectors, in the same order (so list order stays as it is),
  // their codes copied as they are, with the graph repaired around the removed nodes or, when
  // they were more than a fifth of it, linked afresh; null when nothing was removed. Its len()
  // still counts the vectors dropped. The versions `dropping` names (ascending internal ids)
  // count as removed; this engine is left as it is.
  Result<std::unique_ptr<QuantizedVectorDb>> compact(
      std::span<const InternalId> dropping = {}) const;
  // Versions held: the live ones and those deletions and replacements removed.
  std::size_t version_count() const { return storage_.len(); }
  std::size_t removed_count() const { return version_count() - storage_.catalog().live_count(); }

  // Loading an empty engine with Durable originals from a snapshot whose vectors stay in its
  // file: store_from_file stores each vector in file order (its codes computed from `record`, its
  // original left at `offset` of `file`; a repeated id fails), then link_restored installs
  // `graph` when it describes exactly them, or else links them anew.
  Status store_from_file(VectorRecord record, const std::shared_ptr<const VectorFile>& file,
                         std::uint64_t offset);
  void link_restored(std::optional<HnswIndex::State> graph);
  // Every original is now in `file`, internal id i at offsets[i] (a snapshot of this engine's
  // versions was written there): those held in memory are freed.
  void move_originals_to(std::shared_ptr<const VectorFile> file,
                         std::vector<std::uint64_t> offsets) {
    storage_.move_originals_to(std::move(file), std::move(offsets));
  }

  const Config& config() const noexcept { return config_; }
  const QuantizedStorage& storage() const noexcept { return storage_; }
  // The graph, or null for an engine that scans.
  const HnswIndex* index() const noexcept { return index_.get(); }

 private:
  Status store_and_link(const VectorId& id, std::span<const float> vector,
                        std::optional<Json> metadata, bool allow_overwrite);
  void link_compacted(const HnswIndex& old_index, const QuantizedStorage& old_storage,
                      const std::vector<bool>& live, std::size_t removed);
  Result<std::vector<Candidate>> candidates(std::span<const float> query, std::uint64_t count,
                                            const Filter* filter) const;
  Result<std::vector<Candidate>> rescored(std::span<const float> query, std::vector<Candidate> live,
                                          std::uint64_t factor, std::uint64_t k) const;
  void link_all();

  QuantizedStorage storage_;
  const Config config_;
  std::unique_ptr<HnswIndex> index_;
  std::size_t retired_ = 0;  // versions earlier compactions dropped, still counted by len()
};

}  // namespace vexradb
