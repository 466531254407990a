#pragma once

// graph/: the HNSW graph: adjacency lists, insertion (one at a time and in parallel batches),
// the search walk, and the graph's image as snapshots store it. It knows vectors only through
// the distance callback its caller gives. May use: base/.

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/config.hpp"
#include "base/error.hpp"
#include "base/types.hpp"
#include "graph/adjacency.hpp"

namespace vexradb {

// Stands in for the distance of a walk's entry node when the storage has none.
inline constexpr float kMissingDistance = 3.4028235e38f;

// A node id with its distance to the current query. Candidates are ordered by distance alone;
// a NaN distance compares equal to everything.
struct Candidate {
  InternalId id;
  float distance;
};

struct HnswNode {
  InternalId id;                                   // equal to the node's position in the graph
  std::uint64_t level;                             // the node exists on layers 0..level
  std::vector<std::vector<InternalId>> neighbors;  // one adjacency list per layer
};

// One vector of a batch insertion, borrowed for the duration of the call.
struct BatchItem {
  InternalId id;
  std::span<const float> vector;
};

// What the graph asks of the store holding its vectors. Every answer must also be given for
// deleted ids, so that the graph keeps routing through tombstones.
//  - distance(id, query, metric): the metric's distance from `query` to the stored vector of id,
//    or nothing when no vector is stored for it;
//  - get_vector_data(id): the stored vector (anything that converts to a float span), or nothing;
//  - is_deleted(id): whether id is a tombstone.
template <class S>
concept VectorStorageTrait = requires(const S& storage, InternalId id, std::span<const float> query,
                                      DistanceMetric metric) {
  { storage.distance(id, query, metric) } -> std::same_as<std::optional<float>>;
  {storage.get_vector_data(id)};
  { storage.is_deleted(id) } -> std::convertible_to<bool>;
};

// The distances from one query vector to stored vectors, as the graph walks consume them:
// `(*this)(id)` scores one node, `score_all(ids, out)` a whole neighbour list at once, through
// the store's batched form `distances(ids, query, metric, out)` where it has one (several stored
// vectors per pass keep the multiply-add units busy; one exact distance is latency-bound), given
// a cache of the query's own terms where the store takes one.
template <VectorStorageTrait S>
class QueryDistances {
 public:
  QueryDistances(const S& storage, std::span<const float> query, DistanceMetric metric)
      : storage_(storage), query_(query), metric_(metric) {}

  // The distances from stored node `id`, whose stored vector `vector` is. A store that keeps the
  // squared norm of each vector (computed as a query's is) gives it here, so that scoring from a
  // node does not compute it again: building a cosine graph scores from a node for every
  // candidate it weighs.
  static QueryDistances from_node(const S& storage, InternalId id, std::span<const float> vector,
                                  DistanceMetric metric) {
    QueryDistances distances(storage, vector, metric);
    if constexpr (requires { storage.squared_norm(id); }) {
      distances.query_norm_ = storage.squared_norm(id);
    }
    return distances;
  }

  std::optional<float> operator()(InternalId id) const {
    return storage_.distance(id, query_, metric_);
  }

  void score_all(std::span<const InternalId> ids, std::span<std::optional<float>> out) const {
    if constexpr (requires { storage_.distances(ids, query_, metric_, out, query_norm_); }) {
      storage_.distances(ids, query_, metric_, out, query_norm_);
    } else if constexpr (requires { storage_.distances(ids, query_, metric_, out); }) {
      storage_.distances(ids, query_, metric_, out);
    } else {
      for (std::size_t i = 0; i < ids.size(); ++i) out[i] = (*this)(ids[i]);
    }
  }

 private:
  const S& storage_;
  std::span<const float> query_;
  DistanceMetric metric_;
  mutable std::optional<float> query_norm_;  // filled by the store on first use
};

namespace hnsw_detail {

template <class Vector>
std::span<const float> as_span(const Vector& vector) {
  return std::span<const float>(vector);
}

// out[i] = distance_to_query(ids[i]), in one batch when the scorer offers one. `out` holds at
// least ids.size() entries.
template <class Distance>
void score_all(Distance& distance_to_query, std::span<const InternalId> ids,
               std::span<std::optional<float>> out) {
  out = out.first(ids.size());
  if constexpr (requires { distance_to_query.score_all(ids, out); }) {
    distance_to_query.score_all(ids, out);
  } else {
    for (std::size_t i = 0; i < ids.size(); ++i) out[i] = distance_to_query(ids[i]);
  }
}

}  // namespace hnsw_detail

// Per-thread marks of the nodes one walk has visited, reused from walk to walk: clearing costs
// one epoch increment instead of an allocation.
class VisitedSet {
 public:
  // The calling thread's set, emptied and sized for ids below `count`.
  static VisitedSet& for_walk(std::size_t count);

  // Marks id; false when it was marked already. Without a branch: whether a neighbour was seen
  // is close to random, and a mispredicted branch per neighbour also serialises their loads.
  bool insert(InternalId id) noexcept {
    const bool fresh = marks_[id] != epoch_;
    marks_[id] = epoch_;
    return fresh;
  }

