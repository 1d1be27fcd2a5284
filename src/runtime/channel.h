// Bounded multi-producer multi-consumer channels.
//
// make_channel(capacity) returns a Sender and a Receiver sharing one ring of
// `capacity` slots. Either end may be copied (each copy is one more sender or
// receiver of the same channel) and moved. When the last sender is gone,
// receivers drain what is buffered and then see the channel closed; when the
// last receiver is gone, senders fail at once and whatever is still buffered
// is destroyed. send and recv may be called from any number of threads at
// once, also on one shared end object; copying, assigning or resetting one
// end object is, as with shared_ptr, for its owner alone.
//
// The ring is lock-free (a per-slot stamp tells each side whose turn a slot
// is). Blocked callers spin briefly, then sleep on a futex. A side that makes
// progress (an item pushed, a slot freed) only enters the kernel when some
// waiter really sleeps and no other waiter is still spinning, so a busy
// pipeline hands items over without system calls.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/spin_wait.h"

namespace brivane {

enum class RecvStatus { Ok, Timeout, Disconnected };

template <class T>
class Sender;
template <class T>
class Receiver;

// A channel holding at most `capacity` items (a capacity of 0 is taken as 1).
// Throws std::bad_alloc if the ring cannot be allocated. Items must be
// nothrow-movable.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity);

// The ring behind every channel and the counted reference each end holds.
namespace channel_detail {
template <class T>
class Shared;
template <class T, bool kIsSender>
class ChannelEnd;
}  // namespace channel_detail

template <class T>
class Sender {
 public:
  Sender() noexcept = default;

  // Queues `value`, waiting while the channel is full. Returns false (and
  // destroys the value) once no receiver is left.
  bool send(T value) const noexcept {
    auto* ch = end_.get();
    if (ch == nullptr) return false;
    TryResult a = ch->try_push(value);
    if (a == TryResult::Again) {
      a = ch->writers.wait([&] { return ch->try_push(value); }, [&] { return ch->has_room(); }, std::nullopt);
    }
    if (a != TryResult::Done) return false;
    ch->readers.notify();
    return true;
  }

  // Lets go of this end; the channel closes when it was the last sender.
  void reset() noexcept { end_.reset(); }

  explicit operator bool() const noexcept { return end_.get() != nullptr; }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t);
  explicit Sender(channel_detail::Shared<T>* shared) noexcept : end_(shared) {}

  channel_detail::ChannelEnd<T, true> end_;
};

template <class T>
class Receiver {
 public:
  Receiver() noexcept = default;

  // The next item, waiting while the channel is empty; nullopt once it is
  // empty and no sender is left. `policy` says how long to spin before sleeping.
  std::optional<T> recv(SpinPolicy policy = SpinPolicy::Short) const noexcept {
    std::optional<T> out;
    if (end_.get() != nullptr) take(out, std::nullopt, policy);
    return out;
  }

  // As recv, giving up after `timeout`. `out` holds the item only on Ok.
  RecvStatus recv_for(std::chrono::nanoseconds timeout, std::optional<T>& out,
                      SpinPolicy policy = SpinPolicy::Short) const noexcept {
    out.reset();
    if (end_.get() == nullptr) return RecvStatus::Disconnected;
    const auto now = WaitClock::now();
    std::optional<WaitClock::time_point> deadline;
    // A timeout beyond any real wait would overflow the clock: wait for ever.
    if (timeout < WaitClock::time_point::max() - now) {
      deadline = now + std::chrono::duration_cast<WaitClock::duration>(std::max(timeout, decltype(timeout)::zero()));
    }
    switch (take(out, deadline, policy)) {
      case TryResult::Done:
        return RecvStatus::Ok;
      case TryResult::Again:
        return RecvStatus::Timeout;
      case TryResult::Closed:
        break;
    }
    return RecvStatus::Disconnected;
  }

  // The next item if one is buffered right now.
  std::optional<T> try_recv() const noexcept {
    std::optional<T> out;
    auto* ch = end_.get();
    if (ch != nullptr && ch->try_pop(out) == TryResult::Done) ch->writers.notify();
    return out;
  }

  // Lets go of this end; when it was the last receiver the channel closes and
  // the buffered items are destroyed.
  void reset() noexcept { end_.reset(); }

