#include "vfs/watch/watch.h"

#include <gtest/gtest.h>

namespace nivern_vfs::watch {
namespace {

excludes::Override matcher(std::vector<std::string> patterns) {
  return *excludes::Excludes{std::move(patterns)}.matcher("/p");
}

TEST(WatchKeep, OnlyThePathItselfIsTestedAndAsAFile) {
  const auto target = matcher({"target"});
  EXPECT_FALSE(keep(&target, "/p/target"));
  EXPECT_TRUE(keep(&target, "/p/target/a.o"));  // parents are not consulted
  const auto files = matcher({"target/**"});
  EXPECT_FALSE(keep(&files, "/p/target/a.o"));
  const auto dirs_only = matcher({"build/"});
  EXPECT_TRUE(keep(&dirs_only, "/p/build"));
  const auto none = matcher({});
  EXPECT_TRUE(keep(&none, "/p/x"));
  EXPECT_TRUE(keep(nullptr, "/p/x"));
}

TEST(WatchOneEach, BothWaysRenamesNoteTheirFirstTwoPaths) {
  auto ops = [](inotify::Kind kind, std::vector<std::string> paths) {
    const auto excl = matcher({"b"});
    std::vector<std::string> out;
    for (auto& n : one_each(inotify::Event{kind, std::move(paths), false}, &excl))
      out.push_back(n.path + (n.keep ? "" : " (dropped)") + " " + std::to_string(int(n.op)));
    return out;
  };
  EXPECT_EQ(ops(inotify::Kind::rename_both, {"/p/a", "/p/b", "/p/c"}),
            (std::vector<std::string>{"/p/a 3", "/p/b (dropped) 4"}));
  EXPECT_EQ(ops(inotify::Kind::rename_both, {"/p/a"}), (std::vector<std::string>{"/p/a 3"}));
  EXPECT_EQ(ops(inotify::Kind::other, {"/p/a"}), (std::vector<std::string>{"/p/a 2"}));
}

}  // namespace
}  // namespace nivern_vfs::watch
