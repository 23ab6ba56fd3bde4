#include "vfs/search_matcher.h"

#include <gtest/gtest.h>

#include <optional>

namespace nivern_vfs::search {
namespace {

Matcher compile(const char* pattern, bool regex, bool whole_word, bool case_sensitive) {
  auto m = Matcher::compile({pattern, regex, whole_word, case_sensitive});
  EXPECT_TRUE(m.has_value()) << pattern << ": " << (m ? "" : m.error().text());
  return std::move(*m);
}

TEST(MatcherCompile, ReportsRe2sMessageForABadRegex) {
  struct Row {
    const char* pattern;
    const char* message;
  } rows[] = {
      {"(abc", "missing ): (abc"},
      {"a)", "unexpected ): a)"},
      {"[a", "missing ]: [a"},
      {"*a", "no argument for repetition operator: *"},
      {"a{2,1}", "invalid repetition size: {2,1}"},
      {"\\p{Nope}", "invalid character class range: \\p{Nope}"},
      // The message quotes the pattern as written, not its rewritten form.
      {"\\w+(", "missing ): \\w+("},
  };
  for (bool whole_word : {false, true}) {
    for (const auto& row : rows) {
      auto m = Matcher::compile({row.pattern, true, whole_word, false});
      ASSERT_FALSE(m.has_value()) << row.pattern;
      EXPECT_EQ(m.error().text(), row.message);
    }
  }
  // The same text as a literal compiles.
  EXPECT_TRUE(Matcher::compile({"(abc", false, false, false}).has_value());
  EXPECT_TRUE(Matcher::compile({"\\", false, true, true}).has_value());
}

struct LineRow {
  const char* pattern;
  bool regex, whole_word, case_sensitive;
  const char* line;
  std::optional<Span> span;  // nullopt: the line does not match
};

TEST(MatcherLines, FollowsTheQueryOptions) {
  const LineRow rows[] = {
      // Literal text is escaped; a regex is not.
      {"a.b", false, false, true, "a.b", Span{0, 3}},
      {"a.b", false, false, true, "axb", std::nullopt},
      {"a.b", true, false, true, "axb", Span{0, 3}},
      {"#~-", false, false, true, "x #~- y", Span{2, 5}},
      {"[x]", false, false, true, "a[x]", Span{1, 4}},
      // Smart case: insensitive only without uppercase letters.
      {"foo", false, false, false, "FOO", Span{0, 3}},
      {"foo", false, false, false, "Foo", Span{0, 3}},
      {"Foo", false, false, false, "foo", std::nullopt},
      {"Foo", false, false, false, "FOO", std::nullopt},
      {"Foo", false, false, false, "Foo", Span{0, 3}},
      {"foo", false, false, true, "FOO", std::nullopt},
      {"\\w+", true, false, false, "ABC", Span{0, 3}},               // no literal: case matters
      {"static", false, false, false, "\xc5\xbftatic", Span{0, 7}},  // ſ folds to s
      {"static", false, false, false, "STATIC", Span{0, 6}},
      // Whole words, with Unicode word characters and the pattern's own span.
      {"cat", false, true, true, "cat sat", Span{0, 3}},
      {"cat", false, true, true, "(cat)", Span{1, 4}},
      {"cat", false, true, true, "concat", std::nullopt},
      {"cat", false, true, true, "cats", std::nullopt},
      {"cat", false, true, true, "cat_", std::nullopt},
      {"cat", false, true, true, "écat", std::nullopt},
      {"cat", false, true, true, "caté", std::nullopt},
      {"cat", false, true, true, "concat cat", Span{7, 10}},
      {"cat", false, true, true, "cat→", Span{0, 3}},
      {"error", false, true, false, "x = ERROR;", Span{4, 9}},
      {"a.b", true, true, true, "xa-b a+b", Span{5, 8}},
      // The first match of a line.
      {"ab", false, false, true, "xxabab ab", Span{2, 4}},
      {"b+", true, false, true, "abbbcbb", Span{1, 4}},
      // Unicode classes.
      {"\\w+", true, false, true, "--été--", Span{2, 7}},
      {"\\d", true, false, true, "x\xd9\xa3", Span{1, 3}},  // ARABIC-INDIC DIGIT THREE
      {"a\\sb", true, false, true,
       "a\xc2\xa0"
       "b",
       Span{0, 4}},  // no-break space
      // Anchors hold at the ends of the line.
      {"^b", true, false, true, "ab", std::nullopt},
      {"a$", true, false, true, "ba", Span{1, 2}},
      {"\\Ab", true, false, true, "b", Span{0, 1}},
      // A code point escape.
      {"\\u00e9", true, false, true, "caf\xc3\xa9", Span{3, 5}},
      {"(?<x>a)b", true, false, true, "ab", Span{0, 2}},
  };
  for (const auto& row : rows) {
    const Matcher m = compile(row.pattern, row.regex, row.whole_word, row.case_sensitive);
    const std::optional<Span> got = m.first_match(row.line);
    EXPECT_EQ(got, row.span) << row.pattern << " in " << row.line;
    EXPECT_EQ(m.line_matches(row.line), row.span.has_value()) << row.pattern << " in " << row.line;
    // A worker's copy behaves the same.
    EXPECT_EQ(m.clone().first_match(row.line), row.span) << row.pattern;
  }
}

TEST(MatcherLines, ChoosesTheFastestWayToFindCandidates) {
  Matcher m = compile("PM_RESUME", false, false, true);
  ASSERT_NE(m.needle(), nullptr);
  EXPECT_TRUE(m.needle_is_match());
  EXPECT_EQ(m.block_regex(), nullptr);

  m = compile("error", false, true, false);  // whole word: RE2 confirms each line
  ASSERT_NE(m.needle(), nullptr);
  EXPECT_FALSE(m.needle_is_match());
  EXPECT_TRUE(m.needle()->folds());

  m = compile("\\w+_lock\\(", true, false, true);
  ASSERT_NE(m.needle(), nullptr);
  EXPECT_FALSE(m.needle_is_match());

  m = compile("[a-z]+\\d", true, false, true);
  EXPECT_EQ(m.needle(), nullptr);
  EXPECT_NE(m.block_regex(), nullptr);
}

TEST(MatcherLines, ALineFeedInThePatternNeverMatches) {
  EXPECT_TRUE(compile("a\nb", false, false, true).never_matches());
  EXPECT_TRUE(compile("a\\nb", true, false, true).never_matches());
  EXPECT_FALSE(compile("a\\n?b", true, false, true).never_matches());
}

}  // namespace
}  // namespace nivern_vfs::search
