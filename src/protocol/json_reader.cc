#include "protocol/json_reader.h"

#include "support/huge_pages.h"
#include "text/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <cstring>

namespace nivern_protocol::json {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline std::uint64_t has_zero(std::uint64_t v) { return (v - kOnes) & ~v & kHighs; }
inline std::uint64_t has_byte(std::uint64_t v, unsigned char b) { return has_zero(v ^ (kOnes * b)); }
inline std::uint64_t has_less(std::uint64_t v, unsigned char n) { return (v - kOnes * n) & ~v & kHighs; }

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Descriptions of values inside data faults.

std::string describe_float(double f) {
  // Shortest round-trip digits, laid out as integer, decimal or exponent form.
  std::string out;
  if (std::signbit(f)) out += '-';
  f = std::fabs(f);
  if (f == 0) return out + "0.0";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  auto e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exp10 = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exp10);
  int length = static_cast<int>(digits.size());
  int k = exp10 - (length - 1);  // value = digits * 10^k
  int kk = length + k;
  if (0 <= k && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(kk - length), '0');
    out += ".0";
  } else if (0 < kk && kk <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(kk));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(kk));
  } else if (-5 < kk && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else if (length == 1) {
    out += digits;
    out += 'e';
    out += std::to_string(kk - 1);
  } else {
    out += digits[0];
    out += '.';
    out += digits.substr(1);
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

std::string describe_string(std::string_view s) {
  std::string out = "string \"";
  for (std::size_t i = 0; i < s.size();) {
    auto [cp, n] = nivern_text::decode_utf8_char(s, i);
    if (n == 0) {  // never: strings are valid UTF-8 by construction
      cp = static_cast<unsigned char>(s[i]);
      n = 1;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
          char buf[16];
          auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16);
          out += "\\u{";
          out.append(buf, r.ptr);
          out += '}';
        } else {
          out.append(s.substr(i, n));
        }
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string describe(const Number& n) {
  Value v;
  v.kind = n.kind;
  v.u = n.u;
  v.i = n.i;
  v.f = n.f;
  return describe(v);
}

std::string describe(const Value& v) {
  switch (v.kind) {
    case Value::Kind::null: return "null";
    case Value::Kind::boolean: return v.b ? "boolean `true`" : "boolean `false`";
    case Value::Kind::unsigned_int: return "integer `" + std::to_string(v.u) + "`";
    case Value::Kind::negative_int: return "integer `" + std::to_string(v.i) + "`";
    case Value::Kind::floating: return "floating point `" + describe_float(v.f) + "`";
    case Value::Kind::string: return describe_string(v.s);
    case Value::Kind::array: return "sequence";
    case Value::Kind::object: return "map";
  }
  return "null";
}

// ---------------------------------------------------------------------------
// Faults.

Reader::Reader(std::string_view body)
    : base_(reinterpret_cast<const unsigned char*>(body.data())), end_(body.size()) {}

std::string Reader::error_text() const {
  std::size_t line = 1, line_start = 0;
  const unsigned char* p = base_;
  const unsigned char* stop = base_ + error_pos_;
  while (p < stop) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(stop - p));
    if (!nl) break;
    ++line;
    p = static_cast<const unsigned char*>(nl) + 1;
    line_start = static_cast<std::size_t>(p - base_);
  }
  return message_ + " at line " + std::to_string(line) + " column " +
         std::to_string(error_pos_ - line_start);
}

bool Reader::fault_at(std::size_t at, std::string msg) {
  if (!failed_) {
    failed_ = true;
    positioned_ = true;
    error_pos_ = at;
    message_ = std::move(msg);
  }
  return false;
}

bool Reader::error(std::string msg) { return fault_at(pos_ < end_ ? pos_ : end_, std::move(msg)); }

bool Reader::peek_error(std::string msg) {
  return fault_at(pos_ + 1 < end_ ? pos_ + 1 : end_, std::move(msg));
}

bool Reader::data_error(std::string msg) {
  if (!failed_) {
    failed_ = true;
    positioned_ = false;
    message_ = std::move(msg);
  }
  return false;
}

void Reader::fix_position() {
  if (failed_ && !positioned_) {
    positioned_ = true;
    error_pos_ = pos_ < end_ ? pos_ : end_;
  }
}

// ---------------------------------------------------------------------------
// Cursor and containers.

std::optional<unsigned char> Reader::skip_ws() {
  while (pos_ < end_) {
    unsigned char c = base_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
    ++pos_;
  }
  return std::nullopt;
}

bool Reader::enter() {
  if (--remaining_depth_ == 0) return peek_error("recursion limit exceeded");
  eat();
  return true;
}

bool Reader::end_map() {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing an object");
  if (*c == '}') {
    eat();
    return true;
  }
  if (*c == ',') return peek_error("trailing comma");
  return peek_error("trailing characters");
}

bool Reader::end_seq() {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing a list");
  if (*c == ']') {
    eat();
    return true;
  }
  if (*c == ',') {
    eat();
    auto d = skip_ws();
    if (d && *d == ']') return peek_error("trailing comma");
    return peek_error("trailing characters");
  }
  return peek_error("trailing characters");
}

bool Reader::next_key(bool& first, bool& more) {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing an object");
  if (*c == '}') {
    more = false;
    return true;
  }
  if (*c == ',' && !first) {
    eat();
    c = skip_ws();
  } else if (first) {
    first = false;
  } else {
    return peek_error("expected `,` or `}`");
  }
  if (!c) return peek_error("EOF while parsing a value");
  if (*c == '"') {
    more = true;
    return true;
  }
  if (*c == '}') return peek_error("trailing comma");
  return peek_error("key must be a string");
}

bool Reader::parse_colon() {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing an object");
  if (*c != ':') return peek_error("expected `:`");
  eat();
  return true;
}

bool Reader::next_element(bool& first, bool& more) {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing a list");
  if (*c == ']') {
    more = false;
    return true;
  }
  if (first) {
    first = false;
    more = true;
    return true;
  }
  if (*c != ',') return peek_error("expected `,` or `]`");
  eat();
  auto d = skip_ws();
  if (!d) return peek_error("EOF while parsing a value");
  if (*d == ']') return peek_error("trailing comma");
  more = true;
  return true;
}

// ---------------------------------------------------------------------------
// Strings.

// Where the string starting at `from` (after its opening quote) ends: the index of its
// closing quote, or the end of the body. Only quotes and backslashes are looked at.
std::size_t Reader::string_extent(std::size_t from) const {
  std::size_t p = from;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (p + 16 <= end_) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_ + p));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))));
    if (mask == 0) {
      p += 16;
      continue;
    }
    p += static_cast<unsigned>(__builtin_ctz(mask));
    if (base_[p] == '"') return p;
    p += 2;  // a backslash and the byte it escapes
  }
