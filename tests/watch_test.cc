// watch seen from the editor's side: `changed` events for real file operations, paths in
// the asked form, excludes, replacement of one watch by another, and the overflow rescan.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "harness/frame_client.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace {

using nivern_test::json_string;
using nivern_test::ScopedEnv;
using nivern_test::ServerProcess;
using nivern_test::TempTree;

std::string watch_body(std::uint64_t id, const std::string& path,
                       const std::vector<std::string>& excludes = {}) {
  std::string ex;
  for (const auto& e : excludes) ex += (ex.empty() ? "" : ",") + json_string(e);
  return R"({"id":)" + std::to_string(id) + R"(,"call":{"call":"watch","path":)" + json_string(path) +
         R"(,"excludes":[)" + ex + "]}}";
}

std::string changed(std::uint64_t id, const std::vector<std::string>& paths) {
  std::string list;
  for (const auto& p : paths) list += (list.empty() ? "" : ",") + json_string(p);
  return R"({"id":)" + std::to_string(id) + R"(,"reply":{"reply":"changed","paths":[)" + list + "]}}";
}

std::string watching(std::uint64_t id) {
  return R"({"id":)" + std::to_string(id) + R"(,"reply":{"reply":"watching"}})";
}

class Watch : public ::testing::Test {
 protected:
  Watch() : root_(std::filesystem::canonical(t_.path()).string()) { p_.hello(); }
  // The next event; empty when none comes within 10 s.
  std::string next_event() { return p_.read_frame(std::chrono::seconds(10)).value_or(""); }
  // Events until their paths together hold `want`, as the one event that comes when the
  // changes fall into one batch. A busy machine may split them into several.
  std::string merged_events(std::uint64_t id, const std::vector<std::string>& want) {
    std::set<std::string> got;
    while (!std::includes(got.begin(), got.end(), want.begin(), want.end())) {
      const std::string e = next_event();
      const std::string head = R"({"id":)" + std::to_string(id) + R"(,"reply":{"reply":"changed","paths":[")";
      if (e.rfind(head, 0) != 0) return e;
      for (std::size_t at = head.size() - 1; at < e.size() && e[at] == '"';) {
        const std::size_t end = e.find('"', at + 1);
        got.insert(e.substr(at + 1, end - at - 1));
        at = end + 2;
      }
    }
    return changed(id, {got.begin(), got.end()});
  }

  TempTree t_{"watch"};
  std::string root_;  // resolved: what the kernel reports
  ServerProcess p_{"/tmp"};
};

TEST(WatchGate, BeforeHello) {
  ServerProcess p("/tmp");
  EXPECT_EQ(p.request(watch_body(1, "/tmp")),
            R"({"id":1,"reply":{"reply":"error","message":"say hello first"}})");
}

TEST_F(Watch, PathsKeepTheAskedSpellingOfTheRoot) {
  EXPECT_EQ(p_.request(watch_body(4, root_ + "//")), watching(4));
  t_.file("src/a");
  EXPECT_EQ(merged_events(4, {root_ + "/src", root_ + "/src/a"}),
            changed(4, {root_ + "/src", root_ + "/src/a"}));
  t_.file("back\\slash");
  EXPECT_EQ(next_event(), changed(4, {root_ + "/back/slash"}));
}

TEST_F(Watch, RelativeAndLinkedRootsReportResolvedPaths) {
  t_.dir("real");
  t_.link(root_ + "/real", "link");
  EXPECT_EQ(p_.request(watch_body(5, t_ / "link")), watching(5));
  t_.file("real/a");
  EXPECT_EQ(next_event(), changed(5, {root_ + "/real/a"}));

  const std::string rel =
      std::filesystem::relative(root_ + "/real", std::filesystem::current_path()).string();
  ASSERT_NE(rel[0], '/');
  EXPECT_EQ(p_.request(watch_body(6, rel)), watching(6));
  t_.file("real/b");
  EXPECT_EQ(next_event(), changed(6, {root_ + "/real/b"}));
}

