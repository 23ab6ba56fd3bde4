#include "vfs/watch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "harness/temp_tree.h"

namespace nivern_vfs::watch {
namespace {

using nivern_test::TempTree;

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

TEST(Watcher, BatchesReachTheOwner) {
  TempTree t("watch");
  auto [tx, rx] = nivern_support::make_channel<int>();
  auto w = Watcher::build(t.path(), excludes::Excludes{{"*.o"}},
                          [tx = std::move(tx)]() mutable { (void)tx.send(1); });
  ASSERT_TRUE(w) << w.error();
  t.file("a.o");
  t.file("a.c");
  const std::string r = std::filesystem::canonical(t.path()).string();
  std::vector<std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen.empty()) {
    std::optional<int> wake;
    ASSERT_EQ(rx.recv_until(wake, deadline), decltype(rx)::Wait::item);
    while (auto set = (*w)->changes().try_recv())
      for (auto& [path, kind] : set->changes) seen.push_back(path);
  }
  EXPECT_EQ(seen, std::vector<std::string>{r + "/a.c"});
  t.file("b.c");  // a batch left open is dropped with the watcher
  w->reset();
}

TEST(Watcher, MissingRootFailsWithoutThreads) {
  auto w = Watcher::build("/nonexistent/nivern", {}, [] {});
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error(), "No path was found. about [\"/nonexistent/nivern\"]");
}

}  // namespace
}  // namespace nivern_vfs::watch
