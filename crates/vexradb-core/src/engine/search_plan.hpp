#pragma once

// How a search finds its candidates. The graph walk costs about the same whatever share of the
// store qualifies until few do: then it must pass many filtered-out or dead nodes for each one it
// may return, and with none left to find it walks the whole reachable graph. Scoring exactly the
// qualifying vectors costs in proportion to their number. A search estimates that number (from
// the metadata index, the count of live versions, or a sample) and takes the cheaper way.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/config.hpp"
#include "base/types.hpp"
#include "graph/hnsw.hpp"
#include "metadata/filter.hpp"
#include "storage/id_catalog.hpp"

namespace vexradb {

// Whether a search may return a node: the current version of a live id and, with a filter,
// carrying metadata that passes it (a vector without metadata passes no filter).
class Admission {
 public:
  Admission(const IdCatalog& catalog, const PreparedFilter* filter)
      : catalog_(catalog), filter_(filter) {}

  bool operator()(InternalId id) const noexcept {
    if (filter_ != nullptr) {
      const Json* metadata = nullptr;
      if (filter_->needs_metadata()) {
        metadata = catalog_.metadata(id);
        if (metadata == nullptr) return false;
      } else if (!catalog_.metadata_index().has_metadata(id)) {
        return false;
      }
      if (!filter_->matches(id, metadata)) return false;
    }
    return catalog_.is_current(id);
  }

  // Whether every stored id passes: no filter, and no id deleted or replaced.
  bool admits_all() const noexcept {
    return filter_ == nullptr && catalog_.current_count() == catalog_.assigned_count();
  }

  const IdCatalog& catalog() const noexcept { return catalog_; }
  const PreparedFilter* filter() const noexcept { return filter_; }

 private:
  const IdCatalog& catalog_;
  const PreparedFilter* filter_;
};

// How one search finds its `count` candidates.
struct SearchPlan {
  // The ids `admit` accepts, ascending, when scoring all of them is cheaper than the walk (or the
  // strategy asks for the scan) and the metadata index lists them.
  std::optional<std::vector<InternalId>> scan;
  // Otherwise the beam width of the walk's bottom layer.
  std::uint64_t ef;
  // Whether to scan instead every stored id `admit` accepts, when no index lists them: each is
  // tested as the scan reaches it, as listing them first would cost a pass over the store and an
  // allocation of its size.
  bool scan_admitted = false;
};

// Plans a search that wants `count` candidates from an index whose walk keeps ef_search results.
// A search without a filter over a store without dead versions always walks with
// max(count, ef_search), exactly as it always has. Where only a share s of the vectors qualifies,
// the walk keeps max(count, ef_search * s) of them: it passes about 1 / s nodes for each, so it
// explores as much of the graph as the unfiltered walk does.
SearchPlan plan_search(const Admission& admit, std::uint64_t count, std::uint64_t ef_search,
                       SearchStrategy strategy);

// The `n` nearest of the candidates offered, in the order of nearest_of below. They are kept in a
// bounded heap as they are scored, so that a scan of a large store allocates only what it
// returns.
class NearestSelection {
 public:
  // The most ids one call of score() takes.
  static constexpr std::size_t kChunk = 256;

  explicit NearestSelection(std::uint64_t n) : n_(n) {}

  // Scores `ids` (at most kChunk) by `distance_to_query` and offers those with a distance.
  template <class Distance>
  void score(const Distance& distance_to_query, std::span<const InternalId> ids) {
    hnsw_detail::score_all(distance_to_query, ids, std::span(scores_));
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (scores_[i]) offer({ids[i], *scores_[i]});
    }
  }

  // Offers ids first, first + 1, ... at the distances `scores`.
  void offer_range(InternalId first, std::span<const float> scores) {
    for (std::size_t i = 0; i < scores.size(); ++i) {
      offer({static_cast<InternalId>(first + i), scores[i]});
    }
  }

  // The nearest offered, ascending.
  std::vector<Candidate> sorted() && {
    std::sort_heap(nearest_.begin(), nearest_.end(), before);
    return std::move(nearest_);
  }

 private:
  // Ascending distance, equal distances by ascending id, NaN distances last: a total order of
  // distinct ids, so the n nearest and their order do not depend on the order they come in.
  static bool before(const Candidate& a, const Candidate& b) {
    const bool a_nan = std::isnan(a.distance), b_nan = std::isnan(b.distance);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.distance != b.distance) return a.distance < b.distance;
    return a.id < b.id;
  }

  void offer(const Candidate& candidate) {
    if (nearest_.size() < n_) {
      nearest_.push_back(candidate);
      std::push_heap(nearest_.begin(), nearest_.end(), before);
    } else if (!nearest_.empty() && !(candidate.distance > nearest_.front().distance) &&
               before(candidate, nearest_.front())) {
      // (The first test settles most candidates of a long scan with one comparison.)
      std::pop_heap(nearest_.begin(), nearest_.end(), before);
      nearest_.back() = candidate;
      std::push_heap(nearest_.begin(), nearest_.end(), before);
    }
  }

  std::uint64_t n_;
  std::vector<Candidate> nearest_;  // a heap with the farthest kept on top
  std::array<std::optional<float>, kChunk> scores_;
};

// The `n` nearest of `ids` by `distance_to_query(id) -> optional<float>`, ascending; equal
// distances by ascending id, NaN distances last, ids without a distance left out.
template <class Distance>
std::vector<Candidate> nearest_of(const Distance& distance_to_query,
                                  std::span<const InternalId> ids, std::uint64_t n) {
  NearestSelection nearest(n);
  for (std::size_t start = 0; start < ids.size(); start += NearestSelection::kChunk) {
    nearest.score(distance_to_query,
                  ids.subspan(start, std::min(NearestSelection::kChunk, ids.size() - start)));
  }
  return std::move(nearest).sorted();
}

// nearest_of over every stored id `admit` accepts, each tested as the scan reaches it. When all
// pass and the scorer scores whole ranges of ids (`score_range(first, out)`, every id in them
// having a distance), it scores the store range by range, without listing ids.
template <class Distance>
std::vector<Candidate> nearest_admitted(const Distance& distance_to_query, const Admission& admit,
                                        std::uint64_t n) {
  NearestSelection nearest(n);
  const std::size_t assigned = admit.catalog().assigned_count();
  constexpr std::size_t kChunk = NearestSelection::kChunk;
  if constexpr (requires(std::span<float> out) { distance_to_query.score_range(0, out); }) {
    if (admit.admits_all()) {
      std::array<float, kChunk> scores;
      for (std::size_t start = 0; start < assigned; start += kChunk) {
        const auto range = std::span(scores).first(std::min(kChunk, assigned - start));
        distance_to_query.score_range(static_cast<InternalId>(start), range);
        nearest.offer_range(static_cast<InternalId>(start), range);
      }
      return std::move(nearest).sorted();
    }
  }
  std::array<InternalId, kChunk> chunk;
  for (std::size_t start = 0; start < assigned; start += kChunk) {
    const std::size_t end = std::min(assigned, start + kChunk);
    std::size_t admitted = 0;
    for (std::size_t id = start; id < end; ++id) {
      chunk[admitted] = static_cast<InternalId>(id);
      admitted += admit(static_cast<InternalId>(id));
    }
    nearest.score(distance_to_query, std::span(chunk).first(admitted));
  }
  return std::move(nearest).sorted();
}

}  // namespace vexradb
