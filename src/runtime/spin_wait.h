// How channel ends wait: a bounded spin (Backoff), a futex word to sleep on
// once spinning stops paying off (WaitWord), and the protocol that decides
// who sleeps and who must be woken (WaitRoom).
//
// Waking a sleeping thread costs tens of microseconds, a spinning hand-off a
// fraction of one, so a busy pipeline must find its partner still spinning.
// An idle one must stop spinning quickly and cost no CPU at all.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace brivane {

// Hints the CPU that this is a spin loop (cheaper for the sibling hyperthread
// and for the memory system than a tight reload loop).
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Gives the core to another runnable thread, if any.
void yield_thread() noexcept;

// How long a blocked caller keeps trying before it sleeps. Short: a few
// microseconds of pause spinning and a few yields, for threads that have a
// core's worth of work to share with others (the workers, a consumer that
// outruns them). Patient: pause spinning for a fixed time that outlasts a
// wake-up, for a thread whose partner answers within microseconds once awake:
// were it to give up sooner, it would be asleep by the time its just-woken
// partner answers, the partner gives up in turn, and from then on every
// hand-off pays two wake-ups.
enum class SpinPolicy { Short, Patient };

// Exponential pause spinning, then (Short) a few yields, then "give up and
// block". A Patient budget is measured in time, not in pauses: a pause takes
// 11 ns on some processors and 140 on others.
class Backoff {
 public:
  static constexpr std::chrono::microseconds kPatientBudget{50};

  explicit Backoff(SpinPolicy policy = SpinPolicy::Short) noexcept : policy_(policy) {}

  // One waiting step. Returns false once the caller should block instead.
  bool snooze() noexcept {
    if (policy_ == SpinPolicy::Patient) {
      if (step_ == 0) started_ = std::chrono::steady_clock::now();
      spin_round();
      ++step_;
      // The clock is read once per full round only, several hundred nanoseconds apart.
      return step_ < kMaxShift || std::chrono::steady_clock::now() - started_ < kPatientBudget;
    }
    if (step_ < kSpinSteps) {
      spin_round();
    } else if (step_ < kSpinSteps + kYieldSteps) {
      yield_thread();
    } else {
      return false;
    }
    ++step_;
    return true;
  }
  void reset() noexcept { step_ = 0; }

 private:
  void spin_round() noexcept {
    const std::uint32_t rounds = 1u << (step_ < kMaxShift ? step_ : kMaxShift);
    for (std::uint32_t i = 0; i < rounds; ++i) cpu_relax();
  }

  static constexpr std::uint32_t kMaxShift = 6;
  static constexpr std::uint32_t kSpinSteps = 12;
  // Few yields: on a loaded machine each one can hand the core away for a
  // whole timeslice (milliseconds), far more than a futex sleep and wake.
  static constexpr std::uint32_t kYieldSteps = 4;
  SpinPolicy policy_;
  std::uint32_t step_ = 0;
  std::chrono::steady_clock::time_point started_{};
};

// A 32-bit word threads can sleep on until another thread changes it and
// wakes them (a Linux futex, process-private).
class WaitWord {
 public:
  std::uint32_t load() const noexcept { return word_.load(std::memory_order_acquire); }

  // Changes the word, so that a thread about to sleep on the old value does not.
  void bump() noexcept { word_.fetch_add(1, std::memory_order_acq_rel); }

  // Sleeps while the word still equals `seen`, until woken or until the
  // timeout (if any) elapses. Returns false on timeout. May return early.
  bool wait(std::uint32_t seen, std::optional<std::chrono::nanoseconds> timeout) noexcept;

  void wake_one() noexcept;
  void wake_all() noexcept;

 private:
  std::atomic<std::uint32_t> word_{0};
};

// The outcome of one non-blocking try, and of a wait made of such tries.
enum class TryResult { Done, Again, Closed };

using WaitClock = std::chrono::steady_clock;

// The threads waiting on one side of a channel: receivers waiting for items,
// or senders waiting for free slots.
//
// `census` packs the number of registered spinners (low half) and of
// sleepers (high half), so one load reads both. Progress on the other side
// wakes one sleeper only when nobody spins: a registered spinner will find
// the change itself, and passes the wake-up on (handoff) when it stops
// spinning. A spinner registers only while somebody sleeps; with no sleepers
// nobody needs waking, and the census line stays untouched (and cached
// everywhere) on the busy path.
class alignas(64) WaitRoom {
 public:

