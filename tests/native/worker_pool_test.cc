#include "runtime/worker_pool.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace brivane {
namespace {

using namespace std::chrono_literals;

constexpr auto kSettle = 50ms;

// tid -> name of this process's threads whose name starts with "brivane-w".
std::map<std::string, std::string> pool_threads() {
  std::map<std::string, std::string> found;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind("brivane-w", 0) == 0) found[entry->d_name] = name;
  }
  closedir(dir);
  return found;
}

// The pool threads present now that were not in `before`.
std::map<std::string, std::string> new_threads(const std::map<std::string, std::string>& before) {
  std::map<std::string, std::string> added;
  for (const auto& [tid, name] : pool_threads()) {
    if (!before.count(tid)) added[tid] = name;
  }
  return added;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::shared_ptr<WorkerPool> start_pool(std::uint64_t n) {
  auto pool = WorkerPool::start(n);
  EXPECT_TRUE(pool.ok()) << pool.error().text();
  return std::move(pool).value();
}

// Occupies one worker until released.
struct Gate {
  Sender<int> started_tx, release_tx;
  Receiver<int> started_rx, release_rx;
  Gate() {
    std::tie(started_tx, started_rx) = make_channel<int>(64);
    std::tie(release_tx, release_rx) = make_channel<int>(1);
  }
  Job job() {
    return [started = started_tx, release = release_rx] {
      started.send(1);
      release.recv();
    };
  }
  void wait_started() { ASSERT_TRUE(started_rx.recv()); }
  void open() { release_tx.reset(); }
};

// Runs `job` (or only destroys it) and reports whether its captures were
// released, with a capture of `Pad` bytes to cover inline and boxed storage.
template <std::size_t Pad>
void check_job_lifetime(bool run) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  int runs = 0;
  std::array<char, Pad> pad{};
  Job job([token = std::move(token), pad, &runs] { runs += 1 + pad[0]; });
  Job moved = std::move(job);
  EXPECT_FALSE(job);
  job();  // an empty job does nothing
  if (run) {
    moved();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(moved) << "a job runs once";
    moved();
    EXPECT_EQ(runs, 1);
  } else {
    moved.reset();
    EXPECT_EQ(runs, 0);
  }
  EXPECT_TRUE(watch.expired()) << "captures outlived the job";
}

TEST(Job, RunsOnceAndReleasesItsCapturesRunOrNot) {
  for (const bool run : {true, false}) {
    check_job_lifetime<8>(run);
    check_job_lifetime<256>(run);
  }
}

TEST(WorkerPool, StartRefusesZeroWorkers) {
  auto pool = WorkerPool::start(0);
  ASSERT_FALSE(pool.ok());
  EXPECT_EQ(pool.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(pool.error().text(), "num_workers must be greater than zero");
}

TEST(WorkerPool, QueueCapacityIsFourPerWorkerSaturating) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {1, 4}, {3, 12}, {kMax / 4, kMax / 4 * 4}, {kMax / 4 + 1, kMax}, {kMax, kMax}};
  for (const auto& [workers, capacity] : cases) EXPECT_EQ(WorkerPool::queue_capacity(workers), capacity) << workers;
}

TEST(WorkerPool, AbsurdWorkerCountFailsInsteadOfAborting) {
  for (const std::uint64_t n : {WorkerPool::kMaxWorkers + 1, std::uint64_t{1} << 40,
                                std::numeric_limits<std::uint64_t>::max()}) {
    auto pool = WorkerPool::start(n);
    ASSERT_FALSE(pool.ok());
    EXPECT_EQ(pool.error().kind(), ErrorKind::WorkerFailed);
  }
}

// Threads that could not all be started: the call fails and the ones that did
// start do not linger.
TEST(WorkerPool, ThreadStartFailureLeavesNoWorkersBehind) {
  const auto before = pool_threads();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  std::ifstream status("/proc/self/status");
  std::string line;
  rlim_t vm_bytes = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) vm_bytes = std::stoull(line.substr(7)) * 1024;
  }
  ASSERT_GT(vm_bytes, 0u);
  // Room for a few 2 MiB stacks, not for 256.
  rlimit tight{vm_bytes + (rlim_t{16} << 20), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  auto pool = WorkerPool::start(256);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);

  ASSERT_FALSE(pool.ok());
  EXPECT_EQ(pool.error().kind(), ErrorKind::WorkerFailed);
  EXPECT_TRUE(eventually([&] { return new_threads(before).empty(); }));
}

