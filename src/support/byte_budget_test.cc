#include "support/byte_budget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace nivern_support {
namespace {

using namespace std::chrono_literals;

// Waits up to 10 s for thread `tid` of this process to be asleep ("S" in its stat line).
bool asleep(pid_t tid) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  do {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto end = line.rfind(')');  // the name in parentheses may hold spaces
    if (end != std::string::npos && line.compare(end, 4, ") S ") == 0) return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

TEST(ByteBudget, BlocksAtTheLimitUntilBytesAreGivenBackOrClosed) {
  auto budget = ByteBudget::make(10);
  auto a = budget->acquire(6);
  ASSERT_TRUE(a);
  // Larger than the whole limit: waits for the first lease, then is granted alone.
  std::atomic<int> stage = 0;
  std::atomic<pid_t> tid = 0;
  std::optional<ByteBudget::Lease> big;
  std::thread producer([&] {
    tid = ::gettid();
    big = budget->acquire(25);
    stage = 1;
    auto after = budget->acquire(1);  // waits for the big one
    stage = after ? 2 : 3;
  });
  while (tid.load() == 0) std::this_thread::yield();
  EXPECT_TRUE(asleep(tid.load()));  // waiting in acquire
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

TEST(ByteBudget, TryAcquireNeverWaitsAndALeaseTellsWhenItsBytesAreBack) {
  auto budget = ByteBudget::make(10);
  auto a = budget->try_acquire(25);  // alone, any size fits
  ASSERT_TRUE(a);
  EXPECT_FALSE(budget->try_acquire(1));
  int told = 0;
  std::size_t in_flight_when_told = 99;
  a->on_return([&] {
    ++told;
    in_flight_when_told = budget->in_flight();
  });
  ByteBudget::Lease moved = std::move(*a);
  a.reset();
  EXPECT_EQ(told, 0);  // a moved-from lease tells nothing
  moved = ByteBudget::Lease();
  EXPECT_EQ(told, 1);
  EXPECT_EQ(in_flight_when_told, 0u);
  budget->close();
  EXPECT_FALSE(budget->try_acquire(1));
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
