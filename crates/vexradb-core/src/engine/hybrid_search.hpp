#pragma once

// Hybrid search: the vector list and the keyword list of one query, each taken to a depth, fused
// by weighted reciprocal rank. A document at rank r (from 1) of a list earns weight / (c + r)
// from it, where the keyword list weighs text_weight and the vector list 1 - text_weight; the k
// largest sums win. Equal sums are ordered by the better keyword rank, then the better vector
// rank, then the id's bytes, so that the order depends on the two lists alone (a sharded client
// fuses the lists it merged the same way).

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "engine/engine.hpp"
#include "engine/keyword_search.hpp"
#include "metadata/filter.hpp"

namespace vexradb {

// The defaults are the best of a grid on half the queries of bench/text_bench.py (Debian's
// package descriptions, LSA vectors): there the keyword list is far stronger than the vector
// list, and the fusion that served best lets the vectors reorder only near-ties of the keywords.
// With stronger vectors, a lower text_weight and a larger constant serve better.
struct FusionOptions {
  std::uint64_t depth = 50;   // the length of each list (at least k)
  double constant = 10.0;     // c
  double text_weight = 0.95;  // the keyword list's share: 0 ranks by vector alone, 1 by keyword
};

// InvalidParameter unless depth is 1 to kMaxFusionDepth, the constant finite and not negative
// and the weight within [0, 1].
inline constexpr std::uint64_t kMaxFusionDepth = 10000;
Status check_fusion(const FusionOptions& fusion);

// One hit of a hybrid search: its fused score and, for each list that holds it, its rank there
// (from 1) and its distance or keyword score.
struct HybridHit {
  VectorId id;
  double score;
  std::optional<std::uint32_t> vector_rank;
  std::optional<float> distance;
  std::optional<std::uint32_t> text_rank;
  std::optional<double> text_score;
  std::optional<Json> metadata;
};

// The k best of the two lists by the fusion above; each list holds distinct ids, best first.
std::vector<HybridHit> fuse(std::vector<SearchHit> nearest, std::vector<TextHit> keyword,
                            std::uint64_t k, const FusionOptions& fusion);

// `db`'s vector search and keyword search of one query (both with `filter`), fused. Fails as
// either search would.
template <class Db>
Result<std::vector<HybridHit>> hybrid_search(const Db& db, std::span<const float> query,
                                             std::string_view text, std::uint64_t k,
                                             const Filter* filter, const FusionOptions& fusion) {
  if (auto ok = check_fusion(fusion); !ok) return fail(std::move(ok).error());
  const std::uint64_t depth = std::max(k, fusion.depth);
  Result<std::vector<TextHit>> keyword = db.text_search(text, depth, filter);
  if (!keyword) return fail(std::move(keyword).error());
  Result<std::vector<SearchHit>> nearest = db.search(query, depth, filter);
  if (!nearest) return fail(std::move(nearest).error());
  return fuse(std::move(*nearest), std::move(*keyword), k, fusion);
}

}  // namespace vexradb
