// Round trips through one worker pool: submit a job, a worker runs it and
// sends its index back on a result channel, the submitter receives it and
// submits the next. Measured with one job in flight (hand-off latency) and
// with several (throughput), then the pool's CPU use while idle.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/channel.h"
#include "runtime/worker_pool.h"

namespace {

using brivane::make_channel;
using brivane::WorkerPool;

constexpr std::uint64_t kWorkers = 2;

struct Run {
  std::uint64_t jobs;
  double seconds;
};

Run round_trips(const WorkerPool& pool, std::uint64_t in_flight, std::uint64_t total) {
  auto [tx, rx] = make_channel<std::uint64_t>(in_flight);
  auto submit = [&, tx = tx](std::uint64_t i) {
    if (!pool.submit([tx, i] { tx.send(i); }).ok()) std::abort();
  };
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t next = 0;
  for (; next < in_flight && next < total; ++next) submit(next);
  for (std::uint64_t done = 0; done < total; ++done) {
    if (!rx.recv()) std::abort();
    if (next < total) submit(next++);
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return {total, elapsed.count()};
}

// utime + stime, in clock ticks, of this process's threads named brivane-w*.
long worker_cpu_ticks() {
  long ticks = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("brivane-w", 0) != 0) continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the ")" closing the name: state is field 3, utime 14, stime 15.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    ticks += utime + stime;
  }
  closedir(dir);
  return ticks;
}

}  // namespace

// Usage: bench_pool_roundtrip [jobs per run] [one in-flight count]
int main(int argc, char** argv) {
  const std::uint64_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  std::vector<std::uint64_t> in_flight_counts = {1, 2, 8, 32};
  if (argc > 2) in_flight_counts = {std::strtoull(argv[2], nullptr, 10)};
  auto started = WorkerPool::start(kWorkers);
  if (!started.ok()) {
    std::fprintf(stderr, "pool start failed: %s\n", started.error().text().c_str());
    return 1;
  }
  const auto pool = std::move(started).value();

  round_trips(*pool, 8, total / 10);  // warm-up
  std::printf("pool_roundtrip: %llu workers, %llu jobs per run\n", static_cast<unsigned long long>(kWorkers),
              static_cast<unsigned long long>(total));
  for (const std::uint64_t in_flight : in_flight_counts) {
    const Run run = round_trips(*pool, in_flight, total);
    std::printf("  in flight %3llu: %12.0f jobs/s  %8.3f us per job\n", static_cast<unsigned long long>(in_flight),
                run.jobs / run.seconds, run.seconds * 1e6 / run.jobs);
  }

  // Let the workers' spinning run out, then watch them sit idle for a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long before = worker_cpu_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long after = worker_cpu_ticks();
  std::printf("  idle for 1 s: %ld clock ticks of worker CPU (%ld ticks per second)\n", after - before,
              sysconf(_SC_CLK_TCK));
  return 0;
}
