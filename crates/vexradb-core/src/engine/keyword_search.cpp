#include "engine/keyword_search.hpp"

#include <string>

#include "engine/search_plan.hpp"

namespace vexradb {

Result<std::vector<TextHit>> keyword_search(const IdCatalog& catalog, std::string_view text,
                                            std::uint64_t k, const Filter* filter) {
  const TextIndex* index = catalog.text_index();
  if (index == nullptr) {
    return fail(errors::InvalidConfiguration{"no text index: configure the text fields first"});
  }
  if (text.empty()) return fail(errors::InvalidParameter{"", "text", "is empty"});
  const std::vector<std::string> terms = index->query_terms(text);
  std::optional<PreparedFilter> prepared;
  if (filter != nullptr) prepared.emplace(*filter, &catalog.metadata_index());
  const Admission admit(catalog, prepared ? &*prepared : nullptr);
  const std::vector<TextMatch> matches =
      index->search(terms, k, [&](InternalId id) { return admit(id); });
  std::vector<TextHit> hits;
  hits.reserve(matches.size());
  for (const TextMatch& match : matches) {
    hits.push_back({VectorId(std::string(catalog.external_id(match.id))), match.score,
                    catalog.get_metadata(match.id)});
  }
  return hits;
}

}  // namespace vexradb
