#include "text/file_decoding.h"

#include <gtest/gtest.h>

#include <string>

#include "text/byte_decoders.h"

namespace nivern_text::encoding {
namespace {

using namespace std::string_literals;

struct Expect {
  std::string text;
  const Encoding* encoding;
  bool crlf = false;
  bool mixed = false;
  bool guessed = false;
  bool bom = false;
  bool lossy = false;
};

void check_one(const DecodedText& d, const Expect& want) {
  EXPECT_EQ(d.text, want.text);
  EXPECT_EQ(d.encoding->name, want.encoding->name);
  EXPECT_EQ(d.crlf, want.crlf) << "crlf";
  EXPECT_EQ(d.mixed, want.mixed) << "mixed";
  EXPECT_EQ(d.guessed, want.guessed) << "guessed";
  EXPECT_EQ(d.bom, want.bom) << "bom";
  EXPECT_EQ(d.lossy, want.lossy) << "lossy";
}

/// Both forms of `decode`: over a view, and consuming its own copy.
void check(std::string_view bytes, const Expect& want) {
  check_one(decode(bytes), want);
  check_one(decode_in_place(std::string(bytes)), want);
}

TEST(Decode, ByteOrderMarks) {
  check("", {.text = "", .encoding = &UTF_8});
  check("\xEF\xBB\xBF", {.text = "", .encoding = &UTF_8, .bom = true});
  check("\xFF\xFE", {.text = "", .encoding = &UTF_16LE, .bom = true});
  check("\xFE\xFF", {.text = "", .encoding = &UTF_16BE, .bom = true});
  check("\xEF\xBB\xBFh\xC3\xA9", {.text = "h\xC3\xA9", .encoding = &UTF_8, .bom = true});
  check("\xFF\xFE" "A\0\x3A\x4E"s, {.text = "A\xE4\xB8\xBA", .encoding = &UTF_16LE, .bom = true});
  check("\xFE\xFF\0A\x4E\x3A"s, {.text = "A\xE4\xB8\xBA", .encoding = &UTF_16BE, .bom = true});
  // A UTF-32LE mark is the UTF-16LE mark and a NUL character.
  check("\xFF\xFE\0\0"s, {.text = "\0"s, .encoding = &UTF_16LE, .bom = true});
  // The UTF-8 mark then malformed bytes: replaced, never re-guessed.
  check("\xEF\xBB\xBF" "a\xFF" "b\xE2\x82",
        {.text = "a\xEF\xBF\xBD" "b\xEF\xBF\xBD", .encoding = &UTF_8, .bom = true, .lossy = true});
  // A UTF-16 mark then an odd number of bytes: the dangling byte becomes U+FFFD.
  check("\xFF\xFE" "A\0B"s, {.text = "A\xEF\xBF\xBD", .encoding = &UTF_16LE, .bom = true, .lossy = true});
  check("\xFE\xFF\xD8\x00\x00" "A"s,
        {.text = "\xEF\xBF\xBD" "A", .encoding = &UTF_16BE, .bom = true, .lossy = true});
}

TEST(Decode, TwoBytesThatAreNoMark) {
  // EF BB: no mark, no zero byte, not UTF-8.
  check("\xEF\xBB", {.text = "\xC3\xAF\xC2\xBB", .encoding = &WINDOWS_1252, .guessed = true});
}

TEST(Decode, Utf16Guess) {
  check("A\0"s, {.text = "A", .encoding = &UTF_16LE, .guessed = true});
  check("\0A"s, {.text = "A", .encoding = &UTF_16BE, .guessed = true});
  // Both parity classes above a quarter: no guess, and NULs are valid UTF-8.
  check("\0\0"s, {.text = "\0\0"s, .encoding = &UTF_8});
  // Odd length: never a guess.
  check("A\0B"s, {.text = "A\0B"s, .encoding = &UTF_8});
  // Eight bytes: q = 2, so two zeros at odd offsets are not enough, three are.
  check("a\0b\0cdef"s, {.text = "a\0b\0cdef"s, .encoding = &UTF_8});
  check("a\0b\0c\0ef"s, {.text = "abc\xE6\x99\xA5", .encoding = &UTF_16LE, .guessed = true});
  // A lone surrogate in guessed UTF-16.
  check("a\0\0\xD8" "b\0c\0"s,
        {.text = "a\xEF\xBF\xBD" "bc", .encoding = &UTF_16LE, .guessed = true, .lossy = true});
}

TEST(Decode, Utf16GuessLooksAtTheFirst4096BytesOnly) {
  std::string text(4096, 'x');
  std::string zeros_late = text + std::string(4096, '\0');
  EXPECT_EQ(guess_utf16(zeros_late), Utf16Guess::none);
  DecodedText d = decode(zeros_late);
  EXPECT_EQ(d.encoding, &UTF_8);
  EXPECT_EQ(d.text, zeros_late);

  std::string le;
  for (int i = 0; i < 3000; ++i) le += "a\0"s;
  EXPECT_EQ(guess_utf16(le), Utf16Guess::little_endian);
  EXPECT_EQ(decode(le).text, std::string(3000, 'a'));
}

TEST(Decode, Utf8AndWindows1252) {
  check("h\xC3\xA9llo \xF0\x9F\x98\x80", {.text = "h\xC3\xA9llo \xF0\x9F\x98\x80", .encoding = &UTF_8});
  // Invalid UTF-8 without a mark is windows-1252, never lossy.
  check("\x80 caf\xE9", {.text = "\xE2\x82\xAC caf\xC3\xA9", .encoding = &WINDOWS_1252, .guessed = true});
  // A surrogate encoded in UTF-8 is not valid UTF-8.
  check("\xED\xA0\x80", {.text = "\xC3\xAD\xC2\xA0\xE2\x82\xAC", .encoding = &WINDOWS_1252, .guessed = true});
}

TEST(Decode, UsesTheWholeInputForUtf8) {
  // Invalid byte far beyond any sample: windows-1252 for all of it.
  std::string s(100000, 'a');
  s += '\xFF';
  DecodedText d = decode(s);
  EXPECT_EQ(d.encoding, &WINDOWS_1252);
  EXPECT_EQ(d.text.size(), 100002u);
}

TEST(Finish, LineEndings) {
  struct Case {
    std::string in, out;
    bool crlf, mixed;
  };
  const Case cases[] = {
      {"x\r\ny\r\nz\n", "x\ny\nz\n", true, true},
      {"a\r\nb\n", "a\nb\n", false, true},
      {"\r\n", "\n", true, false},
      {"a\rb", "a\rb", false, false},
      {"a\r\r\nb", "a\r\nb", true, false},
      {"a\nb\n", "a\nb\n", false, false},
      {"no newline", "no newline", false, false},
      {"\r", "\r", false, false},
      {"end\r", "end\r", false, false},
      {"\r\n\r\n\n", "\n\n\n", true, true},
  };
  for (const Case& c : cases) {
    for (const DecodedText& d : {finish(std::string_view(c.in), UTF_8, false, false, false),
                                 finish_in_place(std::string(c.in), UTF_8, false, false, false)}) {
      EXPECT_EQ(d.text, c.out) << c.in;
      EXPECT_EQ(d.crlf, c.crlf) << c.in;
      EXPECT_EQ(d.mixed, c.mixed) << c.in;
    }
  }
}

TEST(Finish, PassesFlagsThrough) {
  DecodedText d = finish(std::string_view("a"), UTF_16BE, true, true, true);
  EXPECT_EQ(d.encoding, &UTF_16BE);
  EXPECT_TRUE(d.guessed);
  EXPECT_TRUE(d.bom);
  EXPECT_TRUE(d.lossy);
}

TEST(Decode, TextPastTheLimitIsMeasuredNotMade) {
  // windows-1252: 0x80 is U+20AC, three bytes; UTF-16: U+4E2D is three bytes, a pair four.
  EXPECT_EQ(windows1252_decoded_size("a\x80\xE9"s), 6u);
  for (const std::string& units : {"\x2D\x4E" "a\0" "\x3D\xD8\x00\xDE" "\x00\xD8" "x"s, "\x00\xD8" "a\0"s,
                                   "\x00\xDCx"s, "\x00\xD8\x00\xD8\x00\xDC"s, "\xD8\x00\xDC\x00\x00\xD8"s}) {
    EXPECT_EQ(utf16_decoded_size(units, true), decode_utf16(units, true).size());
    EXPECT_EQ(utf16_decoded_size(units, false), decode_utf16(units, false).size());
  }
  const std::string euros(3000, '\x80');
  DecodedText over = decode_in_place(std::string(euros), 8999);
  EXPECT_TRUE(over.over_limit);
  EXPECT_EQ(over.encoding, &WINDOWS_1252);
  EXPECT_TRUE(over.text.empty());
  DecodedText fits = decode_in_place(std::string(euros), 9000);
  EXPECT_FALSE(fits.over_limit);
  EXPECT_EQ(fits.text.size(), 9000u);
  EXPECT_TRUE(decode_in_place("\xFF\xFE" + std::string(4000, '\x4E'), 5999).over_limit);
  EXPECT_FALSE(decode_in_place("\xFF\xFE" + std::string(4000, '\x4E'), 6000).over_limit);
}

TEST(Decode, CrLfAfterUtf16Decoding) {
  // Line endings are measured on the decoded text, not on the bytes.
  check("\xFF\xFE" "a\0\r\0\n\0b\0"s, {.text = "a\nb", .encoding = &UTF_16LE, .crlf = true, .bom = true});
}

}  // namespace
}  // namespace nivern_text::encoding
