#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "kernels/distance.hpp"

namespace vexradb::testing {

// Searches `db` for each query and compares with `truth(query)`, the ids of the true nearest
// qualifying vectors in order: every search must return exactly as many results as the truth
// holds (never fewer: none may come back short), and with `exact` the very same ids in the same
// order. Returns the share of the truth found.
template <class Db, class Truth>
double filtered_recall(const Db& db, const std::vector<std::vector<float>>& queries,
                       std::uint64_t k, const Filter* filter, Truth truth, bool exact) {
  std::size_t found = 0, wanted = 0;
  for (const std::vector<float>& query : queries) {
    const std::vector<std::string> expected = truth(query);
    const auto hits = db.search(query, k, filter);
    EXPECT_TRUE(hits.has_value());
    if (!hits) continue;
    EXPECT_EQ(hits->size(), expected.size());
    std::set<std::string> returned;
    for (const SearchHit& hit : *hits) returned.insert(hit.id.str());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      found += returned.count(expected[i]);
      if (exact && i < hits->size()) {
        EXPECT_EQ((*hits)[i].id.str(), expected[i]);
      }
    }
    wanted += expected.size();
  }
  return wanted == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(wanted);
}

// The ids of the k nearest of `live` (id, vector) to `query` by exhaustive scan, nearest first.
inline std::vector<std::string> exact_nearest_ids(
    const std::vector<std::pair<std::string, std::vector<float>>>& live,
    const std::vector<float>& query, std::size_t k, DistanceMetric metric) {
  std::vector<std::pair<float, std::string>> scored;
  for (const auto& [id, vector] : live) scored.emplace_back(distance(metric, query, vector), id);
  k = std::min(k, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(k), scored.end());
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < k; ++i) ids.push_back(scored[i].second);
  return ids;
}

}  // namespace vexradb::testing
