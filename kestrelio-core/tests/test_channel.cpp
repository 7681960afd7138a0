#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "kestrelio/channel.hpp"

using namespace kestrelio;

TEST(Channel, DisconnectionIsVisibleOnBothSides) {
  auto [tx, rx] = channel<int>();
  EXPECT_FALSE(tx.send(1));
  tx.reset();
  // Queued messages are still received before the disconnection shows.
  auto first = rx.try_recv();
  ASSERT_TRUE(first.value);
  EXPECT_EQ(*first.value, 1);
  EXPECT_TRUE(rx.try_recv().disconnected);
  EXPECT_FALSE(rx.recv());

  // Dropping the last receiver destroys what was queued; later sends come back.
  auto token = std::make_shared<int>(7);
  auto [tx2, rx2] = channel<std::shared_ptr<int>>();
  EXPECT_FALSE(tx2.send(token));
  EXPECT_EQ(token.use_count(), 2);
  rx2.reset();
  EXPECT_EQ(token.use_count(), 1);
  auto back = tx2.send(token);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, token);
}

TEST(Channel, ManyProducersManyConsumersDeliverEachMessageOnce) {
  auto [tx, rx] = channel<int>();
  constexpr int kPerProducer = 20000;
  std::vector<std::thread> producers, consumers;
  std::mutex m;
  std::multiset<int> seen;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([tx = tx, p]() mutable {
      for (int i = 0; i < kPerProducer; ++i) EXPECT_FALSE(tx.send(p * kPerProducer + i));
    });
  }
  tx.reset();
  for (int c = 0; c < 3; ++c) {
    consumers.emplace_back([rx = rx, &m, &seen]() mutable {
      while (auto v = rx.recv()) {
        std::lock_guard<std::mutex> g(m);
        seen.insert(*v);
      }
    });
  }
  for (auto& t : producers) t.join();
  for (auto& t : consumers) t.join();
  ASSERT_EQ(seen.size(), 4u * kPerProducer);
  int expect = 0;
  for (int v : seen) EXPECT_EQ(v, expect++);
}

TEST(Channel, SignalWaitsOnTwoChannelsWithoutLosingWakeups) {
  auto [atx, arx] = channel<int>();
  auto [btx, brx] = channel<int>();
  Signal sig;
  arx.set_waker(&sig);
  brx.set_waker(&sig);
  constexpr int kEach = 5000;
  std::thread a([atx = std::move(atx)]() mutable {
    for (int i = 0; i < kEach; ++i) (void)atx.send(i);
  });
  std::thread b([btx = std::move(btx)]() mutable {
    for (int i = 0; i < kEach; ++i) (void)btx.send(i);
  });
  int got = 0;
  bool a_done = false, b_done = false;
  while (!(a_done && b_done)) {
    std::uint64_t seen = sig.generation();
    bool any = false;
    if (!a_done) {
      auto r = arx.try_recv();
      if (r.value) ++got, any = true;
      a_done = r.disconnected;
    }
    if (!b_done) {
      auto r = brx.try_recv();
      if (r.value) ++got, any = true;
      b_done = r.disconnected;
    }
    if (!any && !(a_done && b_done)) sig.wait_past(seen);
  }
  a.join();
  b.join();
  EXPECT_EQ(got, 2 * kEach);
  arx.set_waker(nullptr);
  brx.set_waker(nullptr);
}

TEST(Channel, BatchReceiveTakesEverythingQueued) {
  auto [tx, rx] = channel<int>();
  for (int i = 0; i < 10; ++i) (void)tx.send(i);
  EXPECT_EQ(rx.len(), 10u);
  std::vector<int> out;
  EXPECT_FALSE(rx.try_recv_all(out));
  EXPECT_EQ(out.size(), 10u);
  tx.reset();
  EXPECT_TRUE(rx.try_recv_all(out));
}
