#include "vfs/search/regex_size.h"

#include <gtest/gtest.h>

#include <string>

#include "vfs/search/regex_facts.h"
#include "vfs/search/regex_syntax.h"
#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {
namespace {

/// The program size of a search query, compiled as the matcher compiles it.
std::uint64_t size_of(const std::string& pattern, bool whole_word = false, bool smart_case = false) {
  const std::string wrapped = "(?:" + pattern + ")";
  auto ast = parse(wrapped);
  EXPECT_TRUE(ast.has_value()) << pattern;
  if (!ast) return 0;
  const CaseFacts facts = case_facts(*ast);
  auto hir = translate(*ast, wrapped, smart_case && facts.any_literal && !facts.any_uppercase);
  EXPECT_TRUE(hir.has_value()) << pattern;
  if (!hir) return 0;
  return program_size(*hir, whole_word);
}

/// The family with its last "N" replaced by `n`.
std::string with_n(std::string family, std::uint64_t n) {
  return family.replace(family.rfind('N'), 1, std::to_string(n));
}

/// Where the library stops accepting a family of queries: it accepts N = `largest` and
/// refuses N + 1 with the size-limit message.
struct Boundary {
  const char* family;
  std::uint64_t largest;
  bool whole_word = false;
  bool smart_case = false;
};

TEST(ProgramSize, RefusesWhereTheLibraryDoes) {
  const Boundary rows[] = {
      {"a{N}", 3276793},
      {"(?i)a{N}", 1310717},
      {"[a-z]{N}", 1456352},
      {"(?i)[a-z]{N}", 344925},
      {"\\d{N}", 20464},
      {"\\s{N}", 154202},
      {".{N}", 104857},
      {"\\pN{N}", 10742},
      {"\\p{Han}{N}", 28908},
      {"\\p{Cyrillic}{N}", 84264},
      {"(?-u:\\w){N}", 1092264},
      {"(?i)\\p{Lu}{N}", 9821},
      {"(foo|bar){N}", 231985},
      {"\\w{N,}", 2098},
      {"\\w{0,N}", 2096},
      {"(\\w+\\s){N}", 2068},
      {"\\pL{N}", 2447, true},
      {"\\pL{N}", 2447, false, true},
      {"\\w{N}", 2098},
      {"\\pL{N}", 2447},
      {"\\W{N}", 2253},
      {"(?s:.){N}", 108773},
  };
  // The model replays the library's accounting, so it lands on the very boundary.
  for (const Boundary& row : rows) {
    const std::uint64_t below = row.largest;
    const std::uint64_t above = row.largest + 1;
    EXPECT_LE(size_of(with_n(row.family, below), row.whole_word, row.smart_case), SIZE_LIMIT)
        << row.family << " " << below;
    EXPECT_GT(size_of(with_n(row.family, above), row.whole_word, row.smart_case), SIZE_LIMIT)
        << row.family << " " << above;
  }
}

TEST(ProgramSize, CountsNestedRepetitionsAndWrittenOutCopies) {
  EXPECT_GT(size_of("\\w{1000}{5}"), SIZE_LIMIT);
  EXPECT_GT(size_of("\\pL{100}{100}"), SIZE_LIMIT);
  EXPECT_GT(size_of("(?:\\pL{100}){100}"), SIZE_LIMIT);
  EXPECT_LE(size_of("\\w{1000}{2}"), SIZE_LIMIT);
  EXPECT_LE(size_of("\\pL{100}{20}"), SIZE_LIMIT);
  // Written out, each copy costs what a counted one does.
  std::string words;
  for (int k = 0; k < 200; ++k) words += "\\w";
  EXPECT_EQ(size_of(words), size_of("\\w{200}"));
  EXPECT_EQ(size_of("\\w{100}{2}"), size_of("\\w{200}"));
}

TEST(ProgramSize, FollowsTheLibrarysSimplifications) {
  // The forward automaton of a literal: the unanchored prefix (3 states, a transition
  // and 2 branches), 2 capture states, a state per byte and the match state.
  EXPECT_EQ(size_of("abc"), 32 * 9 + 8 + 4 * 2);
  // Flags, empty groups and x{1} add nothing; anchoring at the start drops the prefix of
  // the forward automaton (the reverse one keeps it, and is the larger).
  EXPECT_EQ(size_of("(?i:)(?:)a(?:b){1}c"), size_of("abc"));
  EXPECT_EQ(size_of("^abc"), 32 * 8 + 8 + 4 * 2);
  // Alternations of single characters are one class; of literals, a trie (11 states:
  // its end, 4 byte ranges, 4 one-branch unions, the root's 2 ranges and its union).
  EXPECT_EQ(size_of("a|b|c"), size_of("[a-c]"));
  EXPECT_EQ(size_of("foo|bar"), 32 * 17 + 16 + 4 * 4 + 16 + 4);
  // A capture group costs two states forward, nothing in reverse.
  EXPECT_EQ(size_of("(a)bcdefgh"), size_of("abcdefgh") + 64);
  // Whole-word mode adds two assertions.
  EXPECT_EQ(size_of("abc", true), size_of("abc") + 64);
}

}  // namespace
}  // namespace nivern_vfs::regex
