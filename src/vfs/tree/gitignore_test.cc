#include "vfs/tree/gitignore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness/test_repo.h"
#include "harness/temp_tree.h"

namespace nivern_vfs {
namespace {

using nivern_git_test::run_git;
using nivern_test::TempTree;

constexpr IgnoreVerdict N = IgnoreVerdict::none;
constexpr IgnoreVerdict I = IgnoreVerdict::ignore;
constexpr IgnoreVerdict W = IgnoreVerdict::whitelist;

/// One case: the ignore file's lines, a path relative to the matcher's root, whether
/// it is a directory, our answer, and whether `git check-ignore` gives the same.
struct Row {
  IgnoreVerdict expect;
  std::vector<std::string> lines;
  std::string path;
  bool is_dir;
  bool git_agrees = true;
};

std::string describe(const Row& r) {
  std::string s = "lines [";
  for (const auto& l : r.lines) s += "'" + l + "' ";
  return s + "] path '" + r.path + "'" + (r.is_dir ? " (dir)" : "");
}

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      // Plain names match at any depth.
      {I, {"*.log"}, "a.log", false},
      {I, {"*.log"}, "deep/er/a.log", false},
      {N, {"*.log"}, "a.logx", false},
      {I, {"target"}, "x/target", true},
      {I, {"target"}, "target", false},
      // A leading "/" anchors at the root.
      {I, {"/a.log"}, "a.log", false},
      {N, {"/a.log"}, "d/a.log", false},
      {I, {"/*.c"}, "x.c", false},
      {N, {"/*.c"}, "d/x.c", false},
      // A "/" inside anchors too.
      {I, {"doc/frotz"}, "doc/frotz", false},
      {N, {"doc/frotz"}, "a/doc/frotz", false},
      {N, {"a/b"}, "x/a/b", false},
      // A trailing "/" limits the line to directories.
      {I, {"build/"}, "build", true},
      {N, {"build/"}, "build", false},
      {I, {"build/"}, "x/build", true},
      {I, {"doc/frotz/"}, "doc/frotz", true},
      {N, {"doc/frotz/"}, "doc/frotz", false},
      // "*" and "?" do not cross "/".
      {I, {"a*c"}, "abbc", false},
      {N, {"a*c"}, "ab/c", false},
      {I, {"a/*.c"}, "a/x.c", false},
      {N, {"a/*.c"}, "a/b/x.c", false},
      {I, {"a?c"}, "abc", false},
      {N, {"x/a?c"}, "x/a/c", false},
      // "**" in its three positions, and elsewhere as "*".
      {I, {"**/foo"}, "foo", false},
      {I, {"**/foo"}, "a/b/foo", false},
      {I, {"**/foo/bar"}, "x/y/foo/bar", false},
      {I, {"**/foo/bar"}, "foo/bar", false},
      {I, {"abc/**"}, "abc/x", false},
      {I, {"abc/**"}, "abc/x/y", false},
      {N, {"abc/**"}, "abc", true},
      {I, {"a/**/b"}, "a/b", false},
      {I, {"a/**/b"}, "a/x/b", false},
      {I, {"a/**/b"}, "a/x/y/b", false},
      {N, {"a/**/b"}, "a/xb", false},
      {I, {"a**b"}, "axyb", false},
      {N, {"x/a**b"}, "x/ax/yb", false},
      {I, {"**"}, "x/y", false},
      // Character classes.
      {I, {"[abc].txt"}, "b.txt", false},
      {N, {"[abc].txt"}, "d.txt", false},
      {N, {"[!a].txt"}, "a.txt", false},
      {I, {"[!a].txt"}, "b.txt", false},
      {I, {"[^a].txt"}, "b.txt", false},
      {I, {"[a-c]x"}, "bx", false},
      {N, {"[a-c]x"}, "dx", false},
      {I, {"[]]x"}, "]x", false},
      {I, {"*.[oa]"}, "lib.a", false},
      // The cheap shapes: prefix, suffix, longer suffix, and globs with literal runs.
      {I, {"patches-*"}, "x/patches-1", false},
      {N, {"patches-*"}, "x/patches", false},
      {I, {"*~"}, "a.c~", false},
      {I, {"*.tar.gz"}, "d/a.tar.gz", false},
      {N, {"*.tar.gz"}, "a.gz", false},
      {I, {"*.o.*"}, "a.o.cmd", false},
      {N, {"*.o.*"}, "a.o", false},
      {I, {"*.c.[012]*.*"}, "x.c.0abc.d", false},
      {N, {"*.c.[012]*.*"}, "x.c.3abc.d", false},
      {I, {"/arch/*/include/generated/"}, "arch/x86/include/generated", true},
      {N, {"/arch/*/include/generated/"}, "arch/x86/y/include/generated", true},
      {I, {"Documentation/*.txt"}, "Documentation/a.txt", false},
      {I, {".*", "!.gitignore"}, ".config", false},
      {W, {".*", "!.gitignore"}, ".gitignore", false},
      // Negation: the last matching line decides.
      {W, {"*.log", "!keep.log"}, "keep.log", false},
      {I, {"*.log", "!keep.log"}, "x.log", false},
      {I, {"!a.txt", "*.txt"}, "a.txt", false},
      {W, {"build/", "!build/"}, "build", true},
      {I, {"!build/", "build"}, "build", true},
      // A whitelist line for directories only does not apply to a file.
      {I, {"*.o", "!keep.o/"}, "keep.o", false},
      // Comments, escapes and trailing spaces.
      {N, {"#foo"}, "#foo", false},
      {I, {"\\#foo"}, "#foo", false},
      {I, {"\\!foo"}, "!foo", false},
      {I, {"foo   "}, "foo", false},
      {I, {"foo\\ "}, "foo ", false},
      {N, {"foo\\ "}, "foo", false},
      {I, {"f\\*o"}, "f*o", false},
      {N, {"f\\*o"}, "fxo", false},
      {I, {"\\#*#"}, "#x#", false},
      // Case matters.
      {N, {"*.LOG"}, "a.log", false},
      {N, {"Makefile"}, "makefile", false},
      // A run of "**" segments is one "**", at the start, inside and at the end.
      {I, {"**/**/*.pyc"}, "top.pyc", false},
      {I, {"**/**/*.pyc"}, "a/top.pyc", false},
      {I, {"**/**/*.pyc"}, "a/b/c/top.pyc", false},
      {I, {"**/**/**/*.pyc"}, "top.pyc", false},
      {N, {"**/**/*.pyc"}, "top.pyo", false},
      {I, {"src/**/**/*.js"}, "src/a.js", false},
      {I, {"src/**/**/*.js"}, "src/x/a.js", false},
      {I, {"src/**/**/*.js"}, "src/x/y/z/a.js", false},
      {N, {"src/**/**/*.js"}, "lib/src/a.js", false},
      {I, {"**/**"}, "keep.txt", false},
      {I, {"**/**"}, "a/b/top.pyc", false},
      {I, {"a/**/**/b"}, "a/b", false},
      {I, {"a/**/**/**/b"}, "a/x/y/b", false},
      {N, {"a/**/**/b"}, "a/xb", false},
      {I, {"a/**/**"}, "a/x", false},
      {I, {"a/**/**"}, "a/x/y", false},
      {N, {"a/**/**"}, "a", true},
      {I, {"**/**/naïve/"}, "naïve", true},
      {I, {"**/**/naïve/"}, "é/日本/naïve", true},
      // Globs match bytes: "?" is one byte, a class holds the bytes of its characters.
      {N, {"?.txt"}, "é.txt", false},
      {I, {"??.txt"}, "é.txt", false},
      {I, {"??.txt"}, "d/é/é.txt", false},
      {N, {"[é].txt"}, "é.txt", false},
      {I, {"[é][é].txt"}, "é.txt", false},
      {I, {"[é]?.txt"}, "x/y/é.txt", false},
      {N, {"?.md"}, "日.md", false},
      {I, {"???.md"}, "日.md", false},
      {I, {"d/???.md"}, "d/日.md", false},
      {N, {"??"}, "日", false},
      {I, {"??"}, "ß", false},
      {I, {"??"}, "deep/er/ß", false},
      {N, {"?"}, "ß", false},
      {I, {"[!a]?"}, "ß", false},
      {N, {"[é-ü]"}, "ü", false},
      {I, {"[é-ü][é-ü]"}, "ü", false},
      {I, {"[a-é]x"}, "\xc3x", false},
      {N, {"[a-é]x"}, "\xc4x", false},
      // Bytes that are not UTF-8 match themselves, and "?", "*" and classes take them.
      {I, {"caf\xe9"}, "caf\xe9", false},
      {I, {"caf?"}, "a/b/caf\xe9", false},
      {I, {"[\xe9]*"}, "\xe9\xff", false},
      {N, {"[!\xe9]*"}, "\xe9\xff", false},
      // Where our rules differ from git's: braces alternate, an unclosed "[" is
      // literal, and two trailing spaces after "\ " leave a dangling escape (the line is
      // skipped).
      {I, {"{a,b}.txt"}, "a.txt", false, false},
      {I, {"*.{c,h}"}, "dir/x.h", false, false},
      {N, {"{a,b}.txt"}, "{a,b}.txt", false, false},
      {I, {"[abc"}, "[abc", false, false},
      {N, {"foo\\  "}, "foo ", false, false},
  };
  return table;
}

