#include "client.hpp"

#include <mutex>
#include <utility>

namespace vexradb::ffi {
namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

Outcome<void> from_status(const Status& status) {
  if (!status) return tl::unexpected(to_vexra_error(status.error()));
  return {};
}

// Bytes per live vector counted by the statistics on top of the floats and the graph.
constexpr std::uint64_t kBytesPerLiveVector = 132;

}  // namespace

VexraClient::VexraClient(DbInner inner, ClientConfig config)
    : engine_(std::make_shared<Engine>()), config_(std::move(config)) {
  engine_->inner = std::move(inner);
}

VexraClient VexraClient::new_in_memory(std::uint32_t dimensions) {
  Config config;
  config.dimensions = dimensions;
  config.distance_metric = DistanceMetric::Cosine;
  ClientConfig client_config;
  client_config.dimensions = dimensions;
  return VexraClient(std::make_unique<VectorDb>(config), std::move(client_config));
}

Outcome<void> VexraClient::store(std::string id, std::vector<float> vector,
                                 std::optional<std::string> metadata_json, bool allow_overwrite) {
  Outcome<std::optional<Json>> metadata = parse_metadata(metadata_json);
  if (!metadata) return tl::unexpected(std::move(metadata).error());
  const VectorId vector_id(std::move(id));
  WriteLock lock(engine_->lock);
  return std::visit(
      [&](std::unique_ptr<VectorDb>& db) {
        return from_status(allow_overwrite ? db->upsert(vector_id, vector, std::move(*metadata))
                                           : db->insert(vector_id, vector, std::move(*metadata)));
      },
      engine_->inner);
}

Outcome<void> VexraClient::insert(std::string id, std::vector<float> vector,
                                  std::optional<std::string> metadata_json) {
  return store(std::move(id), std::move(vector), std::move(metadata_json), false);
}

Outcome<void> VexraClient::upsert(std::string id, std::vector<float> vector,
                                  std::optional<std::string> metadata_json) {
  return store(std::move(id), std::move(vector), std::move(metadata_json), true);
}

Outcome<void> VexraClient::upsert_batch(std::vector<VectorEntry> entries) {
  std::vector<BatchEntry> batch;
  batch.reserve(entries.size());
  for (VectorEntry& entry : entries) {
    Outcome<std::optional<Json>> metadata = parse_metadata(entry.metadata_json);
    if (!metadata) return tl::unexpected(std::move(metadata).error());
    batch.push_back({VectorId(std::move(entry.id)), std::move(entry.vector), std::move(*metadata)});
  }
  WriteLock lock(engine_->lock);
  return std::visit(
      [&](std::unique_ptr<VectorDb>& db) {
        return from_status(db->upsert_batch(std::move(batch)));
      },
      engine_->inner);
}

Outcome<std::optional<VectorEntry>> VexraClient::get(const std::string& id) const {
  ReadLock lock(engine_->lock);
  return std::visit(
      [&](const std::unique_ptr<VectorDb>& db) -> Outcome<std::optional<VectorEntry>> {
        Result<std::optional<StoredVector>> stored = db->get(id);
        if (!stored) return tl::unexpected(to_vexra_error(stored.error()));
        if (!*stored) return std::optional<VectorEntry>();
        return VectorEntry{id, std::move((*stored)->vector), metadata_text((*stored)->metadata)};
      },
      engine_->inner);
}

Outcome<bool> VexraClient::remove(const std::string& id) {
  WriteLock lock(engine_->lock);
  return std::visit([&](std::unique_ptr<VectorDb>& db) { return db->remove(id); }, engine_->inner);
}

std::vector<std::string> VexraClient::list(std::uint32_t offset, std::uint32_t limit) const {
  ReadLock lock(engine_->lock);
  return std::visit(
      [&](const std::unique_ptr<VectorDb>& db) {
        std::vector<std::string> ids;
        for (ListItem& item : db->list(offset, limit)) ids.push_back(item.id.str());
        return ids;
      },
      engine_->inner);
}

std::uint64_t VexraClient::len() const {
  ReadLock lock(engine_->lock);
  return std::visit([](const std::unique_ptr<VectorDb>& db) -> std::uint64_t { return db->len(); },
                    engine_->inner);
}

Outcome<std::vector<SearchResult>> VexraClient::search(
    const std::vector<float>& query, std::uint32_t k,
    const std::optional<SearchFilter>& filter) const {
  std::optional<Filter> core_filter;
  if (filter) {
    Outcome<Filter> converted = to_core_filter(*filter);
    if (!converted) return tl::unexpected(std::move(converted).error());
    core_filter = std::move(*converted);
  }
  std::vector<SearchHit> hits;
  {
    ReadLock lock(engine_->lock);
    Result<std::vector<SearchHit>> found = std::visit(
        [&](const std::unique_ptr<VectorDb>& db) {
          return db->search(query, k, core_filter ? &*core_filter : nullptr);
        },
        engine_->inner);
    if (!found) return tl::unexpected(to_vexra_error(found.error()));
    hits = std::move(*found);
  }
  std::vector<SearchResult> results;
  results.reserve(hits.size());
  for (SearchHit& hit : hits) {
    results.push_back({hit.id.str(), hit.distance, metadata_text(hit.metadata)});
  }
  return results;
}

ClientStats VexraClient::stats() const {
  ReadLock lock(engine_->lock);
  return std::visit(
      [](const std::unique_ptr<VectorDb>& db) {
        const std::uint64_t live = db->len();
        return ClientStats{live, static_cast<std::uint32_t>(db->config().dimensions),
                           db->index().memory_usage() + kBytesPerLiveVector * live +
                               sizeof(float) * db->storage().float_count(),
                           1.0f};
      },
      engine_->inner);
}

Outcome<void> VexraClient::sync() {
  WriteLock lock(engine_->lock);
  return std::visit([](std::unique_ptr<VectorDb>&) -> Outcome<void> { return {}; }, engine_->inner);
}

Outcome<void> VexraClient::checkpoint() {
  WriteLock lock(engine_->lock);
  return std::visit([](std::unique_ptr<VectorDb>&) -> Outcome<void> { return {}; }, engine_->inner);
}

}  // namespace vexradb::ffi
