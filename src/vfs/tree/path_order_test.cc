#include "vfs/tree/path_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace nivern_vfs::path_order {
namespace {

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end(), Less{});
  return v;
}

TEST(PathOrder, SeparatorsAreNotCompared) {
  // '-' and '.' are smaller bytes than '/', yet a directory's contents come first.
  EXPECT_EQ(sorted({"root/a.txt", "root/a-b", "root/a/b"}),
            (std::vector<std::string>{"root/a/b", "root/a-b", "root/a.txt"}));
  EXPECT_TRUE(less("root/a/zzz", "root/a0"));
  EXPECT_TRUE(less("a", "a/b"));
  EXPECT_FALSE(less("a/b", "a"));
}

TEST(PathOrder, NamesCompareAsUnsignedBytes) {
  EXPECT_TRUE(less("r/B", "r/a"));
  EXPECT_TRUE(less("r/z", "r/\xc3\xa9"));  // bytes above 0x7f sort after ASCII
  EXPECT_TRUE(less("r/ab", "r/abc"));
}

TEST(PathOrder, RootAndDotComponents) {
  EXPECT_TRUE(less("/z", "a"));              // the root component first
  EXPECT_TRUE(less("./z", "a"));             // then a leading "."
  EXPECT_TRUE(less("../z", "a"));            // then ".."
  EXPECT_TRUE(less("./z", "../a"));
  EXPECT_TRUE(equal("a//b/./c/", "a/b/c"));  // repeated separators, inner ".", trailing "/"
  EXPECT_TRUE(equal("/a", "//a"));
  EXPECT_FALSE(equal("./a", "a"));           // a leading "." stays
  EXPECT_FALSE(equal("a/../b", "b"));        // ".." is a component
  EXPECT_EQ(compare("a/b", "a//b"), std::strong_ordering::equal);
}

TEST(PathOrder, ComponentsWalk) {
  Components c("//usr/./lib//x/");
  Component part;
  std::vector<std::string> seen;
  while (c.next(part)) {
    seen.push_back(part.kind == Component::Kind::root ? "<root>" : std::string(part.name));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"<root>", "usr", "lib", "x"}));
}

TEST(PathOrder, LiesUnder) {
  EXPECT_TRUE(lies_under("/r/a/b", "/r/a"));
  EXPECT_TRUE(lies_under("/r/a", "/r/a"));
  EXPECT_TRUE(lies_under("/r/a/", "/r//a"));
  EXPECT_FALSE(lies_under("/r/ab", "/r/a"));
  EXPECT_FALSE(lies_under("/r", "/r/a"));
  EXPECT_FALSE(lies_under("r/a", "/r"));
  EXPECT_TRUE(lies_under("anything", ""));
}

}  // namespace
}  // namespace nivern_vfs::path_order