Gitignore build(std::string_view root, const std::vector<std::string>& lines) {
  GitignoreBuilder b(root);
  for (const auto& l : lines) (void)b.add_line(l);
  auto built = b.build();
  EXPECT_TRUE(built.has_value());
  return built ? *built : Gitignore();
}

TEST(GitignoreTable, MatchesEveryRow) {
  for (const Row& r : rows()) {
    Gitignore g = build("/repo", r.lines);
    EXPECT_EQ(g.matched_relative(r.path, r.is_dir), r.expect) << describe(r);
    EXPECT_EQ(g.matched("/repo/" + r.path, r.is_dir), r.expect) << "full path, " << describe(r);
  }
}

/// The same rows against `git check-ignore --no-index` in a real repository: git agrees
/// where the row says so, and differs where it says it does.
TEST(GitignoreTable, AgreesWithGitWhereMarked) {
  TempTree repo;
  ASSERT_TRUE(run_git(repo.path(), {"init", "-q"}).status.success());
  ASSERT_TRUE(run_git(repo.path(), {"config", "core.ignorecase", "false"}).status.success());
  for (const Row& r : rows()) {
    std::string text;
    for (const auto& l : r.lines) text += l + "\n";
    repo.file(".gitignore", text);
    std::error_code ec;
    std::filesystem::remove_all(repo / "w", ec);
    if (r.is_dir) {
      repo.dir("w/" + r.path);
    } else {
      repo.file("w/" + r.path, "x");
    }
    // The lines are rooted at w/ by placing the ignore file there.
    std::filesystem::rename(repo / ".gitignore", repo / "w/.gitignore");
    auto out = run_git(repo / "w", {"check-ignore", "--no-index", "-v", "-n", "--", r.path});
    // "source:line:pattern<TAB>path"; an empty pattern when nothing matched.
    std::string line = out.out;
    std::size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << describe(r) << " git said: " << line << out.err;
    std::string head = line.substr(0, tab);
    std::string pattern = head.substr(head.find(':', head.find(':') + 1) + 1);
    IgnoreVerdict git_says = pattern.empty() ? N : pattern[0] == '!' ? W : I;
    if (r.git_agrees) {
      EXPECT_EQ(git_says, r.expect) << "git differs on " << describe(r);
    } else {
      EXPECT_NE(git_says, r.expect) << "git now agrees on " << describe(r);
    }
    std::filesystem::remove_all(repo / "w", ec);
  }
}

