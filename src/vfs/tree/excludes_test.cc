#include "vfs/tree/excludes.h"

#include <gtest/gtest.h>

namespace nivern_vfs::excludes {
namespace {

Override make(std::vector<std::string> patterns, std::string_view root = "/p") {
  auto m = Excludes{std::move(patterns)}.matcher(root);
  EXPECT_TRUE(m.has_value());
  return m ? *m : Override();
}

TEST(Excludes, NamesMatchAtAnyDepthAnchoredOnlyAtTheRoot) {
  Override any = make({"build"});
  EXPECT_TRUE(any.excluded("/p/build", true));
  EXPECT_TRUE(any.excluded("/p/a/b/build", false));
  Override top = make({"/build"});
  EXPECT_TRUE(top.excluded("/p/build", true));
  EXPECT_FALSE(top.excluded("/p/a/build", true));
  Override dirs = make({"build/"});
  EXPECT_TRUE(dirs.excluded("/p/x/build", true));
  EXPECT_FALSE(dirs.excluded("/p/x/build", false));
}

TEST(Excludes, RunsOfDoubleStarsAndBytePatterns) {
  struct Row {
    bool excluded;
    std::string pattern;
    std::string path;
  };
  const std::vector<Row> rows = {
      {true, "src/**/**/*.js", "src/a.js"},         {true, "src/**/**/*.js", "src/x/y/a.js"},
      {false, "src/**/**/*.js", "lib/a.js"},        {true, "**/**", "keep.txt"},
      {true, "**/**", "top.pyc"},                   {true, "**/**", "a/b/日.txt"},
      {true, "**/**/*.pyc", "top.pyc"},             {true, "**/**/*.pyc", "a/b/top.pyc"},
      {false, "?.txt", "é.txt"},                    {true, "??.txt", "d/é.txt"},
      {false, "[é].txt", "é.txt"},                  {true, "[é][é].txt", "é.txt"},
      {true, "/caf?", "caf\xe9"},                   {false, "/caf?", "d/caf\xe9"},
      {true, "/{a/**,b}.x", "a/y/z.x"},             {true, "/{a/**,b}.x", "a/.x"},
      {false, "/{a/**,b}.x", "a.x"},                {true, "/{**/c,d}.x", "y/c.x"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(make({r.pattern}).excluded("/p/" + r.path, false), r.excluded) << r.pattern << " " << r.path;
  }
}

TEST(Excludes, RelativeToTheCallsPath) {
  Override m = make({"/main.c"}, "/root/src");
  EXPECT_TRUE(m.excluded("/root/src/main.c", false));
  EXPECT_FALSE(m.excluded("/root/main.c", false));
  EXPECT_TRUE(m.excluded_relative("main.c", false));
  Override dot = make({"/main.c"}, "./src");
  EXPECT_TRUE(dot.excluded("src/main.c", false));
  EXPECT_TRUE(dot.excluded("./src/main.c", false));
}

TEST(Excludes, EmptyListExcludesNothing) {
  Override none = make({});
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.excluded("/p/anything", false));
  EXPECT_FALSE(Override().excluded("/p/x", true));
}

TEST(Excludes, EveryPatternRemovesNoneNarrows) {
  // A pattern written with "!" is a literal name here, not a re-inclusion.
  Override m = make({"*.log", "!keep.log"});
  EXPECT_TRUE(m.excluded("/p/a.log", false));
  EXPECT_TRUE(m.excluded("/p/keep.log", false));
  EXPECT_TRUE(m.excluded("/p/!keep.log", false));
  EXPECT_FALSE(m.excluded("/p/a.txt", false));
  EXPECT_EQ(m.gitignore().whitelists(), 2u);
}

TEST(Excludes, OneBadPatternFailsTheWholeSet) {
  auto m = Excludes{{"target", "[abc"}}.matcher("/p");
  ASSERT_FALSE(m.has_value());
  EXPECT_EQ(m.error().glob, "![abc");
  EXPECT_EQ(m.error().text(), "error parsing glob '![abc': unclosed character class; missing ']'");
  for (const char* bad : {"{a", "{a,{b}}", "x\\", "[z-a]"}) {
    EXPECT_FALSE(Excludes{{bad}}.matcher("/p").has_value()) << bad;
  }
}

TEST(Excludes, DirectoryOnlyPatternNeverDropsAWatchedChange) {
  Override m = make({"node_modules/"});
  EXPECT_FALSE(m.excluded("/p/node_modules", false));
}

}  // namespace
}  // namespace nivern_vfs::excludes
