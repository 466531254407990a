#pragma once

#include <cstddef>
#include <functional>

namespace vexradb {

// Runs body(i) for every i in [0, count) on the process-wide worker pool (one worker per logical
// processor) and returns when all are done; the calling thread takes part. The range is cut into
// contiguous pieces, each processed in order by one thread; which thread runs which piece has no
// effect on what the body computes. The first exception thrown by a body is rethrown here, after
// every piece has finished or been skipped.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

}  // namespace vexradb
