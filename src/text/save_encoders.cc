// Encoders for `save`. ICU's converters do the table work; the Scheme of each encoding
// picks the converter closest to the Encoding Standard's index and lists the code points
// where the two differ, so that the bytes are the standard's.
#include "text/save_encoders.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "text/byte_decoders.h"
#include "text/utf8.h"

namespace nivern_text {
namespace {

/// A range of code points that the converter must not handle on its own.
struct Override {
  enum Kind : std::uint8_t {
    byte,      // write the byte `value`
    as,        // encode the code point `value` instead
    ncr,       // write the reference of `value` (0: of the character itself)
    katakana,  // halfwidth katakana: encode its fullwidth form
  };
  char32_t first;
  char32_t last;
  Kind kind;
  char32_t value;
};

/// Byte sequences of the converter's output that the standard's encoder never writes;
/// they are replaced by references to the characters they stand for.
enum class Check : std::uint8_t {
  none,
  big5_below_a1,     // Big5: lead bytes 0x81..0xA0 (HKSCS pointers the encoder skips)
  gb_four_bytes,     // GBK: the four-byte sequences of gb18030
  euc_jp_jis0212,    // EUC-JP: 0x8F and two bytes (JIS X 0212)
};

struct Scheme {
  const char* icu = nullptr;             // ICU converter, null for an own table
  bool stateful = false;                 // every character goes through the converter
  Check check = Check::none;
  std::span<const Override> overrides{}; // sorted by `first`, not overlapping
  const char16_t* high = nullptr;        // own table: code points of bytes 0x80..0xFF
};

using O = Override;
constexpr char32_t SELF = 0;

constexpr O KOI8_U[] = {
    {0x040E, 0x040E, O::byte, 0xBE}, {0x045E, 0x045E, O::byte, 0xAE},
    {0x255D, 0x255D, O::ncr, SELF},  {0x256C, 0x256C, O::ncr, SELF},
};
constexpr O WINDOWS_874[] = {{0xF8C1, 0xF8C8, O::ncr, SELF}};
constexpr O WINDOWS_1253[] = {{0x00AA, 0x00AA, O::ncr, SELF}};
constexpr O GBK[] = {{0x20AC, 0x20AC, O::byte, 0x80}, {0xE5E5, 0xE5E5, O::ncr, SELF}};
constexpr O GB18030[] = {{0xE5E5, 0xE5E5, O::ncr, SELF}};
constexpr O BIG5[] = {{0xE000, 0xF8FF, O::ncr, SELF}};
constexpr O EUC_JP[] = {
    {0x00A5, 0x00A5, O::as, 0x5C}, {0x203E, 0x203E, O::as, 0x7E}, {0x2212, 0x2212, O::as, 0xFF0D},
};
constexpr O ISO_2022_JP[] = {
    {0x000E, 0x000F, O::ncr, 0xFFFD}, {0x001B, 0x001B, O::ncr, 0xFFFD},
    {0x2212, 0x2212, O::as, 0xFF0D},  {0xE000, 0xF8FF, O::ncr, SELF},
    {0xFF61, 0xFF9F, O::katakana, 0},
};
constexpr O SHIFT_JIS[] = {
    {0x0080, 0x0080, O::byte, 0x80}, {0x00A5, 0x00A5, O::as, 0x5C}, {0x203E, 0x203E, O::as, 0x7E},
    {0x2212, 0x2212, O::as, 0xFF0D}, {0xE000, 0xF8FF, O::ncr, SELF},
};
constexpr O EUC_KR[] = {{0xE000, 0xF8FF, O::ncr, SELF}};

/// Fullwidth forms of U+FF61..U+FF9F, as ISO-2022-JP writes halfwidth katakana.
constexpr char16_t FULLWIDTH_KATAKANA[63] = {
    0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3, 0x30A5, 0x30A7, 0x30A9,
    0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC, 0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB,
    0x30AD, 0x30AF, 0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF, 0x30C1,
    0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD, 0x30CE, 0x30CF, 0x30D2, 0x30D5,
    0x30D8, 0x30DB, 0x30DE, 0x30DF, 0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9,
    0x30EA, 0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3, 0x309B, 0x309C,
};

/// ISO-8859-16, which this ICU build has no converter for.
constexpr char16_t ISO_8859_16_HIGH[128] = {
    0x0080, 0x0081, 0x0082, 0x0083, 0x0084, 0x0085, 0x0086, 0x0087,  // 80
    0x0088, 0x0089, 0x008A, 0x008B, 0x008C, 0x008D, 0x008E, 0x008F,  // 88
    0x0090, 0x0091, 0x0092, 0x0093, 0x0094, 0x0095, 0x0096, 0x0097,  // 90
    0x0098, 0x0099, 0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F,  // 98
    0x00A0, 0x0104, 0x0105, 0x0141, 0x20AC, 0x201E, 0x0160, 0x00A7,  // A0
    0x0161, 0x00A9, 0x0218, 0x00AB, 0x0179, 0x00AD, 0x017A, 0x017B,  // A8
    0x00B0, 0x00B1, 0x010C, 0x0142, 0x017D, 0x201D, 0x00B6, 0x00B7,  // B0
    0x017E, 0x010D, 0x0219, 0x00BB, 0x0152, 0x0153, 0x0178, 0x017C,  // B8
    0x00C0, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0106, 0x00C6, 0x00C7,  // C0
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,  // C8
    0x0110, 0x0143, 0x00D2, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x015A,  // D0
    0x0170, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x0118, 0x021A, 0x00DF,  // D8
    0x00E0, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x0107, 0x00E6, 0x00E7,  // E0
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // E8
    0x0111, 0x0144, 0x00F2, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x015B,  // F0
    0x0171, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x0119, 0x021B, 0x00FF,  // F8
};

/// x-user-defined: bytes 0x80..0xFF are U+F780..U+F7FF.
constexpr auto X_USER_DEFINED_HIGH = [] {
  std::array<char16_t, 128> t{};
  for (int i = 0; i < 128; ++i) t[i] = static_cast<char16_t>(0xF780 + i);
  return t;
}();

Scheme scheme_of(EncodingId id) {
  using enum EncodingId;
  switch (id) {
    case ibm866: return {.icu = "ibm-866_P100-1995"};
    case iso_8859_2: return {.icu = "ibm-912_P100-1995"};
    case iso_8859_3: return {.icu = "ibm-913_P100-2000"};
    case iso_8859_4: return {.icu = "ibm-914_P100-1995"};
    case iso_8859_5: return {.icu = "ibm-915_P100-1995"};
    case iso_8859_6: return {.icu = "ibm-1089_P100-1995"};
    case iso_8859_7: return {.icu = "ibm-9005_X110-2007"};
    case iso_8859_8:
    case iso_8859_8_i: return {.icu = "ibm-5012_P100-1999"};
    case iso_8859_10: return {.icu = "iso-8859_10-1998"};
    case iso_8859_13: return {.icu = "ibm-921_P100-1995"};
    case iso_8859_14: return {.icu = "iso-8859_14-1998"};
    case iso_8859_15: return {.icu = "ibm-923_P100-1998"};
    case iso_8859_16: return {.high = ISO_8859_16_HIGH};
    case koi8_r: return {.icu = "ibm-878_P100-1996"};
    case koi8_u: return {.icu = "ibm-1168_P100-2002", .overrides = KOI8_U};
    case macintosh: return {.icu = "macos-0_2-10.2"};
    case windows_874: return {.icu = "windows-874-2000", .overrides = WINDOWS_874};
    case windows_1250: return {.icu = "ibm-5346_P100-1998"};
    case windows_1251: return {.icu = "ibm-5347_P100-1998"};
    case windows_1252: return {.icu = "ibm-5348_P100-1997"};
    case windows_1253: return {.icu = "ibm-5349_P100-1998", .overrides = WINDOWS_1253};
    case windows_1254: return {.icu = "ibm-5350_P100-1998"};
    case windows_1255: return {.icu = "ibm-9447_P100-2002"};
    case windows_1256: return {.icu = "ibm-9448_X100-2005"};
    case windows_1257: return {.icu = "ibm-9449_P100-2002"};
    case windows_1258: return {.icu = "ibm-5354_P100-1998"};
    case x_mac_cyrillic: return {.icu = "macos-7_3-10.2"};
    case gbk: return {.icu = "gb18030", .check = Check::gb_four_bytes, .overrides = GBK};
    case gb18030: return {.icu = "gb18030", .overrides = GB18030};
    case big5:
      return {.icu = "ibm-1375_P100-2008", .check = Check::big5_below_a1, .overrides = BIG5};
    case euc_jp: return {.icu = "euc-jp-2007", .check = Check::euc_jp_jis0212, .overrides = EUC_JP};
    case iso_2022_jp:
      return {.icu = "ISO_2022,locale=ja,version=0", .stateful = true, .overrides = ISO_2022_JP};
    case shift_jis: return {.icu = "ibm-943_P15A-2003", .overrides = SHIFT_JIS};
    case euc_kr: return {.icu = "windows-949-2000", .overrides = EUC_KR};
    case x_user_defined: return {.high = X_USER_DEFINED_HIGH.data()};
    case utf_8:
    case replacement:
    case utf_16be:
    case utf_16le: break;
  }
  std::abort();  // not an output encoding with an encoder of its own
}

const Override* find_override(std::span<const Override> list, char32_t cp) {
  for (const Override& o : list) {
    if (cp < o.first) return nullptr;
    if (cp <= o.last) return &o;
  }
  return nullptr;
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

/// "&#N;" with N in decimal.
void append_reference(std::string& out, char32_t cp) {
  out += "&#";
  out += std::to_string(static_cast<std::uint32_t>(cp));
  out += ';';
}

void append_reference(std::u16string& out, char32_t cp) {
  std::string ascii;
  append_reference(ascii, cp);
  out.append(ascii.begin(), ascii.end());
}

/// The converter's callback for a character it has no bytes for: writes "&#N;" through
/// the converter itself, so that a stateful encoding first returns to ASCII. Every such
/// character gets its reference, default-ignorable ones included.
void write_reference(const void* /*context*/, UConverterFromUnicodeArgs* args, const UChar* /*units*/,
                     int32_t /*length*/, UChar32 cp, UConverterCallbackReason reason, UErrorCode* err) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) {
    return;  // reset, close or clone: nothing to write
  }
  // Input is well-formed UTF-16, so every call names one whole code point.
  char digits[8];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<std::uint32_t>(cp));
  (void)ec;  // at most 7 digits
  UChar ref[12] = {u'&', u'#'};
  std::size_t n = 2;
  for (const char* d = digits; d < end; ++d) ref[n++] = static_cast<UChar>(*d);
  ref[n++] = u';';
  const UChar* from = ref;
  *err = U_ZERO_ERROR;
  ucnv_cbFromUWriteUChars(args, &from, ref + n, 0, err);
}

