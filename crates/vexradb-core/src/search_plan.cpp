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
// Gathering one id from the index's lists (with the sorting of a union or an intersection).
constexpr double kListEntry = 0.2;
// The vectors a sample tests to estimate what an unindexed filter admits.
constexpr std::size_t kSampleSize = 512;

// What a search would do to find its qualifying vectors exactly: how many it expects to score,
// and how many ids it must test (against the filter, or only for liveness) to list them.
struct Estimate {
  double admitted = 0;
  double filter_tests = 0;
  double liveness_tests = 0;
  double list_entries = 0;  // gathered from the index's lists
};

double exact_cost(const Estimate& e) {
  return e.admitted + kFilterTest * e.filter_tests + kLivenessTest * e.liveness_tests +
         kListEntry * e.list_entries;
}

// What the metadata index says of `filter`: about how many ids its columns name for it (dead
// versions included; an And assumes its operands independent), and how many list entries it takes
// to list them; nothing when the index cannot bound it.
struct Listing {
  double ids = 0;
  double entries = 0;
};

std::optional<Listing> indexed_listing(const PreparedFilter& filter, std::size_t assigned) {
  if (filter.indexed()) {
    double total = 0;
    for (const std::uint32_t code : filter.codes()) {
      total += static_cast<double>(filter.column()->ids(code).size());
    }
    return Listing{total, total};
  }
  return std::visit(Overloaded{
                        [&](const Filter::And&) {
                          std::optional<Listing> all;
                          for (const PreparedFilter& operand : filter.operands()) {
                            const auto listing = indexed_listing(operand, assigned);
                            if (!listing) continue;
                            if (!all) {
                              all = listing;
                              continue;
                            }
                            all->ids *= listing->ids / static_cast<double>(assigned);
                            all->entries += listing->entries;
                          }
                          return all;
                        },
                        [&](const Filter::Or&) -> std::optional<Listing> {
                          Listing any;
                          for (const PreparedFilter& operand : filter.operands()) {
                            const auto listing = indexed_listing(operand, assigned);
                            if (!listing) return std::nullopt;
                            any.ids += listing->ids;
                            any.entries += listing->entries;
                          }
                          any.ids = std::min(any.ids, static_cast<double>(assigned));
                          return any;
                        },
                        [](const auto&) -> std::optional<Listing> { return std::nullopt; },
                    },
                    filter.filter().node());
}

std::vector<InternalId> sorted_union(std::vector<InternalId> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

// The ids the index names for `filter`, ascending without repeats: a superset of those it
// matches. Only for filters indexed_listing can answer.
std::vector<InternalId> indexed_ids(const PreparedFilter& filter) {
  if (filter.indexed()) {
    std::vector<InternalId> ids;
    for (const std::uint32_t code : filter.codes()) {
      const auto listed = filter.column()->ids(code);
      ids.insert(ids.end(), listed.begin(), listed.end());
    }
    return filter.codes().size() <= 1 ? ids : sorted_union(std::move(ids));
  }
  return std::visit(Overloaded{
                        [&](const Filter::And&) {
                          std::optional<std::vector<InternalId>> common;
                          for (const PreparedFilter& operand : filter.operands()) {
                            if (!indexed_listing(operand, 1)) continue;
                            std::vector<InternalId> ids = indexed_ids(operand);
                            if (common) {
                              std::vector<InternalId> both;
                              std::set_intersection(common->begin(), common->end(), ids.begin(),
                                                    ids.end(), std::back_inserter(both));
                              ids = std::move(both);
                            }
                            common = std::move(ids);
                          }
                          return std::move(common).value_or(std::vector<InternalId>{});
                        },
                        [&](const Filter::Or&) {
                          std::vector<InternalId> ids;
                          for (const PreparedFilter& operand : filter.operands()) {
                            const std::vector<InternalId> more = indexed_ids(operand);
                            ids.insert(ids.end(), more.begin(), more.end());
                          }
                          return sorted_union(std::move(ids));
                        },
                        [](const auto&) -> std::vector<InternalId> {
                          VEXRA_CHECK(false,
                                      "ids asked of a filter the metadata index cannot answer");
                          return {};
                        },
                    },
                    filter.filter().node());
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

SearchPlan plan_search(const Admission& admit, std::uint64_t count, std::uint64_t ef_search,
                       SearchStrategy strategy) {
  const IdCatalog& catalog = admit.catalog();
  const std::size_t assigned = catalog.assigned_count_locked();
  const std::size_t current = catalog.current_count_locked();
  const PreparedFilter* filter = admit.filter();
  const std::uint64_t ef = std::max(count, ef_search);
  if (assigned == 0 || strategy == SearchStrategy::GraphWalk) return {std::nullopt, ef};
  if (strategy == SearchStrategy::Planned && filter == nullptr && current == assigned) {
    return {std::nullopt, ef};
  }

  const double live_share = static_cast<double>(current) / static_cast<double>(assigned);
  std::optional<Listing> listed;
  if (filter != nullptr) listed = indexed_listing(*filter, assigned);
  Estimate estimate;
  if (filter == nullptr) {
    estimate = {static_cast<double>(current), 0, static_cast<double>(assigned), 0};
  } else if (listed) {
    estimate = {listed->ids * live_share, listed->ids, 0, listed->entries};
  } else {
    estimate = {sampled_share(admit, assigned) * static_cast<double>(assigned),
                static_cast<double>(assigned), 0, 0};
  }
  const double share =
      std::min(std::max(estimate.admitted, 1.0) / static_cast<double>(assigned), 1.0);
  // The walk passes about 1 / share nodes for each one it may return. Collecting ef * share of
  // them covers as much of the graph around the query as an unfiltered walk's ef results do.
  const auto walk_ef = std::max(
      count, static_cast<std::uint64_t>(std::ceil(static_cast<double>(ef_search) * share)));
  if (strategy == SearchStrategy::Planned &&
      exact_cost(estimate) >= kWalkPerEf * static_cast<double>(walk_ef) / share) {
    return {std::nullopt, walk_ef};
  }

  std::vector<InternalId> admitted;
  if (listed) {
    for (const InternalId id : indexed_ids(*filter)) {
      if (id < assigned && admit(id)) admitted.push_back(id);
    }
  } else {
    for (std::size_t id = 0; id < assigned; ++id) {
      if (admit(static_cast<InternalId>(id))) admitted.push_back(static_cast<InternalId>(id));
    }
  }
  return {std::move(admitted), ef};
}

}  // namespace vexradb
