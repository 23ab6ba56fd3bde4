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

const char* name(WatchOp op) {
  switch (op) {
    case WatchOp::created:
      return "created";
    case WatchOp::removed:
      return "removed";
    case WatchOp::modified:
      return "modified";
    case WatchOp::rename_from:
      return "rename_from";
    case WatchOp::rename_to:
      return "rename_to";
  }
  return "?";
}

TEST(WatchOneEach, BothWaysRenamesNoteTheirFirstTwoPaths) {
  auto ops = [](inotify::Kind kind, std::vector<std::string> paths) {
    const auto excl = matcher({"b"});
    std::vector<std::string> out;
    for (auto& n : one_each(inotify::Event{kind, std::move(paths), false}, &excl))
      out.push_back(n.path + (n.keep ? "" : " (dropped)") + " " + name(n.op));
    return out;
  };
  EXPECT_EQ(ops(inotify::Kind::rename_both, {"/p/a", "/p/b", "/p/c"}),
            (std::vector<std::string>{"/p/a rename_from", "/p/b (dropped) rename_to"}));
  EXPECT_EQ(ops(inotify::Kind::rename_both, {"/p/a"}), (std::vector<std::string>{"/p/a rename_from"}));
  EXPECT_EQ(ops(inotify::Kind::other, {"/p/a"}), (std::vector<std::string>{"/p/a modified"}));
}

}  // namespace
}  // namespace nivern_vfs::watch
