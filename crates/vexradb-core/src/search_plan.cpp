#include "search_plan.hpp"

#include <iterator>
#include <utility>

#include "overloaded.hpp"

namespace vexradb {
namespace {

// Costs in units of one distance computed by the batched kernels over stored vectors. Measured
// with the filtered-search benchmark (100,000 clustered 128-d vectors, ef 100); see kWalkPerEf.
//
// A walk that must collect `ef` results among a share s of the nodes expands about ef / s nodes
// and scores the unvisited neighbours of each: the unfiltered walk scores about kWalkPerEf * ef
// vectors, more slowly than a scan does (random reads, heaps, visited marks).
constexpr double kWalkPerEf = 30.0;
// Testing one vector's metadata against a filter, and one liveness lookup.
constexpr double kFilterTest = 2.0;
constexpr double kLivenessTest = 0.05;
// The vectors a sample tests to estimate what an unindexed filter admits.
constexpr std::size_t kSampleSize = 512;

// What a search would do to find its qualifying vectors exactly: how many it expects to score,
// and how many ids it must test (against the filter, or only for liveness) to list them.
struct Estimate {
  double admitted = 0;
  double filter_tests = 0;
  double liveness_tests = 0;
};

double exact_cost(const Estimate& e) {
  return e.admitted + kFilterTest * e.filter_tests + kLivenessTest * e.liveness_tests;
}

double walk_cost(const Estimate& e, std::uint64_t ef, std::size_t assigned) {
  const double share = std::max(e.admitted, 1.0) / static_cast<double>(assigned);
  return kWalkPerEf * static_cast<double>(ef) / std::min(share, 1.0);
}

// The metadata index's answer for `filter`: the number of ids its posting lists name (dead
// versions included), counted up to just past `cap`; nothing when the index cannot bound it.
std::optional<std::size_t> indexed_count(const Filter& filter, const MetadataIndex& index,
                                         std::size_t cap) {
  auto count_of_values = [&](std::string_view field,
                             std::span<const Json> values) -> std::optional<std::size_t> {
    std::size_t total = 0;
    for (const Json& value : values) {
      if (!is_scalar(value)) return std::nullopt;
      total += index.postings(field, value).size();
      if (total > cap) break;
    }
    return total;
  };
  return std::visit(
      Overloaded{
          [&](const Filter::Eq& eq) { return count_of_values(eq.field, std::span(&eq.value, 1)); },
          [&](const Filter::In& in) { return count_of_values(in.field, in.values); },
          [&](const Filter::And& all) {
            std::optional<std::size_t> least;
            for (const Filter& operand : all.filters) {
              const auto count = indexed_count(operand, index, cap);
              if (count && (!least || *count < *least)) least = count;
            }
            return least;
          },
          [&](const Filter::Or& any) -> std::optional<std::size_t> {
            std::size_t total = 0;
            for (const Filter& operand : any.filters) {
              const auto count = indexed_count(operand, index, cap);
              if (!count) return std::nullopt;
              total += *count;
              if (total > cap) break;
            }
            return total;
          },
          [](const auto&) -> std::optional<std::size_t> { return std::nullopt; },
      },
      filter.node());
}

std::vector<InternalId> sorted_union(std::vector<InternalId> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// The ids the posting lists name for `filter`, ascending without repeats: a superset of those it
// matches. Only for filters indexed_count bounds.
std::vector<InternalId> indexed_ids(const Filter& filter, const MetadataIndex& index) {
  auto ids_of_values = [&](std::string_view field, std::span<const Json> values) {
    std::vector<InternalId> ids;
    for (const Json& value : values) {
      const auto listed = index.postings(field, value);
      ids.insert(ids.end(), listed.begin(), listed.end());
    }
    return values.size() == 1 ? ids : sorted_union(std::move(ids));
  };
  return std::visit(
      Overloaded{
          [&](const Filter::Eq& eq) { return ids_of_values(eq.field, std::span(&eq.value, 1)); },
          [&](const Filter::In& in) { return ids_of_values(in.field, in.values); },
          [&](const Filter::And& all) {
            std::optional<std::vector<InternalId>> common;
            for (const Filter& operand : all.filters) {
              if (!indexed_count(operand, index, 0)) continue;
              std::vector<InternalId> ids = indexed_ids(operand, index);
              if (!common) {
                common = std::move(ids);
                continue;
              }
              std::vector<InternalId> both;
              std::set_intersection(common->begin(), common->end(), ids.begin(), ids.end(),
                                    std::back_inserter(both));
              common = std::move(both);
            }
            return std::move(common).value_or(std::vector<InternalId>{});
          },
          [&](const Filter::Or& any) {
            std::vector<InternalId> ids;
            for (const Filter& operand : any.filters) {
              const std::vector<InternalId> more = indexed_ids(operand, index);
              ids.insert(ids.end(), more.begin(), more.end());
            }
            return sorted_union(std::move(ids));
          },
          [](const auto&) -> std::vector<InternalId> {
            VEXRA_CHECK(false, "indexed_ids of a filter the metadata index cannot answer");
            return {};
          },
      },
      filter.node());
}

// Of the stored ids, the share `admit` accepts among an evenly spread sample.
double sampled_share(const Admission& admit, std::size_t assigned) {
  const std::size_t sample = std::min(assigned, kSampleSize);
  std::size_t admitted = 0;
  for (std::size_t i = 0; i < sample; ++i) {
    admitted += admit(static_cast<InternalId>(i * assigned / sample));
  }
  // None seen: assume half of one in the sample rather than none, so the estimate stays finite.
  return std::max(static_cast<double>(admitted), 0.5) / static_cast<double>(sample);
}

}  // namespace

std::optional<std::vector<InternalId>> ids_to_scan(const Admission& admit, std::uint64_t ef,
                                                   SearchStrategy strategy) {
  const IdCatalog& catalog = admit.catalog();
  const std::size_t assigned = catalog.assigned_count_locked();
  const std::size_t current = catalog.current_count_locked();
  const PreparedFilter* filter = admit.filter();
  if (assigned == 0 || strategy == SearchStrategy::GraphWalk) return std::nullopt;
  if (strategy == SearchStrategy::Planned && filter == nullptr && current == assigned) {
    return std::nullopt;
  }

  const MetadataIndex& index = catalog.metadata_index_locked();
  const double live_share =
      std::max<double>(static_cast<double>(current), 1.0) / static_cast<double>(assigned);
  // Posting lists naming more ids than this make the walk cheaper (c ids cost at least
  // c * (kFilterTest + live_share) to scan, and the walk kWalkPerEf * ef / (c * live_share) per
  // stored vector), so counting stops there.
  const auto cap = static_cast<std::size_t>(
      std::sqrt(kWalkPerEf * static_cast<double>(ef) * static_cast<double>(assigned) /
                (live_share * (kFilterTest + live_share))));
  std::optional<std::size_t> listed;
  if (filter != nullptr) listed = indexed_count(filter->filter(), index, cap);
  if (listed && *listed > cap && strategy == SearchStrategy::Planned) return std::nullopt;

  Estimate estimate;
  if (filter == nullptr) {
    estimate = {static_cast<double>(current), 0, static_cast<double>(assigned)};
  } else if (listed) {
    estimate = {static_cast<double>(*listed) * live_share, static_cast<double>(*listed), 0};
  } else {
    estimate = {sampled_share(admit, assigned) * static_cast<double>(assigned),
                static_cast<double>(assigned), 0};
  }
  if (strategy == SearchStrategy::Planned &&
      exact_cost(estimate) >= walk_cost(estimate, ef, assigned)) {
    return std::nullopt;
  }

  std::vector<InternalId> admitted;
  if (listed) {
    for (const InternalId id : indexed_ids(filter->filter(), index)) {
      if (id < assigned && admit(id)) admitted.push_back(id);
    }
  } else {
    for (std::size_t id = 0; id < assigned; ++id) {
      if (admit(static_cast<InternalId>(id))) admitted.push_back(static_cast<InternalId>(id));
    }
  }
  return admitted;
}

}  // namespace vexradb