  // The other side made progress that may let one waiter through.
  void notify() noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const std::uint64_t c = census_.load(std::memory_order_relaxed);
    if (spinners(c) == 0 && sleepers(c) != 0) wake_one();
  }

  // The channel closed: every waiter must look again.
  void notify_all() noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sleepers(census_.load(std::memory_order_relaxed)) != 0) {
      word_.bump();
      word_.wake_all();
    }
  }

  // Repeats `attempt` (the caller's own first try just returned Again) until
  // it is Done or Closed, or until `deadline` passes (then Again). `more`
  // tells whether another waiter could still get through after this one.
  template <class TryOnce, class More>
  TryResult wait(TryOnce&& attempt, More&& more, std::optional<WaitClock::time_point> deadline,
                 SpinPolicy policy = SpinPolicy::Short) noexcept {
    std::uint64_t role = 0;  // kSpinner once registered
    Backoff backoff(policy);
    for (std::uint32_t round = 0;; ++round) {
      if (role == 0 && round % kCensusPeriod == 0 &&
          sleepers(census_.load(std::memory_order_relaxed)) != 0) {
        role = kSpinner;
        census_.fetch_add(kSpinner, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
      }
      TryResult a = attempt();
      if (a == TryResult::Done || (deadline && a == TryResult::Again && WaitClock::now() >= *deadline)) {
        if (role != 0) leave(role, more);
        return a;
      }
      if (a == TryResult::Closed) {
        if (role != 0) census_.fetch_sub(role, std::memory_order_relaxed);
        return a;
      }
      if (backoff.snooze()) continue;

      // Register as a sleeper before the last look, so that whoever makes
      // progress after that look sees us and wakes us.
      const std::uint32_t seen = word_.load();
      census_.fetch_add(kSleeper - role, std::memory_order_seq_cst);
      role = kSleeper;
      std::atomic_thread_fence(std::memory_order_seq_cst);
      a = attempt();
      if (a == TryResult::Again) {
        std::optional<std::chrono::nanoseconds> timeout;
        if (deadline) timeout = std::max(*deadline - WaitClock::now(), WaitClock::duration::zero());
        if (word_.wait(seen, timeout)) {
          // Woken: spin again, registered, so nobody else needs waking meanwhile.
          census_.fetch_add(kSpinner - kSleeper, std::memory_order_seq_cst);
          role = kSpinner;
          backoff.reset();
          continue;
        }
        // Timed out: one last look once no waker can count on us any more.
        census_.fetch_sub(kSleeper, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        a = attempt();
        if (a == TryResult::Done) handoff(more);
        return a;
      }
      if (a == TryResult::Done) {
        leave(kSleeper, more);
      } else {
        census_.fetch_sub(kSleeper, std::memory_order_relaxed);
      }
      return a;
    }
  }

 private:
  static constexpr std::uint64_t kSpinner = 1;
  static constexpr std::uint64_t kSleeper = std::uint64_t{1} << 32;
  // How often (in spin rounds) an unregistered spinner checks for sleepers.
  static constexpr std::uint32_t kCensusPeriod = 4;
  static std::uint32_t spinners(std::uint64_t c) { return static_cast<std::uint32_t>(c); }
  static std::uint32_t sleepers(std::uint64_t c) { return static_cast<std::uint32_t>(c >> 32); }

  void wake_one() noexcept {
    word_.bump();
    word_.wake_one();
  }

  // A registered waiter stops waiting. Producers may have skipped a wake-up
  // because it was spinning; if there is still something to take, it passes
  // the wake-up on to a sleeper.
  template <class More>
  void leave(std::uint64_t role, More& more) noexcept {
    census_.fetch_sub(role, std::memory_order_seq_cst);
    handoff(more);
  }

  template <class More>
  void handoff(More& more) noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const std::uint64_t c = census_.load(std::memory_order_relaxed);
    if (spinners(c) == 0 && sleepers(c) != 0 && more()) wake_one();
  }

  std::atomic<std::uint64_t> census_{0};
  WaitWord word_;
};

}  // namespace brivane
