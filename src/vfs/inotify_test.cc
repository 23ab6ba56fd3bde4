#include "vfs/inotify.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <chrono>
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
          record(root, IN_CREATE, 0, "q") + record(root, IN_MOVED_TO, 9, "z") + record(-1, IN_Q_OVERFLOW) +
          record(999, IN_CREATE, 0, "stale") + record(d, IN_DELETE_SELF) + record(d, IN_ATTRIB) +
          record(d, IN_UNMOUNT) + record(root, IN_MOVED_FROM, 10, "last"));
  EXPECT_EQ(f->seen,
            (std::vector<std::string>{"create " + r + "/a", "modify " + r + "/d/a", "modify " + r + "/a",
                                      "remove " + r + "/a", "both " + r + "/x " + r + "/d/y",
                                      "from " + r + "/p", "create " + r + "/q", "to " + r + "/z",
                                      "other (rescan)", "modify " + r + "/d", "other (rescan)"}));
  EXPECT_TRUE(f->tree.holding());  // its partner may come with the next read
  f->feed(record(root, IN_MOVED_TO, 10, "next"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"both " + r + "/last " + r + "/next"}));
  f->feed(record(root, IN_MOVED_FROM, 11, "gone"));
  f->seen.clear();
  f->tree.release_held();
  EXPECT_EQ(f->seen, (std::vector<std::string>{"from " + r + "/gone"}));
}

TEST(InotifyRecords, DirectoriesAndTheRoot) {
  TempTree t("inotify");
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

  // A directory renamed inside the tree takes its watches along.
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 3, "d") + record(root, IN_MOVED_TO | IN_ISDIR, 3, "e") +
          record(sub, IN_CREATE, 0, "g"));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"both " + r + "/d " + r + "/e", "create " + r + "/e/sub/g"}));
  EXPECT_EQ(f->tree.wd_of(r + "/e"), d);
  EXPECT_FALSE(f->tree.wd_of(r + "/d"));

  // Moved out: its watches go, later records of them are ignored.
  const std::size_t before = f->tree.watches();
  f->feed(record(root, IN_MOVED_FROM | IN_ISDIR, 4, "e") + record(sub, IN_CREATE, 0, "h") +
          record(d, IN_IGNORED));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"from " + r + "/e"}));
  EXPECT_EQ(f->tree.watches(), before - 2);

  f->feed(record(root, IN_DELETE_SELF) + record(root, IN_IGNORED));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"remove " + r}));
  EXPECT_FALSE(f->tree.wd_of(r));
}

TEST(InotifyRecords, MovedRootDropsEveryWatch) {
  TempTree t("inotify");
  t.dir("a/b");
  auto f = fed_tree(t.path());
  const std::string r = f->tree.root();
  f->feed(record(*f->tree.wd_of(r), IN_MOVE_SELF));
  EXPECT_EQ(f->seen, (std::vector<std::string>{"remove " + r}));
  EXPECT_EQ(f->tree.watches(), 0u);
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
