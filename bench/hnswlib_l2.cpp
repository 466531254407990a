// hnswlib's header defines functions outside any class, so it is included in this file only.
#include "hnswlib_l2.hpp"

#include <hnswlib/hnswlib.h>

namespace vexradb::bench {

HnswlibDistance hnswlib_l2_kernel(std::size_t dimension) {
  // The kernels are free functions: the pointer outlives the space.
  hnswlib::L2Space space(dimension);
  return space.get_dist_func();
}

}  // namespace vexradb::bench
