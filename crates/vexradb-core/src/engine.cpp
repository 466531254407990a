#include "engine.hpp"

namespace vexradb {

VectorDb::VectorDb(const Config& config)
    : storage_(config.dimensions), index_(config.hnsw, config.distance_metric), config_(config) {}

Status VectorDb::check_dimension(std::size_t length) const {
  if (length != config_.dimensions)
    return fail(errors::DimensionMismatch{config_.dimensions, length});
  return {};
}

Status VectorDb::store_and_link(const VectorId& id, std::span<const float> vector,
                                std::optional<Json> metadata, bool allow_overwrite) {
  if (auto ok = check_dimension(vector.size()); !ok) return ok;
  const Result<InternalId> stored =
      storage_.insert_internal(id, vector, std::move(metadata), allow_overwrite);
  if (!stored) return fail(stored.error());
  // Writers are serialised by the owner, so one view serves the whole insertion.
  const VectorStorageView view = storage_.view();
  index_.insert(*stored, vector, view);
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
  for (const BatchEntry& entry : entries) {
    if (auto ok = check_dimension(entry.vector.size()); !ok) return ok;
  }
  std::vector<StorageEntry> to_store;
  to_store.reserve(entries.size());
  for (BatchEntry& entry : entries) {
    to_store.push_back({std::move(entry.id), entry.vector, std::move(entry.metadata)});
  }
  const Result<InternalId> first = storage_.upsert_batch(to_store);
  if (!first) return fail(first.error());

  std::vector<BatchItem> items;
  items.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    items.push_back({static_cast<InternalId>(*first + i), entries[i].vector});
  }
  const VectorStorageView view = storage_.view();
  index_.insert_batch(items, view);
  return {};
}

bool VectorDb::remove(std::string_view id) { return storage_.remove(id); }

Result<std::optional<StoredVector>> VectorDb::get(std::string_view id) const {
  const std::optional<InternalId> internal = storage_.get_internal_id(id);
  if (!internal) return std::optional<StoredVector>();
  std::optional<std::vector<float>> vector = storage_.get(*internal);
  if (!vector) return fail(errors::VectorNotFound{std::string(id)});
  return StoredVector{std::move(*vector), storage_.get_metadata(*internal)};
}

std::vector<ListItem> VectorDb::list(std::uint32_t offset, std::uint32_t limit) const {
  std::vector<ListItem> items;
  std::uint64_t skipped = 0;
  for (const InternalId internal : storage_.all_internal_ids()) {
    if (items.size() >= limit) break;
    std::optional<VectorId> external = storage_.get_external_id(internal);
    if (!external || storage_.get_internal_id(external->str()) != internal) continue;
    if (skipped < offset) {
      ++skipped;
      continue;
    }
    items.push_back({std::move(*external), storage_.get_metadata(internal)});
  }
  return items;
}

Result<std::vector<SearchHit>> VectorDb::search(std::span<const float> query, std::uint64_t k,
                                                const Filter* filter) const {
  if (auto ok = check_dimension(query.size()); !ok) return fail(std::move(ok).error());
  // Twice k are carried to the id mapping, which drops replaced versions before the cut to k.
  const std::uint64_t wanted = 2 * k;
  Result<std::vector<Candidate>> nearest = [&] {
    const VectorStorageView view = storage_.view();
    QueryDistances distance_to_query(view, query, config_.distance_metric);
    if (filter == nullptr) {
      return index_.search(distance_to_query, wanted,
                           [&](InternalId id) { return !view.is_deleted(id); });
    }
    return index_.search(distance_to_query, wanted, [&](InternalId id) {
      const Json* metadata = view.metadata(id);
      return metadata != nullptr && matches(*filter, *metadata) && !view.is_deleted(id);
    });
  }();
  if (!nearest) return fail(std::move(nearest).error());
  return live_hits(*nearest, k);
}

// Maps internal ids to the caller's ids, skipping versions that were replaced since, up to k.
std::vector<SearchHit> VectorDb::live_hits(std::span<const Candidate> nearest,
                                           std::uint64_t k) const {
  std::vector<SearchHit> hits;
  for (const Candidate& candidate : nearest) {
    if (hits.size() >= k) break;
    std::optional<VectorId> external = storage_.get_external_id(candidate.id);
    if (!external || storage_.get_internal_id(external->str()) != candidate.id) continue;
    hits.push_back({std::move(*external), candidate.distance, storage_.get_metadata(candidate.id)});
  }
  return hits;
}

}  // namespace vexradb
