#include "vfs/watch/inotify.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>

#include "harness/temp_tree.h"
#include "support/channel.h"

namespace nivern_vfs::inotify {
namespace {

using nivern_test::TempTree;

std::string text_of(const Result& r) {
  if (!r) return "error " + r.error().text;
  static const char* names[] = {"create", "remove", "modify", "from", "to", "both", "other"};
  std::string s = names[int(r->kind)];
  for (const auto& p : r->paths) s += " " + p;
  if (r->rescan) s += " (rescan)";
  return s;
}

// One raw record as the kernel lays it out: the header, then the name padded with NULs.
std::string record(int wd, std::uint32_t mask, std::uint32_t cookie = 0, std::string_view name = {}) {
  const std::size_t len = name.empty() ? 0 : (name.size() + 1 + 15) / 16 * 16;
  inotify_event ev{wd, mask, cookie, static_cast<std::uint32_t>(len)};
  std::string out(reinterpret_cast<const char*>(&ev), sizeof ev);
  out += name;
  out.resize(sizeof ev + len, '\0');
  return out;
}

struct Fed {
  std::vector<std::string> seen;
  Tree tree;
  void feed(const std::string& bytes) {
    seen.clear();
    tree.decode(std::as_bytes(std::span(bytes.data(), bytes.size())));
  }
};

std::unique_ptr<Fed> fed_tree(const std::string& root) {
  auto fed = std::make_unique<Fed>(Fed{{}, *Tree::create([](Result) {})});
  fed->tree = *Tree::create([f = fed.get()](Result r) { f->seen.push_back(text_of(r)); });
  EXPECT_TRUE(fed->tree.watch(root).has_value());
  while (fed->tree.crawling()) fed->tree.crawl_some(SIZE_MAX);
  return fed;
}

TEST(InotifyRecords, EveryFileRecordKind) {
  TempTree t("inotify");
  t.dir("d");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  const int root = *f->tree.wd_of(r), d = *f->tree.wd_of(r + "/d");
  f->feed(record(root, IN_CREATE, 0, "a") + record(d, IN_MODIFY, 0, "a") + record(root, IN_ATTRIB, 0, "a") +
          record(root, IN_DELETE, 0, "a") + record(root, IN_MOVED_FROM, 7, "x") +
          record(d, IN_MOVED_TO, 7, "y") + record(root, IN_MOVED_FROM, 8, "p") +
          record(root, IN_CREATE, 0, "q") + record(root, IN_MOVED_TO, 9, "z") +
          record(999, IN_CREATE, 0, "stale") + record(d, IN_DELETE_SELF) + record(d, IN_ATTRIB) +
          record(d, IN_UNMOUNT) + record(-1, IN_Q_OVERFLOW) + record(root, IN_MOVED_FROM, 10, "last"));
  // Lost events: a rescan once the read is handled, after which every directory is watched.
  EXPECT_EQ(f->seen,
            (std::vector<std::string>{"create " + r + "/a", "modify " + r + "/d/a", "modify " + r + "/a",
                                      "remove " + r + "/a", "both " + r + "/x " + r + "/d/y",
                                      "from " + r + "/p", "create " + r + "/q", "to " + r + "/z",
                                      "modify " + r + "/d", "other (rescan)", "other (rescan)"}));
  EXPECT_EQ(f->tree.wd_of(r + "/d"), d);
  EXPECT_TRUE(f->tree.holding());  // its partner may come with the next read
  f->feed(record(root, IN_MOVED_TO, 10, "next"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"both " + r + "/last " + r + "/next"}));
  f->feed(record(root, IN_MOVED_FROM, 11, "gone"));
  f->seen.clear();
  f->tree.release_held();
  EXPECT_EQ(f->seen, (std::vector<std::string>{"from " + r + "/gone"}));
}

// The records below are those the kernel gives for what the test did on disk first, as
// if the watch read them late.
TEST(InotifyRecords, DirectoriesAndTheRoot) {
  TempTree t("inotify");
  TempTree outside("inotify-out");
  t.dir("d/sub");
  t.file("n/m/f");
  t.dir("out");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  const int root = *f->tree.wd_of(r), d = *f->tree.wd_of(r + "/d"), sub = *f->tree.wd_of(r + "/d/sub");
  std::filesystem::rename(t / "n", t / "out/n");  // as if made after the crawl
  f->feed(record(*f->tree.wd_of(r + "/out"), IN_CREATE | IN_ISDIR, 0, "n"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"create " + r + "/out/n", "create " + r + "/out/n/m",
                                               "create " + r + "/out/n/m/f"}));
  EXPECT_TRUE(f->tree.wd_of(r + "/out/n/m"));

