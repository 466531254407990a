#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/fair_shared_mutex.hpp"
#include "converters.hpp"
#include "durable/persistent.hpp"
#include "engine/engine.hpp"
#include "engine/hybrid_search.hpp"
#include "shared_record.hpp"

namespace vexradb::ffi {

// The engine a client drives, chosen when the client is built.
using DbInner =
    std::variant<std::unique_ptr<VectorDb>, std::unique_ptr<QuantizedVectorDb>,
                 std::unique_ptr<PersistentVectorDb>, std::unique_ptr<PersistentQuantizedDb>>;

// What the extension's open adds to the exported configuration.
struct ClientOptions {
  // The configuration's quantization also applies to a persistent client (a durable quantized
  // client); the exported open keeps every persistent client at full precision.
  bool durable_quantization = false;
  // Quantized clients re-rank oversampling x k candidates by exact distance; in-memory ones
  // then also keep the full-precision vectors in memory. Without it, results are those of the
  // codes alone.
  bool rescore = false;
  std::uint64_t oversampling = 0;  // 0: the engine's default (default_oversampling)
};

// The object a foreign program holds through a handle: one engine behind one read-write lock.
//
// Methods that read (get, list, len, is_empty, search, stats) share the lock; methods that write
// (insert, upsert, upsert_batch, remove, sync, checkpoint) take their turn among writers and
// hold the lock exclusively for their engine call, with one exception: while a checkpoint of
// the durable engine compacts it and writes the snapshot, it lets readers back in (its writer
// keeps its turn, so no other change starts) and takes the lock back to install the result. A
// writer that waits gets in once the readers already inside leave: readers that arrive after it
// wait their turn, so no stream of searches can hold writes back. Metadata parsing and filter
// conversion happen before the lock is taken; callers encode results after the method returned,
// with the lock released. Any thread may call any method.
class VexraClient {
 public:
  // An in-memory full-precision engine of `dimensions` under the cosine metric.
  static VexraClient new_in_memory(std::uint32_t dimensions);
  // The engine `config` describes: the durable engine on the directory `path` (created as
  // needed, recovered from what it holds), or in memory at full precision or quantized (SQ8
  // searched through a graph, binary by scanning; `path` is not used).
  static Outcome<VexraClient> open(const std::string& path, ClientConfig config,
                                   const ClientOptions& options = {});

  const ClientConfig& config() const noexcept { return config_; }

  Outcome<void> insert(std::string id, std::vector<float> vector,
                       std::optional<std::string> metadata_json);
  Outcome<void> upsert(std::string id, std::vector<float> vector,
                       std::optional<std::string> metadata_json);
  Outcome<void> upsert_batch(std::vector<VectorEntry> entries);
  Outcome<std::optional<VectorEntry>> get(const std::string& id) const;
  // Whether a live vector was removed.
  Outcome<bool> remove(const std::string& id);
  std::vector<std::string> list(std::uint32_t offset, std::uint32_t limit) const;
  std::uint64_t len() const;
  bool is_empty() const { return len() == 0; }
  // The k nearest live vectors that pass `filter` (when given), with their metadata.
  Outcome<std::vector<SearchResult>> search(std::span<const float> query, std::uint32_t k,
                                            const Filter* filter) const;
  // Searches the `count` queries laid end to end in `queries` (each a row of the same length) on
  // up to `threads` threads of the worker pool, the calling thread among them (0: every thread
  // of the pool); each query is the search above, with metadata only when asked for. The first
  // failing query's error (in query order) fails the batch.
  Outcome<BatchAnswers> search_batch(std::span<const float> queries, std::size_t count,
                                     std::uint32_t k, const Filter* filter, std::uint32_t threads,
                                     bool with_metadata) const;
  ClientStats stats() const;
  Outcome<void> sync();
  Outcome<void> checkpoint();

  // Keyword search. set_text_index builds the keyword index over what the client holds (an
  // exclusive change) and keeps it from then on; nothing of it is stored, so a reopened durable
  // client needs it again. The searches admit only what `filter` passes, when given.
  Outcome<void> set_text_index(const TextIndexOptions& options);
  Outcome<std::vector<TextHit>> text_search(std::string_view text, std::uint32_t k,
                                            const Filter* filter) const;
  Outcome<std::vector<HybridHit>> hybrid_search(std::span<const float> query, std::string_view text,
                                                std::uint32_t k, const Filter* filter,
                                                const FusionOptions& fusion) const;

 private:
  struct Engine final : ReaderGate {
    explicit Engine(DbInner engine);
    void allow_readers() override VEXRA_RELEASE(lock) { lock.unlock(); }
    void exclude_readers() override VEXRA_ACQUIRE(lock) { lock.lock(); }

    std::mutex writer_turn;  // held by every writer for its whole call, before the lock
    mutable FairSharedMutex lock;
    DbInner inner VEXRA_GUARDED_BY(lock);
  };

  VexraClient(DbInner inner, ClientConfig config);
  static Outcome<VexraClient> open_persistent(const std::string& path, ClientConfig config,
                                              const ClientOptions& options);
  Outcome<void> store(std::string id, std::vector<float> vector,
                      std::optional<std::string> metadata_json, bool allow_overwrite);
  // One search under the readers' lock, the hits as the engine gives them.
  Result<std::vector<SearchHit>> engine_search(std::span<const float> query, std::uint32_t k,
                                               const Filter* filter) const;

  std::shared_ptr<Engine> engine_;
  ClientConfig config_;  // as built; operations read dimension and metric from the engine
};

using ClientRecord = SharedRecord<VexraClient>;

}  // namespace vexradb::ffi
