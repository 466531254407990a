// A small pool of our own rather than a library's: it is only ever used for one flat parallel
// loop, and with plain std::thread, mutexes and atomics every hand-off is visible to
// ThreadSanitizer, which cannot see inside an uninstrumented scheduler library and reports
// false races there (that would hide real ones in the code the pool runs).

#include "base/worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vexradb {

// One parallel loop: its pieces are claimed through an atomic counter by the caller and by every
// worker that picks up one of its tickets.
struct WorkerPool::Job {
  const std::function<void(std::size_t)>* body;
  std::size_t count;
  std::size_t piece_size;
  std::size_t pieces;
  std::atomic<std::size_t> next_piece{0};
  std::atomic<bool> failed{false};

  std::mutex mu;
  std::condition_variable all_done;
  std::size_t finished_pieces = 0;  // guarded by mu
  std::exception_ptr error;         // guarded by mu

  // Claims and runs pieces until none are left.
  void work() {
    for (;;) {
      const std::size_t piece = next_piece.fetch_add(1, std::memory_order_relaxed);
      if (piece >= pieces) return;
      std::exception_ptr caught;
      if (!failed.load(std::memory_order_relaxed)) {
        const std::size_t begin = piece * piece_size;
        const std::size_t end = std::min(count, begin + piece_size);
        try {
          for (std::size_t i = begin; i < end; ++i) (*body)(i);
        } catch (...) {
          caught = std::current_exception();
          failed.store(true, std::memory_order_relaxed);
        }
      }
      std::lock_guard lock(mu);
      if (caught && !error) error = caught;
      if (++finished_pieces == pieces) all_done.notify_all();
    }
  }

  void wait() {
    std::unique_lock lock(mu);
    all_done.wait(lock, [this] { return finished_pieces == pieces; });
  }
};

WorkerPool::WorkerPool(unsigned workers, const ThreadStarter& start) {
  workers_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    try {
      workers_.push_back(start([this] { serve(); }));
    } catch (...) {
      break;  // out of threads (or memory): run with the workers already started
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

WorkerPool& WorkerPool::process_wide() {
  static WorkerPool pool(std::max(1u, std::thread::hardware_concurrency()) - 1);
  return pool;
}

// Offers the job to up to `tickets` idle workers.
void WorkerPool::offer(const std::shared_ptr<Job>& job, std::size_t tickets) {
  {
    std::lock_guard lock(mu_);
    for (std::size_t i = 0; i < tickets; ++i) queue_.push_back(job);
  }
  wake_.notify_all();
}

void WorkerPool::serve() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mu_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job->work();  // a ticket of a finished job finds no piece left
  }
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  // Many pieces per thread even out uneven item costs: a thread left idle waits at most one
  // small piece for the others (with four per thread, batch builds were 10% slower).
  const std::size_t target_pieces = std::min(count, threads() * 16);
  auto job = std::make_shared<Job>();
  job->body = &body;
  job->count = count;
  job->piece_size = (count + target_pieces - 1) / target_pieces;
  job->pieces = (count + job->piece_size - 1) / job->piece_size;
  if (job->pieces > 1 && !workers_.empty()) {
    offer(job, std::min(job->pieces, threads()) - 1);
  }
  job->work();
  job->wait();
  if (job->error) std::rethrow_exception(job->error);
}

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
  WorkerPool::process_wide().run(count, body);
}

}  // namespace vexradb
