#include "runtime/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace brivane {
namespace {

using namespace std::chrono_literals;

// Long enough for a blocked thread to have got past any spinning and gone
// to sleep, short enough to keep the suite quick.
constexpr auto kSettle = 50ms;

TEST(Channel, DeliversInFifoOrderAcrossWraparound) {
  for (const std::size_t capacity : {1, 2, 3}) {
    SCOPED_TRACE(capacity);
    auto [tx, rx] = make_channel<int>(capacity);
    int next_out = 0;
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(tx.send(i));
      // Keeps the ring full so positions lap around its slots.
      if (i + 1 >= static_cast<int>(capacity)) {
        EXPECT_EQ(rx.recv(), next_out++);
      }
    }
    while (next_out < 10) EXPECT_EQ(rx.try_recv(), next_out++);
    EXPECT_EQ(rx.try_recv(), std::nullopt);
  }
}

TEST(Channel, SendBlocksWhileFullUntilAnItemIsTaken) {
  auto [tx, rx] = make_channel<int>(2);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.send(2));
  std::atomic<bool> sent{false};
  std::thread producer([&, tx = tx] {
    EXPECT_TRUE(tx.send(3));
    sent = true;
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(rx.recv(), 1);
  producer.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), 3);
}

TEST(Channel, ReceiversDrainThenSeeTheLastSenderGone) {
  auto [tx, rx] = make_channel<int>(4);
  Sender<int> clone = tx;
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(clone.send(2));
  tx.reset();
  // One sender is left: the channel is still open.
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  std::optional<int> out;
  EXPECT_EQ(rx.recv_for(1ms, out), RecvStatus::Timeout);
  ASSERT_TRUE(clone.send(3));
  clone.reset();
  EXPECT_EQ(rx.recv(), 3);
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.recv_for(1ms, out), RecvStatus::Disconnected);
  EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST(Channel, SleepingReceiverWakesWhenTheLastSenderGoes) {
  auto [tx, rx] = make_channel<int>(1);
  std::thread consumer([rx = std::move(rx)] { EXPECT_EQ(rx.recv(), std::nullopt); });
  std::this_thread::sleep_for(kSettle);
  tx.reset();
  consumer.join();
}

TEST(Channel, SendFailsOnceNoReceiverIsLeftAndBufferedItemsAreDestroyed) {
  auto [tx, rx] = make_channel<std::shared_ptr<int>>(4);
  auto tracked = std::make_shared<int>(7);
  std::weak_ptr<int> watch = tracked;
  ASSERT_TRUE(tx.send(std::move(tracked)));
  Receiver<std::shared_ptr<int>> clone = rx;
  rx.reset();
  EXPECT_FALSE(watch.expired()) << "a receiver is still there";
  clone.reset();
  EXPECT_TRUE(watch.expired()) << "the buffered item outlived the last receiver";

  auto rejected = std::make_shared<int>(8);
  std::weak_ptr<int> watch_rejected = rejected;
  EXPECT_FALSE(tx.send(std::move(rejected)));
  EXPECT_TRUE(watch_rejected.expired());
}

TEST(Channel, BlockedSenderFailsWhenTheLastReceiverGoes) {
  auto [tx, rx] = make_channel<int>(1);
  ASSERT_TRUE(tx.send(1));
  std::thread producer([tx = std::move(tx)] { EXPECT_FALSE(tx.send(2)); });
  std::this_thread::sleep_for(kSettle);
  rx.reset();
  producer.join();
}

TEST(Channel, RecvForTimesOutThenReceivesALateItem) {
  auto [tx, rx] = make_channel<int>(1);
  std::optional<int> out = 5;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rx.recv_for(20ms, out), RecvStatus::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(out, std::nullopt);

  EXPECT_EQ(rx.recv_for(0ns, out), RecvStatus::Timeout);
  EXPECT_EQ(rx.recv_for(-1s, out), RecvStatus::Timeout);

  std::thread late([tx = tx] {
    std::this_thread::sleep_for(kSettle);
    tx.send(9);
  });
  EXPECT_EQ(rx.recv_for(std::chrono::nanoseconds::max(), out), RecvStatus::Ok);
  EXPECT_EQ(out, 9);
  late.join();
}

TEST(Channel, EmptyEndsAreDisconnected) {
  Sender<int> tx;
  Receiver<int> rx;
  EXPECT_FALSE(tx.send(1));
  EXPECT_EQ(rx.recv(), std::nullopt);
  std::optional<int> out;
  EXPECT_EQ(rx.recv_for(1ms, out), RecvStatus::Disconnected);

  auto [live_tx, live_rx] = make_channel<int>(0);  // taken as one slot
  Sender<int> moved = std::move(live_tx);
  EXPECT_FALSE(live_tx);
  EXPECT_TRUE(moved.send(1));
}

// Many producers and consumers through a tiny ring, with every waiter forced
// to sleep now and then: every item arrives exactly once and nobody hangs.
TEST(Channel, ManyProducersAndConsumersLoseNothing) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 10000;
  auto [tx, rx] = make_channel<int>(2);
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> received(kConsumers);
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c, rx = rx] {
      while (auto v = rx.recv()) {
        received[c].push_back(*v);
        if (*v % 4096 == 0) std::this_thread::sleep_for(1ms);
      }
    });
  }
  rx.reset();
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([p, tx = tx] {
      for (int i = 0; i < kPerProducer; ++i) {
        ASSERT_TRUE(tx.send(p * kPerProducer + i));
        if (i % 5000 == 0) std::this_thread::sleep_for(1ms);
      }
    });
  }
  tx.reset();
  for (auto& t : threads) t.join();

  std::set<int> all;
  std::size_t count = 0;
  for (const auto& items : received) {
    count += items.size();
    all.insert(items.begin(), items.end());
    // One consumer sees each producer's items in the order they were sent.
    std::vector<int> last(kProducers, -1);
    for (int v : items) {
      EXPECT_GT(v, last[v / kPerProducer]);
      last[v / kPerProducer] = v;
    }
  }
  EXPECT_EQ(count, std::size_t{kProducers * kPerProducer});
  EXPECT_EQ(all.size(), std::size_t{kProducers * kPerProducer});
}

}  // namespace
}  // namespace brivane
