#include "engine/engine.hpp"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/internal_failure.hpp"
#include "engine/search_plan.hpp"
#include "graph/graph_image.hpp"
#include "graph/hnsw_impl.hpp"
#include "kernels/distance.hpp"

namespace vexradb {
namespace {

// Above this share of removed nodes, a graph repaired around them is no longer as good as a new
// one, and compaction links the live vectors afresh.
constexpr double kMaxRepairedShare = 0.2;

// A graph ranks each node's neighbours by the node's own vector; binary codes cannot give it
// back, so a binary store without originals could not keep its lists in shape.
bool graph_can_rank(Quantization quantization, bool keep_originals) {
  return quantization != Quantization::Binary || keep_originals;
}

Status check_dimension(const Config& config, std::size_t length) {
  if (length != config.dimensions)
    return fail(errors::DimensionMismatch{config.dimensions, length});
  return {};
}

Status check_dimensions(const Config& config, const std::vector<BatchEntry>& entries) {
  for (const BatchEntry& entry : entries) {
    if (auto ok = check_dimension(config, entry.vector.size()); !ok) return ok;
  }
  return {};
}

// The entries as the store takes them (ids and metadata moved out; vectors borrowed).
std::vector<StorageEntry> storage_entries(std::vector<BatchEntry>& entries) {
  std::vector<StorageEntry> to_store;
  to_store.reserve(entries.size());
  for (BatchEntry& entry : entries) {
    to_store.push_back({std::move(entry.id), entry.vector, std::move(entry.metadata)});
  }
  return to_store;
}

// The new nodes of a batch stored from `first` on, for the graph.
std::vector<BatchItem> batch_items(std::span<const BatchEntry> entries, InternalId first) {
  std::vector<BatchItem> items;
  items.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    items.push_back({static_cast<InternalId>(first + i), entries[i].vector});
  }
  return items;
}

template <class Store>
Result<std::optional<StoredVector>> get_live(const Store& store, std::string_view id) {
  const std::optional<InternalId> internal = store.get_internal_id(id);
  if (!internal) return std::optional<StoredVector>();
  std::optional<std::vector<float>> vector = store.get_vector_data(*internal);
  if (!vector) return fail(errors::VectorNotFound{std::string(id)});
  return StoredVector{std::move(*vector), store.get_metadata(*internal)};
}

std::optional<Json> metadata_copy(const IdCatalog& catalog, InternalId id) {
  const Json* metadata = catalog.metadata(id);
  return metadata != nullptr ? std::optional<Json>(*metadata) : std::nullopt;
}

// Gives a compaction the keyword index of the engine it compacts, before it stores anything.
template <class Db>
Status carry_text_index(const IdCatalog& catalog, Db& compaction) {
  const TextIndex* text = catalog.text_index();
  return text != nullptr ? compaction.index_text(text->options()) : Status{};
}

// Live vectors in order of their latest insertion, after `offset`, at most `limit`.
std::vector<ListItem> list_live(const IdCatalog& catalog, std::uint32_t offset,
                                std::uint32_t limit) {
  std::vector<ListItem> items;
  std::uint64_t skipped = 0;
  for (InternalId id = 0; id < catalog.assigned_count() && items.size() < limit; ++id) {
    if (!catalog.is_current(id)) continue;
    if (skipped < offset) {
      ++skipped;
      continue;
    }
    items.push_back({VectorId(std::string(catalog.external_id(id))), metadata_copy(catalog, id)});
  }
  return items;
}

// Result triples of the first k candidates, the only place a search copies ids and metadata.
// Candidates come through an Admission, so every one is the current version of a live id.
std::vector<SearchHit> to_hits(const IdCatalog& catalog, std::span<const Candidate> candidates,
                               std::uint64_t k) {
  std::vector<SearchHit> hits;
  hits.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(k, candidates.size())));
  for (const Candidate& candidate : candidates) {
    if (hits.size() >= k) break;
    hits.push_back({VectorId(std::string(catalog.external_id(candidate.id))), candidate.distance,
                    metadata_copy(catalog, candidate.id)});
  }
  return hits;
}

