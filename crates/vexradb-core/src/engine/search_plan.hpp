#pragma once

// How a search finds its candidates. The graph walk costs about the same whatever share of the
// store qualifies until few do: then it must pass many filtered-out or dead nodes for each one it
// may return, and with none left to find it walks the whole reachable graph. Scoring exactly the
// qualifying vectors costs in proportion to their number. A search estimates that number (from
// the metadata index, the count of live versions, or a sample) and takes the cheaper way.

#include <algorithm>
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

  const IdCatalog& catalog() const noexcept { return catalog_; }
  const PreparedFilter* filter() const noexcept { return filter_; }

 private:
  const IdCatalog& catalog_;
  const PreparedFilter* filter_;
};

// How one search finds its `count` candidates.
struct SearchPlan {
  // The ids `admit` accepts, ascending, when scoring all of them is cheaper than the walk (or the
  // strategy asks for the scan).
  std::optional<std::vector<InternalId>> scan;
  // Otherwise the beam width of the walk's bottom layer.
  std::uint64_t ef;
};

// Plans a search that wants `count` candidates from an index whose walk keeps ef_search results.
// A search without a filter over a store without dead versions always walks with
// max(count, ef_search), exactly as it always has. Where only a share s of the vectors qualifies,
// the walk keeps max(count, ef_search * s) of them: it passes about 1 / s nodes for each, so it
// explores as much of the graph as the unfiltered walk does.
SearchPlan plan_search(const Admission& admit, std::uint64_t count, std::uint64_t ef_search,
                       SearchStrategy strategy);

// The `n` nearest of `ids` by `distance_to_query(id) -> optional<float>`, ascending; equal
// distances by ascending id, NaN distances last, ids without a distance left out.
template <class Distance>
std::vector<Candidate> nearest_of(const Distance& distance_to_query,
                                  std::span<const InternalId> ids, std::uint64_t n) {
  std::vector<Candidate> scored;
  scored.reserve(ids.size());
  constexpr std::size_t kChunk = 256;
  std::vector<std::optional<float>> scores(kChunk);
  for (std::size_t start = 0; start < ids.size(); start += kChunk) {
    const auto chunk = ids.subspan(start, std::min(kChunk, ids.size() - start));
    hnsw_detail::score_all(distance_to_query, chunk, std::span(scores));
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      if (scores[i]) scored.push_back({chunk[i], *scores[i]});
    }
  }
  auto before = [](const Candidate& a, const Candidate& b) {
    const bool a_nan = std::isnan(a.distance), b_nan = std::isnan(b.distance);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.distance != b.distance) return a.distance < b.distance;
    return a.id < b.id;
  };
  const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(n, scored.size()));
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(kept),
                    scored.end(), before);
  scored.resize(kept);
  return scored;
}

}  // namespace vexradb
