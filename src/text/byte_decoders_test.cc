#include "text/byte_decoders.h"

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <random>
#include <string>

namespace nivern_text {
namespace {

using namespace std::string_literals;
constexpr const char* FFFD = "\xEF\xBF\xBD";

std::string repeat_fffd(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += FFFD;
  return s;
}

TEST(Utf8, Validity) {
  const char* valid[] = {"", "plain ascii", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
                         "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
  for (const char* s : valid) EXPECT_TRUE(is_valid_utf8(s)) << s;
  const char* invalid[] = {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC2", "\xE0\x80\x80",
                           "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80",
                           "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                           "\xE2\x82", "\xF0\x9F\x98"};
  for (const char* s : invalid) EXPECT_FALSE(is_valid_utf8(s)) << s;
}

TEST(Utf8, ValidityAtEveryPositionOfALongBuffer) {
  // The fast path reads 16 bytes at a time: put the fault at every offset around it.
  for (std::size_t at = 0; at < 40; ++at) {
    std::string s(40, 'a');
    s[at] = '\x80';
    EXPECT_FALSE(is_valid_utf8(s)) << at;
    std::string t(40, 'a');
    t.replace(at, 1, "\xC3\xA9");
    EXPECT_TRUE(is_valid_utf8(t)) << at;
    EXPECT_FALSE(is_valid_utf8(t.substr(0, at + 1))) << "truncated at " << at;
  }
}

TEST(Utf8, ReplacesMaximalSubparts) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\x80", FFFD},
      {"\xC0\x80", repeat_fffd(2)},         // C0 never starts a sequence
      {"\xE0\x80\x80", repeat_fffd(3)},     // overlong: 80 is outside A0..BF
      {"\xED\xA0\x80", repeat_fffd(3)},     // surrogate
      {"\xF0\x9F\x98", FFFD},               // truncated at the end: one replacement
      {"\xF0\x9F\x98" "A", FFFD + "A"s},    // truncated before A: A survives
      {"\xE2\x82" "\xE2\x82\xAC", FFFD + "\xE2\x82\xAC"s},
      {"\xF4\x90\x80\x80", repeat_fffd(4)},
      {"\xF5", FFFD},
      {"a\xFF" "b", "a"s + FFFD + "b"},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    bool replaced = false;
    EXPECT_EQ(decode_utf8(c.in, &replaced), c.out);
    EXPECT_EQ(replaced, c.out != c.in);
  }
}

/// ICU's UTF-8 converter also replaces maximal subparts; compare on random bytes.
TEST(Utf8, AgreesWithIcuOnRandomBytes) {
  UErrorCode e = U_ZERO_ERROR;
  std::mt19937 rng(7);
  const unsigned char pool[] = {'a', 0x80, 0xBF, 0xC2, 0xC3, 0xE0, 0xE2, 0xED, 0xF0, 0xF4, 0xF5, 0xA0, 0x9F, 0x90};
  for (int round = 0; round < 2000; ++round) {
    std::string in;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) in.push_back(static_cast<char>(pool[rng() % sizeof pool]));
    std::string want(in.size() * 3 + 4, '\0');
    e = U_ZERO_ERROR;
    int32_t len = ucnv_convert("UTF-8", "UTF-8", want.data(), static_cast<int32_t>(want.size()),
                               in.data(), static_cast<int32_t>(in.size()), &e);
    ASSERT_TRUE(U_SUCCESS(e));
    want.resize(static_cast<std::size_t>(len));
    EXPECT_EQ(decode_utf8(in), want);
    EXPECT_EQ(is_valid_utf8(in), want == in);
  }
}

TEST(Utf16, DecodesBothByteOrders) {
  EXPECT_EQ(decode_utf16("A\0\xE9\0\x3D\xD8\x00\xDE"s, true), "A\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(decode_utf16("\0A\0\xE9\xD8\x3D\xDE\x00"s, false), "A\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(Utf16, ReplacesLoneSurrogatesAndTheDanglingByte) {
  bool replaced = false;
  EXPECT_EQ(decode_utf16("\x00\xDC" "A\0"s, true, &replaced), FFFD + "A"s);  // lone trail
  EXPECT_TRUE(replaced);
  EXPECT_EQ(decode_utf16("\x00\xD8" "A\0"s, true), FFFD + "A"s);  // lead then no trail
  EXPECT_EQ(decode_utf16("\x00\xD8\x00\xD8\x00\xDC"s, true), FFFD + "\xF0\x90\x80\x80"s);
  EXPECT_EQ(decode_utf16("\x00\xD8"s, true), FFFD);   // lead at the end
  EXPECT_EQ(decode_utf16("A\0B"s, true), "A"s + FFFD);  // dangling byte
  EXPECT_EQ(decode_utf16("\x00\xD8" "B"s, true), FFFD);  // both at the end: one replacement
  EXPECT_EQ(decode_utf16("", true, &replaced), "");
  EXPECT_FALSE(replaced);
}

TEST(Windows1252, EveryByteAgreesWithIcu) {
  UErrorCode e = U_ZERO_ERROR;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char want[8];
    e = U_ZERO_ERROR;
    int32_t n = ucnv_convert("UTF-8", "ibm-5348_P100-1997", want, sizeof want, &in, 1, &e);
    ASSERT_TRUE(U_SUCCESS(e)) << b;
    EXPECT_EQ(decode_windows1252(std::string(1, in)), std::string(want, static_cast<std::size_t>(n))) << b;
  }
  EXPECT_EQ(decode_windows1252("\x80\x81\x9F\xFF"), "\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xBF");
}

TEST(LossyUtf8, ShowsInvalidSequencesAsReplacement) {
  EXPECT_EQ(lossy_utf8("dir/caf\xC3\xA9.txt"), "dir/caf\xC3\xA9.txt");
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a"s + FFFD + "b");
}

}  // namespace
}  // namespace nivern_text
