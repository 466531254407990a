#include "client.hpp"

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <utility>

#include "base/worker_pool.hpp"

namespace vexradb::ffi {
namespace {

Outcome<void> from_status(const Status& status) {
  if (!status) return tl::unexpected(to_vexra_error(status.error()));
  return {};
}

// Bytes per live vector counted by the statistics on top of the floats and the graph.
constexpr std::uint64_t kBytesPerLiveVector = 132;

// The statistics of each engine kind.
ClientStats stats_of(const VectorDb& db) {
  const std::uint64_t live = db.len();
  return ClientStats{live, static_cast<std::uint32_t>(db.config().dimensions),
                     db.index().memory_usage() + kBytesPerLiveVector * live +
                         sizeof(float) * db.storage().float_count(),
                     1.0f};
}

ClientStats stats_of(const QuantizedVectorDb& db) {
  // The ratio compares the versions the store holds with their full-precision size; the count
  // is len(), which also counts the versions compactions dropped.
  const std::uint64_t held = db.version_count();
  const std::uint64_t dimensions = db.config().dimensions;
  const std::uint64_t store_bytes = db.storage().memory_usage();
  const std::uint64_t index_bytes = db.index() != nullptr ? db.index()->memory_usage() : 0;
  const float ratio = held > 0 && store_bytes > 0 ? static_cast<float>(held * dimensions * 4) /
                                                        static_cast<float>(store_bytes)
                                                  : 1.0f;
  return ClientStats{db.len(), static_cast<std::uint32_t>(dimensions), store_bytes + index_bytes,
                     ratio};
}

// The durable engine counts its memory as the in-memory engine it keeps, and its live vectors;
// the quantized one also counts the ids and metadata of its catalogue, as full precision does.
template <class Engine>
ClientStats stats_of(const PersistentDb<Engine>& db) {
  ClientStats stats = stats_of(db.memory());
  stats.vector_count = db.len();
  if constexpr (std::is_same_v<Engine, QuantizedVectorDb>)
    stats.memory_usage_bytes += kBytesPerLiveVector * stats.vector_count;
  return stats;
}

// The statistics with the memory of the keyword index, if any, added.
template <class Db>
const IdCatalog& catalog_of(const Db& db) {
  return db.storage().catalog();
}
template <class Engine>
const IdCatalog& catalog_of(const PersistentDb<Engine>& db) {
  return catalog_of(db.memory());
}
template <class Db>
ClientStats with_text_index(ClientStats stats, const Db& db) {
  const TextIndex* text = catalog_of(db).text_index();
  if (text != nullptr) stats.memory_usage_bytes += text->memory_usage();
  return stats;
}

// Removal reports whether a live vector went; only the durable engine can fail at it.
Outcome<bool> removed(bool was_live) { return was_live; }
Outcome<bool> removed(Result<bool> was_live) {
  if (!was_live) return tl::unexpected(to_vexra_error(was_live.error()));
  return *was_live;
}

// What sync and checkpoint do on each engine: in memory there is nothing to make durable.
enum class DurableCall { Sync, Checkpoint };
template <class Db>
Outcome<void> durable_call(Db&, DurableCall) {
  return {};
}
template <class Engine>
Outcome<void> durable_call(PersistentDb<Engine>& db, DurableCall call) {
  return from_status(call == DurableCall::Sync ? db.sync() : db.checkpoint());
}

// In-memory engines give the space of replaced and deleted versions back once they pile up (see
// reclaim_space); the durable engine does at its checkpoints. A reclaim that fails leaves the
// engine as it was, and the change that owed it has succeeded all the same: it is tried again
// after the next change.
template <class Db>
Status reclaim(std::unique_ptr<Db>& db, bool force) {
  return reclaim_space(db, force);
}
template <class Engine>
Status reclaim(std::unique_ptr<PersistentDb<Engine>>&, bool) {
  return {};
}

template <class Db>
Status upsert_batch_into(std::unique_ptr<Db>& db, std::vector<BatchEntry> entries) {
  return upsert_batch_reclaiming(db, std::move(entries));
}
template <class Engine>
Status upsert_batch_into(std::unique_ptr<PersistentDb<Engine>>& db,
                         std::vector<BatchEntry> entries) {
  return db->upsert_batch(std::move(entries));
}

template <class Db, class Done>
Done reclaimed_after(std::unique_ptr<Db>& db, Done done) {
  if (done) (void)reclaim(db, false);
  return done;
}

// A writer's hold: its turn among writers, then the engine to itself.
class VEXRA_SCOPED_CAPABILITY ChangeLock {
 public:
  ChangeLock(std::mutex& turn, FairSharedMutex& lock) VEXRA_ACQUIRE(lock)
      : turn_(turn), lock_(lock) {
    turn_.lock();
    lock_.lock();
  }
  ~ChangeLock() VEXRA_RELEASE() {
    lock_.unlock();
    turn_.unlock();
  }
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;

