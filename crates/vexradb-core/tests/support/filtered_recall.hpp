#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "engine.hpp"

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

}  // namespace vexradb::testing