TEST_F(Watch, ExcludedDirectoriesStillReportTheirFiles) {
  t_.dir("target");
  t_.dir("build");
  EXPECT_EQ(p_.request(watch_body(2, root_, {"*.o", "target", "build/"})), watching(2));
  t_.file("x.o");  // a batch of excluded paths alone sends nothing
  t_.file("target/a.c");
  t_.file("build/b.c");
  EXPECT_EQ(merged_events(2, {root_ + "/build/b.c", root_ + "/target/a.c"}),
            changed(2, {root_ + "/build/b.c", root_ + "/target/a.c"}));
  // A set with a bad pattern excludes nothing.
  EXPECT_EQ(p_.request(watch_body(3, root_, {"*.o", "[abc"})), watching(3));
  t_.file("y.o");
  EXPECT_EQ(next_event(), changed(3, {root_ + "/y.o"}));
}

TEST_F(Watch, ALaterWatchReplacesAndAFailedOneKeepsTheEarlier) {
  TempTree other("watch-other");
  EXPECT_EQ(p_.request(watch_body(1, other.path())), watching(1));
  EXPECT_EQ(p_.request(watch_body(2, root_)), watching(2));
  other.file("old");  // no longer watched
  t_.file("new");
  EXPECT_EQ(next_event(), changed(2, {root_ + "/new"}));

  const std::string missing = root_ + "/missing \"dir\"";
  EXPECT_EQ(p_.request(watch_body(3, missing)),
            R"({"id":3,"reply":{"reply":"error","message":)" +
                json_string("cannot watch " + missing + ": No path was found. about [\"" + root_ +
                            "/missing \\\"dir\\\"\"]") +
                "}}");
  t_.file("still");
  EXPECT_EQ(next_event(), changed(2, {root_ + "/still"}));
}

TEST_F(Watch, ManyChangesBecomeARescanOfTheRoot) {
  EXPECT_EQ(p_.request(watch_body(7, root_ + "/", {"*.tmp"})), watching(7));
  // Excluded files, yet counted. Only a batch of more than 256 paths sends anything (the
  // rescan), so a machine too busy to fit 1000 creations into one batch gets another burst.
  std::string event;
  for (int burst = 0; burst < 20 && event.empty(); ++burst) {
    for (int i = 0; i < 1000; ++i) t_.file("f" + std::to_string(burst) + "-" + std::to_string(i) + ".tmp");
    event = p_.read_frame(std::chrono::seconds(2)).value_or("");
  }
  EXPECT_EQ(event, changed(7, {root_}));
}

TEST_F(Watch, SessionEndsPromptlyWithAWatchRunning) {
  EXPECT_EQ(p_.request(watch_body(1, root_)), watching(1));
  t_.file("a");
  p_.close_stdin();
  EXPECT_EQ(p_.wait(std::chrono::seconds(10)), 0);
}

// The watch limit, lowered to 4 for the server alone inside a user namespace of its own.
TEST(WatchLimit, StopsTheCrawlAndLaterBecomesARescan) {
  if (std::system("unshare -U -r true >/dev/null 2>&1") != 0) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << "unshare -U -r is needed (user namespaces)";
    GTEST_SKIP() << "unshare -U -r does not work here";
  }
  TempTree bin("watch-limit");
  const std::string wrapper = bin.file(
      "server",
      std::string("#!/bin/sh\nexec unshare -U -r sh -c 'echo 4 > /proc/sys/user/max_inotify_watches && "
                  "exec \"$0\" \"$@\"' ") +
          nivern_test::server_binary() + " \"$@\"\n");
  ASSERT_EQ(::chmod(wrapper.c_str(), 0755), 0);
  ScopedEnv env("NIVERN_SERVER_BIN", wrapper.c_str());
  ServerProcess p("/tmp");
  p.hello();

  TempTree deep("watch-deep");
  deep.dir("a/b/c/d/e");
  const std::string limit = nivern_test::read_file("/proc/sys/fs/inotify/max_user_watches");
  EXPECT_EQ(
      p.request(watch_body(1, deep.path())),
      R"({"id":1,"reply":{"reply":"error","message":"cannot watch )" + deep.path() +
          ": the inotify watch limit (fs.inotify.max_user_watches = " + limit.substr(0, limit.find('\n')) +
          ") is reached: No space left on device (os error 28)\"}}");

  TempTree small("watch-small");  // 2 watches: the crawl above left none behind
  small.dir("a");
  const std::string root = std::filesystem::canonical(small.path()).string();
  EXPECT_EQ(p.request(watch_body(2, root)), watching(2));
  small.dir("x/y/z/w");
  std::string event;
  for (int i = 0; i < 5 && event != changed(2, {root}); ++i)
    event = p.read_frame(std::chrono::seconds(10)).value_or("");
  EXPECT_EQ(event, changed(2, {root}));
}

}  // namespace
