#include "vfs/tree/directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "harness/temp_tree.h"
#include "harness/test_repo.h"
#include "vfs/tree/root_ignore.h"

namespace nivern_vfs::directory {
namespace {

using nivern_test::TempTree;

struct Listed {
  std::string name;
  bool is_dir;
  std::uint64_t len;
  bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Listed& l) {
  return os << "{" << l.name << (l.is_dir ? " dir " : " ") << l.len << "}";
}

std::vector<Listed> list(const std::string& path, const Gitignore& root) {
  auto r = children(path, root);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  std::vector<Listed> out;
  if (!r) return out;
  for (const auto& e : *r) {
    EXPECT_EQ(e.path, (path.ends_with('/') ? path : path + "/") + std::string(last_component(e.path)));
    out.push_back({std::string(last_component(e.path)), e.is_dir, e.len});
  }
  return out;
}

std::vector<std::string> names(const std::string& path, const Gitignore& root) {
  std::vector<std::string> out;
  for (auto& l : list(path, root)) out.push_back(l.name);
  return out;
}

TEST(ListDir, GitLeftOutByNameOtherDotEntriesStay) {
  TempTree t;
  t.dir(".git");
  t.dir(".github");
  t.file(".env");
  EXPECT_EQ(names(t.path(), Gitignore()), (std::vector<std::string>{".github", ".env"}));
  TempTree worktree;
  worktree.file(".git", "gitdir: elsewhere\n");
  worktree.file("x");
  EXPECT_EQ(names(worktree.path(), Gitignore()), (std::vector<std::string>{"x"}));
}

TEST(ListDir, RootMatcherFromTheRootsThreeFilesInOrder) {
  TempTree t;
  t.file(".gitignore", "*.log\ntarget/\n");
  t.file(".ignore", "!keep.log\n");
  t.file(".git/info/exclude", "!x.log\nsecret\n");
  t.file("a.log");
  t.file("keep.log");
  t.file("x.log");
  t.file("secret");
  t.dir("target");
  t.file("sub/target");
  Gitignore root = root_matcher(t.path());
  EXPECT_EQ(names(t.path(), root), (std::vector<std::string>{"sub", ".gitignore", ".ignore", "keep.log", "x.log"}));
  // Spelled differently, the root is still the root.
  EXPECT_EQ(names(t.path() + "/", root).size(), 5u);
  t.file("sub/keep.log");
  t.file("sub/other.log");
  EXPECT_EQ(names(t / "sub", root), (std::vector<std::string>{"keep.log", "target"}));
  // A file named target stays; only the directory is hidden.
}

/// One listing of the root: the root's ".gitignore", the files beside it and the names
/// the listing keeps (".gitignore" itself left out of `kept`, it is checked apart).
struct ListingRow {
  std::string gitignore;
  std::vector<std::string> files;
  std::set<std::string> kept;
};

std::string big_gitignore() {
  // 4.77 MB: "*.log" first, "*.tmp" last, comment lines between.
  std::string text = "*.log\n";
  const std::string filler = "#" + std::string(1022, '-') + "\n";
  while (text.size() < 4'770'000) text += filler;
  return text + "*.tmp\n";
}

TEST(ListDir, RootListingRowsAgreeWithGit) {
  const std::vector<ListingRow> rows = {
      {"**/**/*.pyc\n", {"top.pyc", "keep.txt", "x.pyc.txt"}, {"keep.txt", "x.pyc.txt"}},
      {"**/**\n", {"top.pyc", "keep.txt"}, {}},
      {"?.txt\n", {"é.txt", "a.txt"}, {"é.txt"}},
      {"[é].txt\n", {"é.txt"}, {"é.txt"}},
      {"?.md\n??\n", {"日.md", "a.md", "ß", "ab", "c"}, {"日.md", "c"}},
      {"caf?\n", {"caf\xe9", "cafe!"}, {"cafe!"}},
      {big_gitignore(), {"a.log", "b.tmp", "c.txt"}, {"c.txt"}},
  };
  for (const ListingRow& r : rows) {
    SCOPED_TRACE(r.gitignore.substr(0, 20));
    TempTree t;
    ASSERT_TRUE(nivern_git_test::run_git(t.path(), {"init", "-q"}).status.success());
    t.file(".gitignore", r.gitignore);
    for (const auto& f : r.files) t.file(f);
    std::set<std::string> listed;
    for (auto& name : names(t.path(), root_matcher(t.path()))) {
      if (name != ".gitignore") listed.insert(name);
    }
    EXPECT_EQ(listed, r.kept);
    // git hides the same files.
    std::set<std::string> git_kept;
    for (const auto& f : r.files) {
      // Status 1: not ignored.
      if (nivern_git_test::run_git(t.path(), {"check-ignore", "-q", "--no-index", "--", f}).status.code == 1) {
        git_kept.insert(f);
      }
    }
    EXPECT_EQ(git_kept, r.kept);
  }
}

TEST(ListDir, RootListingReadsTheRootsFilesAfresh) {
  TempTree t;
  t.file(".gitignore", "*.log\n");
  t.file(".ignore", "!keep.log\n");
  for (const char* f : {"a.log", "keep.log", "b.tmp", "c.txt"}) t.file(f);
  Gitignore root = root_matcher(t.path());
  const std::vector<std::string> before = {".gitignore", ".ignore", "b.tmp", "c.txt", "keep.log"};
  EXPECT_EQ(names(t.path(), root), before);
  t.file(".gitignore", "*.log\n*.tmp\n");
  const std::vector<std::string> after = {".gitignore", ".ignore", "c.txt", "keep.log"};
  EXPECT_EQ(names(t.path(), root), after);
  EXPECT_EQ(names(t.path() + "/", root), after);
  // A ".gitignore" made after the matcher, beside a ".ignore" that was there.
  TempTree only;
  only.file(".ignore", "*.x\n");
  for (const char* f : {"a.x", "b.tmp", "c.txt"}) only.file(f);
  Gitignore only_root = root_matcher(only.path());
  only.file(".gitignore", "*.tmp\n");
  EXPECT_EQ(names(only.path(), only_root), (std::vector<std::string>{".gitignore", ".ignore", "c.txt"}));
}

TEST(ListDir, RootMatcherWithoutFilesIsEmptyAndBadLinesAreSkipped) {
  TempTree bare;
  bare.file("x");
  EXPECT_TRUE(root_matcher(bare.path()).empty());
  EXPECT_TRUE(root_matcher(bare / "missing").empty());
  TempTree t;
  t.file(".gitignore", "*.o\n{unclosed\n[abc\n");
  t.file("a.o");
  t.file("[abc");
  t.file("b.c");
  EXPECT_EQ(names(t.path(), root_matcher(t.path())), (std::vector<std::string>{".gitignore", "b.c"}));
}

TEST(ListDir, LocalGitignoreOfTheListedDirectoryOnly) {
  TempTree t;
  t.file("sub/.gitignore", "*.tmp\n");
  t.file("sub/a.tmp");
  t.file("sub/b.c");
  t.file("sub/deeper/c.tmp");
  t.file("sub/deeper/.ignore", "*.c\n");  // a listed directory's .ignore is not read
  t.file("sub/deeper/d.c");
  EXPECT_EQ(names(t / "sub", Gitignore()), (std::vector<std::string>{"deeper", ".gitignore", "b.c"}));
  EXPECT_EQ(names(t / "sub/deeper", Gitignore()), (std::vector<std::string>{".ignore", "c.tmp", "d.c"}));
}

TEST(ListDir, WhitelistOfOneMatcherDoesNotRescueTheOther) {
  TempTree t;
  t.file(".gitignore", "*.gen\n");
  t.file("sub/.gitignore", "!*.gen\nlocal\n");
  t.file("sub/x.gen");
  t.file("sub/local");
  t.file("sub/y");
  Gitignore root = root_matcher(t.path());
  EXPECT_EQ(names(t / "sub", root), (std::vector<std::string>{".gitignore", "y"}));
}

TEST(ListDir, GitignoreThatIsADirectoryOrMissingGivesNoLocalMatcher) {
  TempTree t;
  t.dir("sub/.gitignore");
  t.file("sub/a.tmp");
  EXPECT_EQ(names(t / "sub", Gitignore()), (std::vector<std::string>{".gitignore", "a.tmp"}));
}

TEST(ListDir, LinkToADirectoryIsAFileWithItsTargetLength) {
  TempTree t;
  t.dir("real");
  t.link("real", "link");
  t.file("zz");
  EXPECT_EQ(list(t.path(), Gitignore()),
            (std::vector<Listed>{{"real", true, 0}, {"link", false, 4}, {"zz", false, 0}}));
}

TEST(ListDir, EqualKeysKeepTheDirectoryOrder) {
  TempTree t;
  t.file("readme");
  t.file("README");
  auto got = names(t.path(), Gitignore());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0], got[1]);
  // The order of equal keys is the directory's own; listing twice gives the same.
  EXPECT_EQ(names(t.path(), Gitignore()), got);
}

