#pragma once

// The workload of the crash test: an endless stream of changes to a durable engine. Operation i
// is a pure function of (seed, i), never of the database's state, so that the process that runs
// the stream and the test that inspects the directory after killing it agree on every operation
// without talking to each other beyond "operation i returned".

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "durable/persistent.hpp"
#include "metadata/json.hpp"

namespace vexradb::crash {

inline constexpr std::size_t kDimensions = 16;
// The stream opens with this many plain inserts, so that checkpoints have enough to write to
// take measurable time.
inline constexpr std::uint64_t kPreloadOps = 2000;
// Far below the default, so that changes also run checkpoints of their own (besides the ones the
// stream asks for), and kills land inside those too.
inline constexpr std::uint64_t kMaxWalSize = 8 << 10;

inline PersistentConfig workload_config() {
  PersistentConfig config;
  config.engine.dimensions = kDimensions;
  config.engine.distance_metric = DistanceMetric::Euclidean;
  config.max_wal_size = kMaxWalSize;
  return config;
}

enum class OpKind { Insert, Upsert, Remove, UpsertBatch, Checkpoint };

inline std::string_view name_of(OpKind kind) {
  switch (kind) {
    case OpKind::Insert:
      return "insert";
    case OpKind::Upsert:
      return "upsert";
    case OpKind::Remove:
      return "remove";
    case OpKind::UpsertBatch:
      return "batch upsert";
    case OpKind::Checkpoint:
      return "checkpoint";
  }
  return "unknown";
}

struct Op {
  std::uint64_t index;
  OpKind kind;
  std::vector<BatchEntry> entries;  // what Insert, Upsert and UpsertBatch write, in order
  std::string removed;              // the id Remove deletes
};

inline std::string id_of(std::uint64_t index) {
  std::string id = "v";
  return id += std::to_string(index);
}

namespace detail {

// Every draw of one operation comes from a generator seeded by (seed, index) alone.
class OpRandom {
 public:
  OpRandom(std::uint64_t seed, std::uint64_t index) {
    std::seed_seq words{seed & 0xFFFFFFFFu, seed >> 32, index & 0xFFFFFFFFu, index >> 32};
    engine_.seed(words);
  }

  std::uint64_t below(std::uint64_t bound) {
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(engine_);
  }
  std::vector<float> vector() {
    std::uniform_real_distribution<float> component(-1.0f, 1.0f);
    std::vector<float> v(kDimensions);
    for (float& x : v) x = component(engine_);
    return v;
  }

 private:
  std::mt19937_64 engine_;
};

// Some vectors carry no metadata, so that its absence survives recovery too.
inline std::optional<Json> metadata_for(std::uint64_t index, std::size_t entry) {
  if ((index + entry) % 4 == 0) return std::nullopt;
  return Json{{"op", index}, {"entry", entry}, {"tag", "t" + std::to_string(index % 7)}};
}

inline BatchEntry write_of(std::string id, std::uint64_t index, std::size_t entry,
                           OpRandom& random) {
  return BatchEntry{VectorId(std::move(id)), random.vector(), metadata_for(index, entry)};
}

// A few distinct ids named by earlier operations, so that a crash inside the batch leaves a
// prefix that can be told apart from every other one.
inline std::vector<std::uint64_t> distinct_targets(std::uint64_t index, OpRandom& random) {
  const std::size_t count = 2 + random.below(5);
  std::vector<std::uint64_t> targets;
  while (targets.size() < count) {
    const std::uint64_t target = random.below(index);
    if (std::find(targets.begin(), targets.end(), target) == targets.end())
      targets.push_back(target);
  }
  return targets;
}

}  // namespace detail

// Operation `index` of the stream `seed`. Only ids "v<j>" with j <= index are named, and "v<i>"
// is named first by operation i, which inserts it when it is an insert: inserts never collide.
inline Op make_op(std::uint64_t seed, std::uint64_t index) {
  detail::OpRandom random(seed, index);
  Op op{index, OpKind::Insert, {}, {}};
  if (index < kPreloadOps) {
    op.entries.push_back(detail::write_of(id_of(index), index, 0, random));
    return op;
  }
  if (random.below(60) == 0) {
    op.kind = OpKind::Checkpoint;
    return op;
  }
  const std::uint64_t roll = random.below(100);
  if (roll < 40) {
    op.entries.push_back(detail::write_of(id_of(index), index, 0, random));
  } else if (roll < 65) {
    op.kind = OpKind::Upsert;
    op.entries.push_back(detail::write_of(id_of(random.below(index)), index, 0, random));
  } else if (roll < 85) {
    op.kind = OpKind::Remove;
    op.removed = id_of(random.below(index));
  } else {
    op.kind = OpKind::UpsertBatch;
    const std::vector<std::uint64_t> targets = detail::distinct_targets(index, random);
    for (std::size_t k = 0; k < targets.size(); ++k)
      op.entries.push_back(detail::write_of(id_of(targets[k]), index, k, random));
  }
  return op;
}

// Runs `op` on the engine. Every operation of the stream is valid, so any error is a fault.
inline Status apply_op(PersistentVectorDb& db, Op op) {
  switch (op.kind) {
    case OpKind::Insert: {
      BatchEntry& e = op.entries.front();
      return db.insert(e.id, e.vector, std::move(e.metadata));
    }
    case OpKind::Upsert: {
      BatchEntry& e = op.entries.front();
      return db.upsert(e.id, e.vector, std::move(e.metadata));
    }
    case OpKind::Remove: {
      Result<bool> removed = db.remove(op.removed);
      if (!removed) return fail(std::move(removed).error());
      return {};
    }
    case OpKind::UpsertBatch:
      return db.upsert_batch(std::move(op.entries));
    case OpKind::Checkpoint:
      return db.checkpoint();
  }
  return {};
}

}  // namespace vexradb::crash
