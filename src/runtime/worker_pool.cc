#include "runtime/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace brivane {
namespace {

constexpr std::size_t kWorkerStackSize = std::size_t{2} << 20;

// Linux keeps 15 bytes of a thread name, too few for "brivane-worker-{i}",
// so the OS sees the short form "brivane-w{i}": still the project's name,
// with the whole index (at most 5 digits below kMaxWorkers).
std::string os_thread_name(std::uint64_t index) { return "brivane-w" + std::to_string(index); }
static_assert(sizeof("brivane-w65535") - 1 <= 15);

void* worker_main(void* arg) {
  std::unique_ptr<Receiver<Job>> queue(static_cast<Receiver<Job>*>(arg));
  // After a job whose submitter follows up promptly, wait patiently for the
  // next one; otherwise spin briefly and leave the core to busier threads.
  SpinPolicy policy = SpinPolicy::Short;
  while (std::optional<Job> job = queue->recv(policy)) {
    policy = job->followed_promptly() ? SpinPolicy::Patient : SpinPolicy::Short;
    (*job)();
  }
  return nullptr;
}

// Starts one detached worker on its own receiving end of the queue.
bool spawn_worker(const pthread_attr_t& attr, const Receiver<Job>& queue, std::uint64_t index) {
  auto* own_end = new (std::nothrow) Receiver<Job>(queue);
  if (own_end == nullptr) return false;
  pthread_t thread;
  if (pthread_create(&thread, &attr, worker_main, own_end) != 0) {
    delete own_end;
    return false;
  }
  // The worker cannot end before the queue closes, and the caller still holds
  // its sending end, so the handle is valid here. A refused name is cosmetic.
  pthread_setname_np(thread, os_thread_name(index).c_str());
  return true;
}

// Blocks asynchronous signals in the calling thread while alive, so that the
// threads it starts inherit the mask: a Ctrl-C then always reaches a Python
// thread, which can act on it, and never interrupts a worker, which cannot.
// Faults stay deliverable so a crashing worker is still reported where it
// crashed.
class AsyncSignalsBlocked {
 public:
  AsyncSignalsBlocked() {
    sigset_t blocked;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&blocked, fault);
    active_ = pthread_sigmask(SIG_BLOCK, &blocked, &saved_) == 0;
  }
  ~AsyncSignalsBlocked() {
    if (active_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
  AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
  bool active_ = false;
};

class ThreadAttr {
 public:
  ThreadAttr() { ok_ = pthread_attr_init(&attr_) == 0; }
  ~ThreadAttr() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  ThreadAttr(const ThreadAttr&) = delete;
  ThreadAttr& operator=(const ThreadAttr&) = delete;

  bool configure_detached(std::size_t stack_size) {
    return ok_ && pthread_attr_setstacksize(&attr_, stack_size) == 0 &&
           pthread_attr_setdetachstate(&attr_, PTHREAD_CREATE_DETACHED) == 0;
  }
  const pthread_attr_t& get() const { return attr_; }

 private:
  pthread_attr_t attr_;
  bool ok_ = false;
};

}  // namespace

std::uint64_t WorkerPool::queue_capacity(std::uint64_t num_workers) noexcept {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (num_workers == 0) return 1;
  return num_workers > kMax / 4 ? kMax : num_workers * 4;
}

Result<std::shared_ptr<WorkerPool>> WorkerPool::start(std::uint64_t num_workers) {
  if (num_workers == 0) return ModuleError::invalid_argument("num_workers must be greater than zero");
  if (num_workers > kMaxWorkers) return ModuleError::worker_failed();
  static_assert(std::numeric_limits<std::size_t>::max() >= std::numeric_limits<std::uint64_t>::max());

  // Leaving this function early drops both ends, which closes the queue: any
  // worker already started then sees it closed and empty, and ends.
  std::optional<std::pair<Sender<Job>, Receiver<Job>>> queue;
  try {
    queue.emplace(make_channel<Job>(queue_capacity(num_workers)));
  } catch (const std::bad_alloc&) {
    return ModuleError::worker_failed();
  }

  ThreadAttr attr;
  if (!attr.configure_detached(kWorkerStackSize)) return ModuleError::worker_failed();
  {
    const AsyncSignalsBlocked inherited_by_workers;
    for (std::uint64_t i = 0; i < num_workers; ++i) {
      if (!spawn_worker(attr.get(), queue->second, i)) return ModuleError::worker_failed();
    }
  }

  auto* pool = new (std::nothrow) WorkerPool(std::move(queue->first), num_workers);
  if (pool == nullptr) return ModuleError::worker_failed();
  try {
    return std::shared_ptr<WorkerPool>(pool);
  } catch (const std::bad_alloc&) {
    // shared_ptr deletes the pool itself when its control block cannot be made.
    return ModuleError::worker_failed();
  }
}

Status WorkerPool::submit(Job job) const {
  if (queue_.send(std::move(job))) return ok_status();
  return ModuleError::worker_failed();
}

}  // namespace brivane