#endif
  while (p < end_) {
    if (base_[p] == '"') return p;
    p += base_[p] == '\\' ? 2 : 1;
  }
  return end_;
}

bool Reader::parse_string(std::string& out) {
  eat();  // the opening quote
  // Unescaped text is never longer than its escaped form, so the string's extent bounds
  // the output: one allocation, then raw writes.
  std::size_t stop = string_extent(pos_);
  std::size_t old = out.size();
  bool ok = true;
  std::size_t room = old + (stop - pos_) + 16;
  if (room > nivern_support::kHugeAdviceMin) {
    out.reserve(room);
    nivern_support::advise_huge_pages(out.data(), room);
  }
  out.resize_and_overwrite(room, [&](char* buf, std::size_t) {
    char* o = buf + old;
    ok = unescape_into<true>(o);
    return static_cast<std::size_t>(o - buf);
  });
  return ok;
}

// At '"': reads a string with the checks of parse_string, keeping nothing.
bool Reader::check_string() {
  eat();
  char* none = nullptr;
  return unescape_into<false>(none);
}

// The body of parse_string: copies and unescapes up to the closing quote into `o`. Without
// kWrite, the same checks and faults, and nothing is written.
template <bool kWrite>
bool Reader::unescape_into(char*& o) {
  bool bad_utf8 = false;
  for (;;) {
#if defined(__SSE2__)
    // Plain ASCII sixteen bytes at a time, stored ahead and overwritten from the first
    // byte that needs a look: a quote, a backslash, a control byte or a non-ASCII byte.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    while (pos_ + 16 <= end_) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base_ + pos_));
      if constexpr (kWrite) _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
      __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                 _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit) | _mm_movemask_epi8(v));
      if (mask == 0) {
        pos_ += 16;
        if constexpr (kWrite) o += 16;
        continue;
      }
      unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      pos_ += k;
      if constexpr (kWrite) o += k;
      break;
    }