/// One ICU converter with the decimal-reference callback.
class Converter {
 public:
  explicit Converter(const char* name) {
    UErrorCode e = U_ZERO_ERROR;
    cv_ = ucnv_open(name, &e);
    if (U_FAILURE(e) || cv_ == nullptr) std::abort();  // the converter set is fixed at build time
    e = U_ZERO_ERROR;
    ucnv_setFromUCallBack(cv_, write_reference, nullptr, nullptr, nullptr, &e);
    if (U_FAILURE(e)) std::abort();
  }
  ~Converter() { ucnv_close(cv_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  /// Converts `units` and appends the bytes; `flush` ends the stream (and the state).
  void encode(std::u16string_view units, std::string& out, bool flush) {
    const UChar* src = units.data();
    const UChar* src_end = src + units.size();
    for (;;) {
      const std::size_t old = out.size();
      // Room for a reference per unit and the closing escape of a stateful encoding.
      const std::size_t room = static_cast<std::size_t>(src_end - src) * 4 + 16;
      out.resize(old + room);
      char* target = out.data() + old;
      char* const start = target;
      UErrorCode e = U_ZERO_ERROR;
      ucnv_fromUnicode(cv_, &target, target + room, &src, src_end, nullptr, flush ? 1 : 0, &e);
      out.resize(old + static_cast<std::size_t>(target - start));
      if (e == U_BUFFER_OVERFLOW_ERROR) continue;
      if (U_FAILURE(e)) std::abort();  // well-formed input and an escaping callback
      return;
    }
  }

  /// Appends references to the characters that `bytes` decode to.
  void append_references_of(std::string_view bytes, std::string& out) {
    UChar units[16];
    UErrorCode e = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(cv_, units, 16, bytes.data(), static_cast<int32_t>(bytes.size()), &e);
    if (U_FAILURE(e)) n = 0;
    for (int32_t i = 0; i < n; ++i) {
      char32_t cp = units[i];
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 &&
          units[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
      }
      append_reference(out, cp);
    }
  }

 private:
  UConverter* cv_ = nullptr;
};

/// Copies the converter's output of one run, replacing the sequences that `check`
/// rejects by references.
void append_checked(Check check, std::string_view bytes, Converter& cv, std::string& out) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {  // a reference written by the callback
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t len = 2;
    bool reject = false;
    switch (check) {
      case Check::big5_below_a1:
        reject = c < 0xA1;
        break;
      case Check::gb_four_bytes:
        if (i + 1 < bytes.size() && bytes[i + 1] >= '0' && bytes[i + 1] <= '9') {
          len = 4;
          reject = true;
        }
        break;
      case Check::euc_jp_jis0212:
        if (c == 0x8F) {
          len = 3;
          reject = true;
        }
        break;
      case Check::none:
        break;
    }
    len = std::min(len, bytes.size() - i);
    if (reject) {
      cv.append_references_of(bytes.substr(i, len), out);
    } else {
      out.append(bytes.substr(i, len));
    }
    i += len;
  }
}

std::string encode_own_table(const char16_t* high, std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto* end = p + text.size();
  while (p < end) {
    char32_t cp = next_code_point(p);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    int found = -1;
    for (int i = 0; i < 128; ++i) {
      if (high[i] == cp) {
        found = i;
        break;
      }
    }
    if (found >= 0) {
      out.push_back(static_cast<char>(0x80 + found));
    } else {
      append_reference(out, cp);
    }
  }
  return out;
}

/// Every character through the converter, overrides applied first (ISO-2022-JP: the
/// converter tracks the escape state, so ASCII cannot bypass it).
std::string encode_stateful(const Scheme& s, std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto* end = p + text.size();
  while (p < end) {
    char32_t cp = next_code_point(p);
    if (const Override* o = find_override(s.overrides, cp)) {
      switch (o->kind) {
        case Override::ncr:
          append_reference(units, o->value == SELF ? cp : o->value);
          continue;
        case Override::as:
          cp = o->value;
          break;
        case Override::katakana:
          cp = FULLWIDTH_KATAKANA[cp - o->first];
          break;
        case Override::byte:
          std::abort();  // raw bytes would bypass the escape state
      }
    }
    append_utf16(units, cp);
  }
  Converter cv(s.icu);
  std::string out;
  out.reserve(units.size() + units.size() / 2);
  cv.encode(units, out, true);
  return out;
}

/// ASCII written directly, everything else in runs through the converter.
std::string encode_stateless(const Scheme& s, std::string_view text) {
  Converter cv(s.icu);
  std::string out;
  out.reserve(text.size());
  std::u16string run;
  std::string run_bytes;
  auto flush = [&] {
    if (run.empty()) return;
    if (s.check == Check::none) {
      cv.encode(run, out, true);
    } else {
      run_bytes.clear();
      cv.encode(run, run_bytes, true);
      append_checked(s.check, run_bytes, cv, out);
    }
    run.clear();
  };
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      const unsigned char* q = p;
      while (q < end && *q < 0x80) ++q;
      flush();
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(q - p));
      p = q;
      continue;
    }
    char32_t cp = next_code_point(p);
    if (const Override* o = find_override(s.overrides, cp)) {
      switch (o->kind) {
        case Override::byte:
          flush();
          out.push_back(static_cast<char>(o->value));
          continue;
        case Override::ncr:
          flush();
          append_reference(out, o->value == SELF ? cp : o->value);
          continue;
        case Override::as:
          cp = o->value;
          if (cp < 0x80) {
            flush();
            out.push_back(static_cast<char>(cp));
            continue;
          }
          break;
        case Override::katakana:
          cp = FULLWIDTH_KATAKANA[cp - o->first];
          break;
      }
    }
    append_utf16(run, cp);
    if (run.size() >= 16384) flush();
  }
  flush();
  return out;
}

}  // namespace

