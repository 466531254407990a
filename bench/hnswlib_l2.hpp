#pragma once

#include <cstddef>

namespace vexradb::bench {

// hnswlib's distance function type; the third argument points to the dimension (std::size_t).
using HnswlibDistance = float (*)(const void* a, const void* b, const void* dimension);

// The squared Euclidean kernel hnswlib's L2Space chooses for `dimension`-element vectors.
HnswlibDistance hnswlib_l2_kernel(std::size_t dimension);

}  // namespace vexradb::bench