TEST(Gitignore, EmptyMatcherAnswersNone) {
  Gitignore empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.matched("anything", false), IgnoreVerdict::none);
  EXPECT_EQ(empty.matched("", true), IgnoreVerdict::none);
  Gitignore built = build("/r", {"# only a comment", "", "   "});
  EXPECT_TRUE(built.empty());
  EXPECT_EQ(built.matched("/r/x", false), IgnoreVerdict::none);
}

TEST(Gitignore, RootIsStrippedByComponentsAndLeadingDotSlash) {
  Gitignore g = build("./proj", {"/top.txt", "*.o"});
  EXPECT_EQ(g.root(), "proj");
  EXPECT_EQ(g.matched("proj/top.txt", false), IgnoreVerdict::ignore);
  EXPECT_EQ(g.matched("./proj/top.txt", false), IgnoreVerdict::ignore);
  EXPECT_EQ(g.matched("proj//top.txt", false), IgnoreVerdict::ignore);
  // Not under the root: matched as it stands, so anchored lines miss and names still hit.
  EXPECT_EQ(g.matched("projx/top.txt", false), IgnoreVerdict::none);
  EXPECT_EQ(g.matched("/elsewhere/top.txt", false), IgnoreVerdict::none);
  EXPECT_EQ(g.matched("/elsewhere/a.o", false), IgnoreVerdict::ignore);
  // A root with a trailing separator.
  Gitignore t = build("/r/", {"/x"});
  EXPECT_EQ(t.matched("/r/x", false), IgnoreVerdict::ignore);
  // Only the path itself is tested, never its parents.
  Gitignore d = build("/r", {"build/"});
  EXPECT_EQ(d.matched("/r/build/a.o", false), IgnoreVerdict::none);
}

