// watch seen from the editor's side: `changed` events for real file operations, paths in
// the asked form, excludes, replacement of one watch by another, the overflow rescan, and
// no change lost to directories that move while they are being watched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness/editor.h"
#include "harness/frame_client.h"
#include "harness/replies.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace {

using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::json_list;
using nivern_test::json_string;
using nivern_test::request;
using nivern_test::response;
using nivern_test::ScopedEnv;
using nivern_test::ServerProcess;
using nivern_test::TempTree;

std::string watch_call(const std::string& path, const std::vector<std::string>& excludes = {}) {
  return R"({"call":"watch","path":)" + json_string(path) + R"(,"excludes":)" + json_list(excludes) + "}";
}

std::string changed(std::uint64_t id, const std::vector<std::string>& paths) {
  return response(id, R"({"reply":"changed","paths":)" + json_list(paths) + "}");
}

std::string watching(std::uint64_t id) {
  return response(id, R"({"reply":"watching"})");
}

// The paths of a `changed` event under `id`; nullopt for any other frame. The paths of
// these tests hold nothing that JSON escapes.
std::optional<std::vector<std::string>> changed_paths(const std::string& e, std::uint64_t id) {
  const std::string head = R"({"id":)" + std::to_string(id) + R"(,"reply":{"reply":"changed","paths":[)";
  if (e.rfind(head, 0) != 0) return std::nullopt;
  std::vector<std::string> out;
  for (std::size_t at = head.size(); at < e.size() && e[at] == '"';) {
    const std::size_t end = e.find('"', at + 1);
    out.push_back(e.substr(at + 1, end - at - 1));
    at = end + 2;
  }
  return out;
}

// The inode numbers of the inotify watches that process `pid` holds, from the fdinfo of
// its inotify descriptors.
std::multiset<unsigned long> watched_inodes(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::multiset<unsigned long> out;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec)) {
    if (std::filesystem::read_symlink(fd.path(), ec).string() != "anon_inode:inotify") continue;
    std::ifstream in(proc + "/fdinfo/" + fd.path().filename().string());
    for (std::string line; std::getline(in, line);) {
      if (!line.starts_with("inotify wd:")) continue;
      const std::size_t at = line.find(" ino:");
      out.insert(at == std::string::npos ? 0 : std::stoul(line.substr(at + 5), nullptr, 16));
    }
  }
  return out;
}

std::size_t watches_of(pid_t pid) {
  return watched_inodes(pid).size();
}

// Stops every thread of the server for its scope, so that what the test does meanwhile
// reaches the watch late and all at once, as on a busy machine.
class Paused {
 public:
  explicit Paused(pid_t pid) : pid_(pid) {
    ::kill(pid_, SIGSTOP);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stopped() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Paused() { ::kill(pid_, SIGCONT); }
  Paused(const Paused&) = delete;
  Paused& operator=(const Paused&) = delete;

 private:
  bool stopped() const {
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
      std::ifstream in(task.path() / "stat");
      std::string stat;
      std::getline(in, stat);
      const std::size_t paren = stat.rfind(')');
      if (paren == std::string::npos || stat.compare(paren, 4, ") T ") != 0) return false;
    }
    return !ec;
  }
  pid_t pid_;
};

// Whether user namespaces can be made here (`unshare -U`); on CI they must.
bool user_namespaces() {
  if (std::system("unshare -U -r true >/dev/null 2>&1") == 0) return true;
  const char* ci = std::getenv("CI");
  if (ci && std::string(ci) == "true") ADD_FAILURE() << "unshare -U -r is needed (user namespaces)";
  return false;
}

// A script in `bin` that runs the server as `prefix` "<server>" "$@".
std::string wrapped_server(const TempTree& bin, const std::string& prefix) {
  const std::string wrapper =
      bin.file("server", "#!/bin/sh\nexec " + prefix + " " + nivern_test::server_binary() + " \"$@\"\n");
  EXPECT_EQ(::chmod(wrapper.c_str(), 0755), 0);
  return wrapper;
}

// The prefix that lowers the inotify watch limit to `n` in a user namespace of its own.
std::string watch_limit(int n) {
  return "unshare -U -r sh -c 'echo " + std::to_string(n) +
         " > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\"'";
}

// Whether the server's writer thread waits for room in its output pipe: the editor has
// stopped reading, and what the server sends from now on waits inside the server.
bool writer_stuck(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    if (nivern_test::read_file((task.path() / "comm").string()) != "nivern-server-w\n") continue;
    return nivern_test::read_file((task.path() / "wchan").string()).find("pipe_write") != std::string::npos;
  }
  return false;
}

