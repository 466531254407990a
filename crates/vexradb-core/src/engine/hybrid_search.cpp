#include "engine/hybrid_search.hpp"

#include <cmath>
#include <string>
#include <unordered_map>

namespace vexradb {
namespace {

constexpr std::uint32_t kUnranked = UINT32_MAX;

// Fused order: larger score, then better keyword rank, better vector rank, lower id bytes.
bool fused_before(const HybridHit& a, const HybridHit& b) {
  if (a.score != b.score) return a.score > b.score;
  const std::uint32_t a_text = a.text_rank.value_or(kUnranked);
  const std::uint32_t b_text = b.text_rank.value_or(kUnranked);
  if (a_text != b_text) return a_text < b_text;
  const std::uint32_t a_vector = a.vector_rank.value_or(kUnranked);
  const std::uint32_t b_vector = b.vector_rank.value_or(kUnranked);
  if (a_vector != b_vector) return a_vector < b_vector;
  return a.id.str() < b.id.str();
}

}  // namespace

Status check_fusion(const FusionOptions& fusion) {
  if (fusion.depth == 0 || fusion.depth > kMaxFusionDepth) {
    return fail(errors::InvalidParameter{std::to_string(fusion.depth), "fusion depth",
                                         "must be 1 to 10000"});
  }
  if (!std::isfinite(fusion.constant) || fusion.constant < 0.0) {
    return fail(errors::InvalidParameter{std::to_string(fusion.constant), "fusion constant",
                                         "must be a finite number, not negative"});
  }
  if (!(fusion.text_weight >= 0.0 && fusion.text_weight <= 1.0)) {
    return fail(errors::InvalidParameter{std::to_string(fusion.text_weight), "text weight",
                                         "must be within [0, 1]"});
  }
  return {};
}

std::vector<HybridHit> fuse(std::vector<SearchHit> nearest, std::vector<TextHit> keyword,
                            std::uint64_t k, const FusionOptions& fusion) {
  std::vector<HybridHit> hits;
  hits.reserve(nearest.size() + keyword.size());
  std::unordered_map<std::string, std::size_t> at;  // id -> its place in hits
  const auto hit_of = [&](VectorId& id, std::optional<Json>& metadata) -> HybridHit& {
    const auto [found, added] = at.try_emplace(id.str(), hits.size());
    if (added) hits.push_back({std::move(id), 0.0, {}, {}, {}, {}, std::move(metadata)});
    return hits[found->second];
  };
  const double vector_weight = 1.0 - fusion.text_weight;
  for (std::size_t i = 0; i < nearest.size(); ++i) {
    HybridHit& hit = hit_of(nearest[i].id, nearest[i].metadata);
    hit.vector_rank = static_cast<std::uint32_t>(i + 1);
    hit.distance = nearest[i].distance;
    hit.score += vector_weight / (fusion.constant + static_cast<double>(i + 1));
  }
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    HybridHit& hit = hit_of(keyword[i].id, keyword[i].metadata);
    hit.text_rank = static_cast<std::uint32_t>(i + 1);
    hit.text_score = keyword[i].score;
    hit.score += fusion.text_weight / (fusion.constant + static_cast<double>(i + 1));
  }
  const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(k, hits.size()));
  std::partial_sort(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(kept), hits.end(),
                    fused_before);
  hits.erase(hits.begin() + static_cast<std::ptrdiff_t>(kept), hits.end());
  return hits;
}

}  // namespace vexradb
