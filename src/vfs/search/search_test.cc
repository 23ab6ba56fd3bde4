#include "vfs/search/search.h"

#include <gtest/gtest.h>

#include "harness/temp_tree.h"

namespace nivern_vfs::search {
namespace {

using nivern_test::TempTree;

SearchResult run(std::string_view root, const char* pattern, bool regex = false,
                 std::vector<std::string> excludes = {}) {
  auto r = search(root, {pattern, regex, false, true}, excludes::Excludes{std::move(excludes)});
  EXPECT_TRUE(r.has_value());
  return r ? std::move(*r) : SearchResult{};
}

/// "path:line" for each match, the path relative to the tree.
std::vector<std::string> where(const TempTree& tree, const SearchResult& r) {
  std::vector<std::string> out;
  for (const auto& m : r.matches) {
    out.push_back(m.path.substr(tree.path().size() + 1) + ":" + std::to_string(m.line));
  }
  return out;
}

TEST(Search, SortsByPathComponentsThenLine) {
  TempTree tree;
  tree.file("a.txt", "x\n");
  tree.file("a-b", "x\nx\n");
  tree.file("a/b", "y\nx\n");
  tree.file("a/c/d", "x\n");
  tree.file("B", "x\n");
  const auto r = run(tree.path(), "x");
  EXPECT_EQ(where(tree, r),
            (std::vector<std::string>{"B:1", "a/b:2", "a/c/d:1", "a-b:1", "a-b:2", "a.txt:1"}));
  EXPECT_EQ(r.files, 5u);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(r.matches[1].path, tree / "a/b");
  EXPECT_EQ(r.matches[1].text, "x");
}

TEST(Search, SearchesRegularFilesOnlyAsTheWalkFindsThem) {
  TempTree tree;
  tree.file("kept.txt", "needle\n");
  tree.file(".hidden/h.txt", "needle\n");
  tree.file(".gitignore", "ignored.txt\n");
  tree.file("ignored.txt", "needle\n");
  tree.file("binary.bin", std::string("\0needle\n", 8));
  tree.file("latin1.txt", "needle caf\xE9\n");
  tree.link(tree / "kept.txt", "link.txt");
  tree.link(tree / ".hidden", "linkdir");
  const auto r = run(tree.path(), "needle");
  EXPECT_EQ(where(tree, r), (std::vector<std::string>{".hidden/h.txt:1", "kept.txt:1"}));
}

TEST(Search, AStrayByteOnALineThatDoesNotMatchKeepsTheFile) {
  TempTree tree;
  tree.file("a.rs", "let foo = 1;\r\nfoobar = caf\xe9;\r\n");
  tree.file("b.rs", "foo\nfoo caf\xe9\n");  // a line that is not UTF-8 matches
  for (const char* pattern : {"\\bfoo\\b", "foo\\b", "\\<foo\\>"}) {
    const auto r = run(tree.path(), pattern, true);
    EXPECT_EQ(where(tree, r), (std::vector<std::string>{"a.rs:1"})) << pattern;
    ASSERT_EQ(r.matches.size(), 1u);
    EXPECT_EQ(r.matches[0].start, 4u);
    EXPECT_EQ(r.matches[0].end, 7u);
  }
  auto word = search(tree.path(), {"foo", false, true, true}, excludes::Excludes{{}});
  ASSERT_TRUE(word.has_value());
  EXPECT_EQ(where(tree, *word), (std::vector<std::string>{"a.rs:1"}));
}

TEST(Search, ARootThatIsAFileIsSearchedAlone) {
  TempTree tree;
  const std::string file = tree.file("one.txt", "a\nx\n");
  tree.file("two.txt", "x\n");
  const auto r = run(file, "x");
  ASSERT_EQ(r.matches.size(), 1u);
  EXPECT_EQ(r.matches[0].path, file);
  EXPECT_EQ(r.matches[0].line, 2u);
}

TEST(Search, ExcludePatternsRemovePathsAndABadSetIsIgnored) {
  TempTree tree;
  tree.file("src/a.c", "x\n");
  tree.file("target/b.c", "x\n");
  tree.file("sub/target/c.c", "x\n");
  EXPECT_EQ(where(tree, run(tree.path(), "x", false, {"target"})),
            (std::vector<std::string>{"src/a.c:1"}));
  EXPECT_EQ(where(tree, run(tree.path(), "x", false, {"/target"})),
            (std::vector<std::string>{"src/a.c:1", "sub/target/c.c:1"}));
  // One pattern that does not build: the whole set is dropped.
  EXPECT_EQ(where(tree, run(tree.path(), "x", false, {"target", "[abc"})),
            (std::vector<std::string>{"src/a.c:1", "sub/target/c.c:1", "target/b.c:1"}));
}

std::string lines(std::size_t n, std::string_view line) {
  std::string s;
  for (std::size_t k = 0; k < n; ++k) (s += line) += '\n';
  return s;
}

TEST(Search, ExactlyTheLimitIsTruncated) {
  TempTree tree;
  tree.file("a", lines(2500, "x"));
  tree.file("b", lines(2500, "x"));
  const auto r = run(tree.path(), "x");
  EXPECT_EQ(r.matches.size(), SEARCH_MATCH_LIMIT);
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.files, 2u);
  const auto under = run(tree.path(), "x\n", true);  // never matches: a line has no LF
  EXPECT_TRUE(under.matches.empty());
  EXPECT_FALSE(under.truncated);
}

TEST(Search, ManyFilesOnManyWorkersGiveTheSameAnswerEachTime) {
  TempTree tree;
  for (int d = 0; d < 20; ++d) {
    for (int f = 0; f < 20; ++f) {
      tree.file("d" + std::to_string(d) + "/f" + std::to_string(f),
                "a\nneedle " + std::to_string(f) + "\nb\nneedle\n");
    }
  }
  const auto first = run(tree.path(), "needle");
  EXPECT_EQ(first.matches.size(), 800u);
  EXPECT_EQ(first.files, 400u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(run(tree.path(), "needle").matches, first.matches);
}

}  // namespace
}  // namespace nivern_vfs::search
