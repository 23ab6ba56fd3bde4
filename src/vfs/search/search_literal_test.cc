#include "vfs/search/search_literal.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace nivern_vfs::search {
namespace {

using Simd = LiteralFinder::Simd;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; }

/// The obvious search, for comparison.
const char* naive_find(std::string_view hay, std::string_view needle, bool fold) {
  for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    bool ok = true;
    for (std::size_t k = 0; k < needle.size() && ok; ++k) {
      ok = fold ? lower(hay[i + k]) == lower(needle[k]) : hay[i + k] == needle[k];
    }
    if (ok) return hay.data() + i;
  }
  return nullptr;
}

const char* find(const LiteralFinder& f, std::string_view hay) {
  return f.find(hay.data(), hay.data() + hay.size());
}

class LiteralFinderPaths : public ::testing::TestWithParam<Simd> {};

TEST_P(LiteralFinderPaths, AgreesWithNaiveSearchOnRandomText) {
  std::mt19937 rng(1234);
  // A small alphabet makes near misses common; letters of both cases exercise folding.
  const std::string alphabet("abAB_x\n\r\xc3\xa9\0", 11);
  auto pick = [&] { return alphabet[rng() % alphabet.size()]; };
  for (int round = 0; round < 3000; ++round) {
    std::string needle(1 + rng() % 6, ' ');
    for (char& c : needle) c = pick();
    std::string hay(rng() % 300, ' ');
    for (char& c : hay) c = pick();
    // Plant the needle, sometimes at the very end, sometimes with its case changed.
    if (rng() % 2 == 0 && hay.size() >= needle.size()) {
      std::size_t at =
          rng() % 3 == 0 ? hay.size() - needle.size() : rng() % (hay.size() - needle.size() + 1);
      for (std::size_t k = 0; k < needle.size(); ++k) {
        char c = needle[k];
        if (rng() % 2 && ((c | 0x20) == 'a' || (c | 0x20) == 'b')) c ^= 0x20;
        hay[at + k] = c;
      }
    }
    const bool fold = round % 2 == 1;
    const LiteralFinder f(needle, fold, GetParam());
    // Every start offset, so that haystack edges fall on every vector lane.
    for (std::size_t from = 0; from < std::min<std::size_t>(hay.size(), 70); from += 7) {
      std::string_view h = std::string_view(hay).substr(from);
      ASSERT_EQ(find(f, h), naive_find(h, needle, fold))
          << "needle '" << needle << "' fold " << fold << " hay '" << h << "'";
    }
  }
}

TEST_P(LiteralFinderPaths, FindsNeedlesAtEveryPositionOfALongHaystack) {
  const std::string needle = "PM_RESUME";
  for (std::size_t at = 0; at + needle.size() <= 200; ++at) {
    std::string hay(200, 'M');
    hay.replace(at, needle.size(), needle);
    const LiteralFinder f(needle, false, GetParam());
    ASSERT_EQ(find(f, hay), hay.data() + at) << at;
    // Cut the haystack one byte short of the needle's end: no match may stick out.
    ASSERT_EQ(f.find(hay.data(), hay.data() + at + needle.size() - 1), nullptr) << at;
  }
}

TEST_P(LiteralFinderPaths, FoldsOnlyAsciiLetters) {
  const LiteralFinder f("error[1]", true, GetParam());
  EXPECT_NE(find(f, "an ERROR[1] here"), nullptr);
  EXPECT_NE(find(f, "an ErRoR[1] here"), nullptr);
  // '[' is 0x5B and '{' is 0x7B: they differ only in the case bit, yet are not letters.
  EXPECT_EQ(find(f, "an error{1] here"), nullptr);
  EXPECT_EQ(find(f, "an error[1} here"), nullptr);
  const LiteralFinder exact("Error", false, GetParam());
  EXPECT_EQ(find(exact, "error ERROR"), nullptr);
  EXPECT_NE(find(exact, "error Error"), nullptr);
}

TEST_P(LiteralFinderPaths, HandlesEmptyAndShortHaystacks) {
  const LiteralFinder f("abc", false, GetParam());
  EXPECT_EQ(find(f, ""), nullptr);
  EXPECT_EQ(find(f, "ab"), nullptr);
  std::string_view abc = "abc";
  EXPECT_EQ(find(f, abc), abc.data());
  const LiteralFinder one("x", true, GetParam());
  std::string_view hay = "aaaX";
  EXPECT_EQ(find(one, hay), hay.data() + 3);
}

INSTANTIATE_TEST_SUITE_P(Simd, LiteralFinderPaths,
                         ::testing::Values(Simd::best, Simd::sse2, Simd::none));

}  // namespace
}  // namespace nivern_vfs::search