  // A directory renamed inside the tree takes its watches along; what it holds is reported.
  std::filesystem::rename(t / "d", t / "e");
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 3, "d") + record(root, IN_MOVED_TO | IN_ISDIR, 3, "e") +
          record(d, IN_MOVE_SELF) + record(sub, IN_CREATE, 0, "g"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"both " + r + "/d " + r + "/e", "create " + r + "/e/sub",
                                               "create " + r + "/e/sub/g"}));
  EXPECT_EQ(f->tree.wd_of(r + "/e"), d);
  EXPECT_EQ(f->tree.wd_of(r + "/e/sub"), sub);
  EXPECT_FALSE(f->tree.wd_of(r + "/d"));

  // Moved out: its watches go, later records of them are ignored.
  std::filesystem::rename(t / "e", outside / "e");
  const std::size_t before = f->tree.watches();
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 4, "e") + record(d, IN_MOVE_SELF) +
          record(sub, IN_CREATE, 0, "h") + record(d, IN_IGNORED));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"from " + r + "/e"}));
  EXPECT_EQ(f->tree.watches(), before - 2);

  // The root's own watch gone: a rescan; its path names a directory, so that is watched
  // and crawled again, with another rescan.
  f->feed(record(root, IN_DELETE_SELF) + record(root, IN_IGNORED));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"other (rescan)", "other (rescan)"}));
  EXPECT_TRUE(f->tree.wd_of(r + "/out/n/m"));
  EXPECT_NE(f->tree.wd_of(r), root);
}

TEST(InotifyRecords, ADirectoryGoneBeforeItsWatchIsWatchedWhereItsRenameTookIt) {
  TempTree t("inotify");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  const int root = *f->tree.wd_of(r);
  t.file("c/sub/f");
  std::filesystem::rename(t / "c", t / "e");
  t.dir("e2/x");
  std::filesystem::rename(t / "e2", t / "e3");
  f->feed(record(root, IN_CREATE | IN_ISDIR, 0, "c") + record(root, IN_MOVED_FROM | IN_ISDIR, 5, "c") +
          record(root, IN_MOVED_TO | IN_ISDIR, 5, "e") + record(root, IN_CREATE | IN_ISDIR, 0, "e2") +
          record(root, IN_MOVED_FROM | IN_ISDIR, 6, "e2") + record(root, IN_MOVED_TO | IN_ISDIR, 6, "e3"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"create " + r + "/c", "both " + r + "/c " + r + "/e",
                                               "create " + r + "/e/sub", "create " + r + "/e/sub/f",
                                               "create " + r + "/e2", "both " + r + "/e2 " + r + "/e3",
                                               "create " + r + "/e3/x"}));
  EXPECT_TRUE(f->tree.wd_of(r + "/e/sub"));
  EXPECT_TRUE(f->tree.wd_of(r + "/e3/x"));
  EXPECT_EQ(f->tree.watches(), 5u);

  // Renamed twice before either rename is read: the directory's own move record places it.
  const int e = *f->tree.wd_of(r + "/e");
  std::filesystem::rename(t / "e", t / "g");
  std::filesystem::rename(t / "g", t / "h");
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 7, "e") + record(root, IN_MOVED_TO | IN_ISDIR, 7, "g") +
          record(e, IN_MOVE_SELF));
  EXPECT_EQ(f->tree.wd_of(r + "/g"), e);
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 8, "g") + record(root, IN_MOVED_TO | IN_ISDIR, 8, "h") +
          record(e, IN_MOVE_SELF));
  EXPECT_EQ(f->tree.wd_of(r + "/h"), e);
  EXPECT_TRUE(f->tree.wd_of(r + "/h/sub"));
}

