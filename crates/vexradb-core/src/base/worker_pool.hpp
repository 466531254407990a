#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexradb {

// Runs body(i) for every i in [0, count) on the process-wide worker pool (one worker per logical
// processor) and returns when all are done; the calling thread takes part. The range is cut into
// contiguous pieces, each processed in order by one thread; which thread runs which piece has no
// effect on what the body computes. The first exception thrown by a body is rethrown here, after
// every piece has finished or been skipped.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

// The threads behind parallel_for. Tests build their own to control how threads start.
class WorkerPool {
 public:
  // Starts a thread running `work`; throws (std::system_error) when the system refuses one.
  using ThreadStarter = std::function<std::thread(std::function<void()> work)>;
  static std::thread start_thread(std::function<void()> work) {
    return std::thread(std::move(work));
  }

  // Starts up to `workers` threads. When the system refuses one, the pool keeps those it has
  // and starts no more; with none at all, the calling thread runs every loop alone.
  explicit WorkerPool(unsigned workers, const ThreadStarter& start = start_thread);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  // The process-wide pool parallel_for runs on.
  static WorkerPool& process_wide();

  // The threads a loop runs on: the workers and the caller.
  std::size_t threads() const { return workers_.size() + 1; }
  // parallel_for on this pool.
  void run(std::size_t count, const std::function<void(std::size_t)>& body);

 private:
  struct Job;
  void offer(const std::shared_ptr<Job>& job, std::size_t tickets);
  void serve();

  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;  // guarded by mu_
  bool stopping_ = false;                   // guarded by mu_
};

}  // namespace vexradb