// The nearest `count` candidates a search may return: from the graph walk, or, when the planner
// finds few enough qualifying vectors (or the engine has no graph), by scoring all of them.
template <class View, class Distance>
Result<std::vector<Candidate>> find_candidates(const View& view, const HnswIndex* index,
                                               const Config& config, const Distance& distances,
                                               std::uint64_t count, const Filter* filter) {
  std::optional<PreparedFilter> prepared;
  if (filter != nullptr) prepared.emplace(*filter, &view.catalog().metadata_index());
  const Admission admit(view.catalog(), prepared ? &*prepared : nullptr);
  const SearchStrategy strategy =
      index != nullptr ? config.search_strategy : SearchStrategy::ExactScan;
  SearchPlan plan = plan_search(admit, count, config.hnsw.ef_search, strategy);
  if (plan.scan) return nearest_of(distances, *plan.scan, count);
  // A store without a graph is scanned, even an empty one.
  if (plan.scan_admitted || index == nullptr) return nearest_admitted(distances, admit, count);
  return index->search_with_ef(distances, count, plan.ef, admit);
}

// The binary distances from one query's code, as the scan consumes them: whole runs of
// consecutive ids per kernel pass, or whole ranges of the store.
struct BinaryDistances {
  const QuantizedStorageView& view;
  std::span<const std::uint8_t> query_code;

  std::optional<float> operator()(InternalId id) const {
    std::optional<float> distance;
    score_all(std::span(&id, 1), std::span(&distance, 1));
    return distance;
  }
  void score_all(std::span<const InternalId> ids, std::span<std::optional<float>> out) const {
    view.binary_distances(query_code, ids, out);
  }
  void score_range(InternalId first, std::span<float> out) const {
    view.binary_distances(query_code, first, out);
  }
};

void stable_sort_by_distance(std::vector<Candidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; });
}

// Runs `link`, which adds the vectors just stored to the graph. Should it throw (an allocation
// failure), the vectors the graph did not take go back out of the store, so that the two stay in
// step (node n is internal id n) and a failed insertion leaves nothing behind; a batch keeps the
// whole rounds the graph took.
template <class Storage, class Link>
void link_or_unstore(Storage& storage, const HnswIndex& index, Link&& link) {
  try {
    std::forward<Link>(link)();
  } catch (...) {
    storage.unstore_from(static_cast<InternalId>(index.node_count()));
    throw;
  }
}

}  // namespace

VectorDb::VectorDb(const Config& config)
    : storage_(config.dimensions), index_(config.hnsw, config.distance_metric), config_(config) {}

Status VectorDb::store_and_link(const VectorId& id, std::span<const float> vector,
                                std::optional<Json> metadata, bool allow_overwrite) {
  if (auto ok = check_dimension(config_, vector.size()); !ok) return ok;
  const Result<InternalId> stored =
      storage_.insert_internal(id, vector, std::move(metadata), allow_overwrite);
  if (!stored) return fail(stored.error());
  link_or_unstore(storage_, index_, [&] {
    // Writers are serialised by the owner, so one view serves the whole insertion.
    const VectorStorageView view = storage_.view();
    index_.insert(*stored, vector, view);
  });
  return {};
}

Status VectorDb::insert(const VectorId& id, std::span<const float> vector,
                        std::optional<Json> metadata) {
  return store_and_link(id, vector, std::move(metadata), false);
}

Status VectorDb::upsert(const VectorId& id, std::span<const float> vector,
                        std::optional<Json> metadata) {
  return store_and_link(id, vector, std::move(metadata), true);
}

Status VectorDb::upsert_batch(std::vector<BatchEntry> entries) {
  if (entries.empty()) return {};
  if (auto ok = check_dimensions(config_, entries); !ok) return ok;
  std::vector<StorageEntry> to_store = storage_entries(entries);
  const Result<InternalId> first = storage_.upsert_batch(to_store);
  if (!first) return fail(first.error());
  link_or_unstore(storage_, index_, [&] {
    const VectorStorageView view = storage_.view();
    index_.insert_batch(batch_items(entries, *first), view);
  });
  return {};
}

bool VectorDb::remove(std::string_view id) { return storage_.remove(id); }

Result<std::optional<StoredVector>> VectorDb::get(std::string_view id) const {
  return get_live(storage_, id);
}

std::vector<ListItem> VectorDb::list(std::uint32_t offset, std::uint32_t limit) const {
  return list_live(storage_.catalog(), offset, limit);
}

Result<std::vector<SearchHit>> VectorDb::search(std::span<const float> query, std::uint64_t k,
                                                const Filter* filter) const {
  // The walk keeps twice k (its beam is max(2k, ef_search)), as it did when replaced versions
  // were dropped only after it; its results are kept exactly as they were.
  return search_candidates(query, 2 * k, k, filter);
}

