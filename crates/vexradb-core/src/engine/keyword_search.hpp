#pragma once

// Keyword search over the catalogue's text index, with filters admitted as vector search admits
// them. Every engine answers it from its catalogue; hybrid_search.hpp fuses it with vector search.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/types.hpp"
#include "metadata/filter.hpp"
#include "metadata/json.hpp"
#include "storage/id_catalog.hpp"

namespace vexradb {

// One hit of a keyword search: the caller's id, its BM25 score (larger is better) and its
// metadata.
struct TextHit {
  VectorId id;
  double score;
  std::optional<Json> metadata;
};

// The `k` current documents of `catalog` that score best for `text` and pass `filter` (when
// given), best first, equal scores by ascending internal id (see TextIndex for the score).
// InvalidConfiguration when the catalogue has no keyword index, InvalidParameter for an empty
// text; a text without words finds nothing.
Result<std::vector<TextHit>> keyword_search(const IdCatalog& catalog, std::string_view text,
                                            std::uint64_t k, const Filter* filter);

}  // namespace vexradb
