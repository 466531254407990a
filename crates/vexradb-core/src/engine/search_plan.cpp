#include "engine/search_plan.hpp"

#include <algorithm>
#include <utility>

#include "base/internal_failure.hpp"
#include "base/overloaded.hpp"

namespace vexradb {
namespace {

// Costs in units of one stored vector scored by the exact scan (about 115 ns for 128-d vectors
// beyond the caches), taken from the filtered-search benchmark (100,000 clustered 128-d vectors,
// ef 100, one thread):
//  - the unfiltered walk took 198 us, 1,720 units for ef = 100: kWalkPerEf = 17. A walk that
//    keeps ef results among a share s of the nodes costs about kWalkPerEf * ef / s (measured
//    within 30% at s = 0.5 and 0.1);
//  - listing the ids of an indexed filter and testing them by their codes took about 0.7 units
//    per id (kCodeTest + kListEntry); a test that reads the metadata costs about twice as much;
//  - a liveness test reads one bit.
// With these, a filter whose index lists about as many ids as pass it is scanned below about
// sqrt(200 / n) of n vectors (4.5% of 100,000), where both ways cost about the same.
constexpr double kWalkPerEf = 17.0;
constexpr double kCodeTest = 0.5;
constexpr double kMetadataTest = 1.5;
constexpr double kLivenessTest = 0.05;
// Gathering one id from the index's lists (with the sorting of a union).
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

double exact_cost(const Estimate& e, const PreparedFilter* filter) {
  const double test = filter != nullptr && filter->needs_metadata() ? kMetadataTest : kCodeTest;
  return e.admitted + test * e.filter_tests + kLivenessTest * e.liveness_tests +
         kListEntry * e.list_entries;
}

// What the metadata index says of `filter`: about how many ids pass it (dead versions included;
// an And takes its operands as independent), how many ids the index lists for it (each then
// tested against the whole filter), and how many list entries it reads to list them. Nothing when
// the index cannot bound it.
struct Listing {
  double passing = 0;
  double listed = 0;
  double entries = 0;
};

std::optional<Listing> indexed_listing(const PreparedFilter& filter, std::size_t assigned) {
  if (filter.indexed()) {
    double total = 0;
    for (const std::uint32_t code : filter.codes()) {
      total += static_cast<double>(filter.column()->ids(code).size());
    }
    return Listing{total, total, total};
  }
  return std::visit(
      Overloaded{
          // The ids of the shortest listing operand: the test of the whole filter does the rest.
          [&](const Filter::And&) {
            std::optional<Listing> shortest;
            double passing = static_cast<double>(assigned);
            for (const PreparedFilter& operand : filter.operands()) {
              const auto listing = indexed_listing(operand, assigned);
              if (!listing) continue;
              passing *= listing->passing / static_cast<double>(assigned);
              if (!shortest || listing->listed < shortest->listed) shortest = listing;
            }
            if (shortest) shortest->passing = passing;
            return shortest;
          },
          [&](const Filter::Or&) -> std::optional<Listing> {
            Listing any;
            for (const PreparedFilter& operand : filter.operands()) {
              const auto listing = indexed_listing(operand, assigned);
              if (!listing) return std::nullopt;
              any.passing += listing->passing;
              any.listed += listing->listed;
              any.entries += listing->entries;
            }
            any.passing = std::min(any.passing, static_cast<double>(assigned));
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

// The ids indexed_listing counted, ascending without repeats: a superset of those that pass.
std::vector<InternalId> indexed_ids(const PreparedFilter& filter, std::size_t assigned) {
  if (filter.indexed()) {
    std::vector<InternalId> ids;
    for (const std::uint32_t code : filter.codes()) {
      const auto listed = filter.column()->ids(code);
      ids.insert(ids.end(), listed.begin(), listed.end());
    }
    return filter.codes().size() <= 1 ? ids : sorted_union(std::move(ids));
  }
  return std::visit(
      Overloaded{
          [&](const Filter::And&) {
            const PreparedFilter* shortest = nullptr;
            double shortest_listed = 0;
            for (const PreparedFilter& operand : filter.operands()) {
              const auto listing = indexed_listing(operand, assigned);
              if (listing && (shortest == nullptr || listing->listed < shortest_listed)) {
                shortest = &operand;
                shortest_listed = listing->listed;
              }
            }
            VEXRA_CHECK(shortest != nullptr, "an And without a listing operand was listed");
            return indexed_ids(*shortest, assigned);
          },
          [&](const Filter::Or&) {
            std::vector<InternalId> ids;
            for (const PreparedFilter& operand : filter.operands()) {
              const std::vector<InternalId> more = indexed_ids(operand, assigned);
              ids.insert(ids.end(), more.begin(), more.end());
            }
            return sorted_union(std::move(ids));
          },
          [](const auto&) -> std::vector<InternalId> {
            VEXRA_CHECK(false, "ids asked of a filter the metadata index cannot answer");
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
  const std::size_t assigned = catalog.assigned_count();
  const std::size_t current = catalog.current_count();
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
    estimate = {listed->passing * live_share, listed->listed, 0, listed->entries};
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
      exact_cost(estimate, filter) >= kWalkPerEf * static_cast<double>(walk_ef) / share) {
    return {std::nullopt, walk_ef};
  }

  if (!listed) return {std::nullopt, ef, /*scan_admitted=*/true};
  std::vector<InternalId> admitted;
  for (const InternalId id : indexed_ids(*filter, assigned)) {
    if (id < assigned && admit(id)) admitted.push_back(id);
  }
  return {std::move(admitted), ef};
}

}  // namespace vexradb
