// The hand-off machinery of the write pipeline: items go to the worker pool as
// relay jobs, come back on the relay channel in any order, and leave through a
// reorder buffer in exactly the order they were handed over. Everything here
// runs on the calling thread except the relay jobs themselves.
#pragma once

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/channel.h"
#include "runtime/error.h"
#include "runtime/job.h"
#include "runtime/worker_pool.h"

namespace brivane {

// Runs the interpreter's pending signal handlers; a failure ends the wait.
using SignalCheck = std::function<Status()>;

inline constexpr std::chrono::nanoseconds kSignalCheckInterval = std::chrono::milliseconds(100);

template <class Item>
struct Relayed {
  std::uint64_t seq;
  Item item;
};

// The job that carries one item to a worker and straight back. It touches no
// file and no Python object; if the pipeline is gone the item is dropped.
template <class Item>
struct RelayJob {
  // The calling thread hands over the next item within microseconds: the
  // worker waits for it patiently rather than fall asleep in between.
  static constexpr bool kFollowedPromptly = true;

  Sender<Relayed<Item>> relay;
  std::uint64_t seq;
  Item item;

  void operator()() { (void)relay.send(Relayed<Item>{seq, std::move(item)}); }
};

// Items received but not yet processed, indexed by sequence number. A ring
// that only grows, so steady state allocates nothing.
template <class Item>
class ReorderBuffer {
 public:
  explicit ReorderBuffer(std::uint64_t min_capacity) : slots_(std::bit_ceil(std::max<std::uint64_t>(min_capacity, 2))) {}

  std::uint64_t next() const { return next_; }
  bool empty() const { return held_ == 0; }

  // False when `seq` is already held or was already taken out.
  bool put(std::uint64_t seq, Item&& item) {
    if (seq < next_) return false;
    while (seq - next_ >= slots_.size()) grow();
    auto& slot = slots_[seq & (slots_.size() - 1)];
    if (slot.has_value()) return false;
    slot.emplace(std::move(item));
    ++held_;
    return true;
  }

  // The item numbered next(), if it has arrived; the caller then advances.
  std::optional<Item> take_next() {
    auto& slot = slots_[next_ & (slots_.size() - 1)];
    if (!slot.has_value()) return std::nullopt;
    std::optional<Item> out(std::move(slot));
    slot.reset();
    --held_;
    return out;
  }

  // False when next() is already the largest number.
  bool advance() {
    if (next_ == UINT64_MAX) return false;
    ++next_;
    return true;
  }

 private:
  void grow() {
    std::vector<std::optional<Item>> bigger(slots_.size() * 2);
    for (std::uint64_t i = 0; i < slots_.size(); ++i) {
      std::uint64_t seq = next_ + i;
      auto& old = slots_[seq & (slots_.size() - 1)];
      if (old.has_value()) bigger[seq & (bigger.size() - 1)].emplace(std::move(*old));
    }
    slots_ = std::move(bigger);
  }

  std::vector<std::optional<Item>> slots_;
  std::uint64_t next_ = 0;
  std::uint64_t held_ = 0;
};

template <class Item>
class RelayPipeline {
 public:
  // `overflow_message` names the numbering that ran out.
  RelayPipeline(std::shared_ptr<WorkerPool> pool, std::uint64_t limit, SignalCheck check_signals,
                std::string overflow_message)
      : pool_(std::move(pool)),
        limit_(std::max<std::uint64_t>(limit, 1)),
        check_signals_(std::move(check_signals)),
        overflow_message_(std::move(overflow_message)),
        reorder_(limit_) {
    auto [tx, rx] = make_channel<Relayed<Item>>(static_cast<std::size_t>(limit_));
    tx_.emplace(std::move(tx));
    rx_.emplace(std::move(rx));
  }

  std::uint64_t limit() const { return limit_; }
  std::uint64_t in_flight() const { return in_flight_; }
  bool reorder_empty() const { return reorder_.empty(); }

  // Hands `item` to a relay job under `seq`. When the limit is reached, one
  // item is taken back (and whatever is then in order processed) first.
  template <class Process>
  Status hand_off(std::uint64_t seq, Item&& item, Process& process) {
    if (in_flight_ >= limit_) BRV_TRY(take_in_one(process));
    Status submitted = pool_->submit(Job(RelayJob<Item>{*tx_, seq, std::move(item)}));
    if (!submitted.ok()) return ModuleError::worker_failed();
    ++in_flight_;
    return ok_status();
  }

  // Waits for one relayed item, buffers it and processes every item that is
  // now in order. A failure of `process` stops the processing and is returned.
  template <class Process>
  Status take_in_one(Process& process) {
    // Nothing out means nothing can arrive: waiting would never end.
    if (in_flight_ == 0) return ModuleError::worker_failed();
    std::optional<Relayed<Item>> got;
    for (;;) {
      // Nothing to do meanwhile, and a running worker sends the item back
      // within a microsecond: wait patiently.
      RecvStatus status = rx_->recv_for(kSignalCheckInterval, got, SpinPolicy::Patient);
      if (status == RecvStatus::Ok) break;
      if (status == RecvStatus::Disconnected) return ModuleError::worker_failed();
      if (check_signals_) BRV_TRY(check_signals_());
    }
    --in_flight_;
    if (!reorder_.put(got->seq, std::move(got->item))) return ModuleError::worker_failed();
    got.reset();
    while (std::optional<Item> next = reorder_.take_next()) {
      Status processed = process(std::move(*next));
      const bool advanced = reorder_.advance();
      BRV_TRY(processed);
      if (!advanced) return ModuleError::invalid_argument(overflow_message_);
    }
    return ok_status();
  }

  template <class Process>
  Status drain(Process& process) {
    while (in_flight_ > 0) BRV_TRY(take_in_one(process));
    return ok_status();
  }

 private:
  std::shared_ptr<WorkerPool> pool_;
  std::uint64_t limit_;
  SignalCheck check_signals_;
  std::string overflow_message_;
  std::optional<Sender<Relayed<Item>>> tx_;
  std::optional<Receiver<Relayed<Item>>> rx_;
  std::uint64_t in_flight_ = 0;
  ReorderBuffer<Item> reorder_;
};

}  // namespace brivane