TEST(WorkerPool, RunsEveryJobOnThreadsNamedByIndex) {
  const auto before = pool_threads();
  auto pool = start_pool(3);
  EXPECT_EQ(pool->num_workers(), 3u);

  std::set<std::string> names;
  for (const auto& [tid, name] : new_threads(before)) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"brivane-w0", "brivane-w1", "brivane-w2"}));

  auto [tx, rx] = make_channel<int>(8);
  constexpr int kJobs = 200;
  std::thread submitter([&, tx = std::move(tx)] {
    for (int i = 0; i < kJobs; ++i) ASSERT_TRUE(pool->submit([tx, i] { tx.send(i); }).ok());
  });
  std::set<int> seen;
  for (int i = 0; i < kJobs; ++i) seen.insert(rx.recv().value_or(-1));
  submitter.join();
  EXPECT_EQ(seen.size(), std::size_t{kJobs});
  EXPECT_EQ(*seen.begin(), 0);
  EXPECT_EQ(*seen.rbegin(), kJobs - 1);
  // Every job and its sender clone are gone.
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(WorkerPool, WorkersLeaveAsynchronousSignalsToOtherThreads) {
  auto blocked_here = [](int sig) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, sig) == 1;
  };
  ASSERT_FALSE(blocked_here(SIGINT));
  auto pool = start_pool(1);
  EXPECT_FALSE(blocked_here(SIGINT)) << "the caller's mask must be restored";

  auto [tx, rx] = make_channel<std::pair<bool, bool>>(1);
  ASSERT_TRUE(pool->submit([tx = tx, blocked_here] { tx.send({blocked_here(SIGINT), blocked_here(SIGSEGV)}); }).ok());
  EXPECT_EQ(rx.recv(), std::make_pair(true, false));
}

TEST(WorkerPool, QueueHoldsFourJobsPerWorkerThenSubmitWaits) {
  auto pool = start_pool(1);
  Gate gate;
  ASSERT_TRUE(pool->submit(gate.job()).ok());
  gate.wait_started();

  auto [tx, rx] = make_channel<int>(8);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool->submit([tx = tx, i] { tx.send(i); }).ok());
  std::atomic<bool> fifth_queued{false};
  std::thread producer([&, tx = tx] {
    EXPECT_TRUE(pool->submit([tx] { tx.send(4); }).ok());
    fifth_queued = true;
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(fifth_queued.load());
  gate.open();
  producer.join();
  // One worker runs the queue in arrival order.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(rx.recv(), i);
}

TEST(WorkerPool, ThrowingJobsReportThroughTheirFaultHandlerAndWorkersSurvive) {
  const auto before = pool_threads();
  auto pool = start_pool(2);
  auto [tx, rx] = make_channel<int>(64);
  constexpr int kThrowing = 6, kNormal = 10;
  for (int i = 0; i < kThrowing; ++i) {
    ASSERT_TRUE(pool->submit(Job([] { throw std::runtime_error("boom"); }, [tx = tx] { tx.send(-1); })).ok());
  }
  // A throwing job without a handler still lets go of what it captured.
  ASSERT_TRUE(pool->submit([tx = tx] {
                    tx.send(-2);
                    throw 42;
                  })
                  .ok());
  for (int i = 0; i < kNormal; ++i) ASSERT_TRUE(pool->submit([tx = tx, i] { tx.send(i); }).ok());
  tx.reset();

  int faults = 0, unhandled = 0, normal = 0;
  while (auto v = rx.recv()) {
    if (*v == -1) ++faults;
    else if (*v == -2) ++unhandled;
    else ++normal;
  }
  EXPECT_EQ(faults, kThrowing);
  EXPECT_EQ(unhandled, 1);
  EXPECT_EQ(normal, kNormal);
  EXPECT_EQ(new_threads(before).size(), 2u) << "the pool lost a worker";
}

TEST(WorkerPool, WorkersRunWhatIsQueuedAndEndAfterTheLastReferenceGoes) {
  const auto before = pool_threads();
  auto pool = start_pool(2);
  Gate gate;
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(pool->submit(gate.job()).ok());
  gate.wait_started();
  gate.wait_started();
  auto [tx, rx] = make_channel<int>(8);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(pool->submit([tx = tx, i] { tx.send(i); }).ok());
  tx.reset();

  pool.reset();
  EXPECT_EQ(new_threads(before).size(), 2u) << "busy workers end only after the queue is drained";

  gate.open();
  std::set<int> seen;
  while (auto v = rx.recv()) seen.insert(*v);
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_TRUE(eventually([&] { return new_threads(before).empty(); }));
}

// Rendezvous of `n` jobs that gives up after a while instead of hanging.
class Rendezvous {
 public:
  explicit Rendezvous(int n) : n_(n) {}
  bool arrive_and_wait() {
    std::unique_lock lock(mu_);
    const int round = round_;
    if (++arrived_ == n_) {
      arrived_ = 0;
      ++round_;
      cv_.notify_all();
      return true;
    }
    return cv_.wait_for(lock, 10s, [&] { return round_ != round; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  const int n_;
  int arrived_ = 0;
  int round_ = 0;
};

// Each round's jobs can only finish together, so every queued job must reach
// its own worker even when workers are asleep, spinning or busy as the burst
// arrives.
TEST(WorkerPool, BurstsThatNeedEveryWorkerAtOnceAllRun) {
  constexpr int kWorkers = 3, kRounds = 3000;
  auto pool = start_pool(kWorkers);
  Rendezvous all_running(kWorkers);
  auto [tx, rx] = make_channel<bool>(kWorkers);
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kWorkers; ++i) {
      ASSERT_TRUE(pool->submit([&all_running, tx = tx] { tx.send(all_running.arrive_and_wait()); }).ok());
    }
    for (int i = 0; i < kWorkers; ++i) ASSERT_EQ(rx.recv(), true) << "round " << round;
    // Gaps around the workers' spinning budget catch some of them asleep and
    // some still spinning when the next burst comes.
    const auto gap = std::chrono::microseconds(round % 16 * 8);
    for (const auto until = std::chrono::steady_clock::now() + gap; std::chrono::steady_clock::now() < until;) {
    }
  }
}

TEST(WorkerPool, OneWorkerServesManyProducers) {
  auto pool = start_pool(1);
  constexpr int kProducers = 8, kPerProducer = 500;
  auto [tx, rx] = make_channel<int>(4);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, tx = tx] {
      for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(pool->submit([tx] { tx.send(1); }).ok());
    });
  }
  tx.reset();
  int total = 0;
  for (int i = 0; i < kProducers * kPerProducer; ++i) total += rx.recv().value_or(0);
  for (auto& t : producers) t.join();
  EXPECT_EQ(total, kProducers * kPerProducer);
}

