#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <variant>
#include <vector>

#include "converters.hpp"
#include "engine.hpp"
#include "persistent.hpp"
#include "shared_record.hpp"

namespace vexradb::ffi {

// The engine a client drives, chosen when the client is built.
using DbInner = std::variant<std::unique_ptr<VectorDb>, std::unique_ptr<QuantizedVectorDb>,
                             std::unique_ptr<PersistentVectorDb>>;

// The object a foreign program holds through a handle: one engine behind one read-write lock.
//
// Methods that read (get, list, len, is_empty, search, stats) share the lock; methods that write
// (insert, upsert, upsert_batch, remove, sync, checkpoint) hold it exclusively for their engine
// call. Metadata parsing and filter conversion happen before the lock is taken; callers encode
// results after the method returned, with the lock released. Any thread may call any method.
class VexraClient {
 public:
  // An in-memory full-precision engine of `dimensions` under the cosine metric.
  static VexraClient new_in_memory(std::uint32_t dimensions);
  // The engine `config` describes: the durable engine on the directory `path` (created as
  // needed, recovered from what it holds), or in memory at full precision or quantized (SQ8
  // searched through a graph, binary by scanning; `path` is not used).
  static Outcome<VexraClient> open(const std::string& path, ClientConfig config);

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
  Outcome<std::vector<SearchResult>> search(const std::vector<float>& query, std::uint32_t k,
                                            const std::optional<SearchFilter>& filter) const;
  ClientStats stats() const;
  Outcome<void> sync();
  Outcome<void> checkpoint();

 private:
  struct Engine {
    mutable std::shared_mutex lock;
    DbInner inner;
  };

  VexraClient(DbInner inner, ClientConfig config);
  static Outcome<VexraClient> open_persistent(const std::string& path, ClientConfig config);
  Outcome<void> store(std::string id, std::vector<float> vector,
                      std::optional<std::string> metadata_json, bool allow_overwrite);

  std::shared_ptr<Engine> engine_;
  ClientConfig config_;  // as built; operations read dimension and metric from the engine
};

using ClientRecord = SharedRecord<VexraClient>;

}  // namespace vexradb::ffi
