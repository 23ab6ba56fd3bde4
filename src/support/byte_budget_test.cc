#include "support/byte_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace nivern_support {
namespace {

using namespace std::chrono_literals;

TEST(ByteBudget, BlocksAtTheLimitUntilBytesAreGivenBackOrClosed) {
  auto budget = ByteBudget::make(10);
  auto a = budget->acquire(6);
  ASSERT_TRUE(a);
  // Larger than the whole limit: waits for the first lease, then is granted alone.
  std::atomic<int> stage = 0;
  std::optional<ByteBudget::Lease> big;
  std::thread producer([&] {
    big = budget->acquire(25);
    stage = 1;
    auto after = budget->acquire(1);  // waits for the big one
    stage = after ? 2 : 3;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(stage.load(), 0);
  EXPECT_EQ(budget->in_flight(), 6u);
  *a = ByteBudget::Lease();  // given back
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (stage.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(stage.load(), 1);
  budget->close();  // the waiter gets nothing
  producer.join();
  EXPECT_EQ(stage.load(), 3);
  EXPECT_EQ(budget->in_flight(), 25u);
  big.reset();
  EXPECT_EQ(budget->in_flight(), 0u);
  EXPECT_FALSE(budget->acquire(1));
}

TEST(ByteBudget, LeasesMoveAndOutliveTheirCreator) {
  ByteBudget::Lease kept;
  {
    auto budget = ByteBudget::make(100);
    auto l = budget->acquire(40);
    kept = std::move(*l);
    EXPECT_EQ(l->bytes(), 0u);
    EXPECT_EQ(budget->in_flight(), 40u);
  }
  EXPECT_EQ(kept.bytes(), 40u);  // the budget lives on in the lease
}

}  // namespace
}  // namespace nivern_support
