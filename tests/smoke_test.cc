#include <gtest/gtest.h>

#include "harness/frame_client.h"

TEST(Smoke, BinaryStarts) {
  nivern_test::ServerProcess p(std::vector<std::string>{});
  EXPECT_EQ(p.wait(), 2);
}
