// hnswlib's header defines functions outside any class, so it is included in this file only.
#include "hnswlib_index.hpp"

#include <hnswlib/hnswlib.h>

namespace vexradb::bench {
namespace {

std::unique_ptr<hnswlib::SpaceInterface<float>> make_space(HnswlibIndex::Space space,
                                                           std::size_t dimension) {
  if (space == HnswlibIndex::Space::kInnerProduct) {
    return std::make_unique<hnswlib::InnerProductSpace>(dimension);
  }
  return std::make_unique<hnswlib::L2Space>(dimension);
}

}  // namespace

struct HnswlibIndex::Impl {
  Impl(Space kind, std::size_t dimension, std::size_t capacity, std::size_t m,
       std::size_t ef_construction)
      : space(make_space(kind, dimension)), graph(space.get(), capacity, m, ef_construction) {}

  // The graph keeps a pointer to the space's dimension: the space must outlive it.
  std::unique_ptr<hnswlib::SpaceInterface<float>> space;
  hnswlib::HierarchicalNSW<float> graph;
};

HnswlibIndex::HnswlibIndex(Space space, std::size_t dimension, std::size_t capacity, std::size_t m,
                           std::size_t ef_construction)
    : impl_(std::make_unique<Impl>(space, dimension, capacity, m, ef_construction)) {}

HnswlibIndex::~HnswlibIndex() = default;

void HnswlibIndex::add(std::span<const float> vector, std::uint32_t label) {
  impl_->graph.addPoint(vector.data(), label);
}

void HnswlibIndex::set_ef(std::size_t ef) { impl_->graph.setEf(ef); }

std::vector<std::uint32_t> HnswlibIndex::search(std::span<const float> query, std::size_t k) const {
  auto nearest = impl_->graph.searchKnn(query.data(), k);  // farthest on top
  std::vector<std::uint32_t> labels(nearest.size());
  for (auto slot = labels.rbegin(); slot != labels.rend(); ++slot) {
    *slot = static_cast<std::uint32_t>(nearest.top().second);
    nearest.pop();
  }
  return labels;
}

double HnswlibIndex::mean_layer0_links() const {
  const std::size_t count = impl_->graph.cur_element_count;
  if (count == 0) return 0;
  double links = 0;
  for (std::size_t i = 0; i < count; ++i) {
    links += impl_->graph.getListCount(impl_->graph.get_linklist0(static_cast<unsigned>(i)));
  }
  return links / static_cast<double>(count);
}

}  // namespace vexradb::bench
