#include "text/save_encoders.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <unicode/ucnv.h>

#include <optional>
#include <string>
#include <vector>

#include "text/utf8.h"

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
      // default-ignorable characters are written like any other
      {"windows-1252", "\xE2\x9D\xA4\xEF\xB8\x8F a\xE2\x80\x8B\xE2\x80\x8F\xE2\x80\x8D",
       "&#10084;&#65039; a&#8203;&#8207;&#8205;"},
      {"shift_jis", "\xE2\x80\x8D\xF3\xA0\x80\x81", "&#8205;&#917505;"},
      {"iso-2022-jp", "\xE3\x81\x82\xE2\x80\x8D", "\x1B$B$\"\x1B(B&#8205;"},
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
      {"iso-2022-jp", "\xEF\xA1\xAF", "&#63599;"},  // private use: no JIS X 0208 bytes
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

/// Reads the bytes of one legacy encoding back: ICU's converter with the tables the
/// encoder builds on, iconv for ISO-8859-16, the definition for x-user-defined. It also
/// knows which code points some byte sequence decodes to.
class ReferenceDecoder {
 public:
  explicit ReferenceDecoder(EncodingId id) : id_(id) {
    UErrorCode e = U_ZERO_ERROR;
    if (const char* name = icu_name(id)) {
      icu_ = ucnv_open(name, &e);
      EXPECT_TRUE(U_SUCCESS(e)) << name;
      e = U_ZERO_ERROR;
      ucnv_setToUCallBack(icu_, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &e);
    } else if (id == EncodingId::iso_8859_16) {
      iconv_ = iconv_open("UTF-32LE", "ISO-8859-16");
      EXPECT_NE(iconv_, reinterpret_cast<iconv_t>(-1));
    }
    find_produced();
  }
  ~ReferenceDecoder() {
    if (icu_ != nullptr) ucnv_close(icu_);
    if (iconv_ != reinterpret_cast<iconv_t>(-1)) iconv_close(iconv_);
  }
  ReferenceDecoder(const ReferenceDecoder&) = delete;
  ReferenceDecoder& operator=(const ReferenceDecoder&) = delete;

