#include "vfs/search/line_search.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "harness/temp_tree.h"
#include "support/unique_fd.h"

namespace nivern_vfs::search {
namespace {

using nivern_test::TempTree;

Matcher compile(const char* pattern, bool regex = false, bool whole_word = false,
                bool case_sensitive = true) {
  auto m = Matcher::compile({pattern, regex, whole_word, case_sensitive});
  EXPECT_TRUE(m.has_value()) << pattern;
  return std::move(*m);
}

/// Searches `content` as a file; nullopt when the searcher leaves the file out.
std::optional<std::vector<Match>> search_content(std::string_view content, const Matcher& m,
                                                 LineSearcher* searcher = nullptr) {
  TempTree tree;
  const std::string path = tree.file("f.txt", content);
  nivern_support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(fd);
  LineSearcher own;
  LineSearcher& s = searcher ? *searcher : own;
  std::vector<Match> out;
  if (!s.search(fd.get(), m, "f.txt", out)) {
    EXPECT_TRUE(out.empty());
    return std::nullopt;
  }
  return out;
}

Match at(std::uint64_t line, std::string text, std::uint64_t start, std::uint64_t end) {
  return Match{"f.txt", std::move(text), line, start, end};
}

TEST(LineSearcher, ReportsEachMatchingLineOnceWithItsFirstSpan) {
  const auto got = search_content("one cat\nno\ncat cat cat\n\ncat", compile("cat"));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (std::vector<Match>{at(1, "one cat", 4, 7), at(3, "cat cat cat", 0, 3),
                                      at(5, "cat", 0, 3)}));
}

TEST(LineSearcher, StripsTrailingCarriageReturnsFromTheText) {
  // Any number of carriage returns before the line feed go; leading and inner white
  // space stays.
  const auto got = search_content("  cat \r\ncat\r\r\r\nx\rcat\r", compile("cat"));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got,
            (std::vector<Match>{at(1, "  cat ", 2, 5), at(2, "cat", 0, 3), at(3, "x\rcat", 2, 5)}));
  // The query sees the carriage returns: CRLF mode anchors at them, and the span comes
  // from the text without them (the whole text when no match is left there).
  const std::string crlf = "foo\r\na\rb\r\n\r\nx\r\nfoo\n";
  EXPECT_EQ(search_content(crlf, compile("(?Rm)foo$", true)),
            (std::vector<Match>{at(1, "foo", 0, 3), at(5, "foo", 0, 3)}));
  EXPECT_EQ(search_content(crlf, compile("(?mR)b$", true)),
            (std::vector<Match>{at(2, "a\rb", 2, 3)}));
  // After a line's last carriage return both anchors hold: every CR line matches ^$.
  EXPECT_EQ(search_content(crlf, compile("(?Rm)^$", true)),
            (std::vector<Match>{at(1, "foo", 0, 3), at(2, "a\rb", 0, 3), at(3, "", 0, 0),
                                at(4, "x", 0, 1)}));
  EXPECT_EQ(search_content(crlf, compile("(?m)foo$", true)), (std::vector<Match>{at(5, "foo", 0, 3)}));
}

TEST(LineSearcher, AMatchThatNeedsTheCarriageReturnSpansTheWholeText) {
  // The line matches with its carriage return, the text without it holds no match.
  const auto got = search_content("ab\r\nab\n", compile("b\\r", true));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (std::vector<Match>{at(1, "ab", 0, 2)}));
  // $ is the end of the line, after the carriage return.
  const auto dollar = search_content("ab\r\nab\n", compile("b$", true));
  ASSERT_TRUE(dollar);
  EXPECT_EQ(*dollar, (std::vector<Match>{at(2, "ab", 1, 2)}));
}