Result<std::vector<SearchHit>> VectorDb::search_without_margin(std::span<const float> query,
                                                               std::uint64_t k,
                                                               const Filter* filter) const {
  return search_candidates(query, k, k, filter);
}

Result<std::vector<SearchHit>> VectorDb::search_candidates(std::span<const float> query,
                                                           std::uint64_t count, std::uint64_t k,
                                                           const Filter* filter) const {
  if (auto ok = check_dimension(config_, query.size()); !ok) return fail(std::move(ok).error());
  if (emptied_ && len() == 0) return std::vector<SearchHit>();
  const VectorStorageView view = storage_.view();
  const Result<std::vector<Candidate>> nearest = find_candidates(
      view, &index_, config_, QueryDistances(view, query, config_.distance_metric), count, filter);
  if (!nearest) return fail(nearest.error());
  return to_hits(storage_.catalog(), *nearest, k);
}

namespace {

bool is_dropped(std::span<const InternalId> dropping, InternalId id) {
  return std::binary_search(dropping.begin(), dropping.end(), id);
}

}  // namespace

VectorDb::Image VectorDb::image(bool with_graph, std::span<const InternalId> dropping) const {
  Image image;
  HnswIndex::State graph = index_.state();
  const std::vector<InternalId> ids = storage_.all_internal_ids();
  VEXRA_CHECK(ids.size() == graph.nodes.size(), "the graph and the store disagree on the ids");
  std::vector<bool> live(ids.size(), false);
  const IdCatalog& catalog = storage_.catalog();
  for (const InternalId id : ids) {
    if (!catalog.is_current(id) || is_dropped(dropping, id)) continue;
    std::optional<VectorRecord> live_record = record(id);
    if (!live_record) continue;
    live[id] = true;
    image.vectors.push_back(std::move(*live_record));
  }
  if (!with_graph) return image;
  const VectorStorageView view = storage_.view();
  auto distances_from = [&](InternalId owner, std::span<const InternalId> ids,
                            std::span<std::optional<float>> out) {
    view.distances(ids, *view.get_vector_data(owner), config_.distance_metric, out);
  };
  image.graph = compact_graph(graph, live, config_.hnsw, distances_from);
  return image;
}

std::optional<VectorRecord> VectorDb::record(InternalId id) const {
  std::optional<std::vector<float>> vector = storage_.get(id);
  if (!vector) return std::nullopt;
  const IdCatalog& catalog = storage_.catalog();
  return VectorRecord{VectorId(std::string(catalog.external_id(id))), std::move(*vector),
                      metadata_copy(catalog, id)};
}

Status VectorDb::restore(std::span<const VectorRecord> vectors,
                         std::optional<HnswIndex::State> graph) {
  for (const VectorRecord& record : vectors) {
    if (auto ok = check_dimension(config_, record.vector.size()); !ok) return ok;
    const Result<InternalId> stored =
        storage_.insert_internal(record.id, record.vector, record.metadata, false);
    if (!stored) return fail(stored.error());
  }
  if (graph && describes_vectors(*graph, vectors.size()) && index_.fits(*graph)) {
    index_.install(std::move(*graph));
    return {};
  }
  const VectorStorageView view = storage_.view();
  index_.insert_batch(batch_items(vectors, 0), view);
  return {};
}

Result<VectorDb::Compaction> VectorDb::compact(std::span<const InternalId> dropping) const {
  const std::size_t nodes = index_.node_count();
  const std::size_t removed = removed_count() + dropping.size();
  const bool relink = static_cast<double>(removed) > kMaxRepairedShare * static_cast<double>(nodes);
  Compaction compaction{image(/*with_graph=*/!relink, dropping), nullptr};
  if (removed == 0) return compaction;
  compaction.engine = std::make_unique<VectorDb>(config_);
  if (auto ok = carry_text_index(storage_.catalog(), *compaction.engine); !ok)
    return fail(std::move(ok).error());
  std::optional<HnswIndex::State> graph;
  if (!relink) graph = compaction.image.graph;
  if (auto ok = compaction.engine->restore(compaction.image.vectors, std::move(graph)); !ok)
    return fail(std::move(ok).error());
  compaction.engine->emptied_ = compaction.image.vectors.empty();
  if (relink) compaction.image.graph = compaction.engine->index().state();
  return compaction;
}