std::string encode_html(const Encoding& output, std::string_view text) {
  assert(&output_encoding(output) == &output);
  std::string repaired;
  if (!is_valid_utf8(text)) {
    repaired = decode_utf8(text);
    text = repaired;
  }
  if (output.id == EncodingId::utf_8) return std::string(text);
  const Scheme s = scheme_of(output.id);
  if (s.high != nullptr) return encode_own_table(s.high, text);
  if (s.stateful) return encode_stateful(s, text);
  return encode_stateless(s, text);
}

std::string encode_utf16(std::string_view text, bool little_endian) {
  std::string repaired;
  if (!is_valid_utf8(text)) {
    repaired = decode_utf8(text);
    text = repaired;
  }
  std::string out;
  out.reserve(text.size() * 2);
  auto put = [&](char16_t u) {
    char b[2];
    if (little_endian) {
      b[0] = static_cast<char>(u & 0xFF);
      b[1] = static_cast<char>(u >> 8);
    } else {
      b[0] = static_cast<char>(u >> 8);
      b[1] = static_cast<char>(u & 0xFF);
    }
    out.append(b, 2);
  };
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto* end = p + text.size();
  while (p < end) {
    char32_t cp = next_code_point(p);
    if (cp < 0x10000) {
      put(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      put(static_cast<char16_t>(0xD800 + (cp >> 10)));
      put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  }
  return out;
}

}  // namespace nivern_text