class Watch : public ::testing::Test {
 protected:
  Watch() : root_(std::filesystem::canonical(t_.path()).string()) {}
  // The next event; nullopt when none comes in time.
  std::optional<std::string> next_frame(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return e_.next_event(timeout);
  }
  // The next event; empty when none comes within 10 s.
  std::string next_event() { return next_frame().value_or(""); }
  // Events until their paths together hold `want`, as the one event that comes when the
  // changes fall into one batch. A busy machine may split them into several.
  std::string merged_events(std::uint64_t id, const std::vector<std::string>& want) {
    std::set<std::string> got;
    while (!std::includes(got.begin(), got.end(), want.begin(), want.end())) {
      const std::string e = next_event();
      const auto paths = changed_paths(e, id);
      if (!paths) return e;
      got.insert(paths->begin(), paths->end());
    }
    return changed(id, {got.begin(), got.end()});
  }
  // Reads `changed` events under `id` until their paths cover `want` (a rescan of the
  // root covers everything) or 20 s pass; returns what stayed uncovered.
  std::set<std::string> uncovered(std::uint64_t id, std::set<std::string> want) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!want.empty()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const auto e = left.count() > 0 ? next_frame(left) : std::nullopt;
      if (!e) break;
      const auto paths = changed_paths(*e, id);
      if (!paths) {
        ADD_FAILURE() << "not a changed event: " << *e;
        continue;
      }
      for (const auto& p : *paths) {
        if (p == root_) return {};
        want.erase(p);
      }
    }
    return want;
  }
  // Waits until the server holds `n` watches: the crawl that follows `watching` is done.
  // Listing the watches holds up adding them, so it is not done too often.
  void wait_crawled(std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (watches_of(e_.process().pid()) != n && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(n > 1000 ? 250 : 5));
    ASSERT_EQ(watches_of(e_.process().pid()), n);
  }
  // Waits until every event of what was done so far has been read: writes markers until
  // one is reported in a batch of its own, without a rescan of the root (which would
  // cover it).
  void settle(std::uint64_t id) {
    for (int i = 0; i < 20; ++i) {
      const std::string mark = root_ + "/settle-" + std::to_string(i);
      nivern_test::write_file(mark, "");
      for (std::string e = next_event();; e = next_event()) {
        const auto paths = changed_paths(e, id);
        if (!paths) return ADD_FAILURE() << "not a changed event: " << e;
        if (std::find(paths->begin(), paths->end(), root_) != paths->end()) break;  // may hold the marker
        if (std::find(paths->begin(), paths->end(), mark) != paths->end()) return;
      }
    }
    ADD_FAILURE() << "every marker came with a rescan of the root";
  }

  // Stops reading: shrinks the server's output pipe to one page and makes files with long
  // names until an event of theirs is stuck in the server's writer. False if none gets stuck.
  bool stop_reading() {
    const int fd = e_.process().stdout_fd();
    if (::fcntl(fd, F_SETPIPE_SZ, 4096) < 0) return false;
    for (int round = 0; round < 20; ++round) {
      for (int i = 0; i < 20; ++i) t_.file("fill" + std::to_string(fills_++) + std::string(200, 'x'));
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (!writer_stuck(e_.process().pid()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (writer_stuck(e_.process().pid())) return true;
    }
    return false;
  }

  TempTree t_{"watch"};
  std::string root_;  // resolved: what the kernel reports
  Editor e_{{"/tmp"}};
  int fills_ = 0;
};

TEST(WatchGate, BeforeHello) {
  ServerProcess p("/tmp");
  EXPECT_EQ(p.request(request(1, watch_call("/tmp"))), error_reply(1, "say hello first"));
}

TEST_F(Watch, PathsKeepTheAskedSpellingOfTheRoot) {
  EXPECT_EQ(e_.call(4, watch_call(root_ + "//")), watching(4));
  t_.file("src/a");
  EXPECT_EQ(merged_events(4, {root_ + "/src", root_ + "/src/a"}),
            changed(4, {root_ + "/src", root_ + "/src/a"}));
  t_.file("a\\b.txt");  // one name: a backslash separates nothing here
  EXPECT_EQ(next_event(), changed(4, {root_ + "/a\\b.txt"}));
}

TEST_F(Watch, RelativeAndLinkedRootsReportResolvedPaths) {
  t_.dir("real");
  t_.link(root_ + "/real", "link");
  EXPECT_EQ(e_.call(5, watch_call(t_ / "link")), watching(5));
  t_.file("real/a");
  EXPECT_EQ(next_event(), changed(5, {root_ + "/real/a"}));

  const std::string rel =
      std::filesystem::relative(root_ + "/real", std::filesystem::current_path()).string();
  ASSERT_NE(rel[0], '/');
  EXPECT_EQ(e_.call(6, watch_call(rel)), watching(6));
  t_.file("real/b");
  EXPECT_EQ(next_event(), changed(6, {root_ + "/real/b"}));
}

TEST_F(Watch, ExcludedDirectoriesStillReportTheirFiles) {
  EXPECT_EQ(e_.call(2, watch_call(root_, {"*.o", "target", "build/"})), watching(2));
  t_.file("x.o");
  t_.file("target/a.c");  // the directory is dropped, not what it holds
  t_.file("build/b.c");   // a pattern for directories alone drops nothing
  EXPECT_EQ(merged_events(2, {root_ + "/build", root_ + "/build/b.c", root_ + "/target/a.c"}),
            changed(2, {root_ + "/build", root_ + "/build/b.c", root_ + "/target/a.c"}));
  // A set with a bad pattern excludes nothing.
  EXPECT_EQ(e_.call(3, watch_call(root_, {"*.o", "[abc"})), watching(3));
  t_.file("y.o");
  EXPECT_EQ(next_event(), changed(3, {root_ + "/y.o"}));
}

TEST_F(Watch, ALaterWatchReplacesAndAFailedOneKeepsTheEarlier) {
  TempTree other("watch-other");
  EXPECT_EQ(e_.call(1, watch_call(other.path())), watching(1));
  EXPECT_EQ(e_.call(2, watch_call(root_)), watching(2));
  other.file("old");  // no longer watched
  t_.file("new");
  EXPECT_EQ(next_event(), changed(2, {root_ + "/new"}));

  const std::string missing = root_ + "/missing \"dir\"";
  EXPECT_EQ(e_.call(3, watch_call(missing)),
            R"({"id":3,"reply":{"reply":"error","message":)" +
                json_string("cannot watch " + missing + ": No path was found. about [\"" + root_ +
                            "/missing \\\"dir\\\"\"]") +
                "}}");
  t_.file("still");
  EXPECT_EQ(next_event(), changed(2, {root_ + "/still"}));
}

TEST_F(Watch, ManyChangesBecomeARescanOfTheRoot) {
  EXPECT_EQ(e_.call(7, watch_call(root_ + "/", {"*.tmp"})), watching(7));
  // Excluded files, yet counted. Only a batch of more than 256 paths sends anything (the
  // rescan), so a machine too busy to fit 1000 creations into one batch gets another burst.
  std::string event;
  for (int burst = 0; burst < 20 && event.empty(); ++burst) {
    for (int i = 0; i < 1000; ++i) t_.file("f" + std::to_string(burst) + "-" + std::to_string(i) + ".tmp");
    event = next_frame(std::chrono::seconds(2)).value_or("");
  }
  EXPECT_EQ(event, changed(7, {root_}));
}

// While the editor reads nothing, changes wait in the server, merged: when it reads again
// they come in one event, and past the change limit as a rescan of the root alone.
TEST_F(Watch, APausedEditorGetsWhatChangedMeanwhileInOneEvent) {
  using std::chrono_literals::operator""ms;
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  ASSERT_TRUE(stop_reading()) << "the server's writer never waited in pipe_write (see /proc/PID/task/*/wchan)";
  for (const char* n : {"a", "b", "c"}) {
    t_.file(n);
    std::this_thread::sleep_for(300ms);  // spreads them over batches of their own
  }
  std::vector<std::string> with_a;
  while (std::find(with_a.begin(), with_a.end(), root_ + "/a") == with_a.end()) {
    const std::string e = next_event();
    const auto paths = changed_paths(e, 1);
    ASSERT_TRUE(paths) << e;
    with_a = *paths;
  }
  EXPECT_NE(std::find(with_a.begin(), with_a.end(), root_ + "/b"), with_a.end());
  EXPECT_NE(std::find(with_a.begin(), with_a.end(), root_ + "/c"), with_a.end());

  ASSERT_TRUE(stop_reading()) << "the server's writer never waited in pipe_write (see /proc/PID/task/*/wchan)";
  std::set<std::string> many;  // 300 paths in bursts that stay under the limit one by one
  for (int burst = 0; burst < 3; ++burst) {
    for (int i = 0; i < 100; ++i) {
      const std::string name = "m" + std::to_string(burst) + "-" + std::to_string(i);
      t_.file(name);
      many.insert(root_ + "/" + name);
    }
    std::this_thread::sleep_for(300ms);  // spreads them over batches of their own
  }
  for (std::vector<std::string> got; got != std::vector<std::string>{root_};) {
    const std::string e = next_event();
    const auto paths = changed_paths(e, 1);
    ASSERT_TRUE(paths) << e;
    got = *paths;
    for (const auto& p : got) ASSERT_EQ(many.count(p), 0u) << p << " came alone";
  }
}

// A build rewrites 250 files over and over while the editor reads nothing for 20 s: the
// server's memory stays where it was, and when the editor reads again it learns of every
// file. (Sanitizers keep freed memory, so only the normal build runs this.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(Watch, APausedEditorUnderABuildKeepsMemoryFlat) {
  TempTree build("watch-build", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");  // a build's pace
  root_ = std::filesystem::canonical(build.path()).string();
  std::vector<std::string> outputs;
  for (int i = 0; i < 250; ++i) {
    outputs.push_back(root_ + "/build/CMakeFiles/nivern_server_core.dir/src/server/part" + std::to_string(i % 10) +
                      "/source_file_" + std::to_string(i) + ".cc.o");
  }
  for (const auto& o : outputs) {
    std::filesystem::create_directories(std::filesystem::path(o).parent_path());
    nivern_test::write_file(o, "");
  }
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  const long start_kib = e_.process().status_field("VmRSS");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int round = 0;
  for (; std::chrono::steady_clock::now() < end; ++round) {
    for (const auto& o : outputs) nivern_test::write_file(o, "round " + std::to_string(round));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // pacing: one batch a round
  }
  nivern_test::write_file(root_ + "/last", "");  // the build's final step
  const long peak_kib = e_.process().status_field("VmHWM");
  RecordProperty("rounds", std::to_string(round));
  RecordProperty("start_rss_kib", std::to_string(start_kib));
  RecordProperty("end_rss_kib", std::to_string(e_.process().status_field("VmRSS")));
  RecordProperty("peak_rss_kib", std::to_string(peak_kib));
  EXPECT_LT(peak_kib, start_kib + 4 * 1024);

  // Reading again, the editor gets what waited in the pipe and the merged changes, not
  // the history of the build: it reads until a marker comes without a rescan of the root.
  const int pipe_size = ::fcntl(e_.process().stdout_fd(), F_GETPIPE_SZ);
  ASSERT_GT(pipe_size, 0);
  std::size_t bytes = 0;
  bool last = false;
  for (int i = 0;; ++i) {
    ASSERT_LT(i, 20) << "every marker came with a rescan of the root";
    const std::string mark = root_ + "/mark-" + std::to_string(i);
    nivern_test::write_file(mark, "");
    std::vector<std::string> paths;
    while (std::find(paths.begin(), paths.end(), mark) == paths.end()) {
      const std::string e = next_event();
      const auto got = changed_paths(e, 1);
      ASSERT_TRUE(got) << e;
      bytes += e.size();
      paths = *got;
      for (const auto& p : paths) last = last || p == root_ + "/last" || p == root_;
    }
    if (std::find(paths.begin(), paths.end(), root_) == paths.end()) break;
  }
  RecordProperty("bytes_read", std::to_string(bytes));
  EXPECT_LT(bytes, static_cast<std::size_t>(pipe_size) + (256u << 10));  // the pipe, then a few events
  EXPECT_TRUE(last);
}
#endif

TEST_F(Watch, SessionEndsPromptlyWithAWatchRunning) {
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  t_.file("a");
  e_.process().close_stdin();
  EXPECT_EQ(e_.process().wait(std::chrono::seconds(10)), 0);
}

TEST_F(Watch, APathWithANulIsRefusedAndWatchesNothing) {
  TempTree other("watch-other");
  EXPECT_EQ(e_.call(1, watch_call(other.path())), watching(1));
  const std::string nul = root_ + std::string(1, '\0') + "/nonexistent";
  EXPECT_EQ(e_.call(2, watch_call(nul)),
            R"({"id":2,"reply":{"reply":"error","message":"cannot watch )" + root_ +
                R"(\u0000/nonexistent: file name contained an unexpected NUL byte"}})");
  t_.file("unwatched");
  other.file("watched");
  EXPECT_EQ(next_event(), changed(1, {std::filesystem::canonical(other.path()).string() + "/watched"}));
}