TEST(LineSearcher, EmptyMatchesStayOnRealLines) {
  // "a\n\n" has two lines; nothing follows the last line feed.
  const auto got = search_content("a\n\n", compile("^$", true));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (std::vector<Match>{at(2, "", 0, 0)}));
  const auto all = search_content("a\nb", compile("x*", true));
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, (std::vector<Match>{at(1, "a", 0, 0), at(2, "b", 0, 0)}));
  const auto none = search_content("", compile("x*", true));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(LineSearcher, ANulByteEndsTheFileAndTheLinesOfItsFill) {
  // A small file with a NUL anywhere gives nothing.
  for (const std::string& small : {std::string("cat\nthe cat\0cat\ncat\n", 20),
                                    std::string("\x7f" "ELF\0cat\ncat\n", 13)}) {
    auto got = search_content(small, compile("cat"));
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->empty());
  }
  // The first fill is 3 bytes, then reads up to 64 KiB until a line feed: 16,384 lines
  // of "cat\n" fill the buffer exactly. A NUL in the next fill keeps them all.
  std::string lines;
  for (int k = 0; k < 16384; ++k) lines += "cat\n";
  auto got = search_content(lines + "cat\ncat" + std::string(1, '\0'), compile("cat"));
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 16384u);
  EXPECT_EQ(got->back(), at(16384, "cat", 0, 3));
  // A NUL as the fill's last byte takes the whole fill with it.
  std::string last = lines;
  last.back() = '\0';
  got = search_content(last + "cat\n", compile("cat"));
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  // A line across the fill boundary is reported with the next fill; a fill that finds
  // no line feed in a full buffer grows it and reads on, and goes with the NUL.
  std::string across = lines.substr(0, lines.size() - 2) + "xx cat\n";
  got = search_content(across + std::string(200000, 'y') + "\ncat\n" + std::string(1, '\0'),
                       compile("cat"));
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 16384u);
  EXPECT_EQ(got->back(), at(16384, "caxx cat", 5, 8));
}

TEST(LineSearcher, StopsReadingAFileAtItsMatchLimit) {
  TempTree tree;
  std::string many;
  for (int k = 0; k < 200000; ++k) many += "hit\n";  // 800 KB
  const std::string path = tree.file("f.txt", many);
  nivern_support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  LineSearcher s;
  std::vector<Match> out(3);  // another file's matches stay
  ASSERT_TRUE(s.search(fd.get(), compile("hit"), "f.txt", out, 5000));
  ASSERT_EQ(out.size(), 5003u);
  EXPECT_EQ(out.back(), (Match{"f.txt", "hit", 5000, 0, 3}));
  EXPECT_LT(::lseek(fd.get(), 0, SEEK_CUR), 400000);
}

TEST(LineSearcher, ByteOrderMarks) {
  // UTF-8: the mark is not part of the first line.
  auto got = search_content(
      "\xEF\xBB\xBF"
      "cat\ncat",
      compile("^cat", true));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (std::vector<Match>{at(1, "cat", 0, 3), at(2, "cat", 0, 3)}));
  // UTF-16, both byte orders: searched as the UTF-8 text, offsets in UTF-8 bytes.
  const std::u16string text = u"h\u00e9llo\r\nw\u00f6rld \U0001F600 cat\n";
  for (bool little : {true, false}) {
    std::string bytes = little ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t u : text) {
      const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
      bytes += little ? lo : hi;
      bytes += little ? hi : lo;
    }
    got = search_content(bytes, compile("cat"));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, (std::vector<Match>{at(2, "w\xC3\xB6rld \xF0\x9F\x98\x80 cat", 12, 15)}));
  }
  // One U+FEFF right after a UTF-16 mark goes with it; after a UTF-8 mark it stays.
  EXPECT_EQ(search_content(std::string("\xFF\xFE\xFF\xFE" "a\0b\0", 8), compile("^a", true)),
            (std::vector<Match>{at(1, "ab", 0, 1)}));
  EXPECT_EQ(search_content(std::string("\xFE\xFF\xFE\xFF\0a\0b", 8), compile("b", true)),
            (std::vector<Match>{at(1, "ab", 1, 2)}));
  EXPECT_EQ(search_content("\xEF\xBB\xBF\xEF\xBB\xBF"
                           "ab",
                           compile("b", true)),
            (std::vector<Match>{at(1, "\xEF\xBB\xBF"
                                      "ab",
                                   4, 5)}));
}

TEST(LineSearcher, AMatchingLineThatIsNotUtf8DiscardsTheFile) {
  // windows-1252 "café" on a matching line: nothing from the file, earlier lines too.
  EXPECT_FALSE(search_content("cat\ncaf\xE9 cat\n", compile("cat")));
  // On a line that does not match, it does not matter.
  const auto got = search_content("cat\ncaf\xE9\n", compile("cat"));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, (std::vector<Match>{at(1, "cat", 0, 3)}));
  // An encoded surrogate (an emoji in CESU-8) is no character, even for a broad class.
  EXPECT_EQ(search_content("foo + bar\nfoo\xED\xA0\xBD\xED\xB8\x80"
                           "bar\n",
                           compile("foo.*bar", true)),
            (std::vector<Match>{at(1, "foo + bar", 0, 9)}));
  EXPECT_EQ(search_content("x = 1;\n\xED\xA0\x80x\n", compile("x", false, true)),
            (std::vector<Match>{at(1, "x = 1;", 0, 1)}));
}