TEST(ListDir, EmptyOrAllHidden) {
  TempTree t;
  EXPECT_TRUE(names(t.path(), Gitignore()).empty());
  t.dir(".git");
  t.file(".gitignore", "*\n");
  t.file("x");
  EXPECT_TRUE(names(t.path(), root_matcher(t.path())).empty());
}

TEST(ListDir, ErrorsCarryTheOsText) {
  TempTree t;
  t.file("plain");
  auto file = children(t / "plain", Gitignore());
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error(), "Not a directory (os error 20)");
  auto missing = children(t / "missing", Gitignore());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
  auto nul = children(std::string("a\0b", 3), Gitignore());
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error(), "file name contained an unexpected NUL byte");
}

TEST(ListDir, NamesThatAreNotUtf8SortByTheirReplacedForm) {
  TempTree t;
  t.file("b");
  t.file("a\xff");  // keyed "a" U+FFFD: before "b"
  t.file("\xfe");   // keyed U+FFFD: after every ASCII name
  auto got = names(t.path(), Gitignore());
  EXPECT_EQ(got, (std::vector<std::string>{"a\xff", "b", "\xfe"}));
}

TEST(ListingKey, OrderUsesLowerCasedUtf8Bytes) {
  std::vector<walk::ProjectEntry> v = {{"/r/Zeta", 0, false}, {"/r/émile", 0, false}, {"/r/Alpha", 0, false},
                                       {"/r/dir", 0, true}, {"/r/Éa", 0, false}};
  listing_order(v);
  std::vector<std::string> got;
  for (auto& e : v) got.push_back(std::string(last_component(e.path)));
  EXPECT_EQ(got, (std::vector<std::string>{"dir", "Alpha", "Zeta", "Éa", "émile"}));
}

TEST(ListDir, TenThousandEntries) {
  TempTree t;
  for (int i = 0; i < 10000; ++i) t.file("f" + std::to_string(i));
  auto got = children(t.path(), Gitignore());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->size(), 10000u);
  EXPECT_EQ(last_component(got->front().path), "f0");
  EXPECT_EQ(last_component(got->back().path), "f9999");
}

}  // namespace
}  // namespace nivern_vfs::directory

namespace nivern_vfs::directory {
namespace {

TEST(LastComponent, NamesOfPaths) {
  EXPECT_EQ(last_component("/r/name"), "name");
  EXPECT_EQ(last_component("/r/dir/"), "dir");
  EXPECT_EQ(last_component("/r/dir/."), "dir");
  EXPECT_EQ(last_component("/r/.."), "");
  EXPECT_EQ(last_component("/"), "");
  EXPECT_EQ(last_component("plain"), "plain");
  EXPECT_EQ(last_component(""), "");
}

}  // namespace
}  // namespace nivern_vfs::directory