// Directories made and renamed before the watch catches up with them, as build tools and
// package managers do (make a temporary directory, fill it, rename it into place): every
// later write inside them is reported.
TEST_F(Watch, DirectoriesRenamedBeforeTheyWereWatchedReportLaterWrites) {
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  std::set<std::string> moved;
  for (int i = 0; i < 50; ++i) {
    const std::string n = std::to_string(i);
    std::filesystem::create_directories(t_ / ("c" + n + "/sub"));
    std::filesystem::rename(t_ / ("c" + n), t_ / ("e" + n));
    t_.file("t" + n + "/s/a", "1");
    std::filesystem::rename(t_ / ("t" + n), t_ / ("d" + n));
    moved.insert({root_ + "/e" + n, root_ + "/d" + n});
  }
  EXPECT_EQ(uncovered(1, moved), std::set<std::string>{});
  settle(1);
  for (int first = 0; first < 50; first += 25) {  // batches well under the rescan limit
    std::set<std::string> writes;
    for (int i = first; i < first + 25; ++i) {
      const std::string n = std::to_string(i);
      writes.insert({root_ + "/e" + n + "/sub/f", root_ + "/e" + n + "/g", root_ + "/d" + n + "/s/b"});
    }
    for (const auto& w : writes) nivern_test::write_file(w, "later");
    EXPECT_EQ(uncovered(1, writes), std::set<std::string>{});
  }
}

