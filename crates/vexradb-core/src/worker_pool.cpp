// A small pool of our own rather than a library's: it is only ever used for one flat parallel
// loop, and with plain std::thread, mutexes and atomics every hand-off is visible to
// ThreadSanitizer, which cannot see inside an uninstrumented scheduler library and reports
// false races there (that would hide real ones in the code the pool runs).

#include "worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexradb {
namespace {

// One parallel_for call: its pieces are claimed through an atomic counter by the caller and by
// every worker that picks up one of its tickets.
struct Job {
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

class WorkerPool {
 public:
  static WorkerPool& instance() {
    static WorkerPool pool(std::max(1u, std::thread::hardware_concurrency()));
    return pool;
  }

  std::size_t threads() const { return workers_.size() + 1; }  // the caller takes part

  // Offers the job to up to `tickets` idle workers.
  void offer(const std::shared_ptr<Job>& job, std::size_t tickets) {
    {
      std::lock_guard lock(mu_);
      for (std::size_t i = 0; i < tickets; ++i) queue_.push_back(job);
    }
    wake_.notify_all();
  }

  ~WorkerPool() {
    {
      std::lock_guard lock(mu_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

 private:
  explicit WorkerPool(unsigned processors) {
    for (unsigned i = 1; i < processors; ++i) workers_.emplace_back([this] { serve(); });
  }

  void serve() {
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

  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;  // guarded by mu_
  bool stopping_ = false;                   // guarded by mu_
};

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  WorkerPool& pool = WorkerPool::instance();
  // Many pieces per thread even out uneven item costs: a thread left idle waits at most one
  // small piece for the others (with four per thread, batch builds were 10% slower).
  const std::size_t target_pieces = std::min(count, pool.threads() * 16);
  auto job = std::make_shared<Job>();
  job->body = &body;
  job->count = count;
  job->piece_size = (count + target_pieces - 1) / target_pieces;
  job->pieces = (count + job->piece_size - 1) / job->piece_size;
  if (job->pieces > 1) pool.offer(job, std::min(job->pieces, pool.threads()) - 1);
  job->work();
  job->wait();
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace vexradb