#endif
    if (pos_ >= end_) return error("EOF while parsing a string");
    unsigned char c = base_[pos_];
    if (c == '"') {
      eat();
      if (bad_utf8) return error("invalid unicode code point");
      return true;
    }
    if (c == '\\') {
      eat();
      if constexpr (kWrite) {
        if (!parse_escape(o)) return false;
      } else {
        char unescaped[4];
        char* u = unescaped;
        if (!parse_escape(u)) return false;
      }
      continue;
    }
    if (c < 0x20) {
      eat();
      return error("control character (\\u0000-\\u001F) found while parsing a string");
    }
    if (c < 0x80) {
      if constexpr (kWrite) *o++ = static_cast<char>(c);
      eat();
      continue;
    }
    std::size_t n = nivern_text::utf8_multibyte_length(base_ + pos_, base_ + end_);
    if (n == 0) {
      bad_utf8 = true;
      n = 1;
    }
    if constexpr (kWrite) {
      std::memcpy(o, base_ + pos_, n);
      o += n;
    }
    pos_ += n;
  }
}

bool Reader::parse_escape(char*& o) {
  if (pos_ >= end_) return error("EOF while parsing a string");
  unsigned char c = base_[pos_++];
  switch (c) {
    case '"': *o++ = '"'; return true;
    case '\\': *o++ = '\\'; return true;
    case '/': *o++ = '/'; return true;
    case 'b': *o++ = '\b'; return true;
    case 'f': *o++ = '\f'; return true;
    case 'n': *o++ = '\n'; return true;
    case 'r': *o++ = '\r'; return true;
    case 't': *o++ = '\t'; return true;
    case 'u': return parse_unicode_escape(o);
    default: return error("invalid escape");
  }
}

bool Reader::decode_hex_escape(std::uint16_t& out) {
  if (end_ - pos_ < 4) {
    pos_ = end_;
    return error("EOF while parsing a string");
  }
  const unsigned char* p = base_ + pos_;
  pos_ += 4;
  int a = hex_value(p[0]), b = hex_value(p[1]), c = hex_value(p[2]), d = hex_value(p[3]);
  if ((a | b | c | d) < 0) return error("invalid escape");
  out = static_cast<std::uint16_t>((a << 12) | (b << 8) | (c << 4) | d);
  return true;
}

