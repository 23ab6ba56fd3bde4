#include "vfs/tree/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "harness/scoped_env.h"
#include "harness/temp_tree.h"
#include "vfs/tree/path_order.h"

namespace nivern_vfs::walk {
namespace {

using nivern_test::ScopedEnv;
using nivern_test::TempTree;

std::vector<std::string> paths_of(const ScanResult& r) {
  std::vector<std::string> out;
  for (const auto& e : r.entries) out.push_back(e.path);
  return out;
}

class ScanTest : public ::testing::Test {
 protected:
  TempTree config_;
  ScopedEnv global_{"GIT_CONFIG_GLOBAL", "/dev/null"};
  ScopedEnv home_{"HOME", config_.path().c_str()};
  ScopedEnv xdg_{"XDG_CONFIG_HOME", config_.path().c_str()};
  ScopedEnv system_{"GIT_CONFIG_SYSTEM", "/dev/null"};
  TempTree t_;
};

TEST_F(ScanTest, FilesInComponentOrderWithoutDirectoriesOrTheRoot) {
  t_.file("a/b");
  t_.file("a-b");
  t_.file("a.txt");
  t_.file("B");
  t_.dir("empty");
  auto r = scan(t_.path(), {});
  EXPECT_EQ(paths_of(r), (std::vector<std::string>{t_ / "B", t_ / "a/b", t_ / "a-b", t_ / "a.txt"}));
  EXPECT_FALSE(r.truncated);
  EXPECT_TRUE(r.skipped.empty());
  for (const auto& e : r.entries) EXPECT_FALSE(e.is_dir);
}

TEST_F(ScanTest, SizesFromTheEntryItselfUnlessSkipped) {
  t_.file("five", "12345");
  t_.link("target-text", "link");
  auto r = scan(t_.path(), {});
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].path, t_ / "five");
  EXPECT_EQ(r.entries[0].len, 5u);
  EXPECT_EQ(r.entries[1].path, t_ / "link");  // a link is listed, with its own length
  EXPECT_EQ(r.entries[1].len, std::string("target-text").size());
  auto quick = scan(t_.path(), {}, Sizes::skip);
  EXPECT_EQ(quick.entries[0].len, 0u);
}

TEST_F(ScanTest, DotFilesAndGitContentsUnlessExcluded) {
  t_.file(".env");
  t_.file(".git/HEAD");
  t_.file(".git/objects/ab/cdef");
  t_.file("src/x.c");
  EXPECT_EQ(paths_of(scan(t_.path(), {})),
            (std::vector<std::string>{t_ / ".env", t_ / ".git/HEAD", t_ / ".git/objects/ab/cdef", t_ / "src/x.c"}));
  EXPECT_EQ(paths_of(scan(t_.path(), {{".git"}})), (std::vector<std::string>{t_ / ".env", t_ / "src/x.c"}));
}

TEST_F(ScanTest, BadExcludesAreRecordedAndIgnored) {
  t_.file("target/out");
  t_.file("keep");
  auto r = scan(t_.path(), {{"target", "[abc"}});
  EXPECT_EQ(paths_of(r), (std::vector<std::string>{t_ / "keep", t_ / "target/out"}));
  ASSERT_EQ(r.skipped.size(), 1u);
  EXPECT_FALSE(r.skipped[0].path.has_value());
  EXPECT_EQ(r.skipped[0].message,
            "exclude globs ignored: error parsing glob '![abc': unclosed character class; missing ']'");
  EXPECT_FALSE(r.truncated);
}

TEST_F(ScanTest, ExcludesAreRelativeToTheScannedPath) {
  t_.file("src/main.c");
  t_.file("src/lib/main.c");
  t_.file("main.c");
  EXPECT_EQ(paths_of(scan(t_ / "src", {{"/main.c"}})), (std::vector<std::string>{t_ / "src/lib/main.c"}));
  EXPECT_EQ(paths_of(scan(t_.path(), {{"build", "*.c"}})), (std::vector<std::string>{}));
}

TEST_F(ScanTest, NamesThatAreNotUtf8KeepTheirBytes) {
  t_.file("caf\xe9.txt");
  auto r = scan(t_.path(), {});
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].path, t_ / "caf\xe9.txt");
}

// A flat directory is read by a single worker, so the limit's effect is exact.
TEST_F(ScanTest, LimitReachedWithNothingAfterIsNotTruncated) {
  for (int i = 0; i < 20; ++i) t_.file("f" + std::to_string(i));
  auto r = scan_with(t_.path(), {}, 20, [](std::uint64_t, std::uint64_t) {});
  EXPECT_EQ(r.entries.size(), 20u);
  EXPECT_FALSE(r.truncated);
}

