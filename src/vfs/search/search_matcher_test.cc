#include "vfs/search/search_matcher.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "vfs/search/regex_exact.h"
#include "vfs/search/regex_syntax.h"
#include "vfs/search/regex_translate.h"

namespace nivern_vfs::search {
namespace {

Matcher compile(const char* pattern, bool regex, bool whole_word, bool case_sensitive) {
  auto m = Matcher::compile({pattern, regex, whole_word, case_sensitive});
  EXPECT_TRUE(m.has_value()) << pattern << ": " << (m ? "" : m.error().text());
  return std::move(*m);
}

TEST(MatcherCompile, ReportsTheSyntaxErrorOfTheWrappedPattern) {
  struct Row {
    const char* pattern;
    const char* message;
  } rows[] = {
      {"(foo", "regex parse error:\n    (?:(foo)\n    ^\nerror: unclosed group"},
      {"foo)", "regex parse error:\n    (?:foo))\n           ^\nerror: unopened group"},
      {"a{2,1}",
       "regex parse error:\n    (?:a{2,1})\n        ^^^^^\nerror: invalid repetition count "
       "range, the start must be <= the end"},
      {"\\p{Nope}",
       "regex parse error:\n    (?:\\p{Nope})\n       ^^^^^^^^\nerror: Unicode property not found"},
      {"\\p{Greek=x}",
       "regex parse error:\n    (?:\\p{Greek=x})\n       ^^^^^^^^^^^\nerror: Unicode property "
       "not found"},
      {"\\p{sc=Nope}",
       "regex parse error:\n    (?:\\p{sc=Nope})\n       ^^^^^^^^^^^\nerror: Unicode property "
       "value not found"},
      // Without Unicode a class holds bytes: a character above ASCII cannot be one.
      {"(?-u:[é])",
       "regex parse error:\n    (?:(?-u:[é]))\n             ^\nerror: Unicode not allowed here"},
      {"(?-u:[\\x{e9}])",
       "regex parse error:\n    (?:(?-u:[\\x{e9}]))\n             ^^^^^^\nerror: Unicode not "
       "allowed here"},
      {"(?-u:\\pL)",
       "regex parse error:\n    (?:(?-u:\\pL))\n            ^^^\nerror: Unicode not allowed here"},
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

TEST(MatcherCompile, RefusesAProgramOverTheSizeLimit) {
  std::string many;
  for (int k = 0; k < 5000; ++k) many += "\\w";
  for (const std::string& big : {many, std::string("\\w{5000}"), std::string("(?:\\pL{100}){100}")}) {
    auto m = Matcher::compile({big, true, false, true});
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error().text(), "compiled regex exceeds size limit of 104857600");
  }
  // Large counts of small pieces are fine, beyond RE2's own repetition limits.
  EXPECT_TRUE(Matcher::compile({"\\w{100}", true, false, true}).has_value());
  const Matcher m = compile("(?:ab{2}){1500}c", true, false, true);
  std::string line = "x";
  for (int k = 0; k < 1500; ++k) line += "abb";
  EXPECT_EQ(m.first_match(line + "c"), (Span{1, line.size() + 1}));
  EXPECT_EQ(m.first_match(line.substr(3) + "c"), std::nullopt);
  const Matcher counted = compile("-x{2000,100000}-", true, false, true);
  EXPECT_EQ(counted.first_match("-" + std::string(2000, 'x') + "-"), (Span{0, 2002}));
  EXPECT_EQ(counted.first_match("-" + std::string(1999, 'x') + "-"), std::nullopt);
  // A long case-insensitive text is too large a spelling for RE2; it still matches.
  std::string text, upper;
  for (int k = 0; k < 70000; ++k) {
    text += "abc";
    upper += "ABC";
  }
  const Matcher big = compile(text.c_str(), false, false, false);
  EXPECT_EQ(big.first_match("x" + upper), (Span{1, 1 + upper.size()}));
  EXPECT_EQ(big.first_match(upper.substr(1)), std::nullopt);
  // Not a plain literal: the exact matcher checks the lines RE2 cannot.
  const Matcher exact = compile(("a" + std::string(209999, 'b') + "\\d").c_str(), true, false, false);
  const std::string long_line = "xA" + std::string(209999, 'B') + "7";
  EXPECT_EQ(exact.first_match(long_line), (Span{1, long_line.size()}));
  EXPECT_EQ(exact.first_match(long_line.substr(0, long_line.size() - 1)), std::nullopt);
}

TEST(MatcherCompile, RandomPatternsEitherCompileOrGiveASyntaxError) {
  // Whatever parses must spell valid RE2; only syntax and size errors come back.
  const char* pieces[] = {"a", "é", "ж", "\\", "(", ")", "[", "]", "{", "}", "?", "*", "+", "|",
                          "^", "$", ".", "-", "&&", "--", "~~", "\\w", "\\b", "\\B", "\\d",
                          "\\pL", "\\p{Greek}", "[:alpha:]", "(?i)", "(?-u)", "(?x)", "(?s:",
                          "(?P<n>", "{2}", "{1,3}", ",", "#", " ", "\\x41", "\\xE9", "\\<", "\\b{end}", "\n"};
  std::mt19937 rng(15);
  for (int round = 0; round < 500; ++round) {
    std::string pattern;
    const int n = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < n; ++k) pattern += pieces[rng() % std::size(pieces)];
    for (bool whole_word : {false, true}) {
      auto m = Matcher::compile({pattern, true, whole_word, (rng() & 1) != 0});
      if (m) {
        (void)m->first_match("a é ж Aλ-1 [x] \xff");
        continue;
      }
      EXPECT_TRUE(m.error().text().starts_with("regex parse error:\n")) << pattern << "\n"
                                                                          << m.error().text();
    }
  }
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
      // Word boundaries count every Unicode word character.
      {"\\bS", true, false, true, "éS", std::nullopt},
      {"\\bS", true, false, true, "-S", Span{1, 2}},
      {"S\\b", true, false, true, "Sé", std::nullopt},
      {"\\Bé", true, false, true, "aé", Span{1, 3}},
      {"\\bcafé\\b", true, false, true, "café au lait", Span{0, 5}},
      {"\\<é", true, false, true, "aé é", Span{4, 6}},
      {"é\\>", true, false, true, "éa é", Span{4, 6}},
      {"\\b{start}x", true, false, true, "xx -x", Span{0, 1}},
      {"x\\b{end}", true, false, true, "xx x-", Span{1, 2}},
      {"\\b{start-half}x", true, false, true, "ax -x", Span{4, 5}},
      {"x\\b{end-half}", true, false, true, "xa x", Span{3, 4}},
      {"(?-u:\\b)S", true, false, true, "éS", Span{2, 3}},  // ASCII: é is not a word character
      {"\\b\\w+_lock\\b", true, false, true, "spin_lock(é_lock);", Span{0, 9}},
      {"\\bпривет\\b", true, true, true, "скажи привет!", Span{11, 23}},
      {"\\b中文\\b", true, false, true, "说中文", std::nullopt},
      // Classes: intersection, nesting, difference, symmetric difference.
      {"[a-z&&[^aeiou]]x", true, false, true, "bx", Span{0, 2}},
      {"[a-z&&[^aeiou]]x", true, false, true, "ax", std::nullopt},
      {"[a[0-9]]z", true, false, true, "5z", Span{0, 2}},
      {"[\\w--\\d]q", true, false, true, "aq", Span{0, 2}},
      {"[\\w--\\d]q", true, false, true, "1q", std::nullopt},
      {"[a-c~~b-d]", true, false, true, "b c d", Span{4, 5}},
      {"[[:alpha:]]+", true, false, true, "1é2ab", Span{4, 6}},
      // Verbose mode, long property names, scripts, repetitions RE2 lacks.
      {"(?x) f o o", true, false, true, "foo", Span{0, 3}},
      {"\\p{Letter}", true, false, true, "1é", Span{1, 3}},
      {"\\p{Alphabetic}+", true, false, true, "1жЖ", Span{1, 5}},
      {"\\p{Greek}", true, false, true, "aλ", Span{1, 3}},
      {"\\p{sc=Cyrillic}\\P{Han}", true, false, true, "中ж中жx", Span{8, 11}},
      {"\\p{Han}+", true, false, true, "abc中文字", Span{3, 12}},
      {"a**", true, false, true, "baa", Span{0, 0}},
      {"a{2}{3}", true, false, true, "aaaaaa", Span{0, 6}},
      {"a)(b", true, false, true, "xab", Span{1, 3}},
      // Property names, long and short, loosely written; flags.
      {"\\p{Lu}", true, false, true, "aB", Span{1, 2}},
      {"\\p{gc=Uppercase_Letter}", true, false, true, "aB", Span{1, 2}},
      {"\\p{IsGreek}", true, false, true, "aλ", Span{1, 3}},
      {"\\pN", true, false, true, "a\xd9\xa3", Span{1, 3}},
      {"\\p{scx=Hira}", true, false, true, "aー", Span{1, 4}},
      {"\\p{white space}", true, false, true, "a\xc2\xa0", Span{1, 3}},
      {"(?i)\\p{Lu}", true, false, true, "1a", Span{1, 2}},
      {"[^\\p{L}\\d]", true, false, true, "a1-", Span{2, 3}},
      {"(?U)a+", true, false, true, "aaa", Span{0, 1}},
      {"(?R)a.", true, false, true, "a\r", std::nullopt},
      // CRLF mode's line anchors see a carriage return (the line feed is never there).
      {"(?Rm)foo$", true, false, true, "foo\r", Span{0, 3}},
      {"(?mR)b$", true, false, true, "a\rb\r", Span{2, 3}},
      {"(?Rm)^b", true, false, true, "a\rb", Span{2, 3}},
      {"(?Rm)^$", true, false, true, "\r", Span{0, 0}},
      {"(?Rm)^$", true, false, true, "x\r", Span{2, 2}},
      {"(?m)foo$", true, false, true, "foo\r", std::nullopt},
      {"(?R)foo$", true, false, true, "foo\r", std::nullopt},
      {"(?-u)\\w", true, false, true, "é_", Span{2, 3}},
      // Counts of an assertion: one copy stands for any number of them.
      {"x\\>{2,1002}{1001,}?{1001,}? \\d", true, false, true, "ax 1", Span{1, 4}},
      {"(?:\\B|^){1001}{1001}\\d", true, true, true, "a1 2", std::nullopt},
      {"(?:\\B|^){1001}{1001}\\d", true, true, true, "1 2", Span{0, 1}},
      // Smart case and folding with Unicode letters.
      {"жук", false, false, false, "ЖУК", Span{0, 6}},
      {"Жук", false, false, false, "жук", std::nullopt},
      {"(?i)straße", true, false, true, "STRAẞE", Span{0, 8}},
      // Whole words in other scripts.
      {"кот", false, true, true, "котик кот", Span{11, 17}},
      {"文", false, true, true, "中文 文", Span{7, 10}},
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

TEST(MatcherLines, WithoutUnicodeBytesMatchAndSpansCountBytes) {
  // Spans as ripgrep reports them (rows it cannot parse, the first four, as the library
  // of its later versions does: other characters stand for their UTF-8 bytes).
  const LineRow rows[] = {
      {"(?-u)é", true, false, true, "café", Span{3, 5}},
      {"(?i-u)É", true, false, true, "café", std::nullopt},  // no case folding above ASCII
      {"(?i-u)É", true, false, true, "CAFÉ", Span{3, 5}},
      {"(?-u).\\x{e9}", true, false, true, "éé", Span{1, 4}},
      {"(?-u)\\x{100}", true, false, true, "aĀ", Span{1, 3}},
      {"(?-u:[\\x80-\\xFF])", true, false, true, "a日 本", Span{1, 2}},
      {"(?-u:[\\x80-\\xFF])", true, false, true, "plain", std::nullopt},
      {"(?-u:[\\x80-\\xFF])", true, false, true, "ab\xff", Span{2, 3}},  // not UTF-8
      {"(?-u).", true, false, true, "日本語", Span{0, 1}},
      {"(?-u:\\xE6)", true, false, true, "a 日 b", Span{2, 3}},
      {"(?-u)\\xA9$", true, false, true, "café", Span{4, 5}},
      {"(?-u)\\xc3\\xa9", true, false, true, "xé", Span{1, 3}},
      // Branches that begin with the same byte above ASCII.
      {"(?-u:\\xFF)|(?-u:\\xFF)(?-u:\\xFF)", true, false, true, "\x80\xff\xe6\x97\xa5", Span{1, 2}},
      {"(?-u:\\xFF)|(?-u:\\xFF)(?-u:\\xFF)", true, false, true, "ÿ", std::nullopt},
      {"(?-u:\\xFF)a|(?-u:\\xFF)b", true, false, true, "\xff" "b", Span{0, 2}},
      {"(?-u)éa|éb", true, false, true, "éb", Span{0, 3}},
      {"(?-u:[^a-z])", true, false, true, "aé", Span{1, 2}},
      {"(?-u:\\W)+", true, false, true, "a日 本", Span{1, 8}},
      {"(?-u:.)\\w", true, false, true, "日本語", Span{2, 6}},  // \w in UTF-8 form
      {"(?i-u)[k]", true, false, true, "\u212A", std::nullopt},  // KELVIN SIGN
      {"(?i-u)[k]", true, false, true, "K", Span{0, 1}},
      {"(?i-u:[^k])x", true, false, true, "Kxkx", std::nullopt},
      // Unicode word boundaries, and counts RE2 lacks: the exact matcher over bytes.
      {"\\b(?-u:[\\x80-\\xFF])", true, false, true, "a日 本", Span{5, 6}},
      {"(?-u:[\\x80-\\xFF])\\b", true, false, true, "a日 本", Span{3, 4}},
      // Whole words around byte pieces count Unicode word characters.
      {"(?-u:[\\x80-\\xFF]+)", true, true, true, "a日 本", Span{5, 8}},
      {"(?-u:[\\x80-\\xFF]+)", true, true, true, "a 日 b", Span{2, 5}},
      {"\\b(?-u:.)", true, true, true, "a日 本", std::nullopt},  // no whole character
      {"\\b(?-u:.)", true, true, true, "日-y", Span{4, 5}},
  };
  for (const auto& row : rows) {
    const Matcher m = compile(row.pattern, row.regex, row.whole_word, row.case_sensitive);
    EXPECT_EQ(m.first_match(row.line), row.span) << row.pattern << " in " << row.line;
    EXPECT_EQ(m.line_matches(row.line), row.span.has_value()) << row.pattern << " in " << row.line;
    EXPECT_EQ(m.clone().first_match(row.line), row.span) << row.pattern;
  }
  const Matcher counted = compile("(?-u:[\\x80-\\xFF])a{1001}", true, false, true);
  const std::string line = "日" + std::string(1001, 'a');
  EXPECT_EQ(counted.first_match(line), (Span{2, 1004}));
  EXPECT_EQ(counted.first_match(line.substr(0, 1003)), std::nullopt);
}

TEST(MatcherLines, CaseInsensitivePosixClassesFoldBeforeNegation) {
  // Folding [:lower:] takes in the other letters (and ſ and the Kelvin sign with
  // Unicode), which the negation then leaves out.
  const LineRow rows[] = {
      {"(?i)[[:^ascii:]]", true, false, true, "plain ascii text", std::nullopt},
      {"(?i)[[:^ascii:]]", true, false, true, "café", Span{3, 5}},
      {"(?i)[[:^ascii:]]", true, false, true, "\u212A \u017F", std::nullopt},
      {"(?i)^[[:^lower:]]+$", true, false, true, "ABC", std::nullopt},
      {"(?i)^[[:^lower:]]+$", true, false, true, "\u212A", std::nullopt},
      {"(?i)^[[:^lower:]]+$", true, false, true, "12 é", Span{0, 5}},
      {"(?i)^[^[:^alnum:]]+$", true, false, true, "keep", Span{0, 4}},
      {"(?i)^[^[:^alnum:]]+$", true, false, true, "SKIP", Span{0, 4}},
      {"(?i-u)[[:^lower:]]", true, false, true, "abc", std::nullopt},
      {"(?i-u)[[:^lower:]]", true, false, true, "aBc1", Span{3, 4}},
      {"s?[[:^print:]]", true, false, false, "s", std::nullopt},
      {"s?[[:^print:]]", true, false, false, "\u017F", std::nullopt},
      {"s?[[:^print:]]", true, false, false, "xS\t", Span{1, 3}},
  };
  for (const auto& row : rows) {
    const Matcher m = compile(row.pattern, row.regex, row.whole_word, row.case_sensitive);
    EXPECT_EQ(m.first_match(row.line), row.span) << row.pattern << " in " << row.line;
    EXPECT_EQ(m.line_matches(row.line), row.span.has_value()) << row.pattern << " in " << row.line;
  }
}

TEST(MatcherLines, LinesThatAreNotUtf8AreDecidedByTheExactRules) {
  // Each answer is the line-search library's. A pattern RE2 only approximates is decided
  // by the exact matcher on every line; a whole word beside bytes that are not UTF-8 too.
  const LineRow rows[] = {
      {"\\bfoo\\b", true, false, true, "let foo = 1;", Span{4, 7}},
      {"\\bfoo\\b", true, false, true, "foobar = caf\xe9;", std::nullopt},
      {"foo\\b", true, false, true, "foobar = caf\xe9;", std::nullopt},
      {"\\<foo\\>", true, false, true, "foobar = caf\xe9;", std::nullopt},
      {"\\Ba", true, false, true, "\xe9" "a", std::nullopt},
      {"\\Ba", true, false, true, "banana \xe9", Span{1, 2}},
      {"\\D{1200,}?|x", true, false, true, "caf\xe9", std::nullopt},
      {"\\D{1200,}?|x", true, false, true, "let x = \xe9", Span{4, 5}},
      {"foo", false, true, true, "foobar = caf\xe9;", std::nullopt},
      {"foo", false, true, true, "x foo \xe9", Span{2, 5}},
      // A word's edge looks back to the lead byte before stray continuation bytes.
      {"foo", false, true, true, "(\x80" "foo)", Span{2, 5}},
      {"\\bfoo\\b", true, false, true, "(\x80" "foo)", Span{2, 5}},
      {"foo", false, true, true, "a\x80" "foo)", std::nullopt},
      // Empty matches may fall inside a character; the half and Unicode word assertions
      // do not hold beside bytes that do not decode.
      {"(?-u)\\>{0,7}\\B", true, false, true, "c\xd6\x87", Span{2, 2}},
      {"(?-u)[\\x80-\\xFF](?u:\\b{end-half})", true, false, true, "caf\xc3\xa9", Span{4, 5}},
      {"\\B|(?-u:\\xFF)", true, false, true, "\xef\xbc\xa1", std::nullopt},
      {"\\B", true, false, true, "\xe9", std::nullopt},
      {"\\b{start-half}x", true, false, true, "\xe9x x", Span{3, 4}},
      // Encoded surrogates and over-long forms are no characters.
      {"\\bx\\b", true, false, true, "\xed\xa0\x80x", Span{3, 4}},
      {"(?s:.)\\b{end}", true, false, true, "\xe0\x80\xafx", Span{3, 4}},
  };
  for (const auto& row : rows) {
    const Matcher m = compile(row.pattern, row.regex, row.whole_word, row.case_sensitive);
    EXPECT_EQ(m.first_match(row.line), row.span) << row.pattern << " in " << row.line;
    EXPECT_EQ(m.line_matches(row.line), row.span.has_value()) << row.pattern << " in " << row.line;
  }
}

TEST(MatcherLines, InvalidSequencesNeverMatchAClass) {
  // Encoded surrogates, over-long forms, code points past U+10FFFF and stray bytes are
  // no characters, for the broadest classes too; a valid character in their place is.
  const char* patterns[] = {"a.b", "(?s)a.b", "a[^;]b", "a\\Wb", "a\\P{Greek}b", "(?i)a[^x]b"};
  const char* invalid[] = {"\xED\xA0\x80",     "\xED\xBF\xBF",     "\xE0\x80\x80",
                           "\xE0\x9F\xBF",     "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",
                           "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xC0\x80",
                           "\x80",             "\xFF"};
  const char* valid[] = {"\xC2\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xE0\xA0\xB0",
                         "\xF0\x90\x84\x80", "\xF4\x8F\xBF\xBF"};
  for (const char* pattern : patterns) {
    const Matcher m = compile(pattern, true, false, true);
    for (const char* c : invalid) {
      EXPECT_EQ(m.first_match(std::string("a") + c + "b"), std::nullopt) << pattern;
    }
    for (const char* c : valid) {
      const std::string line = std::string("a") + c + "b";
      EXPECT_EQ(m.first_match(line), (Span{0, line.size()})) << pattern;
    }
  }
  // The whole-word mode's non-word class as well.
  const Matcher word = compile("x", false, true, true);
  EXPECT_EQ(word.first_match("\xED\xA0\x80x"), std::nullopt);
  EXPECT_EQ(word.first_match("x\xF4\x90\x80\x80"), std::nullopt);
  EXPECT_EQ(word.first_match("\xEE\x80\x80x"), (Span{3, 4}));
}

TEST(MatcherLines, LargeCountsOfOneCharacter) {
  std::string commas;
  for (int k = 0; k < 1000; ++k) commas += std::string(999, 'x') + ",";
  const Matcher run = compile("[^,]{1001,}", true, false, true);
  EXPECT_EQ(run.first_match(commas), std::nullopt);
  std::string longer = commas;
  longer[4999] = 'y';
  EXPECT_EQ(run.first_match(longer), (Span{4000, 5999}));
  const Matcher exactly = compile("[^a]{80000}", true, false, true);
  std::string e70k, e80k;
  for (int k = 0; k < 70000; ++k) e70k += "é";
  for (int k = 0; k < 80001; ++k) e80k += "é";
  EXPECT_EQ(exactly.first_match(e70k), std::nullopt);
  EXPECT_EQ(exactly.first_match("a" + e80k), (Span{1, 160001}));
  // Lazy, bounded, and followed by more pattern: the preferred match of each.
  const Matcher lazy = compile("x{1001,1500}?y?", true, false, true);
  EXPECT_EQ(lazy.first_match("-" + std::string(2000, 'x')), (Span{1, 1002}));
  const Matcher greedy = compile("x{1001,1500}x{500}-", true, false, true);
  EXPECT_EQ(greedy.first_match(std::string(2000, 'x') + "-"), (Span{0, 2001}));
  EXPECT_EQ(greedy.first_match(std::string(1501, 'x') + "-"), (Span{0, 1502}));
  EXPECT_EQ(greedy.first_match(std::string(1500, 'x') + "-"), std::nullopt);
  EXPECT_EQ(greedy.first_match(std::string(1501, 'x') + "\xff-"), std::nullopt);
}

TEST(MatcherLines, ALineThatIsNotUtf8MatchesOnlyWhereTheExactMatcherDoes) {
  // A matching line that is not UTF-8 leaves its file out, so RE2's superset must never
  // be the final answer there: random patterns against the exact matcher as judge.
  const char* pieces[] = {"a", "o", "x", "\\w", "\\W", "[^a]", ".", "\\d", "\\D", "[[:alpha:]]",
                          "(?i)k", "(?i:[^s])", "\\b", "\\B", "\\<", "\\>", "\\b{start-half}",
                          "\\b{end-half}", "(?-u:\\b)", "(?-u:\\xFF)", "(?-u:.)", "+", "*", "?",
                          "|", "(", ")", "{2,1002}", "{1001,}?", "{2}", "(?m)^", "(?Rm)$"};
  const char* parts[] = {"a",  "foo", " ",  "é", "日", "_", "1", "K", "ſ", "x\r",
                         "\xff", "\x80", "\xc3", "\xed\xa0\xbd\xed\xb8\x80", "\xe0\x80\xaf",
                         "\xf0\x80\x80\xaf", "\xc0\xaf", "\xf4\x90\x80\x80"};
  std::mt19937 rng(30);
  int judged = 0;
  for (int round = 0; round < 300; ++round) {
    std::string pattern;
    const int n = 1 + static_cast<int>(rng() % 5);
    for (int k = 0; k < n; ++k) pattern += pieces[rng() % std::size(pieces)];
    const bool whole_word = rng() % 4 == 0;
    auto m = Matcher::compile({pattern, true, whole_word, true});
    if (!m) continue;
    const std::string wrapped = "(?:" + pattern + ")";
    auto ast = regex::parse(wrapped);
    ASSERT_TRUE(ast) << pattern;
    auto hir = regex::translate(*ast, wrapped, false);
    ASSERT_TRUE(hir) << pattern;
    const regex::ExactProgram judge(*hir, whole_word);
    regex::ExactScratch scratch;
    for (int line = 0; line < 20; ++line) {
      std::string text;
      const int count = 1 + static_cast<int>(rng() % 8);
      for (int k = 0; k < count; ++k) text += parts[rng() % std::size(parts)];
      const auto want = judge.find(text, scratch);
      EXPECT_EQ(m->first_match(text), want) << pattern << (whole_word ? " (word)" : "") << " in "
                                            << ::testing::PrintToString(text);
      EXPECT_EQ(m->line_matches(text), want.has_value()) << pattern;
    }
    ++judged;
  }
  EXPECT_GT(judged, 100);
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