  explicit operator bool() const noexcept { return end_.get() != nullptr; }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t);
  explicit Receiver(channel_detail::Shared<T>* shared) noexcept : end_(shared) {}

  TryResult take(std::optional<T>& out, std::optional<WaitClock::time_point> deadline,
                 SpinPolicy policy) const noexcept {
    auto* ch = end_.get();
    TryResult a = ch->try_pop(out);
    if (a == TryResult::Again && (!deadline || *deadline > WaitClock::now())) {
      a = ch->readers.wait([&] { return ch->try_pop(out); }, [&] { return ch->has_items(); }, deadline, policy);
    }
    if (a == TryResult::Done) ch->writers.notify();
    return a;
  }

  channel_detail::ChannelEnd<T, false> end_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
  // One sender and one receiver are counted from the start.
  auto* shared = new channel_detail::Shared<T>(capacity);
  return {Sender<T>(shared), Receiver<T>(shared)};
}

// ---------------------------------------------------------------------------
// Implementation

namespace channel_detail {

inline constexpr std::size_t kCacheLine = 64;

// How many senders and receivers share a channel, in one word so that a
// clone or a drop costs one atomic operation. The last end of a side pins
// the channel while it closes it; whoever brings the word to zero frees it.
class EndCount {
 public:
  static constexpr std::uint64_t kSender = 1;
  static constexpr std::uint64_t kReceiver = std::uint64_t{1} << 30;

  void add(std::uint64_t side) noexcept { word_.fetch_add(side, std::memory_order_relaxed); }

  // Drops one end of `side`. Returns true when it was the last of its side;
  // the caller then closes the channel and calls unpin().
  bool drop(std::uint64_t side, bool& free_now) noexcept {
    std::uint64_t old = word_.load(std::memory_order_relaxed);
    for (;;) {
      const bool last = ((old / side) & kFieldMask) == 1;
      const std::uint64_t next = old - side + (last ? kPin : 0);
      if (word_.compare_exchange_weak(old, next, std::memory_order_acq_rel, std::memory_order_relaxed)) {
        free_now = next == 0;
        return last;
      }
    }
  }

  // Returns true when the channel is now free.
  bool unpin() noexcept { return word_.fetch_sub(kPin, std::memory_order_acq_rel) == kPin; }

 private:
  static constexpr std::uint64_t kFieldMask = (std::uint64_t{1} << 30) - 1;
  static constexpr std::uint64_t kPin = std::uint64_t{1} << 60;
  std::atomic<std::uint64_t> word_{kSender + kReceiver};
};

template <class T>
class Shared {
  // A move that throws halfway through a push or pop would leave a slot
  // claimed for ever.
  static_assert(std::is_nothrow_move_constructible_v<T>, "channel items must be nothrow-movable");