TEST(Gitignore, BadLinesAreReportedAndSkipped) {
  GitignoreBuilder b("/r");
  auto bad = b.add_line("{a,b");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().text(), "error parsing glob '{a,b': unclosed alternate group; missing '}'");
  EXPECT_FALSE(b.add_line("{a,{b}}").has_value());
  EXPECT_FALSE(b.add_line("tail\\").has_value());
  EXPECT_FALSE(b.add_line("[z-a]").has_value());
  EXPECT_TRUE(b.add_line("*.tmp").has_value());
  auto g = b.build();
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->size(), 1u);
  EXPECT_EQ(g->matched("/r/a.tmp", false), IgnoreVerdict::ignore);
}

TEST(Gitignore, ExcludeModeRejectsUnclosedClass) {
  GitignoreBuilder strict("/r", /*allow_unclosed_class=*/false);
  auto e = strict.add_line("[abc");
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().reason, "unclosed character class; missing ']'");
  GitignoreBuilder lenient("/r");
  EXPECT_TRUE(lenient.add_line("[abc").has_value());
}

TEST(Gitignore, AddTextHandlesLineEndingsAndBom) {
  GitignoreBuilder b("/r");
  EXPECT_TRUE(b.add_text("\xEF\xBB\xBF*.a\r\n*.b\n\n# c\n*.c").has_value());
  auto g = b.build();
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->size(), 3u);
  for (const char* p : {"/r/x.a", "/r/x.b", "/r/x.c"}) EXPECT_EQ(g->matched(p, false), IgnoreVerdict::ignore) << p;
}

TEST(Gitignore, AddTextKeepsGoodLinesAroundBadOnes) {
  GitignoreBuilder b("/r");
  auto added = b.add_text("*.a\n{x\n*.b\n");
  ASSERT_FALSE(added.has_value());
  EXPECT_EQ(added.error().glob, "{x");
  auto g = b.build();
  EXPECT_EQ(g->matched("/r/y.a", false), IgnoreVerdict::ignore);
  EXPECT_EQ(g->matched("/r/y.b", false), IgnoreVerdict::ignore);
}

TEST(Gitignore, AddFileReportsMissingFiles) {
  TempTree t;
  GitignoreBuilder b(t.path());
  auto missing = b.add_file(t / "nope");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), t / "nope" + ": No such file or directory (os error 2)");
  t.file("ign", "*.x\n");
  EXPECT_TRUE(b.add_file(t / "ign").has_value());
  EXPECT_EQ(b.build()->matched(t / "a.x", false), IgnoreVerdict::ignore);
}

TEST(Gitignore, AddFileReadsEveryLineAndLeavesOutLinesThroughHoles) {
  TempTree t;
  std::string text = "*.a\n";
  while (text.size() < (std::size_t{5} << 20)) text += "# " + std::to_string(text.size()) + "\n";
  text += "*.b";  // the last line, without a final newline
  t.file("big", text);
  GitignoreBuilder b(t.path());
  EXPECT_TRUE(b.add_file(t / "big").has_value());
  // A sparse file: lines in its data, a line running into a hole is left out.
  int fd = ::open((t / "sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "*.c\n*.d", 8, 0), 8);
  ASSERT_EQ(::pwrite(fd, "\n*.e\n", 5, off_t{1} << 24), 5);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 25), 0);
  ::close(fd);
  EXPECT_TRUE(b.add_file(t / "sparse").has_value());
  auto g = b.build();
  ASSERT_TRUE(g.has_value());
  for (const char* ext : {"a", "b", "c", "e"}) {
    EXPECT_EQ(g->matched(t / (std::string("x.") + ext), false), IgnoreVerdict::ignore) << ext;
  }
  EXPECT_EQ(g->matched(t / "x.d", false), IgnoreVerdict::none);
  EXPECT_EQ(g->size(), 4u);
}

TEST(Gitignore, LongPatternsStayFast) {
  // Many stars against a long name that almost matches: bounded work, no blow-up.
  Gitignore g = build("/r", {"*a*a*a*a*a*a*a*a*a*a*a*a*b"});
  std::string name(4000, 'a');
  EXPECT_EQ(g.matched_relative(name, false), IgnoreVerdict::none);
  EXPECT_EQ(g.matched_relative(name + "b", false), IgnoreVerdict::ignore);
}

TEST(Gitignore, CopiesShareTheCompiledLines) {
  Gitignore a = build("/r", {"*.o"});
  Gitignore b = a;
  Gitignore c = std::move(a);
  EXPECT_EQ(b.matched("/r/x.o", false), IgnoreVerdict::ignore);
  EXPECT_EQ(c.matched("/r/x.o", false), IgnoreVerdict::ignore);
  EXPECT_EQ(b.whitelists(), 0u);
}

}  // namespace
}  // namespace nivern_vfs