// Two directories swapped in one step (renameat2 with RENAME_EXCHANGE), back and forth.
TEST_F(Watch, ExchangedDirectoriesReportLaterWritesUnderTheirNewNames) {
  t_.dir("X/xsub");
  t_.dir("Y/ysub");
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  for (int round = 0; round < 10; ++round) {
    ASSERT_EQ(::renameat2(AT_FDCWD, (t_ / "X").c_str(), AT_FDCWD, (t_ / "Y").c_str(), RENAME_EXCHANGE), 0);
    EXPECT_EQ(uncovered(1, {root_ + "/X", root_ + "/Y"}), std::set<std::string>{});
    const std::string n = std::to_string(round);
    const std::string in_x = round % 2 == 0 ? "/X/ysub/f" : "/X/xsub/f";
    const std::string in_y = round % 2 == 0 ? "/Y/xsub/f" : "/Y/ysub/f";
    const std::set<std::string> writes{root_ + in_x + n, root_ + in_y + n, root_ + "/X/top" + n};
    for (const auto& w : writes) nivern_test::write_file(w, "later");
    EXPECT_EQ(uncovered(1, writes), std::set<std::string>{}) << "round " << round;
  }
}

// Both names of a rename are reported, also when one of them lies outside the tree; an
// old name made again at once (as an editor saves through a backup kept elsewhere) is
// reported too, and so is what its directory held.
TEST_F(Watch, RenamesReportBothNamesAndAnOldNameMadeAgain) {
  TempTree out("watch-out");
  t_.file("a.txt");
  t_.file("dirA/x");
  t_.file("c");
  t_.file("v.txt", "1");
  t_.file("dir/g");
  out.file("d");
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  std::filesystem::rename(t_ / "a.txt", t_ / "b.txt");
  std::filesystem::rename(t_ / "dirA", t_ / "dirB");
  EXPECT_EQ(uncovered(1, {root_ + "/a.txt", root_ + "/b.txt", root_ + "/dirA", root_ + "/dirB"}),
            std::set<std::string>{});
  t_.file("out.tmp", "x");
  EXPECT_EQ(uncovered(1, {root_ + "/out.tmp"}), std::set<std::string>{});
  settle(1);
  std::filesystem::rename(t_ / "out.tmp", t_ / "out");
  EXPECT_EQ(uncovered(1, {root_ + "/out.tmp", root_ + "/out"}), std::set<std::string>{});
  settle(1);
  {
    Paused p(e_.process().pid());  // the lone halves of two renames, read together
    std::filesystem::rename(t_ / "c", out / "c");
    std::filesystem::rename(out / "d", t_ / "d");
  }
  EXPECT_EQ(uncovered(1, {root_ + "/c", root_ + "/d"}), std::set<std::string>{});
  settle(1);
  {
    Paused p(e_.process().pid());  // moved out and made again within one batch
    std::filesystem::rename(t_ / "v.txt", out / "v.txt~");
    t_.file("v.txt", "2");
    std::filesystem::rename(t_ / "dir", out / "dir");
    t_.file("dir/f");
  }
  EXPECT_EQ(uncovered(1, {root_ + "/v.txt", root_ + "/dir", root_ + "/dir/f"}), std::set<std::string>{});
}

// renameat2 with RENAME_EXCHANGE between a path of the tree and one outside it, either
// way round (as `mv --exchange` swaps a staged copy in): the name is reported, and a
// directory that came in is watched.
TEST_F(Watch, ExchangesWithAPathOutsideTheTree) {
  TempTree out("watch-out");
  t_.file("X", "in");
  out.file("X", "out");
  t_.dir("D/old");
  out.dir("D/new");
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  for (int round = 0; round < 4; ++round) {
    const std::string n = std::to_string(round);
    auto exchange = [&](const char* name) {
      const std::string in = t_ / name, there = out / name;
      return round < 2 ? ::renameat2(AT_FDCWD, there.c_str(), AT_FDCWD, in.c_str(), RENAME_EXCHANGE)
                       : ::renameat2(AT_FDCWD, in.c_str(), AT_FDCWD, there.c_str(), RENAME_EXCHANGE);
    };
    settle(1);
    ASSERT_EQ(exchange("X"), 0);
    EXPECT_EQ(uncovered(1, {root_ + "/X"}), std::set<std::string>{}) << round;
    settle(1);
    ASSERT_EQ(exchange("D"), 0);
    const std::string sub = root_ + (round % 2 == 0 ? "/D/new" : "/D/old");
    EXPECT_EQ(uncovered(1, {root_ + "/D", sub}), std::set<std::string>{}) << round;
    nivern_test::write_file(sub + "/f" + n, "");
    EXPECT_EQ(uncovered(1, {sub + "/f" + n}), std::set<std::string>{}) << round;
  }
  wait_crawled(3);
}