TEST(InotifyRecords, AnExchangeSwapsTheTwoDirectories) {
  TempTree t("inotify");
  t.dir("X/xsub");
  t.dir("Y/ysub");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  const int root = *f->tree.wd_of(r), x = *f->tree.wd_of(r + "/X"), y = *f->tree.wd_of(r + "/Y");
  const int xsub = *f->tree.wd_of(r + "/X/xsub");
  ASSERT_EQ(::renameat2(AT_FDCWD, (t / "X").c_str(), AT_FDCWD, (t / "Y").c_str(), RENAME_EXCHANGE), 0);
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 1, "X") + record(root, IN_MOVED_TO | IN_ISDIR, 1, "Y") +
          record(x, IN_MOVE_SELF) + record(root, IN_MOVED_FROM | IN_ISDIR, 2, "Y") +
          record(root, IN_MOVED_TO | IN_ISDIR, 2, "X") + record(y, IN_MOVE_SELF) +
          record(xsub, IN_CREATE, 0, "f"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"both " + r + "/X " + r + "/Y", "create " + r + "/Y/xsub",
                                               "both " + r + "/Y " + r + "/X", "create " + r + "/X/ysub",
                                               "create " + r + "/Y/xsub/f"}));
  EXPECT_EQ(f->tree.wd_of(r + "/Y"), x);
  EXPECT_EQ(f->tree.wd_of(r + "/X"), y);
  EXPECT_EQ(f->tree.wd_of(r + "/Y/xsub"), xsub);
}

// A directory whose name another one took (its own move not read yet) has no known place:
// a change inside it is a rescan of the whole tree, which rebuilds the tables.
TEST(InotifyRecords, AChangeInADirectoryOfUnknownPlaceIsARescan) {
  TempTree t("inotify");
  t.dir("a");
  t.dir("b");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  const int root = *f->tree.wd_of(r), a = *f->tree.wd_of(r + "/a"), b = *f->tree.wd_of(r + "/b");
  std::filesystem::rename(t / "b", t / "keep-b");
  t.dir("b");
  std::filesystem::rename(t / "a", t / "b");  // replaces the new, empty b
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 3, "a") + record(root, IN_MOVED_TO | IN_ISDIR, 3, "b") +
          record(a, IN_MOVE_SELF));
  EXPECT_EQ(f->tree.wd_of(r + "/b"), a);
  f->feed(record(b, IN_ATTRIB));  // nothing to report for itself
  EXPECT_EQ(f->seen, std::vector<std::string>{});
  f->feed(record(b, IN_CREATE, 0, "x"));
  EXPECT_EQ(f->seen, std::vector<std::string>{"other (rescan)"});
  EXPECT_EQ(f->tree.wd_of(r + "/keep-b"), b);
  EXPECT_EQ(f->tree.watches(), 3u);
}

TEST(InotifyRecords, TheFirstCrawlReportsWhatChangedOnceTheRootWasWatched) {
  TempTree t("inotify");
  t.file("a/b/old");
  std::vector<std::string> seen;
  auto tree = *Tree::create([&seen](Result r) { seen.push_back(text_of(r)); });
  ASSERT_TRUE(tree.watch(t.path()).has_value());
  const std::string r = tree.root();
  EXPECT_EQ(tree.watches(), 1u);
  t.file("a/b/new");
  t.file("a/b/old", "written");
  t.dir("a/c");
  tree.crawl_some(1);
  EXPECT_TRUE(tree.crawling());
  while (tree.crawling()) tree.crawl_some(SIZE_MAX);
  EXPECT_EQ(tree.watches(), 4u);
  for (const std::string want : {"/a/b/new", "/a/b/old", "/a/c"})
    EXPECT_NE(std::find(seen.begin(), seen.end(), "modify " + r + want), seen.end()) << want;
}