 private:
  std::mutex& turn_;
  FairSharedMutex& lock_;
};

}  // namespace

// Checkpoints let readers in through the client's lock while they write the snapshot.
template <class Db>
void set_reader_gate(Db&, ReaderGate&) {}
template <class Engine>
void set_reader_gate(PersistentDb<Engine>& db, ReaderGate& gate) {
  db.set_reader_gate(&gate);
}

// The engine of a quantized client.
Config quantized_engine(Config engine, const ClientConfig& config, const ClientOptions& options) {
  engine.quantization = config.quantization;
  engine.rescore = options.rescore;
  engine.oversampling =
      options.oversampling != 0 ? options.oversampling : default_oversampling(config.quantization);
  return engine;
}

VexraClient::Engine::Engine(DbInner engine) : inner(std::move(engine)) {
  std::visit([&](auto& db) { set_reader_gate(*db, *this); }, inner);
}

VexraClient::VexraClient(DbInner inner, ClientConfig config)
    : engine_(std::make_shared<Engine>(std::move(inner))), config_(std::move(config)) {}

VexraClient VexraClient::new_in_memory(std::uint32_t dimensions) {
  ClientConfig client_config;
  client_config.dimensions = dimensions;
  return open("", std::move(client_config)).value();
}

template <class Engine>
Outcome<DbInner> open_durable(const std::string& path, const PersistentConfig& config) {
  Result<std::unique_ptr<PersistentDb<Engine>>> db = PersistentDb<Engine>::open(path, config);
  if (!db) return tl::unexpected(to_vexra_error(db.error()));
  return DbInner(std::move(*db));
}

Outcome<VexraClient> VexraClient::open_persistent(const std::string& path, ClientConfig config,
                                                  const ClientOptions& options) {
  PersistentConfig persistent;
  persistent.engine.dimensions = config.dimensions;
  persistent.engine.distance_metric = config.distance_metric;
  const bool quantized = options.durable_quantization && config.quantization != Quantization::None;
  if (quantized) persistent.engine = quantized_engine(persistent.engine, config, options);
  Outcome<DbInner> db = quantized ? open_durable<QuantizedVectorDb>(path, persistent)
                                  : open_durable<VectorDb>(path, persistent);
  if (!db) return tl::unexpected(std::move(db).error());
  return VexraClient(std::move(*db), std::move(config));
}

Outcome<VexraClient> VexraClient::open(const std::string& path, ClientConfig config,
                                       const ClientOptions& options) {
  if (config.persistent) return open_persistent(path, std::move(config), options);
  Config engine;
  engine.dimensions = config.dimensions;
  engine.distance_metric = config.distance_metric;
  if (config.quantization == Quantization::None) {
    return VexraClient(std::make_unique<VectorDb>(engine), std::move(config));
  }
  // Rescoring needs the full-precision vectors: in memory, those are kept beside the codes.
  const bool with_index = config.quantization == Quantization::SQ8;
  const Originals originals = options.rescore ? Originals::InMemory : Originals::None;
  return VexraClient(std::make_unique<QuantizedVectorDb>(quantized_engine(engine, config, options),
                                                         with_index, originals),
                     std::move(config));
}

Outcome<void> VexraClient::store(std::string id, std::vector<float> vector,
                                 std::optional<std::string> metadata_json, bool allow_overwrite) {
  Outcome<std::optional<Json>> metadata = parse_metadata(metadata_json);
  if (!metadata) return tl::unexpected(std::move(metadata).error());
  const VectorId vector_id(std::move(id));
  ChangeLock lock(engine_->writer_turn, engine_->lock);
  return std::visit(
      [&](auto& db) {
        if (!allow_overwrite)
          return from_status(db->insert(vector_id, vector, std::move(*metadata)));
        return reclaimed_after(db,
                               from_status(db->upsert(vector_id, vector, std::move(*metadata))));
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
  ChangeLock lock(engine_->writer_turn, engine_->lock);
  return std::visit([&](auto& db) { return from_status(upsert_batch_into(db, std::move(batch))); },
                    engine_->inner);
}

Outcome<std::optional<VectorEntry>> VexraClient::get(const std::string& id) const {
  ReaderLock lock(engine_->lock);
  return std::visit(
      [&](const auto& db) -> Outcome<std::optional<VectorEntry>> {
        Result<std::optional<StoredVector>> stored = db->get(id);
        if (!stored) return tl::unexpected(to_vexra_error(stored.error()));
        if (!*stored) return std::optional<VectorEntry>();
        return VectorEntry{id, std::move((*stored)->vector), metadata_text((*stored)->metadata)};
      },
      engine_->inner);
}

Outcome<bool> VexraClient::remove(const std::string& id) {
  ChangeLock lock(engine_->writer_turn, engine_->lock);
  return std::visit([&](auto& db) { return reclaimed_after(db, removed(db->remove(id))); },
                    engine_->inner);
}

std::vector<std::string> VexraClient::list(std::uint32_t offset, std::uint32_t limit) const {
  ReaderLock lock(engine_->lock);
  return std::visit(
      [&](const auto& db) {
        std::vector<std::string> ids;
        for (ListItem& item : db->list(offset, limit)) ids.push_back(item.id.str());
        return ids;
      },
      engine_->inner);
}

std::uint64_t VexraClient::len() const {
  ReaderLock lock(engine_->lock);
  return std::visit([](const auto& db) -> std::uint64_t { return db->len(); }, engine_->inner);
}

Result<std::vector<SearchHit>> VexraClient::engine_search(std::span<const float> query,
                                                          std::uint32_t k,
                                                          const Filter* filter) const {
  ReaderLock lock(engine_->lock);
  return std::visit([&](const auto& db) { return db->search(query, k, filter); }, engine_->inner);
}

namespace {

std::vector<SearchResult> results_of(std::vector<SearchHit> hits, bool with_metadata) {
  std::vector<SearchResult> results;
  results.reserve(hits.size());
  for (SearchHit& hit : hits) {
    results.push_back(
        {hit.id.str(), hit.distance, with_metadata ? metadata_text(hit.metadata) : std::nullopt});
  }
  return results;
}

}  // namespace

// Results are encoded after the lock is released.
Outcome<std::vector<SearchResult>> VexraClient::search(std::span<const float> query,
                                                       std::uint32_t k,
                                                       const Filter* filter) const {
  Result<std::vector<SearchHit>> found = engine_search(query, k, filter);
  if (!found) return tl::unexpected(to_vexra_error(found.error()));
  return results_of(std::move(*found), true);
}

// Each search takes the readers' lock on its own, as a loop of single searches would, so a batch
// never holds a writer back for longer than one search.
Outcome<BatchAnswers> VexraClient::search_batch(std::span<const float> queries, std::size_t count,
                                                std::uint32_t k, const Filter* filter,
                                                std::uint32_t threads, bool with_metadata) const {
  const std::size_t row = count == 0 ? 0 : queries.size() / count;
  BatchAnswers answers;
  answers.width = std::min<std::uint64_t>(k, len());
  answers.hits.resize(count);
  std::vector<std::optional<Error>> failures(count);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  const std::size_t pool = WorkerPool::process_wide().threads();
  const std::size_t lanes = std::min<std::size_t>(count, threads == 0 ? pool : threads);
  // Lanes take the next query as they finish one, so uneven queries keep every thread busy.
  parallel_for(lanes, [&](std::size_t) {
    for (std::size_t q; !failed.load(std::memory_order_relaxed) && (q = next++) < count;) {
      Result<std::vector<SearchHit>> found =
          engine_search(queries.subspan(q * row, row), k, filter);
      if (!found) {
        failures[q] = std::move(found).error();
        failed = true;
        continue;
      }
      answers.hits[q] = results_of(std::move(*found), with_metadata);
    }
  });
  for (const std::optional<Error>& failure : failures) {
    if (failure) return tl::unexpected(to_vexra_error(*failure));
  }
  for (const std::vector<SearchResult>& hits : answers.hits)
    answers.width = std::max(answers.width, hits.size());
  return answers;
}

ClientStats VexraClient::stats() const {
  ReaderLock lock(engine_->lock);
  return std::visit([](const auto& db) { return with_text_index(stats_of(*db), *db); },
                    engine_->inner);
}

Outcome<void> VexraClient::sync() {
  ChangeLock lock(engine_->writer_turn, engine_->lock);
  return std::visit([](auto& db) { return durable_call(*db, DurableCall::Sync); }, engine_->inner);
}

Outcome<void> VexraClient::checkpoint() {
  ChangeLock lock(engine_->writer_turn, engine_->lock);
  return std::visit(
      [](auto& db) {
        // In memory there is nothing to make durable; the space of removed versions is reclaimed.
        if (auto ok = reclaim(db, true); !ok) return from_status(std::move(ok));
        return durable_call(*db, DurableCall::Checkpoint);
      },
      engine_->inner);
}

Outcome<void> VexraClient::set_text_index(const TextIndexOptions& options) {
  ChangeLock lock(engine_->writer_turn, engine_->lock);
  return std::visit([&](auto& db) { return from_status(db->index_text(options)); }, engine_->inner);
}

namespace {

template <class T>
Outcome<T> outcome_of(Result<T> result) {
  if (!result) return tl::unexpected(to_vexra_error(result.error()));
  return std::move(*result);
}

}  // namespace

Outcome<std::vector<TextHit>> VexraClient::text_search(std::string_view text, std::uint32_t k,
                                                       const Filter* filter) const {
  ReaderLock lock(engine_->lock);
  return std::visit([&](const auto& db) { return outcome_of(db->text_search(text, k, filter)); },
                    engine_->inner);
}

Outcome<std::vector<HybridHit>> VexraClient::hybrid_search(std::span<const float> query,
                                                           std::string_view text, std::uint32_t k,
                                                           const Filter* filter,
                                                           const FusionOptions& fusion) const {
  ReaderLock lock(engine_->lock);
  return std::visit(
      [&](const auto& db) {
        return outcome_of(vexradb::hybrid_search(*db, query, text, k, filter, fusion));
      },
      engine_->inner);
}

}  // namespace vexradb::ffi