// Directories moved into parts of the tree that the first crawl has not reached yet:
// everything in them is reported, though none of it changed.
TEST_F(Watch, DirectoriesMovedWhereTheFirstCrawlHasNotBeenYet) {
  const std::string parent = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
  TempTree big("watch-uncrawled", parent);
  TempTree out("watch-out", parent);  // on the same file system
  root_ = std::filesystem::canonical(big.path()).string();
  constexpr int kTop = 50, kSub = 100, kMoved = 20;
  for (int i = 0; i < kTop; ++i) {
    const std::string top = root_ + "/d" + std::to_string(i);
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    for (int j = 0; j < kSub; ++j) ASSERT_EQ(::mkdir((top + "/s" + std::to_string(j)).c_str(), 0755), 0);
  }
  for (int i = 0; i < kMoved; ++i) out.file("m" + std::to_string(i) + "/g/h", "old");
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  std::set<std::string> want;
  {
    Paused p(e_.process().pid());
    for (int i = 0; i < kMoved; ++i) {
      const std::string m = "m" + std::to_string(i);
      const std::string to =
          root_ + "/d" + std::to_string(kTop - 1 - 2 * i) + "/s" + std::to_string(kSub - 1 - i) + "/" + m;
      std::filesystem::rename(out / m, to);
      want.insert({to + "/g", to + "/g/h"});
    }
  }
  EXPECT_EQ(uncovered(1, want), std::set<std::string>{});
  wait_crawled(1 + kTop * (1 + kSub) + 2 * kMoved);
}