TEST(InotifyRecords, AMovedRootIsWatchedAgainWhenItsPathComesBack) {
  TempTree t("inotify");
  t.dir("a/b");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  std::filesystem::rename(r, r + ".away");
  f->feed(record(*f->tree.wd_of(r), IN_MOVE_SELF));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"other (rescan)"}));
  EXPECT_EQ(f->tree.watches(), 0u);
  std::filesystem::rename(r + ".away", r);
  // The records of the root's parent, which is watched meanwhile, as the kernel gives them.
  pollfd p{f->tree.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  alignas(inotify_event) std::byte buf[4096];
  const ssize_t n = ::read(f->tree.fd(), buf, sizeof buf);
  ASSERT_GT(n, 0);
  f->seen.clear();
  f->tree.decode(std::span<const std::byte>(buf, static_cast<std::size_t>(n)));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"other (rescan)"}));
}

// Real file operations, seen through the watch's own thread.
class InotifyLive : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [tx, rx] = nivern_support::make_channel<std::string>();
    rx_ = std::move(rx);
    auto w = RecursiveWatch::start(t_.path(),
                                   [tx = std::move(tx)](Result r) mutable { (void)tx.send(text_of(r)); });
    ASSERT_TRUE(w) << w.error().text;
    watch_ = std::move(*w);
    r_ = std::filesystem::canonical(t_.path()).string();
  }

  // Waits (up to 10 s) until every wanted line has been seen; returns what was missing.
  std::set<std::string> wait_for(std::set<std::string> wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!wanted.empty()) {
      std::optional<std::string> got;
      if (rx_.recv_until(got, deadline) != decltype(rx_)::Wait::item) break;
      wanted.erase(*got);
    }
    return wanted;
  }

  TempTree t_{"inotify"};
  TempTree outside_{"inotify-out"};
  nivern_support::Receiver<std::string> rx_;
  std::unique_ptr<RecursiveWatch> watch_;
  std::string r_;
};

TEST_F(InotifyLive, FilesCreatedWrittenRenamedAndRemoved) {
  nivern_test::write_file(t_ / "a", "1");
  ASSERT_EQ(::chmod((t_ / "a").c_str(), 0600), 0);
  EXPECT_EQ(wait_for({"create " + r_ + "/a", "modify " + r_ + "/a"}), std::set<std::string>{});
  std::filesystem::rename(t_ / "a", t_ / "b");
  EXPECT_EQ(wait_for({"both " + r_ + "/a " + r_ + "/b"}), std::set<std::string>{});
  std::filesystem::rename(t_ / "b", outside_ / "b");
  std::filesystem::rename(outside_.file("c"), t_ / "c");
  EXPECT_EQ(wait_for({"from " + r_ + "/b", "to " + r_ + "/c"}), std::set<std::string>{});
  std::filesystem::remove(t_ / "c");
  EXPECT_EQ(wait_for({"remove " + r_ + "/c"}), std::set<std::string>{});
}

TEST_F(InotifyLive, DeepTreesMadeAndRemovedAtOnce) {
  std::filesystem::create_directories(t_ / "x/y/z");
  nivern_test::write_file(t_ / "x/y/z/f", "");
  EXPECT_EQ(wait_for({"create " + r_ + "/x", "create " + r_ + "/x/y", "create " + r_ + "/x/y/z",
                      "create " + r_ + "/x/y/z/f"}),
            std::set<std::string>{});
  std::filesystem::rename(t_ / "x/y", t_ / "w");
  nivern_test::write_file(t_ / "w/z/g", "");  // watched under its new name
  EXPECT_EQ(wait_for({"both " + r_ + "/x/y " + r_ + "/w", "create " + r_ + "/w/z/g"}),
            std::set<std::string>{});
  std::filesystem::remove_all(t_ / "w");
  EXPECT_EQ(wait_for({"remove " + r_ + "/w/z/f", "remove " + r_ + "/w/z/g", "remove " + r_ + "/w/z",
                      "remove " + r_ + "/w"}),
            std::set<std::string>{});
}

}  // namespace
}  // namespace nivern_vfs::inotify
