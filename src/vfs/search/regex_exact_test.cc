#include "vfs/search/regex_exact.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <cstring>
#include <random>
#include <string>

#include "vfs/search/regex_bytes.h"
#include "vfs/search/regex_re2.h"
#include "vfs/search/regex_syntax.h"
#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {
namespace {

std::optional<Hir> lower(const std::string& query) {
  const std::string wrapped = "(?:" + query + ")";
  auto ast = parse(wrapped);
  if (!ast) return std::nullopt;
  auto hir = translate(*ast, wrapped, false);
  if (!hir) return std::nullopt;
  return std::move(*hir);
}

TEST(ExactProgram, FindsTheSameLeftmostFirstMatchAsRe2) {
  // Without word assertions RE2 is exact: the two engines must agree on every span,
  // greedy and lazy, with alternations, anchors and empty matches, and over bytes.
  const char* pieces[] = {"a", "b", "é", "ab", "(", ")", "|", "?", "*", "+", "??", "*?",
                          "{1,2}", "{2}", "[ab]", "[^a]", ".", "^", "$", "\\w", "\\s", "(?:",
                          "(?-u:.)", "(?-u:[^a])", "(?-u:\\xA9)", "{17,19}", "{17,}", "{17}",
                          "{17,}?", "{0,18}?"};
  const std::string long_a = std::string(20, 'a') + "b" + std::string(17, 'a') + "é";
  const std::string run_b = "a" + std::string(45, 'b') + "ab" + std::string(18, 'b');
  std::string long_e;
  for (int k = 0; k < 19; ++k) long_e += k % 7 == 0 ? "a" : "é";
  const char* texts[] = {"",       "a",   "ab",     "ba",     "aab",   "abab b",
                         "é a",    "xyz", "bbbaaa", " a é b", "日本語", "a\xff\xa9\x62",
                         long_a.c_str(), long_e.c_str(), run_b.c_str()};
  std::mt19937 rng(7);
  RE2::Options options;
  options.set_log_errors(false);
  int compared = 0, over_bytes = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string query;
    const int n = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < n; ++k) query += pieces[rng() % std::size(pieces)];
    auto hir = lower(query);
    // Nested counts make RE2's spelling a superset: no reference then.
    if (!hir || !re2_spells_exactly(*hir)) continue;
    RE2::Options encoding = options;
    Hir spelled = *hir;
    if (hir->bytes) {
      encoding.set_encoding(RE2::Options::EncodingLatin1);
      to_byte_form(spelled);
    }
    const RE2 re(to_re2(spelled, AnchorMode::line), encoding);
    ASSERT_TRUE(re.ok()) << query << ": " << re.error();
    const ExactProgram exact(*hir, false);
    ExactScratch scratch;
    for (const char* text : texts) {
      if (!hir->bytes && std::strchr(text, '\xff') != nullptr) continue;  // needs UTF-8
      re2::StringPiece m;
      std::optional<std::pair<std::size_t, std::size_t>> want;
      if (re.Match(text, 0, std::strlen(text), RE2::UNANCHORED, &m, 1)) {
        const auto start = static_cast<std::size_t>(m.data() - text);
        want = std::pair{start, start + m.size()};
      }
      EXPECT_EQ(exact.find(text, scratch), want) << query << " in \"" << text << "\"";
    }
    ++compared;
    over_bytes += hir->bytes ? 1 : 0;
  }
  EXPECT_GT(compared, 500);
  EXPECT_GT(over_bytes, 100);
}

TEST(ExactProgram, WordAssertionsAndWholeWords) {
  struct Row {
    const char* query;
    bool whole_word;
    const char* text;
    std::optional<std::pair<std::size_t, std::size_t>> span;
  } rows[] = {
      {"\\bé", false, "aé é", std::pair{4, 6}},
      {"\\Bx\\B", false, "x éxé", std::pair{4, 5}},
      {"a|ab", true, "ab", std::pair{0, 2}},  // the shorter branch is not a whole word
      {"\\w+?", true, "жук!", std::pair{0, 6}},
      {"(?-u:\\b)x", false, "éx", std::pair{2, 3}},
  };
  for (const auto& row : rows) {
    auto hir = lower(row.query);
    ASSERT_TRUE(hir) << row.query;
    const ExactProgram exact(*hir, row.whole_word);
    ExactScratch scratch;
    EXPECT_EQ(exact.find(row.text, scratch), row.span) << row.query;
  }
}

}  // namespace
}  // namespace nivern_vfs::regex