 private:
  void reset(std::size_t count);

  std::vector<std::uint16_t> marks_;
  std::uint16_t epoch_ = 0;
};

// The queues and scratch lists of one walk, kept per thread from walk to walk: a walk allocates
// only the list it returns.
struct WalkBuffers {
  std::vector<Candidate> candidates;  // storage of the queue of nodes to expand
  std::vector<Candidate> results;     // storage of the heap of the nearest found
  std::vector<InternalId> unvisited;
  std::vector<std::optional<float>> scores;
  std::vector<std::uint64_t> sort_keys;

  // The calling thread's buffers. Walks on one thread never overlap.
  static WalkBuffers& of_this_thread();
};

// Reseeds the calling thread's level generator, making the levels it draws from now on (and so
// the graphs it builds) reproducible. Tests and benchmarks only: the library never calls it.
void reseed_level_generator(std::uint64_t seed);

// The hierarchical navigable small-world graph over the dense internal ids of one store. It
// holds only ids and adjacency lists; every distance comes from the store passed to each call.
//
// Not synchronised: see the threading rule in engine.hpp. Within one batch insertion the worker
// pool first reads the graph on the caller's behalf, then writes the back-links, one list per
// task.
class HnswIndex {
 public:
  HnswIndex(const HnswConfig& config, DistanceMetric metric);
  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // Links the node of `id`, whose vector `storage` already holds. Ids must arrive as 0, 1, 2 ...
  template <VectorStorageTrait S>
  void insert(InternalId id, std::span<const float> vector, const S& storage);

  // Links a run of new nodes with consecutive ids starting at the current node count. Neighbour
  // lists are planned in parallel against the graph as it stands, then written in item order.
  // The result depends only on the level draws, the item order and the distances.
  template <VectorStorageTrait S>
  void insert_batch(std::span<const BatchItem> items, const S& storage);

  // The `n` nearest admissible nodes by `distance_to_query(id) -> optional<float>`, ascending;
  // IndexEmpty when nothing was ever inserted. The walk runs with ef = max(n, ef_search) on the
  // bottom layer; `admit(id) -> bool` gates only what is returned, so tombstones and filtered-out
  // nodes still carry the walk. It returns fewer than min(n, ef) nodes only when fewer admissible
  // ones are reachable.
  template <class Distance, class Admit>
  Result<std::vector<Candidate>> search(Distance&& distance_to_query, std::uint64_t n,
                                        Admit&& admit) const {
    return search_with_ef(distance_to_query, n, config_.ef_search, admit);
  }
  // As search, with the bottom layer's beam max(n, ef) instead of max(n, ef_search).
  template <class Distance, class Admit>
  Result<std::vector<Candidate>> search_with_ef(Distance&& distance_to_query, std::uint64_t n,
                                                std::uint64_t ef, Admit&& admit) const;

  // The neighbour heuristic: keeps a candidate only if no already selected one is closer to it
  // than the query is, then back-fills with the discarded ones up to m. `candidates` must be
  // sorted by ascending distance.
  template <VectorStorageTrait S>
  std::vector<Candidate> select_neighbors(std::span<const Candidate> candidates, std::size_t m,
                                          const S& storage) const;

  // The first pass of the heuristic: the candidates no already selected one is closer to, up to
  // m of them, in order; the others are appended to `discarded` when it is given.
  template <VectorStorageTrait S>
  std::vector<Candidate> select_diverse(std::span<const Candidate> candidates, std::size_t m,
                                        const S& storage, std::vector<Candidate>* discarded) const;

  // As insert and insert_batch, with the node levels given instead of drawn (replay, tests).
  template <VectorStorageTrait S>
  void insert_with_level(InternalId id, std::uint64_t level, std::span<const float> vector,
                         const S& storage);
  template <VectorStorageTrait S>
  void insert_batch_with_levels(std::span<const BatchItem> items,
                                std::span<const std::uint64_t> levels, const S& storage);

  // A consistent copy of the graph: the nodes, the entry point and the maximum level.
  struct State {
    std::vector<HnswNode> nodes;
    std::optional<InternalId> entry_point;
    std::uint64_t max_level = 0;
  };
  State state() const;
  // One node of state(): node `id`, which must exist, with copies of its lists.
  HnswNode node(InternalId id) const;
  std::optional<InternalId> entry_point() const noexcept { return entry_point_; }
  std::uint64_t max_level() const noexcept { return max_level_; }
  // Whether `state` stays within this index's limits: levels up to kMaxNodeLevel, one list per
  // layer, no list longer than its layer's cap. Only such a graph can be installed.
  bool fits(const State& state) const;
  // Replaces the whole graph with `state` (a graph restored from a snapshot; the caller checked
  // that it fits and describes exactly the stored vectors). Nothing is re-linked.
  void install(State state);

  // Estimated bytes held by the graph (reserved capacity, not length).
  std::uint64_t memory_usage() const;

  std::size_t node_count() const;

  // A level for a new node: floor(-ln(u) * level_multiplier) for u uniform in [0, 1), drawn from
  // the calling thread's generator.
  std::uint64_t random_level() const;

