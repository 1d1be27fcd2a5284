#include "runtime/spin_wait.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace brivane {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "futex word must be a plain u32");

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, timeout,
                 nullptr, 0);
}

}  // namespace

void yield_thread() noexcept { sched_yield(); }

bool WaitWord::wait(std::uint32_t seen, std::optional<std::chrono::nanoseconds> timeout) noexcept {
  timespec ts{};
  const timespec* relative = nullptr;
  if (timeout) {
    const auto ns = timeout->count() < 0 ? 0 : timeout->count();
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    relative = &ts;
  }
  // EAGAIN (the word already moved on) and EINTR count as a wake-up: the
  // caller looks again either way.
  if (futex(&word_, FUTEX_WAIT, seen, relative) == 0) return true;
  return errno != ETIMEDOUT;
}

void WaitWord::wake_one() noexcept { futex(&word_, FUTEX_WAKE, 1, nullptr); }

void WaitWord::wake_all() noexcept { futex(&word_, FUTEX_WAKE, INT_MAX, nullptr); }

}  // namespace brivane
