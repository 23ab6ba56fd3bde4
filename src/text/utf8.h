#pragma once
/// The one UTF-8 codec of the program: the shape of a well-formed sequence, decoding one
/// character and encoding one. Whole-buffer validation and repair (`is_valid_utf8`,
/// `decode_utf8`, `lossy_utf8`) are in byte_decoders.h and build on these.
///
/// Pure inline functions, safe from any thread; header only, so the protocol reader uses
/// it without linking the text module. None reads at or past the end it is given.
#include <cstddef>
#include <string>
#include <string_view>

namespace nivern_text {

/// How a well-formed sequence that starts with `lead` goes on: the number of continuation
/// bytes and the bounds of the first one (any others are 80..BF). `continuations` is 0
/// for a byte that cannot start a multi-byte sequence (ASCII included).
struct Utf8Shape {
  int continuations;
  unsigned char lower;
  unsigned char upper;
};

constexpr Utf8Shape utf8_shape(unsigned char lead) {
  if (lead < 0xC2 || lead > 0xF4) return {0, 0, 0};
  if (lead < 0xE0) return {1, 0x80, 0xBF};
  if (lead < 0xF0) {
    if (lead == 0xE0) return {2, 0xA0, 0xBF};
    if (lead == 0xED) return {2, 0x80, 0x9F};
    return {2, 0x80, 0xBF};
  }
  if (lead == 0xF0) return {3, 0x90, 0xBF};
  if (lead == 0xF4) return {3, 0x80, 0x8F};
  return {3, 0x80, 0xBF};
}

/// The length of the well-formed multi-byte sequence at `p` (`p` < `end`, `*p` not
/// ASCII), or 0 when the bytes there do not form one (overlong, surrogate, above
/// U+10FFFF, cut short by `end`).
inline std::size_t utf8_multibyte_length(const unsigned char* p, const unsigned char* end) {
  Utf8Shape s = utf8_shape(*p);
  if (s.continuations == 0 || end - p <= s.continuations) return 0;
  if (p[1] < s.lower || p[1] > s.upper) return 0;
  for (int i = 2; i <= s.continuations; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return 1 + static_cast<std::size_t>(s.continuations);
}

/// The length of the well-formed sequence at `p` (`p` < `end`), or 0 when there is none.
inline std::size_t utf8_length(const unsigned char* p, const unsigned char* end) {
  return *p < 0x80 ? 1 : utf8_multibyte_length(p, end);
}

/// A character read from UTF-8 text: its code point and its length in bytes.
struct Utf8Char {
  char32_t cp;
  std::size_t length;  // 0: no well-formed sequence starts here; `cp` is then 0
};

/// The code point of the well-formed sequence at `p`, moving `p` past it.
inline char32_t next_code_point(const unsigned char*& p) {
  unsigned char c = *p++;
  if (c < 0x80) return c;
  if (c < 0xE0) return (char32_t(c & 0x1F) << 6) | (*p++ & 0x3F);
  if (c < 0xF0) {
    char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(p[0] & 0x3F) << 6) | (p[1] & 0x3F);
    p += 2;
    return cp;
  }
  char32_t cp = (char32_t(c & 0x07) << 18) | (char32_t(p[0] & 0x3F) << 12) |
                (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  p += 3;
  return cp;
}

/// The byte length of the sequence led by `lead` in text already known to be valid.
inline std::size_t valid_utf8_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

/// The code point at `text[at]`, in text already known to be valid, where a whole
/// sequence starts.
inline char32_t utf8_at(std::string_view text, std::size_t at) {
  auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
  return next_code_point(p);
}

/// The character at `s[i]` (`i` < `s.size()`).
inline Utf8Char decode_utf8_char(std::string_view s, std::size_t i) {
  auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  std::size_t n = utf8_length(p, reinterpret_cast<const unsigned char*>(s.data()) + s.size());
  if (n == 0) return {0, 0};
  return {next_code_point(p), n};
}

/// Writes `cp` (a Unicode scalar value, never a surrogate) as UTF-8 at `o`, which has
/// room for 4 bytes; returns the end of what was written.
inline char* write_utf8(char32_t cp, char* o) {
  if (cp < 0x80) {
    *o++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *o++ = static_cast<char>(0xC0 | (cp >> 6));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (cp >> 12));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (cp >> 18));
    *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

/// Appends `cp` (a Unicode scalar value, never a surrogate) as UTF-8.
inline void append_utf8(std::string& out, char32_t cp) {
  char b[4];
  out.append(b, static_cast<std::size_t>(write_utf8(cp, b) - b));
}

/// Appends U+FFFD REPLACEMENT CHARACTER.
inline void append_replacement(std::string& out) { out.append("\xEF\xBF\xBD", 3); }

}  // namespace nivern_text
