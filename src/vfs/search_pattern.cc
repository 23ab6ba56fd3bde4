#include "vfs/search_pattern.h"

#include <unicode/uchar.h>
#include <unicode/uset.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>

namespace nivern_vfs::search {
namespace {

/// The items of a Unicode set as RE2 class items, such as \x{30}-\x{39}\x{41}-\x{5A}.
std::string class_items(const char* set_pattern, bool complement) {
  std::u16string pattern(set_pattern, set_pattern + std::char_traits<char>::length(set_pattern));
  UErrorCode error = U_ZERO_ERROR;
  USet* set = uset_openPattern(pattern.data(), static_cast<std::int32_t>(pattern.size()), &error);
  assert(U_SUCCESS(error));
  if (complement) uset_complement(set);
  uset_removeRange(set, 0xD800, 0xDFFF);  // never valid in UTF-8 text
  std::string items;
  char buf[40];
  const std::int32_t count = uset_getItemCount(set);
  for (std::int32_t k = 0; k < count; ++k) {
    UChar32 lo = 0, hi = 0;
    error = U_ZERO_ERROR;
    uset_getItem(set, k, &lo, &hi, nullptr, 0, &error);
    assert(U_SUCCESS(error));
    int len = lo == hi ? std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(lo))
                       : std::snprintf(buf, sizeof buf, "\\x{%X}-\\x{%X}",
                                       static_cast<unsigned>(lo), static_cast<unsigned>(hi));
    items.append(buf, static_cast<std::size_t>(len));
  }
  uset_close(set);
  return items;
}

constexpr const char* WORD_SET = "[[:Alphabetic:][:M:][:Nd:][:Pc:][:Join_Control:]]";
constexpr const char* SPACE_SET = "[:White_Space:]";

const std::string& non_word_items() {
  static const std::string items = class_items(WORD_SET, true);
  return items;
}
const std::string& space_items() {
  static const std::string items = class_items(SPACE_SET, false);
  return items;
}
const std::string& non_space_items() {
  static const std::string items = class_items(SPACE_SET, true);
  return items;
}

/// Decodes the UTF-8 character at `p[i]`; invalid bytes come back one at a time as
/// U+FFFD (RE2 rejects such a pattern later).
char32_t decode_at(std::string_view p, std::size_t i, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(p[i]);
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  std::size_t need = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
  if (need == 0 || i + need > p.size()) {
    len = 1;
    return 0xFFFD;
  }
  char32_t cp = b0 & (0x7F >> need);
  for (std::size_t k = 1; k < need; ++k) {
    const auto b = static_cast<unsigned char>(p[i + k]);
    if ((b & 0xC0) != 0x80) {
      len = 1;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  len = need;
  return cp;
}

/// The value of a hex digit, or -1.
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

/// One pass over the pattern, writing the three RE2 spellings and noting the facts.
class Reader {
 public:
  explicit Reader(std::string_view p) : p_(p) {}

  PatternFacts run() {
    while (i_ < p_.size()) step();
    if (depth_ != 0) usable_ = false;
    if (!usable_) {
      f_.atoms.clear();
    } else {
      f_.atoms = std::move(atoms_);
    }
    f_.literal_only = usable_ && plain_ && !f_.atoms.empty();
    return std::move(f_);
  }

 private:
  static constexpr char32_t BREAK = PatternFacts::BREAK;

  void out(std::string_view check, std::string_view line, std::string_view block) {
    f_.check_text += check;
    f_.line_text += line;
    f_.block_text += block;
  }
  void out(std::string_view all) { out(all, all, all); }

  void note_literal(char32_t c) {
    f_.any_literal = true;
    if (u_isUUppercase(static_cast<UChar32>(c))) f_.any_uppercase = true;
  }
  void literal(char32_t c, std::string_view text) {
    note_literal(c);
    if (depth_ == 0) atoms_.push_back(c);
    out(text);
  }
  /// Something that is not a literal character stands here.
  void other() {
    plain_ = false;
    if (depth_ == 0) atoms_.push_back(BREAK);
  }
  /// The piece just read may be absent.
  void optional_last() {
    plain_ = false;
    if (depth_ == 0 && !atoms_.empty()) atoms_.back() = BREAK;
  }
  /// The piece just read may repeat: it ends the literal run it is part of.
  void repeated_last() {
    plain_ = false;
    if (depth_ == 0) atoms_.push_back(BREAK);
  }
  void lazy_suffix() {
    if (i_ < p_.size() && p_[i_] == '?') {
      out("?");
      ++i_;
    }
  }

  void step() {
    const char c = p_[i_];
    switch (c) {
      case '\\':
        escape(false);
        return;
      case '[':
        bracket_class();
        return;
      case '(':
        open_group();
        return;
      case ')':
        plain_ = false;
        out(")");
        ++i_;
        if (--depth_ < 0) {
          usable_ = false;
          depth_ = 0;
        }
        return;
      case '|':
        plain_ = false;
        if (depth_ == 0) usable_ = false;
        out("|");
        ++i_;
        return;
      case '.':
        other();
        out(".");
        ++i_;
        return;
      case '^':
        other();
        out("^", "^", "(?m:^)");
        ++i_;
        return;
      case '$':
        other();
        out("$", "$", "(?m:$)");
        ++i_;
        return;
      case '*':
      case '?':
        optional_last();
        out(std::string_view(&p_[i_], 1));
        ++i_;
        lazy_suffix();
        return;
      case '+':
        repeated_last();
        out("+");
        ++i_;
        lazy_suffix();
        return;
      case '{':
        if (repetition()) return;
        literal('{', "{");
        ++i_;
        return;
      default: {
        std::size_t len = 0;
        char32_t cp = decode_at(p_, i_, len);
        literal(cp, p_.substr(i_, len));
        i_ += len;
      }
    }
  }

  /// {n}, {n,} or {n,m} at i_: a counted repetition. Anything else is a literal brace.
  bool repetition() {
    std::size_t j = i_ + 1;
    std::size_t digits = 0;
    unsigned long min = 0;
    while (j < p_.size() && p_[j] >= '0' && p_[j] <= '9') {
      if (min < 100000) min = min * 10 + static_cast<unsigned long>(p_[j] - '0');
      ++j;
      ++digits;
    }
    if (digits == 0) return false;
    if (j < p_.size() && p_[j] == ',') {
      ++j;
      while (j < p_.size() && p_[j] >= '0' && p_[j] <= '9') ++j;
    }
    if (j >= p_.size() || p_[j] != '}') return false;
    ++j;
    if (min == 0) {
      optional_last();
    } else {
      repeated_last();
    }
    out(p_.substr(i_, j - i_));
    i_ = j;
    lazy_suffix();
    return true;
  }

  void open_group() {
    other();
    const std::string_view rest = p_.substr(i_);
    if (rest.starts_with("(?:")) {
      out("(?:");
      i_ += 3;
      ++depth_;
      return;
    }
    if (rest.starts_with("(?P<") ||
        (rest.starts_with("(?<") && !rest.starts_with("(?<=") && !rest.starts_with("(?<!"))) {
      // A named group; the name is not a literal. RE2 knows only the (?P<name> form.
      const std::size_t name_at = rest[2] == 'P' ? 4 : 3;
      const std::size_t close = rest.find('>', name_at);
      if (close == std::string_view::npos) {
        out(rest.substr(0, name_at));
        i_ += name_at;
        usable_ = false;
        ++depth_;
        return;
      }
      out("(?P<");
      out(rest.substr(name_at, close + 1 - name_at));
      i_ += close + 1;
      ++depth_;
      return;
    }
    if (rest.starts_with("(?")) {
      std::size_t j = 2;
      while (j < rest.size() && (is_ascii_alnum(rest[j]) || rest[j] == '-')) ++j;
      const std::string_view flags = rest.substr(2, j - 2);
      if (j < rest.size() && rest[j] == ')') {
        // Flags for the rest of the enclosing group: case folding or other literal
        // changes at the top make the literal atoms untrustworthy.
        if (depth_ == 0 && flags.find_first_of("ixuU") != std::string_view::npos) {
          usable_ = false;
        }
        out(rest.substr(0, j + 1));
        i_ += j + 1;
        return;
      }
      if (j < rest.size() && rest[j] == ':') {
        out(rest.substr(0, j + 1));
        i_ += j + 1;
        ++depth_;
        return;
      }
      out("(?");
      i_ += 2;
      usable_ = false;
      ++depth_;
      return;
    }
    out("(");
    ++i_;
    ++depth_;
  }

  /// A bracket class at i_: one atom; its literal characters count for smart case.
  void bracket_class() {
    other();
    out("[");
    ++i_;
    if (i_ < p_.size() && p_[i_] == '^') {
      out("^");
      ++i_;
    }
    bool first = true;
    while (i_ < p_.size()) {
      const char c = p_[i_];
      if (c == ']' && !first) {
        out("]");
        ++i_;
        return;
      }
      first = false;
      if (c == '[' && i_ + 1 < p_.size() && p_[i_ + 1] == ':') {
        const std::size_t close = p_.find(":]", i_ + 2);
        if (close != std::string_view::npos) {
          out(p_.substr(i_, close + 2 - i_));
          i_ = close + 2;
          continue;
        }
      }
      if (c == '\\') {
        escape(true);
        continue;
      }
      std::size_t len = 0;
      const char32_t cp = decode_at(p_, i_, len);
      // A hyphen between two items is the range operator, not a character.
      const bool range_operator =
          cp == '-' && i_ > 0 && p_[i_ - 1] != '[' && i_ + 1 < p_.size() && p_[i_ + 1] != ']';
      if (!range_operator) note_literal(cp);
      out(p_.substr(i_, len));
      i_ += len;
    }
    usable_ = false;  // unclosed: RE2 rejects it
  }

  /// A code point written in hex after \x, \u or \U, at p_[j]: {HEX} or exactly
  /// `fixed` digits. Returns the index after it, or 0 when malformed.
  std::size_t hex_escape(std::size_t j, std::size_t fixed, char32_t& cp) {
    cp = 0;
    if (j < p_.size() && p_[j] == '{') {
      std::size_t k = j + 1;
      while (k < p_.size() && hex_value(p_[k]) >= 0 && k - j <= 8) {
        cp = cp * 16 + static_cast<char32_t>(hex_value(p_[k]));
        ++k;
      }
      if (k == j + 1 || k >= p_.size() || p_[k] != '}') return 0;
      return k + 1;
    }
    for (std::size_t k = 0; k < fixed; ++k) {
      if (j + k >= p_.size() || hex_value(p_[j + k]) < 0) return 0;
      cp = cp * 16 + static_cast<char32_t>(hex_value(p_[j + k]));
    }
    return j + fixed;
  }

  void escape(bool in_class) {
    if (i_ + 1 >= p_.size()) {
      out("\\");
      ++i_;
      usable_ = false;
      return;
    }
    const char e = p_[i_ + 1];
    const std::string_view raw = p_.substr(i_, 2);
    // \w and friends: their Unicode items, bracketed outside a class.
    auto cls = [&](const std::string& items) {
      if (!in_class) other();
      const std::string line = in_class ? items : "[" + items + "]";
      out(raw, line, line);
      i_ += 2;
    };
    switch (e) {
      case 'd':
        if (!in_class) other();
        out(raw, "\\p{Nd}", "\\p{Nd}");
        i_ += 2;
        return;
      case 'D':
        if (!in_class) other();
        out(raw, "\\P{Nd}", "\\P{Nd}");
        i_ += 2;
        return;
      case 'w':
        cls(word_class_items());
        return;
      case 'W':
        cls(non_word_items());
        return;
      case 's':
        cls(space_items());
        return;
      case 'S':
        cls(non_space_items());
        return;
      case 'p':
      case 'P': {
        if (!in_class) other();
        std::size_t end = i_ + 3;
        if (i_ + 2 < p_.size() && p_[i_ + 2] == '{') {
          const std::size_t close = p_.find('}', i_ + 3);
          end = close == std::string_view::npos ? p_.size() : close + 1;
        }
        end = std::min(end, p_.size());
        out(p_.substr(i_, end - i_));
        i_ = end;
        return;
      }
      case 'b':
      case 'B':
        if (!in_class) other();
        out(raw);
        i_ += 2;
        return;
      case 'A':
      case 'z':
        if (!in_class) other();
        out(raw, raw, e == 'A' ? "(?m:^)" : "(?m:$)");
        i_ += 2;
        return;
      case 'x':
      case 'u':
      case 'U': {
        char32_t cp = 0;
        const std::size_t end = hex_escape(i_ + 2, e == 'x' ? 2 : e == 'u' ? 4 : 8, cp);
        if (end == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
          if (!in_class) other();
          out(raw);
          i_ += 2;
          usable_ = false;
          return;
        }
        char buf[16];
        const int len = std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(cp));
        const std::string_view text(buf, static_cast<std::size_t>(len));
        if (in_class) {
          note_literal(cp);
          out(text);
        } else {
          literal(cp, text);
        }
        i_ = end;
        return;
      }
      default:
        break;
    }
    char32_t special = 0;
    switch (e) {
      case 'n':
        special = '\n';
        break;
      case 't':
        special = '\t';
        break;
      case 'r':
        special = '\r';
        break;
      case 'f':
        special = '\f';
        break;
      case 'v':
        special = '\v';
        break;
      case 'a':
        special = '\a';
        break;
      default:
        if (static_cast<unsigned char>(e) < 0x80 && !is_ascii_alnum(e) && e != ' ' && e != '\n') {
          special = static_cast<unsigned char>(e);  // escaped punctuation stands for itself
        }
    }
    if (special != 0) {
      if (in_class) {
        note_literal(special);
        out(raw);
      } else {
        literal(special, raw);
      }
      i_ += 2;
      return;
    }
    // Anything else (octal, \Q, letters RE2 may or may not know): pass it on unread.
    if (!in_class) other();
    usable_ = false;
    out("\\");
    ++i_;
  }

  std::string_view p_;
  std::size_t i_ = 0;
  int depth_ = 0;
  bool usable_ = true;
  bool plain_ = true;
  std::vector<char32_t> atoms_;
  PatternFacts f_;
};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string escape_literal(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() * 2);
  for (char c : pattern) {
    if (ESCAPE_SET.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

const std::string& word_class_items() {
  static const std::string items = class_items(WORD_SET, false);
  return items;
}

PatternFacts study_pattern(std::string_view regex) { return Reader(regex).run(); }

std::optional<RequiredLiteral> required_literal(const PatternFacts& facts, bool case_insensitive) {
  if (facts.atoms.empty()) return std::nullopt;
  auto usable = [&](char32_t cp) {
    if (cp == PatternFacts::BREAK) return false;
    if (!case_insensitive) return true;
    if (cp >= 0x80) return false;
    const char c = static_cast<char>(cp | 0x20);
    return c != 'k' && c != 's';
  };
  std::size_t best_at = 0, best_len = 0, best_bytes = 0;
  std::size_t at = 0;
  while (at < facts.atoms.size()) {
    if (!usable(facts.atoms[at])) {
      ++at;
      continue;
    }
    std::size_t end = at, bytes = 0;
    while (end < facts.atoms.size() && usable(facts.atoms[end])) {
      const char32_t cp = facts.atoms[end];
      bytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
      ++end;
    }
    if (bytes > best_bytes) {
      best_at = at;
      best_len = end - at;
      best_bytes = bytes;
    }
    at = end;
  }
  if (best_len == 0) return std::nullopt;
  RequiredLiteral lit;
  for (std::size_t k = best_at; k < best_at + best_len; ++k) append_utf8(lit.bytes, facts.atoms[k]);
  lit.fold_ascii = case_insensitive;
  lit.whole = facts.literal_only && best_len == facts.atoms.size() &&
              lit.bytes.find('\r') == std::string::npos;
  // A short piece of a larger pattern finds too many lines to be worth confirming each.
  if (!lit.whole && lit.bytes.size() < 2) return std::nullopt;
  return lit;
}

}  // namespace nivern_vfs::search
