#include "text/line_ending.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace nivern_text::line_ending {
namespace {

/// The plain definitions, byte by byte.
Counts reference_count(std::string_view s) {
  Counts c;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n') {
      ++c.lfs;
      if (i > 0 && s[i - 1] == '\r') ++c.pairs;
    }
  }
  return c;
}

std::string reference_remove(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

TEST(LineEnding, MatchesTheDefinitionsOnRandomText) {
  // Lengths and positions across the 16-byte blocks of the vector loops.
  std::mt19937 rng(42);
  const char pool[] = {'a', '\r', '\n', 'b', '\r', '\n', 'x'};
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    std::size_t n = rng() % 70;
    for (std::size_t i = 0; i < n; ++i) s += pool[rng() % sizeof pool];
    Counts got = count(s), want = reference_count(s);
    EXPECT_EQ(got.lfs, want.lfs) << s;
    EXPECT_EQ(got.pairs, want.pairs) << s;
    std::string out = "prefix";
    Counts copied = append_without_cr_before_lf(out, s);
    EXPECT_EQ(out, "prefix" + reference_remove(s));
    EXPECT_EQ(copied.lfs, want.lfs) << s;
    EXPECT_EQ(copied.pairs, want.pairs) << s;
    std::string in_place = s;
    Counts fused = remove_cr_before_lf(in_place);
    EXPECT_EQ(in_place, reference_remove(s)) << s;
    EXPECT_EQ(fused.lfs, want.lfs) << s;
    EXPECT_EQ(fused.pairs, want.pairs) << s;
  }
}

TEST(LineEnding, InPlaceInPartsNeverSplitsAPair) {
  // Long enough to be stripped in parts; with one shift or the other, every part
  // boundary falls between the CR and the LF of a pair.
  for (std::size_t shift : {0, 1}) {
    std::string s(shift, 'a');
    for (std::size_t i = 0; i < 3 * PART_MIN; ++i) s += i % 1000 == 999 ? "\r\r\n" : "\r\n";
    std::string in_place = s;
    Counts got = remove_cr_before_lf(in_place);
    ASSERT_TRUE(in_place == reference_remove(s)) << shift;
    Counts want = reference_count(s);
    EXPECT_EQ(got.lfs, want.lfs);
    EXPECT_EQ(got.pairs, want.pairs);
  }
}

TEST(LineEnding, InPlaceOnLongTexts) {
  // Long enough for the output to fall a block or more behind the input, with CR LF
  // at every spacing and lone CRs mixed in.
  std::mt19937 rng(9);
  for (int round = 0; round < 300; ++round) {
    std::string s;
    std::size_t lines = 1 + rng() % 200;
    for (std::size_t l = 0; l < lines; ++l) {
      s.append(rng() % 40, static_cast<char>('a' + l % 26));
      if (rng() % 5 == 0) s += '\r';
      s += (rng() % 4 == 0) ? "\n" : "\r\n";
    }
    std::string in_place = s;
    Counts fused = remove_cr_before_lf(in_place);
    ASSERT_EQ(in_place, reference_remove(s));
    std::string copied;
    Counts copy_counts = append_without_cr_before_lf(copied, s);
    ASSERT_EQ(copied, in_place);
    Counts want = reference_count(s);
    ASSERT_EQ(copy_counts.lfs, want.lfs);
    ASSERT_EQ(copy_counts.pairs, want.pairs);
    ASSERT_EQ(fused.lfs, want.lfs);
    ASSERT_EQ(fused.pairs, want.pairs);
  }
}

TEST(LineEnding, PairAcrossABlockBoundary) {
  for (std::size_t at = 0; at < 40; ++at) {
    std::string s(40, 'x');
    s[at] = '\r';
    if (at + 1 < s.size()) s[at + 1] = '\n';
    std::string out;
    append_without_cr_before_lf(out, s);
    EXPECT_EQ(out, reference_remove(s)) << at;
    std::string in_place = s;
    remove_cr_before_lf(in_place);
    EXPECT_EQ(in_place, out) << at;
    EXPECT_EQ(count(s).pairs, at + 1 < s.size() ? 1u : 0u) << at;
  }
}

TEST(LineEnding, RunsLongerThanTheByteCounters) {
  // Every byte a match, for more blocks than a byte-wide counter holds.
  std::string crlf;
  for (int i = 0; i < 5000; ++i) crlf += "\r\n";
  for (const std::string& s : {std::string(10001, '\n'), crlf}) {
    Counts want = reference_count(s), got = count(s);
    EXPECT_EQ(got.lfs, want.lfs);
    EXPECT_EQ(got.pairs, want.pairs);
    std::string copy = s;
    got = remove_cr_before_lf(copy);
    EXPECT_EQ(got.lfs, want.lfs);
    EXPECT_EQ(got.pairs, want.pairs);
  }
}

TEST(LineEnding, WithCrlf) {
  EXPECT_EQ(with_crlf("a\nb"), "a\r\nb");
  EXPECT_EQ(with_crlf("a\r\nb"), "a\r\r\nb");
  EXPECT_EQ(with_crlf("a\rb"), "a\rb");
  EXPECT_EQ(with_crlf("\n\n"), "\r\n\r\n");
  EXPECT_EQ(with_crlf(""), "");
  // Sizes around the growth of a short string's buffer.
  for (std::size_t n = 1; n < 70; ++n) {
    std::string text(n, 'x');
    text[n / 2] = '\n';
    std::string want = text;
    want.insert(n / 2, 1, '\r');
    EXPECT_EQ(with_crlf(text), want) << n;
  }
}

}  // namespace
}  // namespace nivern_text::line_ending