 private:
  // An id past the end of the graph is a broken invariant (internal failure).
  void check_node(InternalId id) const {
    if (id >= graph_.size()) [[unlikely]]
      fail_node_out_of_range(id);
  }
  [[noreturn]] void fail_node_out_of_range(InternalId id) const;

  template <class Distance>
  InternalId search_layer_single(Distance& distance_to_query, InternalId entry,
                                 std::uint64_t layer) const;

  // The nearest `keep` of the ef nearest admissible nodes the walk of `layer` finds, ascending.
  template <class Distance, class Admit>
  std::vector<Candidate> search_layer(Distance& distance_to_query, InternalId entry,
                                      std::uint64_t ef, std::uint64_t layer, Admit& admit,
                                      std::uint64_t keep) const;

  template <VectorStorageTrait S>
  std::vector<Candidate> construction_candidates(const BatchItem& node, InternalId entry,
                                                 std::uint64_t layer, const S& storage) const;

  // The chosen neighbours of one node, one list per layer up to its level.
  using Plan = std::vector<std::vector<Candidate>>;

  template <VectorStorageTrait S>
  Plan plan_links(const BatchItem& node, std::uint64_t level, InternalId entry, std::uint64_t top,
                  const S& storage) const;

  // Replaces the lists of node `id` by the plan's; no back-links.
  void write_lists(InternalId id, const Plan& plan);

  // write_lists, then the back-links of every planned neighbour.
  template <VectorStorageTrait S>
  void link_node(const BatchItem& node, const Plan& plan, const S& storage);
  // Adds the node at `level`, then links it as link_node does; on an allocation failure, the
  // graph is left as it was.
  template <VectorStorageTrait S>
  void add_and_link_node(const BatchItem& node, std::uint64_t level, const Plan& plan,
                         const S& storage);

  // The distance from the node's vector to its own stored one, measured as its planned
  // neighbours' distances were: only a neighbour at exactly that distance can hold its vector.
  template <VectorStorageTrait S>
  std::optional<float> own_distance(const BatchItem& node, const S& storage) const;

  // When the planned neighbour `owner` holds the node's very vector and its list on `layer`
  // holds another copy of it, the position of that copy, whose place the node takes (see
  // hand_over); nothing otherwise, or when the node's list (`list_size` long) has no room left.
  template <VectorStorageTrait S>
  std::optional<std::size_t> copy_to_hand_over(const BatchItem& node, InternalId owner,
                                               std::uint64_t layer, std::size_t list_size,
                                               const S& storage) const;
  // Node `id` takes the place of the entry at `position` of the owner's list on `layer`, and
  // links to that entry itself, so that the entry keeps an incoming link.
  void hand_over(InternalId id, InternalId owner, std::uint64_t layer, std::size_t position);

  // Whether `owner` is a node with a list on `layer`.
  bool has_list(InternalId owner, std::uint64_t layer) const {
    return owner < graph_.size() && graph_.level(owner) >= layer;
  }
  // Whether `owner` has a list on `layer` that can take one more entry.
  bool has_room(InternalId owner, std::uint64_t layer) const {
    return has_list(owner, layer) && graph_.list(owner, layer).size() < graph_.cap(layer);
  }
  // The owner's full list on `layer` re-selected with `new_id` among its candidates, or nothing
  // when the owner's vector cannot rank it.
  template <VectorStorageTrait S>
  std::optional<std::vector<InternalId>> pruned_list(InternalId owner, InternalId new_id,
                                                     std::uint64_t layer, const S& storage) const;

  // Links the planned neighbour `owner` on `layer` back to the node, which was written already.
  // `may_hand_over` marks the one planned neighbour of the layer that may hold the node's vector.
  template <VectorStorageTrait S>
  void link_back(const BatchItem& node, InternalId owner, bool may_hand_over, std::uint64_t layer,
                 const S& storage);

  // Adds the back-links of a round's plans; returns the owners of the lists they went to.
  template <VectorStorageTrait S>
  std::vector<InternalId> link_back_in_parallel(std::span<const BatchItem> items,
                                                const std::vector<Plan>& plans, const S& storage);

  // Positions of the round's items that no layer-0 list of `owners` or of the items links to,
  // the entry point excepted (it is where every search starts). Adds the items to `owners` and
  // leaves it sorted without repeats.
  std::vector<std::size_t> unlinked_items(std::span<const BatchItem> items,
                                          std::vector<InternalId>& owners) const;

  template <VectorStorageTrait S>
  void relink_unlinked_items(std::span<const BatchItem> items,
                             std::span<const std::uint64_t> levels, std::vector<InternalId> owners,
                             const S& storage);

  template <VectorStorageTrait S>
  void plan_and_link_round(std::span<const BatchItem> items, std::span<const std::uint64_t> levels,
                           const S& storage);

  const HnswConfig config_;
  const DistanceMetric metric_;

  Adjacency graph_;
  std::optional<InternalId> entry_point_;
  std::uint64_t max_level_ = 0;
};

}  // namespace vexradb