bool Reader::parse_unicode_escape(char*& o) {
  std::uint16_t n;
  if (!decode_hex_escape(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return error("lone leading surrogate in hex escape");
  if (n < 0xD800 || n > 0xDBFF) {
    o = nivern_text::write_utf8(n, o);
    return true;
  }
  // A leading surrogate: a trailing one must follow as another \u escape.
  if (pos_ >= end_) return error("EOF while parsing a string");
  if (base_[pos_++] != '\\') return error("unexpected end of hex escape");
  if (pos_ >= end_) return error("EOF while parsing a string");
  if (base_[pos_++] != 'u') return error("unexpected end of hex escape");
  std::uint16_t n2;
  if (!decode_hex_escape(n2)) return false;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return error("lone leading surrogate in hex escape");
  o = nivern_text::write_utf8((((static_cast<char32_t>(n) - 0xD800) << 10) | (n2 - 0xDC00u)) + 0x10000, o);
  return true;
}

bool Reader::ignore_string() {
  eat();
  for (;;) {
    while (pos_ + 8 <= end_) {
      std::uint64_t w = load8(base_ + pos_);
      if (has_less(w, 0x20) | has_byte(w, '"') | has_byte(w, '\\')) break;
      pos_ += 8;
    }
    while (pos_ < end_) {
      unsigned char c = base_[pos_];
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++pos_;
    }
    if (pos_ >= end_) return error("EOF while parsing a string");
    unsigned char c = base_[pos_];
    if (c == '"') {
      eat();
      return true;
    }
    if (c == '\\') {
      eat();
      if (!ignore_escape()) return false;
      continue;
    }
    eat();
    return error("control character (\\u0000-\\u001F) found while parsing a string");
  }
}

bool Reader::ignore_escape() {
  if (pos_ >= end_) return error("EOF while parsing a string");
  unsigned char c = base_[pos_++];
  switch (c) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return true;
    case 'u': {
      std::uint16_t ignored;
      return decode_hex_escape(ignored);
    }
    default:
      return error("invalid escape");
  }
}

// ---------------------------------------------------------------------------
// Numbers.

bool Reader::parse_number(Number& out) {
  auto fault = read_number(body(), pos_, out);
  return !fault || fault_at(fault->at, std::string(fault->message));
}

bool Reader::ignore_number() {
  auto fault = skip_number(body(), pos_);
  return !fault || fault_at(fault->at, std::string(fault->message));
}

// ---------------------------------------------------------------------------
// Whole values.

bool Reader::parse_ident(std::string_view rest) {
  for (char expected : rest) {
    if (pos_ >= end_) return error("EOF while parsing a value");
    if (base_[pos_++] != static_cast<unsigned char>(expected)) return error("expected ident");
  }
  return true;
}

bool Reader::parse_value(Value& out) {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing a value");
  switch (*c) {
    case 'n':
      eat();
      out.kind = Value::Kind::null;
      return parse_ident("ull");
    case 't':
      eat();
      out.kind = Value::Kind::boolean;
      out.b = true;
      return parse_ident("rue");
    case 'f':
      eat();
      out.kind = Value::Kind::boolean;
      out.b = false;
      return parse_ident("alse");
    case '"':
      out.kind = Value::Kind::string;
      return parse_string(out.s);
    case '[': {
      if (!enter()) return false;
      out.kind = Value::Kind::array;
      bool first = true, more = false;
      for (;;) {
        if (!next_element(first, more)) return false;
        if (!more) break;
        if (!parse_value(out.items.emplace_back())) return false;
      }
      leave();
      return end_seq();
    }
    case '{': {
      if (!enter()) return false;
      out.kind = Value::Kind::object;
      bool first = true, more = false;
      for (;;) {
        if (!next_key(first, more)) return false;
        if (!more) break;
        auto& member = out.members.emplace_back();
        if (!parse_string(member.first) || !parse_colon() || !parse_value(member.second)) return false;
      }
      leave();
      return end_map();
    }
    default:
      if (*c == '-' || is_digit(*c)) {
        Number n;
        if (!parse_number(n)) return false;
        out.kind = n.kind;
        out.u = n.u;
        out.i = n.i;
        out.f = n.f;
        return true;
      }
      return peek_error("expected value");
  }
}

bool Reader::check_value() {
  auto c = skip_ws();
  if (!c) return peek_error("EOF while parsing a value");
  switch (*c) {
    case 'n': eat(); return parse_ident("ull");
    case 't': eat(); return parse_ident("rue");
    case 'f': eat(); return parse_ident("alse");
    case '"': return check_string();
    case '[': {
      if (!enter()) return false;
      bool first = true, more = false;
      for (;;) {
        if (!next_element(first, more)) return false;
        if (!more) break;
        if (!check_value()) return false;
      }
      leave();
      return end_seq();
    }
    case '{': {
      if (!enter()) return false;
      bool first = true, more = false;
      for (;;) {
        if (!next_key(first, more)) return false;
        if (!more) break;
        if (!check_string() || !parse_colon() || !check_value()) return false;
      }
      leave();
      return end_map();
    }
    default:
      if (*c == '-' || is_digit(*c)) {
        Number n;
        return parse_number(n);
      }
      return peek_error("expected value");
  }
}

bool Reader::ignore_value() {
  // Iterative, so that no nesting depth can exhaust the stack.
  std::vector<unsigned char> stack;
  std::optional<unsigned char> enclosing;
  for (;;) {
    auto c = skip_ws();
    if (!c) return peek_error("EOF while parsing a value");
    std::optional<unsigned char> frame;
    switch (*c) {
      case 'n': eat(); if (!parse_ident("ull")) return false; break;
      case 't': eat(); if (!parse_ident("rue")) return false; break;
      case 'f': eat(); if (!parse_ident("alse")) return false; break;
      case '-': if (!ignore_number()) return false; break;
      case '"': if (!ignore_string()) return false; break;
      case '[':
      case '{':
        if (enclosing) stack.push_back(*enclosing);
        enclosing.reset();
        eat();
        frame = c;
        break;
      default:
        if (is_digit(*c)) {
          if (!ignore_number()) return false;
          break;
        }
        return peek_error("expected value");
    }
    bool accept_comma;
    unsigned char current;
    if (frame) {
      accept_comma = false;
      current = *frame;
    } else if (enclosing) {
      accept_comma = true;
      current = *enclosing;
      enclosing.reset();
    } else if (!stack.empty()) {
      accept_comma = true;
      current = stack.back();
      stack.pop_back();
    } else {
      return true;
    }
    for (;;) {
      auto d = skip_ws();
      if (!d) return peek_error(current == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
      if (*d == ',' && accept_comma) {
        eat();
        break;
      }
      if ((*d == ']' && current == '[') || (*d == '}' && current == '{')) {
        eat();
        if (stack.empty()) return true;
        current = stack.back();
        stack.pop_back();
        accept_comma = true;
        continue;
      }
      if (accept_comma)
        return peek_error(current == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
      break;
    }
    if (current == '{') {
      auto d = skip_ws();
      if (!d) return peek_error("EOF while parsing an object");
      if (*d != '"') return peek_error("key must be a string");
      if (!ignore_string()) return false;
      d = skip_ws();
      if (!d) return peek_error("EOF while parsing an object");
      if (*d != ':') return peek_error("expected `:`");
      eat();
    }
    enclosing = current;
  }
}

std::optional<std::string> Reader::describe_unexpected() {
  unsigned char c = pos_ < end_ ? base_[pos_] : 0;
  switch (c) {
    case 'n':
      eat();
      if (!parse_ident("ull")) return std::nullopt;
      return "null";
    case 't':
      eat();
      if (!parse_ident("rue")) return std::nullopt;
      return "boolean `true`";
    case 'f':
      eat();
      if (!parse_ident("alse")) return std::nullopt;
      return "boolean `false`";
    case '"': {
      std::string s;
      if (!parse_string(s)) return std::nullopt;
      return describe_string(s);
    }
    case '[': return "sequence";
    case '{': return "map";
    default:
      if (c == '-' || is_digit(c)) {
        Number n;
        if (!parse_number(n)) return std::nullopt;
        return describe(n);
      }
      peek_error("expected value");
      return std::nullopt;
  }
}

}  // namespace nivern_protocol::json