// utime + stime of the given threads, in clock ticks.
long cpu_ticks(const std::map<std::string, std::string>& threads) {
  long ticks = 0;
  for (const auto& [tid, name] : threads) {
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string text;
    std::getline(stat, text);
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stol(field);
    }
  }
  return ticks;
}

// A job that says its submitter follows up promptly, as the writer's relay does.
struct PromptJob {
  static constexpr bool kFollowedPromptly = true;
  Sender<int> tx;
  void operator()() { tx.send(1); }
};

TEST(Job, CarriesWhetherItsSubmitterFollowsUpPromptly) {
  auto [tx, rx] = make_channel<int>(1);
  Job prompt(PromptJob{tx});
  Job plain([] {});
  EXPECT_TRUE(prompt.followed_promptly());
  EXPECT_FALSE(plain.followed_promptly());
  Job moved(std::move(prompt));
  EXPECT_TRUE(moved.followed_promptly());
  plain = std::move(moved);
  EXPECT_TRUE(plain.followed_promptly());
}

TEST(WorkerPool, IdleWorkersUseNoCpu) {
  // Also after jobs that make a worker wait patiently for the next one.
  for (const bool prompt : {false, true}) {
    const auto before = pool_threads();
    auto pool = start_pool(2);
    auto [tx, rx] = make_channel<int>(100);
    for (int i = 0; i < 100; ++i) {
      Job job = prompt ? Job(PromptJob{tx}) : Job([tx = tx] { tx.send(1); });
      ASSERT_TRUE(pool->submit(std::move(job)).ok());
    }
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(rx.recv());
    const auto workers = new_threads(before);
    ASSERT_EQ(workers.size(), 2u);
    std::this_thread::sleep_for(kSettle);
    const long start = cpu_ticks(workers);
    std::this_thread::sleep_for(500ms);
    // Spinning workers would burn about 100 ticks here.
    EXPECT_LE(cpu_ticks(workers) - start, 2) << (prompt ? "after prompt jobs" : "after plain jobs");
  }
}

}  // namespace
}  // namespace brivane