namespace {

Result<std::unique_ptr<VectorDb>> compacted(const VectorDb& db,
                                            std::span<const InternalId> dropping = {}) {
  Result<VectorDb::Compaction> compaction = db.compact(dropping);
  if (!compaction) return fail(std::move(compaction).error());
  return std::move(compaction->engine);
}

Result<std::unique_ptr<QuantizedVectorDb>> compacted(const QuantizedVectorDb& db,
                                                     std::span<const InternalId> dropping = {}) {
  return db.compact(dropping);
}

// Hands the memory of the versions a compaction dropped back to the system: they were many small
// allocations, and without a trim the heap keeps their pages.
void trim_heap() { ::malloc_trim(0); }

}  // namespace

template <class Db>
Status reclaim_space(std::unique_ptr<Db>& db, bool force) {
  const auto removed = static_cast<double>(db->removed_count());
  const auto held = static_cast<double>(db->version_count());
  if (removed == 0 || (!force && removed < kReclaimShare * held)) return {};
  Result<std::unique_ptr<Db>> compaction = compacted(*db);
  if (!compaction) return fail(std::move(compaction).error());
  db = std::move(*compaction);
  trim_heap();
  return {};
}

template <class Db>
Status upsert_batch_reclaiming(std::unique_ptr<Db>& db, std::vector<BatchEntry> entries) {
  if (auto ok = check_dimensions(db->config(), entries); !ok) return ok;
  std::vector<InternalId> replaced;
  for (const BatchEntry& entry : entries) {
    if (auto id = db->storage().get_internal_id(entry.id.str())) replaced.push_back(*id);
  }
  const auto removed_after = static_cast<double>(db->removed_count() + replaced.size());
  std::sort(replaced.begin(), replaced.end());
  replaced.erase(std::unique(replaced.begin(), replaced.end()), replaced.end());
  const auto held_after = static_cast<double>(db->version_count() + entries.size());
  if (!replaced.empty() && removed_after >= kReclaimShare * held_after) {
    // The compaction lacks the replaced versions, as the upsert would remove them; the engine
    // in place keeps them until the batch is stored. A compaction that fails only leaves the
    // space unclaimed.
    Result<std::unique_ptr<Db>> compaction = compacted(*db, replaced);
    if (compaction && *compaction) {
      if (auto ok = (*compaction)->upsert_batch(std::move(entries)); !ok) return ok;
      db = std::move(*compaction);
      trim_heap();
      (void)reclaim_space(db);  // versions the batch itself replaced
      return {};
    }
  }
  if (auto ok = db->upsert_batch(std::move(entries)); !ok) return ok;
  (void)reclaim_space(db);
  return {};
}

template Status reclaim_space(std::unique_ptr<VectorDb>&, bool);
template Status reclaim_space(std::unique_ptr<QuantizedVectorDb>&, bool);
template Status upsert_batch_reclaiming(std::unique_ptr<VectorDb>&, std::vector<BatchEntry>);
template Status upsert_batch_reclaiming(std::unique_ptr<QuantizedVectorDb>&,
                                        std::vector<BatchEntry>);

// ---- QuantizedVectorDb ----------------------------------------------------------------------

// Measured with bench/durable_quantized_bench (clustered 128-d and 768-d) and on the SIFT,
// GloVe and MNIST samples: re-ranking twice k SQ8 candidates gave full precision's recall@10 on
// every set (the codes alone lose up to 0.05), a third more cost about 7% of the speed for
// nothing. Binary codes (one sign bit per component) need many more: 80 per hit reached full
// precision's recall on the clustered sets and 0.989 on GloVe (40: 0.95 to 0.96); on
// non-negative data (SIFT, pixels), whose components are nearly all of one sign, no factor helps
// much.
std::uint64_t default_oversampling(Quantization quantization) {
  switch (quantization) {
    case Quantization::SQ8:
      return 2;
    case Quantization::Binary:
      return 80;
    case Quantization::None:
      break;
  }
  return 1;
}

QuantizedVectorDb::QuantizedVectorDb(const Config& config, bool with_index, Originals originals)
    : storage_(config.dimensions, config.quantization, originals),
      config_(config),
      index_(with_index && graph_can_rank(config.quantization, originals == Originals::InMemory)
                 ? std::make_unique<HnswIndex>(config.hnsw, config.distance_metric)
                 : nullptr) {}