 public:
  explicit Shared(std::size_t capacity)
      : capacity_(std::max<std::size_t>(capacity, 1)), slots_(new Slot[capacity_]) {
    for (std::size_t i = 0; i < capacity_; ++i) slots_[i].stamp.store(free_stamp(i), std::memory_order_relaxed);
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() { drain(); }

  // Moves `value` into the ring (only when Done).
  TryResult try_push(T& value) noexcept {
    std::uint64_t t = tail_.load(std::memory_order_relaxed);
    for (;;) {
      if (t & kClosed) return TryResult::Closed;
      const std::uint64_t pos = t >> 1;
      Slot& slot = slots_[pos % capacity_];
      const std::uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
      if (stamp == free_stamp(pos)) {
        if (tail_.compare_exchange_weak(t, t + 2, std::memory_order_relaxed, std::memory_order_relaxed)) {
          ::new (static_cast<void*>(slot.storage)) T(std::move(value));
          slot.stamp.store(full_stamp(pos), std::memory_order_release);
          return TryResult::Done;
        }
      } else if (static_cast<std::int64_t>(stamp - free_stamp(pos)) < 0) {
        // The slot still holds the item of the previous lap: full.
        return TryResult::Again;
      } else {
        t = tail_.load(std::memory_order_relaxed);
      }
    }
  }

  TryResult try_pop(std::optional<T>& out) noexcept {
    std::uint64_t h = head_.load(std::memory_order_relaxed);
    for (;;) {
      Slot& slot = slots_[h % capacity_];
      const std::uint64_t stamp = slot.stamp.load(std::memory_order_acquire);
      const auto lag = static_cast<std::int64_t>(stamp - full_stamp(h));
      if (lag == 0) {
        if (head_.compare_exchange_weak(h, h + 1, std::memory_order_relaxed, std::memory_order_relaxed)) {
          T* item = slot.item();
          out.emplace(std::move(*item));
          item->~T();
          slot.stamp.store(free_stamp(h + capacity_), std::memory_order_release);
          return TryResult::Done;
        }
      } else if (lag < 0) {
        // Empty, or a push into this slot is still being written. The tail
        // is left alone while open, so that the writers keep its line.
        if (!closed_.load(std::memory_order_acquire)) return TryResult::Again;
        const std::uint64_t t = tail_.load(std::memory_order_acquire);
        if ((t >> 1) == h) return TryResult::Closed;
        // Closed with items left: every push finished before the close, look again.
        h = head_.load(std::memory_order_relaxed);
      } else {
        h = head_.load(std::memory_order_relaxed);
      }
    }
  }

  // Whether an item may be waiting (may err towards yes).
  bool has_items() const noexcept {
    const std::uint64_t h = head_.load(std::memory_order_relaxed);
    return (tail_.load(std::memory_order_relaxed) >> 1) != h;
  }
  // Whether a slot may be free (may err towards yes, on a closed channel too).
  bool has_room() const noexcept {
    const std::uint64_t h = head_.load(std::memory_order_relaxed);
    const std::uint64_t t = tail_.load(std::memory_order_relaxed);
    return (t & kClosed) || (t >> 1) - h < capacity_;
  }

  void close() noexcept {
    tail_.fetch_or(kClosed, std::memory_order_seq_cst);
    closed_.store(true, std::memory_order_seq_cst);
    readers.notify_all();
    writers.notify_all();
  }

  // Destroys every buffered item. Only for a closed channel with no receiver
  // left; pushes that began before the close are waited for.
  void drain() noexcept {
    const std::uint64_t end = tail_.load(std::memory_order_acquire) >> 1;
    std::uint64_t h = head_.load(std::memory_order_relaxed);
    Backoff backoff;
    for (; h != end; ++h) {
      Slot& slot = slots_[h % capacity_];
      while (slot.stamp.load(std::memory_order_acquire) != full_stamp(h)) {
        if (!backoff.snooze()) yield_thread();
      }
      slot.item()->~T();
      slot.stamp.store(free_stamp(h + capacity_), std::memory_order_release);
      head_.store(h + 1, std::memory_order_relaxed);
    }
  }

  EndCount ends;
  WaitRoom readers;  // receivers waiting for items
  WaitRoom writers;  // senders waiting for free slots

 private:
  static constexpr std::uint64_t kClosed = 1;

  // A slot's stamp says which position may use it next: free for position p
  // (the writer of p may fill it) or full with position p (its reader may
  // take it). Distinct for every p and state, even with a single slot.
  static constexpr std::uint64_t free_stamp(std::uint64_t pos) { return pos * 2; }
  static constexpr std::uint64_t full_stamp(std::uint64_t pos) { return pos * 2 + 1; }

  struct alignas(kCacheLine) Slot {
    std::atomic<std::uint64_t> stamp{0};
    alignas(T) unsigned char storage[sizeof(T)];
    T* item() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }
  };

  const std::size_t capacity_;
  const std::unique_ptr<Slot[]> slots_;
  // Next slot to read.
  alignas(kCacheLine) std::atomic<std::uint64_t> head_{0};
  // Next slot to write, shifted left once; bit 0 is set once the channel
  // closed, so that a push and the close cannot both succeed.
  alignas(kCacheLine) std::atomic<std::uint64_t> tail_{0};
  // Also set on close, on a line of its own that only changes then, for
  // readers that find the ring empty.
  alignas(kCacheLine) std::atomic<bool> closed_{false};
};

// One end of a channel: a reference to the shared ring, counted as one
// sender or one receiver.
template <class T, bool kIsSender>
class ChannelEnd {
  static constexpr std::uint64_t kSide = kIsSender ? EndCount::kSender : EndCount::kReceiver;

 public:
  ChannelEnd() noexcept = default;
  explicit ChannelEnd(Shared<T>* shared) noexcept : shared_(shared) {}
  ChannelEnd(const ChannelEnd& other) noexcept : shared_(other.shared_) {
    if (shared_) shared_->ends.add(kSide);
  }
  ChannelEnd(ChannelEnd&& other) noexcept : shared_(std::exchange(other.shared_, nullptr)) {}
  ChannelEnd& operator=(ChannelEnd other) noexcept {
    std::swap(shared_, other.shared_);
    return *this;
  }
  ~ChannelEnd() { reset(); }

  void reset() noexcept {
    Shared<T>* shared = std::exchange(shared_, nullptr);
    if (shared == nullptr) return;
    bool free_now = false;
    if (shared->ends.drop(kSide, free_now)) {
      shared->close();
      // Without receivers nobody will take what is buffered.
      if constexpr (!kIsSender) shared->drain();
      free_now = shared->ends.unpin();
    }
    if (free_now) delete shared;
  }

  Shared<T>* get() const noexcept { return shared_; }

 private:
  Shared<T>* shared_ = nullptr;
};

}  // namespace channel_detail

}  // namespace brivane
