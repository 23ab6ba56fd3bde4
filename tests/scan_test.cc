// scan seen from the editor's side: which files come back, in which order, and the file
// limit on a real 100,001-file tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "harness/editor.h"
#include "harness/replies.h"
#include "harness/temp_tree.h"

namespace {

using nivern_test::Editor;
using nivern_test::json_list;
using nivern_test::json_string;
using nivern_test::scanned_reply;
using nivern_test::TempTree;

class Scan : public ::testing::Test {
 protected:
  void start() {
    editor_ = std::make_unique<Editor>(
        std::vector<std::string>{t_.path()},
        std::vector<std::string>{"GIT_CONFIG_GLOBAL=/dev/null", "HOME=" + config_.path(),
                                 "XDG_CONFIG_HOME=" + config_.path(), "GIT_CONFIG_SYSTEM=/dev/null"});
  }
  std::string scan(const std::string& path, const std::vector<std::string>& excludes = {},
                   std::uint64_t id = 2) {
    return editor_->call(
        id, R"({"call":"scan","path":)" + json_string(path) + R"(,"excludes":)" + json_list(excludes) + "}");
  }

  TempTree config_;
  TempTree t_;
  std::unique_ptr<Editor> editor_;
};

TEST_F(Scan, ComponentOrderDotFilesAndLinks) {
  t_.file("a/b");
  t_.file("a-b");
  t_.file("a.txt");
  t_.file(".env");
  t_.file(".git/HEAD");
  t_.file("real/inner");
  t_.link("real", "link-dir");
  t_.link("a.txt", "link-file");
  start();
  EXPECT_EQ(scan(t_.path()),
            scanned_reply(2, {t_ / ".env", t_ / ".git/HEAD", t_ / "a/b", t_ / "a-b", t_ / "a.txt",
                              t_ / "link-dir", t_ / "link-file", t_ / "real/inner"}));
  EXPECT_EQ(scan(t_.path(), {".git", "real/"}, 3),
            scanned_reply(
                3, {t_ / ".env", t_ / "a/b", t_ / "a-b", t_ / "a.txt", t_ / "link-dir", t_ / "link-file"}));
}

TEST_F(Scan, NothingToList) {
  t_.dir("empty");
  t_.file("file.txt", "x");
  start();
  EXPECT_EQ(scan(t_ / "empty"), scanned_reply(2, {}));
  EXPECT_EQ(scan(t_ / "file.txt", {}, 3), scanned_reply(3, {}));
  EXPECT_EQ(scan(t_ / "missing", {}, 4), scanned_reply(4, {}));
  EXPECT_EQ(scan("", {}, 5), scanned_reply(5, {}));
}

TEST_F(Scan, IgnoreFilesBelowButNotAboveAndBadExcludesChangeNothing) {
  t_.file(".gitignore", "*.log\n");
  t_.file("src/.gitignore", "gen/\n");
  t_.file("src/gen/x.c");
  t_.file("src/a.log");
  t_.file("src/main.c");
  t_.file("src/target/out");
  start();
  EXPECT_EQ(scan(t_.path()), scanned_reply(2, {t_ / ".gitignore", t_ / "src/.gitignore", t_ / "src/main.c",
                                               t_ / "src/target/out"}));
  // Scanning src alone: the .log rule sits above it and does not apply.
  EXPECT_EQ(scan(t_ / "src", {}, 4), scanned_reply(4, {t_ / "src/.gitignore", t_ / "src/a.log",
                                                       t_ / "src/main.c", t_ / "src/target/out"}));
  EXPECT_EQ(
      scan(t_ / "src", {"target", "[abc"}, 5),
      scanned_reply(5, {t_ / "src/.gitignore", t_ / "src/a.log", t_ / "src/main.c", t_ / "src/target/out"}));
  EXPECT_EQ(scan(t_ / "src", {"/main.c", "target"}, 6),
            scanned_reply(6, {t_ / "src/.gitignore", t_ / "src/a.log"}));
}

TEST_F(Scan, NamesThatAreNotUtf8) {
  t_.file("caf\xe9");
  start();
  EXPECT_EQ(scan(t_.path()), scanned_reply(2, {t_ / "caf\xef\xbf\xbd"}));
}

/// Creates `count` empty files named f<from>, f<from + 1>, ... in `dir` (which must exist).
/// All but one in a thousand are hard links to the one before them that is not: making
/// new inodes is what makes a large tree slow to build, and a link is listed as a file
/// all the same.
void fill(const std::string& dir, int from, int count) {
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(d, 0);
  std::string real;
  for (int i = from; i < from + count; ++i) {
    std::string name = "f" + std::to_string(i);
    if ((i - from) % 1000 == 0) {
      int fd = ::openat(d, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      ::close(fd);
      real = name;
    } else {
      ASSERT_EQ(::linkat(d, real.c_str(), d, name.c_str(), 0), 0) << name;
    }
  }
  ::close(d);
}

std::size_t count_paths(const std::string& reply) {
  std::size_t start = reply.find(R"("paths":[)");
  if (start == std::string::npos || reply.compare(start, 10, R"("paths":[])") == 0) return 0;
  std::size_t n = 1;
  for (std::size_t at = reply.find("\",\"", start); at != std::string::npos; at = reply.find("\",\"", at + 1))
    ++n;
  return n;
}

// A flat directory is read by one worker, so the limit's effect is exact there.
TEST_F(Scan, FileLimitOnAFlatDirectory) {
  t_.dir("flat");
  fill(t_ / "flat", 0, 100000);
  start();
  std::vector<std::string> all;
  for (int i = 0; i < 100000; ++i) all.push_back(t_ / ("flat/f" + std::to_string(i)));
  std::sort(all.begin(), all.end());  // names without separators: component order is byte order
  EXPECT_TRUE(scan(t_ / "flat") == scanned_reply(2, all));  // whole, but not printed when it fails
  // Which file is left out depends on the directory's order: the count and the flag tell.
  fill(t_ / "flat", 100000, 1);
  std::string cut = scan(t_ / "flat", {}, 3);
  EXPECT_EQ(count_paths(cut), 100000u);
  EXPECT_TRUE(cut.ends_with(R"(],"truncated":true}})"));
}

TEST_F(Scan, FileLimitAcrossWorkers) {
  for (int d = 0; d < 100; ++d) {
    t_.dir("d" + std::to_string(d));
    fill(t_ / ("d" + std::to_string(d)), 0, 1000);
  }
  fill(t_.path(), 0, 1);  // 100,001 files
  start();
  std::string cut = scan(t_.path());
  std::size_t n = count_paths(cut);
  EXPECT_GE(n, 100000u);
  EXPECT_LE(n, 100011u);
  EXPECT_TRUE(cut.ends_with(R"(],"truncated":true}})"));
}

}  // namespace