TEST(LineSearcher, ADirectoryCannotBeReadAndIsLeftOut) {
  TempTree tree;
  nivern_support::UniqueFd fd(::open(tree.path().c_str(), O_RDONLY | O_CLOEXEC));
  LineSearcher s;
  std::vector<Match> out{at(9, "kept", 0, 0)};
  EXPECT_FALSE(s.search(fd.get(), compile("x"), "d", out));
  EXPECT_EQ(out, (std::vector<Match>{at(9, "kept", 0, 0)}));  // earlier entries stay
}

TEST(LineSearcher, AHugeLineCostsNoMoreThanTheFile) {
  std::string line(3'000'000, 'a');
  line += "needle";
  LineSearcher s;
  auto got = search_content(line + "\nneedle\n", compile("needle"), &s);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ((*got)[0].start, 3'000'000u);
  EXPECT_EQ((*got)[0].text.size(), 3'000'006u);
  EXPECT_EQ((*got)[1].line, 2u);
  EXPECT_LE(s.peak_capacity(), line.size() + 2 * LineSearcher::BLOCK);
}

/// The obvious search: split into lines, ask the matcher about each one.
std::vector<Match> reference(std::string_view content, const Matcher& m) {
  std::vector<Match> out;
  std::uint64_t number = 0;
  while (!content.empty()) {
    ++number;
    const std::size_t lf = content.find('\n');
    std::string_view line = content.substr(0, lf);
    content = lf == std::string_view::npos ? std::string_view() : content.substr(lf + 1);
    if (!m.line_matches(line)) continue;
    std::string_view text = line;
    while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    const auto span = m.first_match(text);
    out.push_back(Match{"f.txt", std::string(text), number, span ? span->first : 0,
                        span ? span->second : text.size()});
  }
  return out;
}

TEST(LineSearcher, AgreesWithALineByLineSearchAcrossBlocks) {
  // Files of several blocks with lines of every length, so that lines straddle block
  // edges; each way of finding candidates (needle as match, needle then RE2, block
  // regex, whole word) is compared with the obvious search.
  std::mt19937 rng(99);
  const char* words[] = {"cat", "Cat", "concat", "x", "  ", "\r", "é", "CAT_", "dog", "-"};
  const Matcher matchers[] = {
      compile("cat"),
      compile("cat", false, false, false),
      compile("cat", false, true, false),
      compile("c[a-z]t", true),
      compile("^cat|dog$", true),
      compile("\\bcat", true),
      compile("[a-z]+\\r", true),
  };
  for (int round = 0; round < 6; ++round) {
    std::string content;
    const std::size_t target = round < 3 ? 5000 : 700'000;
    while (content.size() < target) {
      const std::size_t n = rng() % (round % 2 ? 40 : 4000);
      for (std::size_t k = 0; k < n; ++k) content += words[rng() % 10];
      content += '\n';
    }
    if (round % 2) content.pop_back();  // sometimes no final line feed
    for (const auto& m : matchers) {
      const auto got = search_content(content, m);
      ASSERT_TRUE(got);
      const auto want = reference(content, m);
      ASSERT_EQ(got->size(), want.size()) << "round " << round;
      for (std::size_t k = 0; k < want.size(); ++k) ASSERT_EQ((*got)[k], want[k]) << k;
    }
  }
}

TEST(CountLineFeeds, CountsAcrossVectorWidthsAndOverflowLimits) {
  std::string s;
  std::mt19937 rng(5);
  for (int k = 0; k < 20000; ++k) s += rng() % 3 == 0 ? '\n' : 'a';
  s += std::string(9000, '\n');  // more than 255 vectors of line feeds in a row
  for (std::size_t from : {0u, 1u, 31u, 33u}) {
    for (std::size_t len : {std::size_t{0}, std::size_t{5}, std::size_t{64}, std::size_t{100},
                            std::size_t{8191}, s.size() - 40}) {
      const char* b = s.data() + from;
      ASSERT_EQ(count_line_feeds(b, b + len),
                static_cast<std::size_t>(std::count(b, b + len, '\n')));
    }
  }
}

}  // namespace
}  // namespace nivern_vfs::search