Status QuantizedVectorDb::store_and_link(const VectorId& id, std::span<const float> vector,
                                         std::optional<Json> metadata, bool allow_overwrite) {
  if (auto ok = check_dimension(config_, vector.size()); !ok) return ok;
  const Result<InternalId> stored =
      storage_.insert_internal(id, vector, std::move(metadata), allow_overwrite);
  if (!stored) return fail(stored.error());
  if (index_) {
    link_or_unstore(storage_, *index_, [&] {
      const QuantizedStorageView view = storage_.view();
      index_->insert(*stored, vector, view);
    });
  }
  return {};
}

Status QuantizedVectorDb::insert(const VectorId& id, std::span<const float> vector,
                                 std::optional<Json> metadata) {
  return store_and_link(id, vector, std::move(metadata), false);
}

Status QuantizedVectorDb::upsert(const VectorId& id, std::span<const float> vector,
                                 std::optional<Json> metadata) {
  return store_and_link(id, vector, std::move(metadata), true);
}

Status QuantizedVectorDb::upsert_batch(std::vector<BatchEntry> entries) {
  if (entries.empty()) return {};
  if (auto ok = check_dimensions(config_, entries); !ok) return ok;
  std::vector<StorageEntry> to_store = storage_entries(entries);
  const Result<InternalId> first = storage_.upsert_batch(to_store);
  if (!first) return fail(first.error());
  if (index_) {
    link_or_unstore(storage_, *index_, [&] {
      const QuantizedStorageView view = storage_.view();
      index_->insert_batch(batch_items(entries, *first), view);
    });
  }
  return {};
}

Result<std::unique_ptr<QuantizedVectorDb>> QuantizedVectorDb::compact(
    std::span<const InternalId> dropping) const {
  const std::size_t removed = removed_count() + dropping.size();
  if (removed == 0) return std::unique_ptr<QuantizedVectorDb>();
  auto engine =
      std::make_unique<QuantizedVectorDb>(config_, index_ != nullptr, storage_.originals());
  if (auto ok = carry_text_index(storage_.catalog(), *engine); !ok)
    return fail(std::move(ok).error());
  engine->retired_ = retired_ + removed;
  const IdCatalog& catalog = storage_.catalog();
  std::vector<bool> live(version_count(), false);
  engine->storage_.reserve(catalog.live_count());
  for (InternalId id = 0; id < live.size(); ++id) {
    if (!catalog.is_current(id) || is_dropped(dropping, id)) continue;
    live[id] = true;
    engine->storage_.append_stored(storage_, id);
  }
  if (index_) engine->link_compacted(*index_, storage_, live, removed);
  return engine;
}

// Installs the graph of `old_index` (over `old_storage`) repaired around the removed nodes, or
// links the stored vectors afresh when removed nodes were more than a fifth of it.
void QuantizedVectorDb::link_compacted(const HnswIndex& old_index,
                                       const QuantizedStorage& old_storage,
                                       const std::vector<bool>& live, std::size_t removed) {
  const std::size_t count = storage_.len();
  if (static_cast<double>(removed) <= kMaxRepairedShare * static_cast<double>(live.size())) {
    const QuantizedStorageView old_view = old_storage.view();
    auto distances_from = [&](InternalId owner, std::span<const InternalId> ids,
                              std::span<std::optional<float>> out) {
      const std::optional<std::vector<float>> vector = old_view.get_vector_data(owner);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        out[i] =
            vector ? old_view.distance(ids[i], *vector, config_.distance_metric) : std::nullopt;
      }
    };
    HnswIndex::State graph = compact_graph(old_index.state(), live, config_.hnsw, distances_from);
    if (describes_vectors(graph, count) && index_->fits(graph)) {
      index_->install(std::move(graph));
      return;
    }
  }
  link_all();
}

Status QuantizedVectorDb::store_from_file(VectorRecord record,
                                          const std::shared_ptr<const VectorFile>& file,
                                          std::uint64_t offset) {
  if (auto ok = check_dimension(config_, record.vector.size()); !ok) return ok;
  const Result<InternalId> stored = storage_.insert_from_file(
      std::move(record.id), record.vector, std::move(record.metadata), file, offset);
  if (!stored) return fail(stored.error());
  return {};
}