TEST_F(ScanTest, AnyEntryPastTheLimitTruncates) {
  for (int i = 0; i < 21; ++i) t_.file("f" + std::to_string(i));
  auto r = scan_with(t_.path(), {}, 20, [](std::uint64_t, std::uint64_t) {});
  EXPECT_EQ(r.entries.size(), 20u);
  EXPECT_TRUE(r.truncated);
  // Without a limit the same tree is whole.
  auto all = scan_with(t_.path(), {}, std::nullopt, [](std::uint64_t, std::uint64_t) {});
  EXPECT_EQ(all.entries.size(), 21u);
  EXPECT_FALSE(all.truncated);
}

TEST_F(ScanTest, ParallelLimitOvershootsByFewerThanTheWorkers) {
  for (int d = 0; d < 40; ++d) {
    for (int f = 0; f < 40; ++f) t_.file("d" + std::to_string(d) + "/f" + std::to_string(f));
  }
  auto r = scan_with(t_.path(), {}, 500, [](std::uint64_t, std::uint64_t) {});
  EXPECT_TRUE(r.truncated);
  EXPECT_GE(r.entries.size(), 500u);
  EXPECT_LT(r.entries.size(), 500u + default_threads());
}

TEST_F(ScanTest, ProgressEveryTickPerWorker) {
  for (int i = 0; i < 600; ++i) t_.file("f" + std::to_string(i));
  std::atomic<int> calls{0};
  std::atomic<std::uint64_t> last{0};
  Progress progress = [&](std::uint64_t files, std::uint64_t dirs) {
    ++calls;
    last = files;
    EXPECT_EQ(dirs, 0u);
  };
  auto r = scan_with(t_.path(), {}, SCAN_FILE_LIMIT, progress);
  EXPECT_EQ(r.entries.size(), 600u);
  EXPECT_EQ(calls.load(), 2);  // after 256 and 512 entries
  EXPECT_EQ(last.load(), 512u);
}

// Enough files for many batches from several workers, some with names long enough to
// outgrow a batch's first buffer; each path keeps its own size through the sort.
TEST_F(ScanTest, ManyBatchesFromManyWorkersComeBackWholeAndInOrder) {
  std::map<std::string, std::uint64_t> want;
  for (int d = 0; d < 24; ++d) {
    std::string dir = (d % 3 == 0 ? "d" : d % 3 == 1 ? "d-" : "d.") + std::to_string(d / 3);
    for (int f = 0; f < 60; ++f) {
      std::string name = "f" + std::to_string(f);
      if (f % 5 == 0) name += std::string(180, static_cast<char>('a' + d % 26));
      std::string content(static_cast<std::size_t>((d * 60 + f) % 41), 'x');
      want[t_.file(dir + "/" + name, content)] = content.size();
    }
  }
  std::vector<std::string> order;
  for (const auto& [path, len] : want) order.push_back(path);
  std::sort(order.begin(), order.end(),
            [](const std::string& a, const std::string& b) { return path_order::less(a, b); });
  auto r = scan(t_.path(), {});
  EXPECT_EQ(paths_of(r), order);
  ASSERT_EQ(r.entries.size(), want.size());
  for (std::size_t i = 0; i < r.entries.size(); ++i) {
    EXPECT_EQ(r.entries.len(i), want[r.entries[i].path]) << r.entries[i].path;
  }
  EXPECT_FALSE(r.truncated);
}

TEST_F(ScanTest, PathsComeAsTheRootsPrefixAndARelativePart) {
  t_.file("a/b");
  t_.file("a-b");
  t_.file("c");
  for (std::string root : {t_.path(), t_.path() + "/", t_.path() + "//", t_.path() + "/.", t_.path() + "/./",
                           "/" + t_.path()}) {
    auto r = scan(root, {}, Sizes::skip);
    std::string prefix = root.ends_with('/') ? root : root + "/";
    EXPECT_EQ(r.entries.prefix(), prefix);
    EXPECT_EQ(paths_of(r), (std::vector<std::string>{prefix + "a/b", prefix + "a-b", prefix + "c"})) << root;
    ASSERT_EQ(r.entries.size(), 3u) << root;
    EXPECT_EQ(r.entries.relative(0), "a/b");
    EXPECT_EQ(r.entries.relative(2), "c");
    EXPECT_EQ(r.entries.len(2), 0u);
  }
  // A missing root is a skipped record about that path; a file root gives nothing.
  auto none = scan(t_ / "missing", {});
  EXPECT_TRUE(none.entries.empty());
  EXPECT_EQ(none.entries.begin(), none.entries.end());
  EXPECT_FALSE(none.truncated);
  ASSERT_EQ(none.skipped.size(), 1u);
  EXPECT_EQ(none.skipped[0].path, t_ / "missing");
  auto file = scan(t_ / "c", {});
  EXPECT_TRUE(file.entries.empty());
  EXPECT_TRUE(file.skipped.empty());
}

}  // namespace
}  // namespace nivern_vfs::walk