  /// The code points of `bytes`; nullopt when they are malformed.
  std::optional<std::u32string> decode(std::string_view bytes) {
    // Where ICU's tables differ from the Encoding Standard's decoders: one ASCII byte is
    // that character in every legacy encoding (ICU's IBM tables swap 0x1A, 0x1C and
    // 0x7F), and 0x80 alone is U+20AC in gb18030 and U+0080 in Shift_JIS.
    if (bytes.size() == 1 && static_cast<unsigned char>(bytes[0]) < 0x80) return std::u32string(1, bytes[0]);
    if (bytes == "\x80" && (id_ == EncodingId::gbk || id_ == EncodingId::gb18030)) return U"\u20AC";
    if (bytes == "\x80" && id_ == EncodingId::shift_jis) return U"\u0080";
    std::u32string out;
    if (id_ == EncodingId::x_user_defined) {
      for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(b < 0x80 ? b : 0xF780 + (b - 0x80));
      }
      return out;
    }
    if (icu_ == nullptr) return from_iconv(bytes);
    std::u16string units(bytes.size() * 2 + 8, u'\0');
    UErrorCode e = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(icu_, units.data(), static_cast<int32_t>(units.size()), bytes.data(),
                                    static_cast<int32_t>(bytes.size()), &e);
    if (U_FAILURE(e)) return std::nullopt;
    for (int32_t i = 0; i < n; ++i) {
      char32_t c = units[i];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
      out.push_back(c);
    }
    return out;
  }

  /// Whether some byte sequence that the encoding's encoder can write decodes to `cp`.
  bool produces(char32_t cp) const { return produced_[cp]; }

 private:
  static const char* icu_name(EncodingId id) {
    using enum EncodingId;
    switch (id) {
      case ibm866: return "ibm-866_P100-1995";
      case iso_8859_2: return "ibm-912_P100-1995";
      case iso_8859_3: return "ibm-913_P100-2000";
      case iso_8859_4: return "ibm-914_P100-1995";
      case iso_8859_5: return "ibm-915_P100-1995";
      case iso_8859_6: return "ibm-1089_P100-1995";
      case iso_8859_7: return "ibm-9005_X110-2007";
      case iso_8859_8:
      case iso_8859_8_i: return "ibm-5012_P100-1999";
      case iso_8859_10: return "iso-8859_10-1998";
      case iso_8859_13: return "ibm-921_P100-1995";
      case iso_8859_14: return "iso-8859_14-1998";
      case iso_8859_15: return "ibm-923_P100-1998";
      case koi8_r: return "ibm-878_P100-1996";
      case koi8_u: return "ibm-1168_P100-2002";
      case macintosh: return "macos-0_2-10.2";
      case windows_874: return "windows-874-2000";
      case windows_1250: return "ibm-5346_P100-1998";
      case windows_1251: return "ibm-5347_P100-1998";
      case windows_1252: return "ibm-5348_P100-1997";
      case windows_1253: return "ibm-5349_P100-1998";
      case windows_1254: return "ibm-5350_P100-1998";
      case windows_1255: return "ibm-9447_P100-2002";
      case windows_1256: return "ibm-9448_X100-2005";
      case windows_1257: return "ibm-9449_P100-2002";
      case windows_1258: return "ibm-5354_P100-1998";
      case x_mac_cyrillic: return "macos-7_3-10.2";
      case gbk:
      case gb18030: return "gb18030";
      case big5: return "ibm-1375_P100-2008";
      case euc_jp: return "euc-jp-2007";
      case iso_2022_jp: return "ISO_2022,locale=ja,version=0";
      case shift_jis: return "ibm-943_P15A-2003";
      case euc_kr: return "windows-949-2000";
      default: return nullptr;
    }
  }

  std::optional<std::u32string> from_iconv(std::string_view bytes) {
    std::u32string out(bytes.size(), U'\0');
    char* in = const_cast<char*>(bytes.data());
    char* o = reinterpret_cast<char*>(out.data());
    std::size_t il = bytes.size(), ol = out.size() * 4;
    if (iconv(iconv_, &in, &il, &o, &ol) == static_cast<std::size_t>(-1)) return std::nullopt;
    out.resize(out.size() - ol / 4);
    return out;
  }

  void mark(std::string_view bytes) {
    if (auto cps = decode(bytes)) {
      for (char32_t c : *cps) produced_[c] = true;
    }
  }

  /// Every byte sequence of the encoding's shapes, decoded once.
  void find_produced() {
    using enum EncodingId;
    if (id_ == gbk || id_ == gb18030) {
      produced_.assign(0x110000, true);  // four-byte sequences reach every code point
      return;
    }
    for (int x = 0; x < 256; ++x) mark(std::string(1, static_cast<char>(x)));
    if (id_ == iso_2022_jp) {
      // The states an encoder writes: ASCII, JIS X 0201 Roman and JIS X 0208 (never the
      // halfwidth katakana one, which only decoders read).
      for (int x = 0x21; x < 0x7F; ++x) {
        mark("\x1B(J" + std::string(1, static_cast<char>(x)) + "\x1B(B");
        for (int y = 0x21; y < 0x7F; ++y) mark("\x1B$B" + std::string{static_cast<char>(x), static_cast<char>(y)} + "\x1B(B");
      }
      return;
    }
    if (id_ != big5 && id_ != euc_jp && id_ != shift_jis && id_ != euc_kr) return;
    for (int x = 0x80; x < 0x100; ++x) {
      for (int y = 0x21; y < 0x100; ++y) mark(std::string{static_cast<char>(x), static_cast<char>(y)});
    }
    if (id_ == euc_jp) {
      for (int x = 0xA1; x < 0xFF; ++x) {
        for (int y = 0xA1; y < 0xFF; ++y) mark(std::string{'\x8F', static_cast<char>(x), static_cast<char>(y)});
      }
    }
  }

  EncodingId id_;
  UConverter* icu_ = nullptr;
  iconv_t iconv_ = reinterpret_cast<iconv_t>(-1);
  std::vector<bool> produced_ = std::vector<bool>(0x110000, false);
};