void QuantizedVectorDb::link_restored(std::optional<HnswIndex::State> graph) {
  if (!index_) return;
  if (graph && describes_vectors(*graph, storage_.len()) && index_->fits(*graph)) {
    index_->install(std::move(*graph));
    return;
  }
  link_all();
}

// Links every stored vector into the empty graph.
void QuantizedVectorDb::link_all() {
  const std::size_t count = storage_.len();
  const QuantizedStorageView view = storage_.view();
  std::vector<std::vector<float>> vectors;
  std::vector<BatchItem> items;
  vectors.reserve(count);
  items.reserve(count);
  for (InternalId id = 0; id < count; ++id) {
    // Always some: a store that keeps a graph can give back every vector (see graph_can_rank).
    vectors.push_back(view.get_vector_data(id).value());
    items.push_back({id, vectors.back()});
  }
  index_->insert_batch(items, view);
}

Result<std::optional<StoredVector>> QuantizedVectorDb::get(std::string_view id) const {
  if (!storage_.has_originals()) return get_live(storage_, id);
  const std::optional<InternalId> internal = storage_.get_internal_id(id);
  if (!internal) return std::optional<StoredVector>();
  StoredVector stored{std::vector<float>(config_.dimensions), storage_.get_metadata(*internal)};
  if (auto ok = storage_.read_original(*internal, stored.vector); !ok)
    return fail(std::move(ok).error());
  return stored;
}

std::vector<ListItem> QuantizedVectorDb::list(std::uint32_t offset, std::uint32_t limit) const {
  return list_live(storage_.catalog(), offset, limit);
}

// Graph or scan, by quantized distances. A binary scan binarises the query once for the whole
// scan. Equal distances of a scan come in ascending id order.
Result<std::vector<Candidate>> QuantizedVectorDb::candidates(std::span<const float> query,
                                                             std::uint64_t count,
                                                             const Filter* filter) const {
  const QuantizedStorageView view = storage_.view();
  const std::optional<std::vector<std::uint8_t>> code =
      index_ ? std::nullopt : view.binary_code(query);
  if (!code) {
    return find_candidates(view, index_.get(), config_,
                           QueryDistances(view, query, config_.distance_metric), count, filter);
  }
  return find_candidates(view, index_.get(), config_, BinaryDistances{view, *code}, count, filter);
}

// Re-ranks the first factor * k candidates by the exact distance to their originals. A read
// that fails fails the search: a candidate left out or ranked by its code would be a wrong answer.
Result<std::vector<Candidate>> QuantizedVectorDb::rescored(std::span<const float> query,
                                                           std::vector<Candidate> live,
                                                           std::uint64_t factor,
                                                           std::uint64_t k) const {
  if (live.size() / factor > k) live.resize(factor * k);
  std::vector<float> original(config_.dimensions);
  for (Candidate& candidate : live) {
    if (auto ok = storage_.read_original(candidate.id, original); !ok)
      return fail(std::move(ok).error());
    candidate.distance = distance(config_.distance_metric, query, original);
  }
  stable_sort_by_distance(live);
  return live;
}

Result<std::vector<SearchHit>> QuantizedVectorDb::search(std::span<const float> query,
                                                         std::uint64_t k,
                                                         const Filter* filter) const {
  if (auto ok = check_dimension(config_, query.size()); !ok) return fail(std::move(ok).error());
  if (len() == 0) return fail(errors::IndexEmpty{});
  // Every vector it stored was removed and compacted away: no hits, as before the compaction.
  if (version_count() == 0) return std::vector<SearchHit>();
  const bool rescore =
      config_.rescore && config_.quantization != Quantization::None && storage_.has_originals();
  const std::uint64_t factor = rescore ? std::max<std::uint64_t>(config_.oversampling, 1) : 1;
  // Saturating: k may be as large as 2^32 - 1; no allocation is sized from this count.
  const std::uint64_t wanted =
      k > std::numeric_limits<std::uint64_t>::max() / (2 * factor) ? k : 2 * k * factor;

  Result<std::vector<Candidate>> nearest = candidates(query, wanted, filter);
  if (!nearest) return fail(std::move(nearest).error());
  std::vector<Candidate> live = std::move(*nearest);
  if (rescore) {
    Result<std::vector<Candidate>> exact = rescored(query, std::move(live), factor, k);
    if (!exact) return fail(std::move(exact).error());
    live = std::move(*exact);
  }
  return to_hits(storage_.catalog(), live, k);
}

}  // namespace vexradb
