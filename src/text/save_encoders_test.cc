#include "text/save_encoders.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <unicode/ucnv.h>

#include <string>

namespace nivern_text {
namespace {

using namespace std::string_literals;

std::string encode(std::string_view label, std::string_view text) {
  const Encoding* e = encoding_for_label(label);
  EXPECT_NE(e, nullptr) << label;
  return encode_html(output_encoding(*e), text);
}

/// Bytes the Encoding Standard's encoders give for a few characters of each encoding,
/// unmappable ones included.
TEST(Encoder, KnownOutputs) {
  struct Case {
    const char* label;
    std::string text;
    std::string bytes;
  };
  const Case cases[] = {
      // windows-1252, 0x80..0x9F included
      {"windows-1252", "\xE2\x82\xAC", "\x80"},
      {"windows-1252", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D", "\x81\x8D\x8F\x90\x9D"},
      {"windows-1252", "\xE2\x84\xA2\xC5\xB8\xE2\x80\x9C", "\x99\x9F\x93"},
      {"windows-1252", "caf\xC3\xA9", "caf\xE9"},
      {"windows-1252", "\xE4\xB8\xAD", "&#20013;"},
      {"windows-1252", "\xF0\x9F\x98\x80", "&#128512;"},
      {"windows-1252", "\xEF\xBF\xBD", "&#65533;"},
      // single-byte tables
      {"ibm866", "\xD0\x96\xC2\xA0", "\x86\xFF"},
      {"iso-8859-2", "\xC5\x81", "\xA3"},
      {"iso-8859-7", "\xE2\x82\xAC\xCD\xBA", "\xA4\xAA"},
      {"iso-8859-8", "\xD7\x90\xE2\x80\x8E", "\xE0\xFD"},
      {"iso-8859-8-i", "\xD7\x90", "\xE0"},
      {"iso-8859-15", "\xE2\x82\xAC\xC2\xA4", "\xA4&#164;"},
      {"iso-8859-16", "\xC8\x98\xE2\x82\xAC\xC2\xA4", "\xAA\xA4&#164;"},
      {"koi8-r", "\xD0\x96", "\xF6"},
      {"koi8-u", "\xD1\x9E\xD0\x8E\xE2\x95\x9D", "\xAE\xBE&#9565;"},
      {"macintosh", "\xE2\x82\xAC\xEF\xA3\xBF", "\xDB\xF0"},
      {"windows-874", "\xE0\xB8\x81\xEF\xA3\x81", "\xA1&#63681;"},
      {"windows-1251", "\xD0\x96", "\xC6"},
      {"windows-1253", "\xCE\x86\xC2\xAA", "\xA2&#170;"},
      {"x-mac-cyrillic", "\xE2\x82\xAC\xD2\x90", "\xFF\xA2"},
      {"x-user-defined", "\xEF\x9E\x80\xEF\x9F\xBF\xC3\xA9", "\x80\xFF&#233;"},
      // Chinese
      {"gbk", "\xE4\xB8\xAD\xE2\x82\xAC\xC2\xB7", "\xD6\xD0\x80\xA1\xA4"},
      {"gbk", "\xF0\x9F\x98\x80\xEE\x97\xA5\xC2\x80", "&#128512;&#58853;&#128;"},
      {"gb18030", "\xE4\xB8\xAD\xE2\x82\xAC", "\xD6\xD0\xA2\xE3"},
      {"gb18030", "\xF0\x9F\x98\x80\xC2\x80\xEE\x97\xA5", "\x94\x39\xFC\x36\x81\x30\x81\x30&#58853;"},
      {"big5", "\xE4\xB8\xAD\xE2\x95\x90\xE2\x82\xAC\xE3\x81\x81", "\xA4\xA4\xF9\xF9\xA3\xE1\xC6\xE7"},
      {"big5", "\xC3\x8A\xE4\x8F\xB0\xEE\x80\x80", "&#202;&#17392;&#57344;"},
      // Japanese
      {"shift_jis", "\xE3\x81\x82\xEF\xBD\xA1\xE2\x85\xB0", "\x82\xA0\xA1\xFA\x40"},
      {"shift_jis", "\xC2\xA5\xE2\x80\xBE\xE2\x88\x92\xC2\x80", "\x5C\x7E\x81\x7C\x80"},
      {"shift_jis", "\xEE\x80\x80\xF0\x9F\x98\x80", "&#57344;&#128512;"},
      {"euc-jp", "\xE3\x81\x82\xEF\xBD\xB1\xE2\x91\xA0", "\xA4\xA2\x8E\xB1\xAD\xA1"},
      {"euc-jp", "\xC2\xA5\xE2\x80\xBE\xE2\x88\x92\xE4\xB8\x82", "\x5C\x7E\xA1\xDD&#19970;"},
      {"iso-2022-jp", "a\xE3\x81\x82" "b", "a\x1B$B$\"\x1B(Bb"},
      {"iso-2022-jp", "\xC2\xA5", "\x1B(J\x5C\x1B(B"},
      {"iso-2022-jp", "\xEF\xBD\xB1", "\x1B$B%\"\x1B(B"},
      {"iso-2022-jp", "\xE2\x88\x92", "\x1B$B!]\x1B(B"},
      {"iso-2022-jp", "\x1B\x0E\x0F", "&#65533;&#65533;&#65533;"},
      {"iso-2022-jp", "\xE3\x81\x82\x1B", "\x1B$B$\"\x1B(B&#65533;"},
      {"iso-2022-jp", "\xE4\xB8\x82", "&#19970;"},
      // Korean
      {"euc-kr", "\xEA\xB0\x80\xEA\xB0\x82\xEE\x80\x80", "\xB0\xA1\x81\x41&#57344;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode(c.label, c.text), c.bytes) << c.label << " " << c.text;
  }
}

TEST(Encoder, AsciiIsUnchangedExceptInIso2022Jp) {
  std::string ascii;
  for (int c = 0; c < 128; ++c) ascii.push_back(static_cast<char>(c));
  for (const Encoding& e : ENCODINGS) {
    if (&output_encoding(e) != &e || e.id == EncodingId::iso_2022_jp) continue;
    EXPECT_EQ(encode_html(e, ascii), ascii) << e.name;
  }
  std::string no_escapes;
  for (char c : ascii) {
    if (c != 0x0E && c != 0x0F && c != 0x1B) no_escapes.push_back(c);
  }
  EXPECT_EQ(encode("iso-2022-jp", no_escapes), no_escapes);
}

TEST(Encoder, LongMixedTextCrossesRunBoundaries) {
  std::string text;
  std::string want;
  for (int i = 0; i < 20000; ++i) {
    text += "\xE4\xB8\xAD";  // 中
    want += "\xD6\xD0";
    if (i % 7 == 0) {
      text += "x\xF0\x9F\x98\x80";
      want += "x&#128512;";
    }
  }
  EXPECT_EQ(encode("gbk", text), want);
}

TEST(Encoder, InvalidUtf8IsTakenAsReplacement) {
  EXPECT_EQ(encode("windows-1252", "a\xFF" "b"), "a&#65533;b");
  EXPECT_EQ(encode("utf-8", "a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

/// Our own ISO-8859-16 table against the C library's converter.
TEST(Encoder, Iso885916AgreesWithIconv) {
  iconv_t cd = iconv_open("UTF-8", "ISO-8859-16");
  ASSERT_NE(cd, (iconv_t)-1);
  for (int b = 0x80; b < 0x100; ++b) {
    char in = static_cast<char>(b);
    char out[8];
    char* ip = &in;
    char* op = out;
    std::size_t il = 1, ol = sizeof out;
    ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<std::size_t>(-1)) << b;
    std::string utf8(out, sizeof out - ol);
    EXPECT_EQ(encode("iso-8859-16", utf8), std::string(1, in)) << b;
  }
  iconv_close(cd);
}

/// Whatever an encoder writes decodes back, through ICU's converter of the same
/// encoding, to the text (or to the references it wrote).
TEST(Encoder, OutputDecodesBack) {
  const std::string sample =
      "abc \xC3\xA9\xC3\x9F \xD0\x96 \xCE\xA9 \xD7\x90 \xE4\xB8\xAD\xE6\x96\x87 \xE3\x81\x82 "
      "\xEA\xB0\x80 \xE2\x82\xAC\n";
  struct Case {
    const char* label;
    const char* icu;
  };
  const Case cases[] = {{"shift_jis", "ibm-943_P15A-2003"}, {"euc-jp", "euc-jp-2007"},
                        {"gbk", "windows-936-2000"},        {"gb18030", "gb18030"},
                        {"big5", "ibm-1375_P100-2008"},     {"euc-kr", "windows-949-2000"},
                        {"windows-1251", "ibm-5347_P100-1998"}};
  for (const Case& c : cases) {
    std::string bytes = encode(c.label, sample);
    std::string back(bytes.size() * 4 + 16, '\0');
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = ucnv_convert("UTF-8", c.icu, back.data(), static_cast<int32_t>(back.size()),
                             bytes.data(), static_cast<int32_t>(bytes.size()), &e);
    ASSERT_TRUE(U_SUCCESS(e)) << c.label;
    back.resize(static_cast<std::size_t>(n));
    // Undo the references before comparing.
    std::string plain;
    for (std::size_t i = 0; i < back.size();) {
      if (back.compare(i, 2, "&#") == 0) {
        std::size_t semi = back.find(';', i);
        char32_t cp = static_cast<char32_t>(std::stoul(back.substr(i + 2, semi - i - 2)));
        char tmp[4];
        int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (len == 1) tmp[0] = static_cast<char>(cp);
        if (len == 2) { tmp[0] = static_cast<char>(0xC0 | (cp >> 6)); tmp[1] = static_cast<char>(0x80 | (cp & 0x3F)); }
        if (len == 3) { tmp[0] = static_cast<char>(0xE0 | (cp >> 12)); tmp[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); tmp[2] = static_cast<char>(0x80 | (cp & 0x3F)); }
        if (len == 4) { tmp[0] = static_cast<char>(0xF0 | (cp >> 18)); tmp[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F)); tmp[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); tmp[3] = static_cast<char>(0x80 | (cp & 0x3F)); }
        plain.append(tmp, static_cast<std::size_t>(len));
        i = semi + 1;
      } else {
        plain += back[i++];
      }
    }
    EXPECT_EQ(plain, sample) << c.label;
  }
}

TEST(Encoder, Utf16) {
  EXPECT_EQ(encode_utf16("A\xC3\xA9\xF0\x9F\x98\x80", true), "A\0\xE9\0\x3D\xD8\x00\xDE"s);
  EXPECT_EQ(encode_utf16("A\xC3\xA9\xF0\x9F\x98\x80", false), "\0A\0\xE9\xD8\x3D\xDE\x00"s);
  EXPECT_EQ(encode_utf16("", true), "");
}

}  // namespace
}  // namespace nivern_text