/// `decoded` with each "&#N;" read as the code point N.
std::u32string expand_references(const std::u32string& decoded) {
  std::u32string out;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    if (decoded[i] == U'&' && i + 1 < decoded.size() && decoded[i + 1] == U'#') {
      std::size_t j = i + 2;
      char32_t n = 0;
      while (j < decoded.size() && decoded[j] >= U'0' && decoded[j] <= U'9' && n <= 0x10FFFF) n = n * 10 + (decoded[j++] - U'0');
      if (j > i + 2 && j < decoded.size() && decoded[j] == U';') {
        out.push_back(n);
        i = j;
        continue;
      }
    }
    out.push_back(decoded[i]);
  }
  return out;
}

/// Every code point through every legacy encoder: the bytes, read back with the same
/// encoding and their references expanded, give the text again. A code point that no
/// byte sequence of the encoding decodes to may instead come back as one other
/// character (the encoders write U+00A5 as 0x5C in Shift_JIS, for example); ISO-2022-JP
/// writes ESC, SO and SI as references to U+FFFD. Nothing is ever left out.
TEST(Encoder, EveryCodePointComesBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr char32_t kStep = 97;  // a sample: sanitizers make the sweep slow
#else
  constexpr char32_t kStep = 1;
#endif
  for (const Encoding& e : ENCODINGS) {
    if (&output_encoding(e) != &e || e.id == EncodingId::utf_8) continue;
    const bool iso_2022_jp = e.id == EncodingId::iso_2022_jp;
    ReferenceDecoder decoder(e.id);
    std::vector<std::string> faults;
    auto check_one = [&](char32_t cp) {
      std::string text;
      append_utf8(text, cp);
      const std::string bytes = encode_html(e, text);
      const bool replaced = iso_2022_jp && (cp == 0x0E || cp == 0x0F || cp == 0x1B);
      const auto got = decoder.decode(bytes);
      const std::u32string back = got ? expand_references(*got) : U"";
      if (back.size() == 1 && back[0] == (replaced ? 0xFFFD : cp)) return;
      if (!replaced && back.size() == 1 && got->size() == 1 && !decoder.produces(cp)) return;
      char at[16];
      std::snprintf(at, sizeof at, "U+%04X", static_cast<unsigned>(cp));
      faults.push_back(std::string(at) + (bytes.empty() ? " left out" : " not read back"));
    };
    // Runs of 256 code points at once; a run that does not come back whole is checked
    // code point by code point.
    for (char32_t first = 0; first < 0x110000 && faults.size() < 10; first += 256 * kStep) {
      std::u32string run;
      std::string text;
      for (char32_t cp = first; cp < first + 256 * kStep && cp < 0x110000; cp += kStep) {
        if (cp >= 0xD800 && cp < 0xE000) continue;  // surrogates are not characters
        run.push_back(cp);
        append_utf8(text, cp);
      }
      const auto got = decoder.decode(encode_html(e, text));
      if (got && expand_references(*got) == run) continue;
      for (char32_t cp : run) check_one(cp);
    }
    EXPECT_TRUE(faults.empty()) << e.name << ": " << ::testing::PrintToString(faults);
  }
}

TEST(Encoder, Utf16) {
  EXPECT_EQ(encode_utf16("A\xC3\xA9\xF0\x9F\x98\x80", true), "A\0\xE9\0\x3D\xD8\x00\xDE"s);
  EXPECT_EQ(encode_utf16("A\xC3\xA9\xF0\x9F\x98\x80", false), "\0A\0\xE9\xD8\x3D\xDE\x00"s);
  EXPECT_EQ(encode_utf16("", true), "");
}

}  // namespace
}  // namespace nivern_text
