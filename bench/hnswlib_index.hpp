#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vexradb::bench {

// hnswlib's HierarchicalNSW behind a small interface, so that only one translation unit includes
// its header and only that one is compiled for this machine's instruction set.
class HnswlibIndex {
 public:
  enum class Space {
    kSquaredL2,     // squared Euclidean distance (ranks like Euclidean)
    kInnerProduct,  // 1 - a·b: cosine distance when every vector is normalised
  };

  // An empty graph for at most `capacity` vectors of `dimension` floats, with M neighbours per
  // upper layer (2M on layer 0) and a construction beam of `ef_construction`.
  HnswlibIndex(Space space, std::size_t dimension, std::size_t capacity, std::size_t m,
               std::size_t ef_construction);
  ~HnswlibIndex();
  HnswlibIndex(const HnswlibIndex&) = delete;
  HnswlibIndex& operator=(const HnswlibIndex&) = delete;

  // Copies and links one vector under `label`. Safe to call from several threads at once.
  void add(std::span<const float> vector, std::uint32_t label);

  // The search beam; hnswlib searches with max(ef, k).
  void set_ef(std::size_t ef);

  // The labels of the k nearest vectors, nearest first. Not to be called while adding.
  std::vector<std::uint32_t> search(std::span<const float> query, std::size_t k) const;

  // The mean length of the layer-0 neighbour lists.
  double mean_layer0_links() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexradb::bench
