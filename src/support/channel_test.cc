#include "support/channel.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace nivern_support {
namespace {

TEST(Channel, EndsWhenTheLastSenderIsGone) {
  auto [tx, rx] = make_channel<int>();
  Sender<int> copy = tx;
  EXPECT_TRUE(tx.send(1));
  tx.reset();
  EXPECT_TRUE(copy.send(2));
  copy.reset();
  EXPECT_EQ(rx.recv(), 1);  // items queued before the end are still delivered
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, SendFailsOnceTheReceiverIsGoneAndHandsTheItemBack) {
  auto [tx, rx] = make_channel<std::string>();
  EXPECT_TRUE(tx.send(std::string("queued")));
  rx.reset();
  std::string item = "kept";
  EXPECT_FALSE(tx.send(item));
  EXPECT_EQ(item, "kept");
}

TEST(Channel, TimedReceive) {
  auto [tx, rx] = make_channel<int>();
  std::optional<int> out;
  auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
  EXPECT_EQ(rx.recv_until(out, soon), Receiver<int>::Wait::timeout);
  EXPECT_TRUE(tx.send(5));
  EXPECT_EQ(rx.recv_until(out, std::chrono::steady_clock::now() + std::chrono::seconds(10)), Receiver<int>::Wait::item);
  EXPECT_EQ(out, 5);
  tx.reset();
  EXPECT_EQ(rx.recv_until(out, std::chrono::steady_clock::now() + std::chrono::seconds(10)), Receiver<int>::Wait::closed);
  EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST(Channel, ManySendersKeepTheirOwnOrder) {
  auto [tx, rx] = make_channel<std::pair<int, int>>();
  constexpr int kThreads = 4, kEach = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, s = tx]() mutable {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(s.send(std::pair{t, i}));
    });
  tx.reset();
  std::vector<int> next(kThreads, 0);
  int total = 0;
  while (auto item = rx.recv()) {
    EXPECT_EQ(item->second, next[item->first]++);
    ++total;
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(total, kThreads * kEach);
}

}  // namespace
}  // namespace nivern_support