// Events lost to a full kernel queue: the rescan comes once every directory is watched
// again, so a file written right after it into a directory made while events were being
// lost is reported.
TEST_F(Watch, AfterLostEventsTheRescanComesOnceEveryDirectoryIsWatched) {
  TempTree big("watch-overflow", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
  root_ = std::filesystem::canonical(big.path()).string();
  // Removing a watched directory gives three records, one of them a change: the queue
  // fills up with few changes to go through before the rebuild.
  const int burst = std::stoi(nivern_test::read_file("/proc/sys/fs/inotify/max_queued_events")) / 3 + 100;
  constexpr int kTop = 200, kSub = 150;
  for (int i = 0; i < kTop; ++i) {
    const std::string top = root_ + "/d" + std::to_string(i);
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    for (int j = 0; j < kSub; ++j) ASSERT_EQ(::mkdir((top + "/s" + std::to_string(j)).c_str(), 0755), 0);
  }
  ASSERT_EQ(::mkdir((root_ + "/burst").c_str(), 0755), 0);
  for (int i = 0; i < burst; ++i) ASSERT_EQ(::mkdir((root_ + "/burst/" + std::to_string(i)).c_str(), 0755), 0);
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  wait_crawled(2 + kTop * (1 + kSub) + burst);
  std::vector<std::string> made;
  {
    Paused p(e_.process().pid());
    for (int i = 0; i < burst; ++i) ASSERT_EQ(::rmdir((root_ + "/burst/" + std::to_string(i)).c_str()), 0);
    for (int i = 0; i < kTop; ++i) {  // one in each part of the tree, some where the rebuild comes late
      made.push_back(root_ + "/d" + std::to_string(i) + "/s" + std::to_string(kSub - 1 - i % kSub) + "/new");
      ASSERT_EQ(::mkdir(made.back().c_str(), 0755), 0);
    }
  }
  for (bool rescanned = false; !rescanned;) {
    const auto e = next_frame();
    ASSERT_TRUE(e) << "no rescan";
    const auto paths = changed_paths(*e, 1);
    rescanned = paths && std::find(paths->begin(), paths->end(), root_) != paths->end();
  }
  std::set<std::string> want;
  {
    Paused p(e_.process().pid());  // whatever the watch does after the rescan comes later
    for (const auto& d : made) {
      nivern_test::write_file(d + "/f", "");
      want.insert(d + "/f");
    }
  }
  EXPECT_EQ(uncovered(1, want), std::set<std::string>{});
}

// The root deleted and made again, replaced by another directory, or moved with its
// parent and back: each is a rescan, and later changes inside it are reported again.
TEST_F(Watch, ARootThatGoesIsWatchedAgainWhenItComesBack) {
  t_.dir("parent/proj/sub");
  root_ += "/parent/proj";
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  wait_crawled(2);
  std::filesystem::remove_all(root_);
  EXPECT_EQ(uncovered(1, {"-"}), std::set<std::string>{});  // the rescan
  t_.dir("parent/proj/sub");
  wait_crawled(2);
  settle(1);
  nivern_test::write_file(root_ + "/sub/f", "");
  EXPECT_EQ(uncovered(1, {root_ + "/sub/f"}), std::set<std::string>{});

  t_.dir("parent/copy/sub2/deeper");
  std::filesystem::rename(root_, t_ / "parent/old");
  std::filesystem::rename(t_ / "parent/copy", root_);
  wait_crawled(3);
  settle(1);
  nivern_test::write_file(root_ + "/sub2/deeper/f", "");
  EXPECT_EQ(uncovered(1, {root_ + "/sub2/deeper/f"}), std::set<std::string>{});

  std::filesystem::rename(t_ / "parent", t_ / "parent2");
  t_.dir("parent2/proj/made-meanwhile");
  std::filesystem::rename(t_ / "parent2", t_ / "parent");
  wait_crawled(4);
  settle(1);
  nivern_test::write_file(root_ + "/made-meanwhile/f", "");
  EXPECT_EQ(uncovered(1, {root_ + "/made-meanwhile/f"}), std::set<std::string>{});
}

// A watched file replaced by a rename (an atomic save) is watched again at its path.
TEST_F(Watch, AWatchedFileReplacedByARenameIsWatchedAgain) {
  const std::string file = root_ + "/notes.txt";
  nivern_test::write_file(file, "0");
  EXPECT_EQ(e_.call(1, watch_call(file)), watching(1));
  for (int round = 1; round <= 3; ++round) {
    nivern_test::write_file(root_ + "/.notes.tmp", std::to_string(round));
    std::filesystem::rename(root_ + "/.notes.tmp", file);
    EXPECT_EQ(next_event(), changed(1, {file})) << round;
    while (next_frame(std::chrono::milliseconds(300))) {
    }
    std::ofstream(file, std::ios::app) << "more";
    EXPECT_EQ(next_event(), changed(1, {file})) << round;
  }
}

// Directories deeper than a path can name (PATH_MAX) are watched like any other.
TEST_F(Watch, DirectoriesDeeperThanAPathCanNameAreWatched) {
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  const std::string name(200, 'd');
  int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string path = root_;
  for (int level = 0; level < 24 && fd >= 0; ++level) {  // 24 names of 201 bytes: beyond 4,096
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    path += "/" + name;
    EXPECT_EQ(uncovered(1, {path}), std::set<std::string>{}) << level;
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  const int file = ::openat(fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  EXPECT_GE(file, 0);
  ::close(file);
  ::close(fd);
  EXPECT_EQ(uncovered(1, {path + "/f"}), std::set<std::string>{});
  EXPECT_EQ(std::system(("rm -rf '" + root_ + "/" + name + "'").c_str()), 0);
}

// The reply comes once the root is watched; the crawl of 40,000 directories goes on
// meanwhile, other calls are answered, and changes made during the crawl are reported.
// The tree lives in memory where it can, since making and removing it on a busy disk
// takes long.
TEST_F(Watch, ALargeTreeIsCrawledWhileTheSessionGoesOn) {
  TempTree big("watch-large", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
  root_ = std::filesystem::canonical(big.path()).string();
  constexpr int kTop = 200, kSub = 199;  // with the root and the tops: 40,001
  for (int i = 0; i < kTop; ++i) {
    const std::string top = root_ + "/d" + std::to_string(i);
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    for (int j = 0; j < kSub; ++j) ASSERT_EQ(::mkdir((top + "/s" + std::to_string(j)).c_str(), 0755), 0);
  }
  const std::string first = root_ + "/d0/s0", last = root_ + "/d199/s198";
  nivern_test::write_file(last + "/old", "");
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  nivern_test::write_file(last + "/old", "written");
  nivern_test::write_file(last + "/new", "");
  nivern_test::write_file(first + "/early", "");
  EXPECT_EQ(e_.call(2, R"({"call":"hello","version":5})"), nivern_test::hello_reply(2));
  EXPECT_LT(watches_of(e_.process().pid()), 40001u) << "the reply waited for the crawl";
  EXPECT_EQ(uncovered(1, {last + "/old", last + "/new", first + "/early"}), std::set<std::string>{});

  wait_crawled(40001);
  nivern_test::write_file(last + "/late", "");
  EXPECT_EQ(uncovered(1, {last + "/late"}), std::set<std::string>{});
}

// Random creates, renames, exchanges (inside and with a path outside), deletes, moves
// out and back or out and made again, moves of old directories into the tree (the first
// round before the first crawl reaches them), removal and re-creation of the root
// itself, and writes, for a few seconds, paced by a marker file so that batches stay
// small. Every path that changed after `watching` is reported in or after the round of
// its change (itself, a directory above it, or a rescan of the root), and at the end the
// server watches exactly the tree's directories. Each write appends its round's number
// to the file, so the file itself says when it was last written.
TEST_F(Watch, RandomChangesAreAllReported) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  namespace fs = std::filesystem;
  TempTree out("watch-out");  // elsewhere on the same file system
  for (const char* d : {"a/b/c", "a/d", "e/f", "g"}) t_.dir(d);
  for (const char* f : {"a/1", "a/b/2", "a/b/c/3", "e/4", "e/f/5", "6"}) t_.file(f);
  for (int i = 0; i < 40; ++i) t_.dir("w/" + std::to_string(i % 8) + "/" + std::to_string(i));
  constexpr int kOld = 12;  // directories made before the watch, with files last written in round 0
  for (int i = 0; i < kOld; ++i) {
    out.file("old" + std::to_string(i) + "/x", "0;");
    out.file("old" + std::to_string(i) + "/y/z", "0;");
  }
  EXPECT_EQ(e_.call(1, watch_call(root_)), watching(1));
  std::optional<Paused> paused(std::in_place, e_.process().pid());

  std::map<std::string, int> reported;  // path -> the last round during which it was reported
  int rescanned = -1;                   // the last round during which the root was
  std::vector<std::pair<std::string, int>> touched;  // paths renamed, exchanged, made or removed, by round
  std::vector<std::pair<std::string, int>> round_touched;
  const std::string mark = root_ + "/mark";
  auto read_until = [&](int round, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      const auto e = next_frame(std::chrono::milliseconds(500));
      if (!e) continue;
      const auto paths = changed_paths(*e, 1);
      ASSERT_TRUE(paths) << *e;
      for (const auto& p : *paths) (p == root_ ? rescanned : reported[p]) = round;
    }
  };
  auto covered = [&](std::string path, int round) {
    if (rescanned >= round) return true;
    for (; path.size() > root_.size(); path.resize(path.rfind('/'))) {
      if (auto r = reported.find(path); r != reported.end() && r->second >= round) return true;
    }
    return false;
  };
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  auto write = [](const std::string& path, int round) { std::ofstream(path, std::ios::app) << round << ";"; };
  int name = 0, old = 0, roots_removed = 0;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
#else
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
#endif
  int round = 0;
  while (round == 0 || std::chrono::steady_clock::now() < end) {
    ++round;
    if (round == 1) {
      for (; old < 4; ++old) {
        const std::string to = root_ + "/w/" + std::to_string(rng() % 8) + "/o" + std::to_string(old);
        fs::rename(out / ("old" + std::to_string(old)), to);
        round_touched.emplace_back(to, round);
      }
    }
    // A path that neither was there before the round nor is after it may have come and
    // gone within one batch, which is no change at all.
    std::set<std::string> before;
    auto listing = [&] {
      std::set<std::string> paths;
      for (const auto& e : fs::recursive_directory_iterator(root_)) paths.insert(e.path().string());
      return paths;
    };
    for (int op = 0; op < 12; ++op) {
      std::vector<std::string> dirs{root_}, files, all;
      for (const auto& e : fs::recursive_directory_iterator(root_)) {
        const std::string p = e.path().string();
        if (op == 0) before.insert(p);
        if (p == mark) continue;
        (e.is_directory() ? dirs : files).push_back(p);
        all.push_back(p);
      }
      const std::string fresh = "/n" + std::to_string(++name);
      const std::string there = out / ("t" + std::to_string(name));
      std::error_code ec;
      switch (rng() % 12) {
        case 0:
          if (dirs.size() < 80) {
            const std::string d = pick(dirs) + fresh;
            fs::create_directories(d + (rng() % 2 ? "/m" : ""), ec);
            round_touched.emplace_back(d, round);
          }
          break;
        case 1:
          if (files.size() < 80) write(pick(dirs) + fresh, round);
          break;
        case 2:
          if (!files.empty()) write(pick(files), round);
          break;
        case 3:
          if (!all.empty()) {
            const std::string from = pick(all), to = pick(dirs) + fresh;
            if (!to.starts_with(from + "/") && (fs::rename(from, to, ec), !ec)) {
              round_touched.emplace_back(from, round);
              round_touched.emplace_back(to, round);
            }
          }
          break;
        case 4:
          if (all.size() > 1) {
            const std::string x = pick(all), y = pick(all);
            if (x != y && !x.starts_with(y + "/") && !y.starts_with(x + "/") &&
                ::renameat2(AT_FDCWD, x.c_str(), AT_FDCWD, y.c_str(), RENAME_EXCHANGE) == 0) {
              round_touched.emplace_back(x, round);
              round_touched.emplace_back(y, round);
            }
          }
          break;
        case 5:
          if (!files.empty()) {
            const std::string f = pick(files);
            if (fs::remove(f, ec)) round_touched.emplace_back(f, round);
          }
          break;
        case 6:
          if (dirs.size() > 8 && rng() % 4 == 0) {
            const std::string d = pick(std::vector(dirs.begin() + 1, dirs.end()));
            if (fs::remove_all(d, ec) > 0) round_touched.emplace_back(d, round);
          }
          break;
        case 7: {  // a directory made and filled under a temporary name, then renamed into place
          const std::string tmp = pick(dirs) + fresh;
          fs::create_directories(tmp + "/y", ec);
          write(tmp + "/x", round);
          write(tmp + "/y/z", round);
          const std::string to = pick(dirs) + "/r" + std::to_string(name);
          if (!to.starts_with(tmp + "/") && (fs::rename(tmp, to, ec), !ec)) round_touched.emplace_back(to, round);
          break;
        }
        case 8:  // exchanged with a file or directory outside, either way round
          if (!all.empty()) {
            const std::string x = pick(all);
            if (rng() % 2) {
              write(there, round);
            } else {
              fs::create_directories(there + "/in", ec);
              write(there + "/in/f", round);
            }
            if (rng() % 2 ? ::renameat2(AT_FDCWD, there.c_str(), AT_FDCWD, x.c_str(), RENAME_EXCHANGE) == 0
                          : ::renameat2(AT_FDCWD, x.c_str(), AT_FDCWD, there.c_str(), RENAME_EXCHANGE) == 0)
              round_touched.emplace_back(x, round);
            fs::remove_all(there, ec);
          }
          break;
        case 9:  // moved out, then back or made again under its name
          if (!all.empty()) {
            const std::string x = pick(all);
            const bool dir = fs::is_directory(x, ec);
            fs::rename(x, there, ec);
            if (ec) break;
            round_touched.emplace_back(x, round);
            if (rng() % 2) {
              fs::rename(there, x, ec);
            } else if (dir) {
              fs::create_directories(x + "/m", ec);
              write(x + "/f", round);
            } else {
              write(x, round);
            }
            fs::remove_all(there, ec);
          }
          break;
        case 10:  // an old directory moved in
          if (old < kOld) {
            const std::string to = pick(dirs) + "/o" + std::to_string(old);
            fs::rename(out / ("old" + std::to_string(old++)), to, ec);
            round_touched.emplace_back(to, round);
          }
          break;
        case 11:  // the root itself removed and made again
          if (roots_removed < 2 && rng() % 6 == 0) {
            ++roots_removed;
            fs::remove_all(root_, ec);
            fs::create_directories(root_ + "/a/b", ec);
            write(root_ + "/a/f", round);
            round_touched.emplace_back(root_ + "/a/b", round);
          }
          break;
      }
    }
    write(mark, round);
    const std::set<std::string> after = listing();
    for (auto& t : round_touched) {
      if (before.contains(t.first) || after.contains(t.first)) touched.push_back(std::move(t));
    }
    round_touched.clear();
    paused.reset();
    read_until(round, [&] { return reported[mark] == round || rescanned == round; });
  }

  // Every written file, with the round of its last write.
  std::map<std::string, int> written;
  for (const auto& e : fs::recursive_directory_iterator(root_)) {
    if (!e.is_regular_file()) continue;
    const std::string content = nivern_test::read_file(e.path().string());
    if (content.empty()) continue;
    const std::size_t at = content.find_last_of(';', content.size() - 2);
    written[e.path().string()] = std::stoi(content.substr(at == std::string::npos ? 0 : at + 1));
  }
  auto missing = [&] {
    std::vector<std::string> out;
    for (const auto& [path, last] : written) {
      if (rescanned < last && reported[path] < last) out.push_back(path);
    }
    for (const auto& [path, when] : touched) {
      if (!covered(path, when)) out.push_back(path + " (round " + std::to_string(when) + ")");
    }
    return out;
  };
  read_until(round + 1, [&] { return missing().empty(); });
  EXPECT_EQ(missing(), std::vector<std::string>{}) << round << " rounds";
  std::size_t dirs = 1;
  for (const auto& e : fs::recursive_directory_iterator(root_)) dirs += e.is_directory();
  wait_crawled(dirs);
}

// The watch limit, lowered to 4 for the server alone inside a user namespace of its own.
TEST(WatchLimit, StopsTheCrawlWithARescanAndRefusesAnotherRoot) {
  if (!user_namespaces()) GTEST_SKIP() << "unshare -U -r does not work here";
  TempTree bin("watch-limit");
  ScopedEnv env("NIVERN_SERVER_BIN", wrapped_server(bin, watch_limit(4)).c_str());
  Editor e({"/tmp"});

  TempTree deep("watch-deep");
  deep.dir("a/b/c/d/e");
  const std::string root = std::filesystem::canonical(deep.path()).string();
  EXPECT_EQ(e.call(1, watch_call(root)), watching(1));
  EXPECT_EQ(e.next_event().value_or(""), changed(1, {root}));  // 4 of 6 watched

  TempTree small("watch-small");
  const std::string limit = nivern_test::read_file("/proc/sys/fs/inotify/max_user_watches");
  EXPECT_EQ(
      e.call(2, watch_call(small.path())),
      error_reply(
          2, "cannot watch " + small.path() + ": the inotify watch limit (fs.inotify.max_user_watches = " +
                 limit.substr(0, limit.find('\n')) + ") is reached: No space left on device (os error 28)"));
  deep.file("a/f");  // the first watch goes on
  EXPECT_EQ(e.next_event().value_or(""), changed(1, {root + "/a/f"}));

  deep.dir("x/y/z/w");
  std::string event;
  for (int i = 0; i < 5 && event != changed(1, {root}); ++i) event = e.next_event().value_or("");
  EXPECT_EQ(event, changed(1, {root}));
}

// Directories left unwatched at the limit are watched once other watches are freed.
TEST(WatchLimit, DirectoriesLeftUnwatchedAreWatchedOnceWatchesAreFreed) {
  if (!user_namespaces()) GTEST_SKIP() << "unshare -U -r does not work here";
  TempTree bin("watch-limit");
  ScopedEnv env("NIVERN_SERVER_BIN", wrapped_server(bin, watch_limit(4)).c_str());
  Editor e({"/tmp"});
  TempTree t("watch-freed");
  for (int i = 0; i < 5; ++i) t.dir("x" + std::to_string(i));
  const std::string root = std::filesystem::canonical(t.path()).string();
  EXPECT_EQ(e.call(1, watch_call(root)), watching(1));
  EXPECT_EQ(e.next_event().value_or(""), changed(1, {root}));  // 4 of 6 watched
  const pid_t pid = e.process().pid();
  const auto inodes = watched_inodes(pid);
  std::vector<std::string> watched, unwatched;
  for (int i = 0; i < 5; ++i) {
    const std::string d = root + "/x" + std::to_string(i);
    struct stat st{};
    ASSERT_EQ(::stat(d.c_str(), &st), 0);
    (inodes.contains(st.st_ino) ? watched : unwatched).push_back(d);
  }
  ASSERT_EQ(unwatched.size(), 2u);
  std::filesystem::remove_all(watched[0]);
  std::filesystem::remove_all(watched[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string event;
  while (event != changed(1, {root}) && std::chrono::steady_clock::now() < deadline)
    event = e.next_event().value_or("");
  EXPECT_EQ(event, changed(1, {root}));  // a rescan once they are watched
  EXPECT_EQ(watches_of(pid), 4u);
  for (const auto& d : unwatched) nivern_test::write_file(d + "/f", "");
  std::set<std::string> got;
  while (got.size() < 2) {
    const auto e2 = e.next_event().value_or("");
    const auto paths = changed_paths(e2, 1);
    if (!paths) break;
    got.insert(paths->begin(), paths->end());
  }
  EXPECT_EQ(got, (std::set<std::string>{unwatched[0] + "/f", unwatched[1] + "/f"}));
}

// A directory the server cannot read when the crawl comes by is watched once a change of
// its permissions lets it. The server runs as a user that owns nothing of the tree.
TEST(WatchPermissions, ADirectoryMadeReadableLaterIsWatched) {
  if (!user_namespaces()) GTEST_SKIP() << "unshare -U -r does not work here";
  TempTree bin("watch-perm");
  ScopedEnv env("NIVERN_SERVER_BIN", wrapped_server(bin, "unshare -U").c_str());
  Editor e({"/tmp"});
  TempTree t("watch-locked");
  ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
  t.file("locked/old");
  const std::string root = std::filesystem::canonical(t.path()).string();
  ASSERT_EQ(::chmod((root + "/locked").c_str(), 0), 0);
  EXPECT_EQ(e.call(1, watch_call(root)), watching(1));
  ASSERT_EQ(::chmod((root + "/locked").c_str(), 0755), 0);
  std::set<std::string> got;
  for (int i = 0; i < 5 && !got.contains(root + "/locked/old"); ++i) {
    const auto paths = changed_paths(e.next_event().value_or(""), 1);
    if (paths) got.insert(paths->begin(), paths->end());
  }
  EXPECT_EQ(got, (std::set<std::string>{root + "/locked", root + "/locked/old"}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (watches_of(e.process().pid()) != 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  nivern_test::write_file(root + "/locked/new", "");
  EXPECT_EQ(e.next_event().value_or(""), changed(1, {root + "/locked/new"}));
}

}  // namespace
