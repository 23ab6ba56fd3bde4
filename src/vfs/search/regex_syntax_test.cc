#include "vfs/search/regex_syntax.h"

#include <gtest/gtest.h>

#include <string>

namespace nivern_vfs::regex {
namespace {

/// The error text of a query, parsed the way the matcher parses it.
std::string error_of(const std::string& query) {
  auto ast = parse("(?:" + query + ")");
  if (ast) return "(parsed)";
  return format_error(ast.error());
}

std::string one_line(const std::string& shown, const std::string& carets, const char* what) {
  return "regex parse error:\n    " + shown + "\n    " + carets + "\nerror: " + what;
}

TEST(RegexSyntax, ErrorsPointAtTheirSpanInTheWrappedPattern) {
  struct Row {
    const char* query;
    const char* carets;
    const char* description;
  } rows[] = {
      {"(foo", "^", "unclosed group"},
      {"foo)", "       ^", "unopened group"},
      {"a{2,1}", "    ^^^^^", "invalid repetition count range, the start must be <= the end"},
      {"\\p{Nope}", "   ^^^^^^^^", "Unicode property not found"},
      {"\\p{gc=Nope}", "   ^^^^^^^^^^^", "Unicode property value not found"},
      {"x{1,2", "    ^^^^", "unclosed counted repetition"},
      {"x{}", "     ^", "repetition quantifier expects a valid decimal"},
      {"x{99999999999}", "     ^^^^^^^^^^^", "decimal literal invalid"},
      {"*", "   ^", "repetition operator missing expression"},
      {"(?i)*", "       ^", "repetition operator missing expression"},
      {"\\Qa.b", "   ^^", "unrecognized escape sequence"},
      {"\\1", "   ^^", "backreferences are not supported"},
      {"\\xZZ", "     ^", "invalid hexadecimal digit"},
      {"\\x{}", "     ^^", "hexadecimal literal empty"},
      {"\\x{110000}", "      ^^^^^^", "hexadecimal literal is not a Unicode scalar value"},
      {"(?P<1a>x)", "       ^", "invalid capture group character"},
      {"(?P<>a)", "       ^", "empty capture group name"},
      {"(?z)", "     ^", "unrecognized flag"},
      {"(?i-)", "      ^", "dangling flag negation operator"},
      {"(?=a)", "   ^^^", "look-around, including look-ahead and look-behind, is not supported"},
      {"[a", "   ^", "unclosed character class"},
      {"[z-a]", "    ^^^", "invalid character class range, the start must be <= the end"},
      {"[\\d-z]", "    ^^", "invalid range boundary, must be a literal"},
      {"[\\b]", "    ^^", "invalid escape sequence found in character class"},
      {"\\p\\d", "     ^", "invalid Unicode character class"},
      {"\\b{foo}", "      ^^^",
       "unrecognized special word boundary assertion, valid choices are: start, end, "
       "start-half or end-half"},
      {"\\b{start", "     ^^^^^^",
       "special word boundary assertion is either unclosed or contains an invalid character"},
      {"(?-u)\\pL", "        ^^^", "Unicode not allowed here"},
      // Columns count characters, not bytes.
      {"é))", "     ^", "unopened group"},
  };
  for (const auto& row : rows) {
    // Unicode property errors come from the translation, checked with the matcher.
    auto ast = parse(std::string("(?:") + row.query + ")");
    if (ast) continue;
    EXPECT_EQ(format_error(ast.error()),
              one_line(std::string("(?:") + row.query + ")", row.carets, row.description))
        << row.query;
  }
  // Duplicates point at both places.
  EXPECT_EQ(error_of("(?P<n>a)(?<n>b)"),
            one_line("(?:(?P<n>a)(?<n>b))", "       ^      ^", "duplicate capture group name"));
  EXPECT_EQ(error_of("(?ii)"), one_line("(?:(?ii))", "     ^^", "duplicate flag"));
  EXPECT_EQ(error_of("(?i-m-s)"),
            one_line("(?:(?i-m-s))", "      ^ ^", "flag negation operator repeated"));
}

TEST(RegexSyntax, APatternOverSeveralLinesIsNumbered) {
  const std::string divider(79, '~');
  EXPECT_EQ(error_of("a\nb)"), "regex parse error:\n" + divider + "\n1: (?:a\n2: b))\n     ^\n" +
                                   divider + "\nerror: unopened group");
  // A span over two lines is noted by its lines and columns.
  EXPECT_EQ(error_of("x{1\n"), "regex parse error:\n" + divider + "\n1: (?:x{1\n2: )\n" + divider +
                                   "\non line 1 (column 5) through line 2 (column 0)\n"
                                   "error: unclosed counted repetition");
}

TEST(RegexSyntax, TheWrapperChangesWhatParses) {
  EXPECT_EQ(error_of("a)(b"), "(parsed)");
  // A verbose-mode comment runs to the end and takes the wrapper's parenthesis along.
  EXPECT_EQ(error_of("(?x)a # note"),
            one_line("(?:(?x)a # note)", "^", "unclosed group"));
  for (const char* valid : {"a**", "a{2}{3}", "x{99999}", "[[:foo:]]", "(?x) f o o", "\\<a\\>",
                            "\\b{start}a\\b{end-half}", "[\\w--\\d]", "[a-z&&[^aeiou]]",
                            "[a~~b]", "(?<n>x)(?P<m>y)", "\\%\\'\\\"\\ ", "(?imsUuxR:a)(?-imsx:b)",
                            "\\pL\\p{Greek}\\P{sc=Latin}\\p{scx!=Arab}", "[^]-]", "\\b{5}"}) {
    EXPECT_EQ(error_of(valid), "(parsed)") << valid;
  }
}

TEST(RegexSyntax, NestingDeeperThanTheLimitIsRefused) {
  // The wrapper is one level; each group holds a concatenation only when it has two
  // items, so "((((a))))" nests one level per group.
  auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '(') + "a" +
           std::string(static_cast<std::size_t>(depth), ')');
  };
  EXPECT_EQ(error_of(nested(249)), "(parsed)");
  const std::string deep = nested(250);
  // The innermost group is the one too deep.
  const std::string carets = std::string(252, ' ') + "^^^";
  EXPECT_EQ(error_of(deep), one_line("(?:" + deep + ")", carets,
                                     "exceed the maximum number of nested parentheses/brackets "
                                     "(250)"));
  // Far deeper patterns fail the same way, without recursing, at the group that is one
  // too deep (the whole of it).
  const char* too_deep = "exceed the maximum number of nested parentheses/brackets (250)";
  const std::string deeper = nested(100000);
  EXPECT_EQ(error_of(deeper), one_line("(?:" + deeper + ")",
                                       std::string(252, ' ') + std::string(200001 - 2 * 249, '^'),
                                       too_deep));
  // The depth is checked only once everything has parsed: groups or classes left open
  // are unclosed at the end (the innermost one; the wrapper's ")" closes the last group),
  // and an error on the way comes first.
  for (char open : {'(', '['}) {
    const std::string opens(50000, open);
    const bool group = open == '(';
    EXPECT_EQ(error_of(opens), one_line("(?:" + opens + ")", std::string(group ? 50001 : 50002, ' ') + "^",
                                        group ? "unclosed group" : "unclosed character class"));
  }
  const std::string bad = std::string(50000, '(') + "a{2,1}";
  EXPECT_EQ(error_of(bad), one_line("(?:" + bad + ")", std::string(50004, ' ') + "^^^^^",
                                    "invalid repetition count range, the start must be <= the end"));
}

}  // namespace
}  // namespace nivern_vfs::regex
