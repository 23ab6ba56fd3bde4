#include "vfs/search_pattern.h"

#include <gtest/gtest.h>

namespace nivern_vfs::search {
namespace {

TEST(EscapeLiteral, EscapesExactlyTheEighteenCharacters) {
  EXPECT_EQ(ESCAPE_SET.size(), 18u);
  EXPECT_EQ(escape_literal("\\.+*?()|[]{}^$#&-~"),
            "\\\\\\.\\+\\*\\?\\(\\)\\|\\[\\]\\{\\}\\^\\$\\#\\&\\-\\~");
  // Everything else, non-ASCII included, is copied unchanged.
  EXPECT_EQ(escape_literal("a b/c\"d'e%f@<>=!,;:é→"), "a b/c\"d'e%f@<>=!,;:é→");
  EXPECT_EQ(escape_literal("a.b"), "a\\.b");
  EXPECT_EQ(escape_literal(""), "");
}

struct CaseRow {
  const char* regex;
  bool any_literal;
  bool any_uppercase;
};

TEST(StudyPattern, FindsLiteralsAndUppercaseForSmartCase) {
  const CaseRow rows[] = {
      {"foo", true, false},
      {"Foo", true, true},
      {"\\w+", false, false},
      {"\\W\\S\\D\\B\\A", false, false},  // escapes with capitals are not literals
      {"\\p{Lu}", false, false},
      {"\\pL", false, false},
      {"[A-Z]", true, true},
      {"[a-z]", true, false},
      {"[[:upper:]]", false, false},
      {"\\x41", true, true},  // an escaped A is an uppercase literal
      {"\\x{e9}", true, false},
      {"\\u00C9", true, true},
      {"(?P<Name>x)", true, false},  // group names are not literals
      {"(?<Name>x)", true, false},
      {"(?i)x", true, false},
      {"(?U)x", true, false},
      {"a{2,3}", true, false},
      {"É", true, true},
      {"\\.", true, false},
      {".*", false, false},
      {"\\n", true, false},
  };
  for (const auto& row : rows) {
    const PatternFacts f = study_pattern(row.regex);
    EXPECT_EQ(f.any_literal, row.any_literal) << row.regex;
    EXPECT_EQ(f.any_uppercase, row.any_uppercase) << row.regex;
  }
}

TEST(StudyPattern, SpellsThePatternForRe2) {
  PatternFacts f = study_pattern("^a\\u00e9(?<n>b)$\\z");
  EXPECT_EQ(f.check_text, "^a\\x{E9}(?P<n>b)$\\z");
  EXPECT_EQ(f.line_text, "^a\\x{E9}(?P<n>b)$\\z");
  EXPECT_EQ(f.block_text, "(?m:^)a\\x{E9}(?P<n>b)(?m:$)(?m:$)");
  // Unicode classes are spelled out, inside and outside brackets; the check text keeps
  // the user's spelling.
  f = study_pattern("\\w[\\d\\s]");
  EXPECT_EQ(f.check_text, "\\w[\\d\\s]");
  EXPECT_TRUE(f.line_text.starts_with("[\\x{30}-\\x{39}\\x{41}-\\x{5A}\\x{5F}\\x{61}-\\x{7A}"));
  EXPECT_NE(f.line_text.find("[\\p{Nd}\\x{9}-\\x{D}\\x{20}"), std::string::npos);
}

struct LiteralRow {
  const char* regex;
  bool case_insensitive;
  const char* needle;  // nullptr: none
  bool whole;
};

TEST(RequiredLiteral, PicksTheLongestRunEveryMatchNeeds) {
  const LiteralRow rows[] = {
      {"PM_RESUME", false, "PM_RESUME", true},
      {"\\w+_lock\\(", false, "_lock(", false},
      {"foo|barbaz", false, nullptr, false},  // alternation at the top
      {"(foo|bar)baz", false, "baz", false},
      {"abc+d", false, "abc", false},  // c may repeat: the run ends after it
      {"abc*de", false, "ab", false},  // c may be absent
      {"abc?dex", false, "dex", false},
      {"ab{0,2}cde", false, "cde", false},
      {"xy{2}zz", false, "xy", false},
      {"a.b", false, nullptr, false},      // single bytes are not worth it
      {"(?i)foo", false, nullptr, false},  // flags change how literals match
      {"x(?i)foo", false, nullptr, false},
      {"(?s)foo", false, "foo", false},
      {"(?i:ab)cde", false, "cde", false},
      {"\\Qa|b\\E", false, nullptr, false},  // syntax the reader does not follow
      {"a\\.b", false, "a.b", true},
      {"^foo$", false, "foo", false},
      {"static", true, "tatic", false},  // s folds to the long s (U+017F)
      {"kernel", true, "ernel", false},  // k folds to the Kelvin sign
      {"error", true, "error", true},
      {"café", false, "café", true},
      {"cafébarx", true, "barx", false},  // non-ASCII letters fold outside ASCII
      {"a\\rb", false, "a\rb", false},    // a carriage return may be cut off
  };
  for (const auto& row : rows) {
    const auto lit = required_literal(study_pattern(row.regex), row.case_insensitive);
    if (row.needle == nullptr) {
      EXPECT_FALSE(lit.has_value()) << row.regex << " gave " << lit->bytes;
      continue;
    }
    ASSERT_TRUE(lit.has_value()) << row.regex;
    EXPECT_EQ(lit->bytes, row.needle) << row.regex;
    EXPECT_EQ(lit->whole, row.whole) << row.regex;
    EXPECT_EQ(lit->fold_ascii, row.case_insensitive) << row.regex;
  }
}

TEST(RequiredLiteral, EscapedLiteralPatternsAreWhole) {
  for (const char* text : {"a.b", "#~-&", "x[1]", "\\", "()"}) {
    const auto lit = required_literal(study_pattern(escape_literal(text)), false);
    ASSERT_TRUE(lit.has_value()) << text;
    EXPECT_EQ(lit->bytes, text);
    EXPECT_TRUE(lit->whole) << text;
  }
}

}  // namespace
}  // namespace nivern_vfs::search
