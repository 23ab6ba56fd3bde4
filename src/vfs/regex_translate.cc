#include "vfs/regex_translate.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/uset.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace nivern_vfs::regex {
namespace {

// ---- Code-point sets (ICU) ----

struct SetCloser {
  void operator()(USet* s) const { uset_close(s); }
};
using Set = std::unique_ptr<USet, SetCloser>;

Set empty_set() { return Set(uset_openEmpty()); }

Set set_of(char32_t lo, char32_t hi) {
  return Set(uset_open(static_cast<UChar32>(lo), static_cast<UChar32>(hi)));
}

Set set_from_pattern(const char* pattern) {
  std::u16string text(pattern, pattern + std::char_traits<char>::length(pattern));
  UErrorCode error = U_ZERO_ERROR;
  Set s(uset_openPattern(text.data(), static_cast<std::int32_t>(text.size()), &error));
  assert(U_SUCCESS(error));
  return s;
}

Ranges ranges_of(const USet* s) {
  Ranges out;
  const std::int32_t count = uset_getItemCount(s);
  for (std::int32_t k = 0; k < count; ++k) {
    UChar32 lo = 0, hi = 0;
    UErrorCode error = U_ZERO_ERROR;
    if (uset_getItem(s, k, &lo, &hi, nullptr, 0, &error) != 0) continue;  // a string
    out.emplace_back(static_cast<char32_t>(lo), static_cast<char32_t>(hi));
  }
  return out;
}

void fold(USet* s) {
  uset_closeOver(s, USET_CASE_INSENSITIVE);
  uset_removeAllStrings(s);
}

/// Surrogates never occur in UTF-8 text; keeping them out keeps RE2 spellings valid.
void drop_surrogates(USet* s) { uset_removeRange(s, 0xD800, 0xDFFF); }

constexpr const char* WORD_PATTERN = "[[:Alphabetic:][:M:][:Nd:][:Pc:][:Join_Control:]]";

const Ranges& word_ranges() {
  static const Ranges r = ranges_of(set_from_pattern(WORD_PATTERN).get());
  return r;
}

bool in_ranges(const Ranges& r, char32_t c) {
  auto it = std::upper_bound(r.begin(), r.end(), c,
                             [](char32_t v, const auto& range) { return v < range.first; });
  return it != r.begin() && c <= std::prev(it)->second;
}

// ---- Unicode property names ----

/// Loose form of a property name or value: ASCII only, lower case, without spaces,
/// underscores and hyphens, and without a leading "is".
std::string normalize(std::string_view name) {
  std::size_t start = 0;
  bool starts_with_is = false;
  if (name.size() >= 2 && (name[0] | 0x20) == 'i' && (name[1] | 0x20) == 's') {
    starts_with_is = true;
    start = 2;
  }
  std::string out;
  for (std::size_t i = start; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (b == ' ' || b == '_' || b == '-') continue;
    if (b >= 'A' && b <= 'Z') {
      out += static_cast<char>(b + ('a' - 'A'));
    } else if (b < 0x80) {
      out += static_cast<char>(b);
    }
  }
  // "isc" is the short name of Other (gc=C), not "is" + "c".
  if (starts_with_is && out == "c") out = "isc";
  return out;
}

enum class Lookup { found, no_property, no_value };

Set general_category(std::string_view norm) {
  if (norm == "any") return set_of(0, 0x10FFFF);
  if (norm == "ascii") return set_of(0, 0x7F);
  if (norm == "assigned") {
    Set s = set_from_pattern("[:Cn:]");
    uset_complement(s.get());
    return s;
  }
  const std::string name(norm);
  const std::int32_t mask = u_getPropertyValueEnum(UCHAR_GENERAL_CATEGORY_MASK, name.c_str());
  if (mask == UCHAR_INVALID_CODE) return nullptr;
  Set s = empty_set();
  UErrorCode error = U_ZERO_ERROR;
  uset_applyIntPropertyValue(s.get(), UCHAR_GENERAL_CATEGORY_MASK, mask, &error);
  return U_SUCCESS(error) ? std::move(s) : nullptr;
}

Set int_property(UProperty prop, std::string_view norm) {
  const std::string name(norm);
  const std::int32_t value = u_getPropertyValueEnum(prop, name.c_str());
  if (value == UCHAR_INVALID_CODE) return nullptr;
  Set s = empty_set();
  UErrorCode error = U_ZERO_ERROR;
  uset_applyIntPropertyValue(s.get(), prop, value, &error);
  return U_SUCCESS(error) ? std::move(s) : nullptr;
}

/// \pN or \p{Name}: a binary property, a general category or a script.
std::pair<Lookup, Set> named_class(std::string_view name) {
  const std::string norm = normalize(name);
  if (norm != "cf" && norm != "sc" && norm != "lc") {
    const UProperty prop = u_getPropertyEnum(norm.c_str());
    if (prop != UCHAR_INVALID_CODE) {
      if (prop >= UCHAR_BINARY_START && prop < UCHAR_BINARY_LIMIT) {
        Set s = empty_set();
        UErrorCode error = U_ZERO_ERROR;
        uset_applyIntPropertyValue(s.get(), prop, 1, &error);
        if (U_SUCCESS(error)) return {Lookup::found, std::move(s)};
      }
      return {Lookup::no_property, nullptr};
    }
  }
  if (Set s = general_category(norm)) return {Lookup::found, std::move(s)};
  if (Set s = int_property(UCHAR_SCRIPT, norm)) return {Lookup::found, std::move(s)};
  return {Lookup::no_property, nullptr};
}

/// \p{name=value}.
std::pair<Lookup, Set> valued_class(std::string_view name, std::string_view value) {
  const std::string prop_name = normalize(name);
  const std::string norm = normalize(value);
  if (prop_name == "generalcategory" || prop_name == "gc") {
    if (Set s = general_category(norm)) return {Lookup::found, std::move(s)};
    return {Lookup::no_value, nullptr};
  }
  if (prop_name == "script" || prop_name == "sc") {
    if (Set s = int_property(UCHAR_SCRIPT, norm)) return {Lookup::found, std::move(s)};
    return {Lookup::no_value, nullptr};
  }
  if (prop_name == "scriptextensions" || prop_name == "scx") {
    const std::int32_t code = u_getPropertyValueEnum(UCHAR_SCRIPT, norm.c_str());
    if (code == UCHAR_INVALID_CODE) return {Lookup::no_value, nullptr};
    Set s = empty_set();
    UErrorCode error = U_ZERO_ERROR;
    uset_applyIntPropertyValue(s.get(), UCHAR_SCRIPT_EXTENSIONS, code, &error);
    if (U_FAILURE(error)) return {Lookup::no_value, nullptr};
    return {Lookup::found, std::move(s)};
  }
  const UProperty prop = u_getPropertyEnum(prop_name.c_str());
  if (prop == UCHAR_INVALID_CODE) return {Lookup::no_property, nullptr};
  if (prop == UCHAR_GRAPHEME_CLUSTER_BREAK || prop == UCHAR_WORD_BREAK ||
      prop == UCHAR_SENTENCE_BREAK) {
    if (Set s = int_property(prop, norm)) return {Lookup::found, std::move(s)};
    return {Lookup::no_value, nullptr};
  }
  if (prop == UCHAR_AGE) {
    // Ages are versions such as 6.0 (also written V6_0): every code point assigned by
    // that version.
    std::string version;
    for (char ch : norm) {
      if (ch >= '0' && ch <= '9') version += ch;
    }
    if (version.size() >= 2) {
      const std::string spelled = version.substr(0, version.size() - 1) + "." + version.back();
      Set s = empty_set();
      UErrorCode error = U_ZERO_ERROR;
      const std::u16string prop16 = u"Age";
      std::u16string value16(spelled.begin(), spelled.end());
      uset_applyPropertyAlias(s.get(), prop16.data(), static_cast<std::int32_t>(prop16.size()),
                              value16.data(), static_cast<std::int32_t>(value16.size()), &error);
      if (U_SUCCESS(error) && !uset_isEmpty(s.get())) return {Lookup::found, std::move(s)};
    }
    return {Lookup::no_value, nullptr};
  }
  return {Lookup::no_value, nullptr};
}

// ---- Translation ----

struct Flags {
  bool case_insensitive = false;
  bool multi_line = false;
  bool dot_all = false;
  bool swap_greed = false;
  bool unicode = true;
  bool crlf = false;
};

void apply(Flags& f, const std::vector<FlagItem>& items) {
  bool negated = false;
  for (const auto& item : items) {
    if (item.negation) {
      negated = true;
      continue;
    }
    const bool on = !negated;
    switch (item.flag) {
      case Flag::case_insensitive:
        f.case_insensitive = on;
        break;
      case Flag::multi_line:
        f.multi_line = on;
        break;
      case Flag::dot_all:
        f.dot_all = on;
        break;
      case Flag::swap_greed:
        f.swap_greed = on;
        break;
      case Flag::unicode:
        f.unicode = on;
        break;
      case Flag::crlf:
        f.crlf = on;
        break;
      case Flag::verbose:
        break;
    }
  }
}

class Translator {
 public:
  Translator(const Ast& ast, std::string_view pattern) : ast_(ast), pattern_(pattern) {}

  std::expected<Hir, SyntaxError> run(bool case_insensitive) {
    Flags flags;
    flags.case_insensitive = case_insensitive;
    const std::uint32_t root = lower(ast_.root, flags);
    if (error_) return std::unexpected(std::move(*error_));
    hir_.root = root;
    return std::move(hir_);
  }

 private:
  void fail(const Span& s, std::string description) {
    if (!error_) error_ = SyntaxError{std::string(pattern_), s, std::nullopt, std::move(description)};
  }

  std::uint32_t add(HirNode n) {
    hir_.nodes.push_back(std::move(n));
    return static_cast<std::uint32_t>(hir_.nodes.size() - 1);
  }
  std::uint32_t add_empty() { return add(HirNode{}); }

  /// The index of `r` in the class table, added once however often it is used.
  std::uint32_t intern(Ranges r) {
    auto [it, fresh] = class_index_.try_emplace(std::move(r), 0);
    if (fresh) {
      hir_.classes.push_back(it->first);
      it->second = static_cast<std::uint32_t>(hir_.classes.size() - 1);
    }
    return it->second;
  }

  std::uint32_t add_class(USet* s) {
    drop_surrogates(s);
    HirNode n;
    n.kind = HirKind::cls;
    n.cls = intern(ranges_of(s));
    return add(std::move(n));
  }

  /// A byte class (non-Unicode mode) over 0..255, as the code points it can match in
  /// UTF-8 text: its ASCII part, and every non-ASCII character if it has any byte above
  /// 127.
  static void bytes_to_text(USet* s) {
    const bool high = !uset_containsNone(s, Set(uset_open(0x80, 0xFF)).get());
    uset_retain(s, 0, 0x7F);
    if (high) uset_addRange(s, 0x80, 0x10FFFF);
  }

  Set perl_set(Perl perl, bool unicode) {
    if (unicode) {
      // Built once; each use takes a copy.
      static const Set digit = set_from_pattern("[:Nd:]");
      static const Set space = set_from_pattern("[:White_Space:]");
      static const Set word = set_from_pattern(WORD_PATTERN);
      switch (perl) {
        case Perl::digit:
          return Set(uset_clone(digit.get()));
        case Perl::space:
          return Set(uset_clone(space.get()));
        case Perl::word:
          return Set(uset_clone(word.get()));
      }
    }
    switch (perl) {
      case Perl::digit:
        return set_from_pattern("[0-9]");
      case Perl::space:
        return set_from_pattern("[\\t\\n\\u000B\\f\\r\\ ]");
      case Perl::word:
        return set_from_pattern("[0-9A-Za-z_]");
    }
    return empty_set();
  }

  static Set ascii_set(Ascii kind) {
    switch (kind) {
      case Ascii::alnum:
        return set_from_pattern("[0-9A-Za-z]");
      case Ascii::alpha:
        return set_from_pattern("[A-Za-z]");
      case Ascii::ascii:
        return set_of(0, 0x7F);
      case Ascii::blank:
        return set_from_pattern("[\\t\\ ]");
      case Ascii::cntrl: {
        Set s = set_of(0, 0x1F);
        uset_add(s.get(), 0x7F);
        return s;
      }
      case Ascii::digit:
        return set_from_pattern("[0-9]");
      case Ascii::graph:
        return set_of('!', '~');
      case Ascii::lower:
        return set_from_pattern("[a-z]");
      case Ascii::print:
        return set_of(' ', '~');
      case Ascii::punct: {
        Set s = set_of('!', '/');
        uset_addRange(s.get(), ':', '@');
        uset_addRange(s.get(), '[', '`');
        uset_addRange(s.get(), '{', '~');
        return s;
      }
      case Ascii::space:
        return set_from_pattern("[\\t\\n\\u000B\\f\\r\\ ]");
      case Ascii::upper:
        return set_from_pattern("[A-Z]");
      case Ascii::word:
        return set_from_pattern("[0-9A-Za-z_]");
      case Ascii::xdigit:
        return set_from_pattern("[0-9A-Fa-f]");
    }
    return empty_set();
  }

  /// A Perl class as a set, negation applied (byte semantics when Unicode is off).
  Set perl_class(const Node& n, const Flags& f) {
    Set s = perl_set(n.perl, f.unicode);
    if (n.negated) {
      if (f.unicode) {
        uset_complement(s.get());
      } else {
        uset_complement(s.get());
        uset_retain(s.get(), 0, 0xFF);
        bytes_to_text(s.get());
      }
    }
    return s;
  }

  Set unicode_class(const Node& n, const Flags& f) {
    if (!f.unicode) {
      fail(n.span, "Unicode not allowed here");
      return empty_set();
    }
    const NodeExtra& e = ast_.extra(n);
    auto [found, s] = n.op == UnicodeOp::none ? named_class(e.name) : valued_class(e.name, e.value);
    if (found == Lookup::no_property) {
      fail(n.span, "Unicode property not found");
      return empty_set();
    }
    if (found == Lookup::no_value) {
      fail(n.span, "Unicode property value not found");
      return empty_set();
    }
    uset_removeAllStrings(s.get());
    if (f.case_insensitive) fold(s.get());
    if (n.negated != (n.op == UnicodeOp::not_equal)) uset_complement(s.get());
    return std::move(s);
  }

  /// The code point a class literal stands for, or nullopt after reporting it.
  std::optional<char32_t> class_literal(const Node& n, const Flags& f) {
    if (f.unicode || n.c < 0x80) return n.c;
    if (n.hex_byte) return n.c;  // a byte; mapped to text by bytes_to_text
    fail(n.span, "Unicode not allowed here");
    return std::nullopt;
  }

  /// A bracket class's set (case folding and negation applied).
  Set class_set(std::uint32_t i, const Flags& f) {
    const Node& n = ast_.at(i);
    switch (n.kind) {
      case NodeKind::set_empty:
        return empty_set();
      case NodeKind::literal: {
        auto c = class_literal(n, f);
        return c ? set_of(*c, *c) : empty_set();
      }
      case NodeKind::set_range: {
        auto lo = class_literal(ast_.at(n.children[0]), f);
        auto hi = class_literal(ast_.at(n.children[1]), f);
        return lo && hi ? set_of(*lo, *hi) : empty_set();
      }
      case NodeKind::set_ascii: {
        Set s = ascii_set(n.ascii);
        if (n.negated) {
          uset_complement(s.get());
          if (!f.unicode) uset_retain(s.get(), 0, 0xFF);
        }
        return s;
      }
      case NodeKind::unicode_class:
        return unicode_class(n, f);
      case NodeKind::perl_class:
        return perl_class(n, f);
      case NodeKind::set_union: {
        Set s = empty_set();
        for (std::uint32_t child : n.children) uset_addAll(s.get(), class_set(child, f).get());
        return s;
      }
      case NodeKind::set_binary: {
        Set lhs = class_set(n.children[0], f);
        Set rhs = class_set(n.children[1], f);
        if (f.case_insensitive) {
          fold(lhs.get());
          fold(rhs.get());
        }
        switch (n.set_op) {
          case SetOp::intersection:
            uset_retainAll(lhs.get(), rhs.get());
            break;
          case SetOp::difference:
            uset_removeAll(lhs.get(), rhs.get());
            break;
          case SetOp::symmetric_difference:
            uset_complementAll(lhs.get(), rhs.get());
            break;
        }
        return lhs;
      }
      case NodeKind::bracketed: {
        Set s = class_set(n.children[0], f);
        if (f.case_insensitive) fold(s.get());
        if (n.negated) {
          uset_complement(s.get());
          if (!f.unicode) uset_retain(s.get(), 0, 0xFF);
        }
        return s;
      }
      default:
        assert(false);
        return empty_set();
    }
  }

  std::uint32_t literal(const Node& n, const Flags& f) {
    char32_t c = n.c;
    if (!f.unicode && c >= 0x80) {
      if (!n.hex_byte) {
        fail(n.span, "Unicode not allowed here");
        return add_empty();
      }
      // A lone byte above 127 never matches valid UTF-8 text on its own.
      return add_class(empty_set().get());
    }
    HirNode lit;
    lit.kind = HirKind::literal;
    lit.c = c;
    if (f.case_insensitive) {
      Set s = set_of(c, c);
      if (f.unicode) {
        fold(s.get());
      } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
        uset_add(s.get(), static_cast<UChar32>(c ^ 0x20));
      }
      if (uset_size(s.get()) > 1) {
        drop_surrogates(s.get());
        lit.cls = intern(ranges_of(s.get()));
      }
    }
    return add(std::move(lit));
  }

  std::uint32_t look(Look l) {
    HirNode n;
    n.kind = HirKind::look;
    n.look = l;
    switch (l) {
      case Look::start_text:
      case Look::end_text:
      case Look::start_line:
      case Look::end_line:
      case Look::word_ascii:
      case Look::not_word_ascii:
        break;
      default:
        hir_.needs_exact = true;
    }
    return add(std::move(n));
  }

  std::uint32_t assertion(const Node& n, const Flags& f) {
    const bool u = f.unicode;
    switch (n.assertion) {
      case Assertion::start_line:
        return look(f.multi_line ? Look::start_line : Look::start_text);
      case Assertion::end_line:
        return look(f.multi_line ? Look::end_line : Look::end_text);
      case Assertion::start_text:
        return look(Look::start_text);
      case Assertion::end_text:
        return look(Look::end_text);
      case Assertion::word:
        return look(u ? Look::word_unicode : Look::word_ascii);
      case Assertion::not_word:
        return look(u ? Look::not_word_unicode : Look::not_word_ascii);
      case Assertion::word_start:
      case Assertion::word_start_angle:
        return look(u ? Look::start_word_unicode : Look::start_word_ascii);
      case Assertion::word_end:
      case Assertion::word_end_angle:
        return look(u ? Look::end_word_unicode : Look::end_word_ascii);
      case Assertion::word_start_half:
        return look(u ? Look::start_half_unicode : Look::start_half_ascii);
      case Assertion::word_end_half:
        return look(u ? Look::end_half_unicode : Look::end_half_ascii);
    }
    return add_empty();
  }

  std::uint32_t dot(const Flags& f) {
    Set s = set_of(0, f.unicode ? 0x10FFFF : 0xFF);
    if (!f.dot_all) {
      uset_remove(s.get(), '\n');
      if (f.crlf) uset_remove(s.get(), '\r');
    }
    if (!f.unicode) bytes_to_text(s.get());
    return add_class(s.get());
  }

  /// Lowers node `i` under `f`; a flag group changes `f` for what follows it.
  std::uint32_t lower(std::uint32_t i, Flags& f) {
    const Node& n = ast_.at(i);
    switch (n.kind) {
      case NodeKind::empty:
        return add_empty();
      case NodeKind::set_flags:
        apply(f, ast_.extra(n).flags);
        return add_empty();
      case NodeKind::literal:
        return literal(n, f);
      case NodeKind::dot:
        return dot(f);
      case NodeKind::assertion:
        return assertion(n, f);
      case NodeKind::perl_class:
        return add_class(perl_class(n, f).get());
      case NodeKind::unicode_class:
        return add_class(unicode_class(n, f).get());
      case NodeKind::bracketed:
        return add_class(class_set(i, f).get());
      case NodeKind::repetition: {
        HirNode r;
        r.kind = HirKind::repeat;
        r.min = n.min;
        r.max = n.max;
        r.greedy = n.greedy != f.swap_greed;
        const std::uint32_t child = lower(n.children[0], f);
        r.children = {child};
        return add(std::move(r));
      }
      case NodeKind::group: {
        Flags inner = f;
        if (!n.capturing) apply(inner, ast_.extra(n).flags);
        HirNode g;
        g.kind = HirKind::group;
        const std::uint32_t child = lower(n.children[0], inner);
        g.children = {child};
        return add(std::move(g));
      }
      case NodeKind::alternation:
      case NodeKind::concat: {
        HirNode c;
        c.kind = n.kind == NodeKind::concat ? HirKind::concat : HirKind::alternation;
        for (std::uint32_t child : n.children) {
          const std::uint32_t lowered = lower(child, f);
          c.children.push_back(lowered);
        }
        return add(std::move(c));
      }
      default:
        assert(false);
        return add_empty();
    }
  }

  const Ast& ast_;
  std::string_view pattern_;
  Hir hir_;
  std::map<Ranges, std::uint32_t> class_index_;
  std::optional<SyntaxError> error_;
};

// ---- RE2 spelling ----

void append_char(std::string& out, char32_t c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
    out += static_cast<char>(c);
    return;
  }
  char buf[16];
  const int len = std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(c));
  out.append(buf, static_cast<std::size_t>(len));
}

void append_class(std::string& out, const Ranges& r) {
  if (r.empty()) {
    out += "[^\\x00-\\x{10FFFF}]";
    return;
  }
  // The complement (without surrogates) when it is shorter.
  Ranges complement;
  char32_t next = 0;
  for (const auto& [lo, hi] : r) {
    if (lo > next) complement.emplace_back(next, lo - 1);
    next = hi + 1;
  }
  if (next <= 0x10FFFF) complement.emplace_back(next, 0x10FFFF);
  Ranges trimmed;
  for (auto [lo, hi] : complement) {
    if (lo <= 0xDFFF && hi >= 0xD800) {
      if (lo < 0xD800) trimmed.emplace_back(lo, 0xD7FF);
      if (hi > 0xDFFF) trimmed.emplace_back(0xE000, hi);
    } else {
      trimmed.emplace_back(lo, hi);
    }
  }
  if (trimmed.empty()) {
    out += "(?s:.)";
    return;
  }
  const bool negate = trimmed.size() < r.size();
  const Ranges& items = negate ? trimmed : r;
  out += negate ? "[^" : "[";
  for (const auto& [lo, hi] : items) {
    append_char(out, lo);
    if (hi != lo) {
      out += '-';
      append_char(out, hi);
    }
  }
  out += ']';
}

/// Which nodes hold a counted repetition ({n}, {n,}, {n,m} other than ?, * and +).
std::vector<bool> counted_nodes(const Hir& hir) {
  std::vector<bool> counted(hir.nodes.size(), false);
  // Children come before parents in the node table.
  for (std::size_t i = 0; i < hir.nodes.size(); ++i) {
    const HirNode& n = hir.nodes[i];
    bool c = n.kind == HirKind::repeat && !(n.max == UNBOUNDED && n.min <= 1) &&
             !(n.min == 0 && n.max == 1);
    for (std::uint32_t child : n.children) c = c || counted[child];
    counted[i] = c;
  }
  return counted;
}

/// RE2 refuses counts over 1000, and nested counted repetitions whose product is over
/// 1000: such a repetition is spelled without its counts (a superset) and checked by
/// the exact program.
bool re2_counts(const HirNode& n, const std::vector<bool>& counted) {
  return !counted[n.children[0]] && n.min <= 1000 && (n.max == UNBOUNDED || n.max <= 1000);
}

class Re2Writer {
 public:
  Re2Writer(const Hir& hir, AnchorMode mode) : hir_(hir), mode_(mode), counted_(counted_nodes(hir)) {}

  std::string run(std::size_t* nodes) {
    std::string out;
    write(hir_.root, out);
    if (nodes != nullptr) *nodes = nodes_;
    return out;
  }

 private:
  void write(std::uint32_t i, std::string& out) {
    const HirNode& n = hir_.at(i);
    ++nodes_;
    switch (n.kind) {
      case HirKind::empty:
        out += "(?:)";
        return;
      case HirKind::literal:
        if (n.cls != NO_CLASS) {
          append_class(out, hir_.classes[n.cls]);
        } else {
          append_char(out, n.c);
        }
        return;
      case HirKind::cls:
        append_class(out, hir_.classes[n.cls]);
        return;
      case HirKind::look:
        write_look(n.look, out);
        return;
      case HirKind::repeat:
        write_repeat(n, out);
        return;
      case HirKind::concat:
        out += "(?:";
        for (std::uint32_t child : n.children) write(child, out);
        out += ')';
        return;
      case HirKind::alternation:
        out += "(?:";
        for (std::size_t k = 0; k < n.children.size(); ++k) {
          if (k > 0) out += '|';
          write(n.children[k], out);
        }
        out += ')';
        return;
      case HirKind::group:
        out += "(?:";
        write(n.children[0], out);
        out += ')';
        return;
    }
  }

  void write_look(Look l, std::string& out) const {
    const bool block = mode_ == AnchorMode::block;
    switch (l) {
      case Look::start_text:
        out += block ? "(?m:^)" : "^";
        return;
      case Look::end_text:
        out += block ? "(?m:$)" : "$";
        return;
      case Look::start_line:
        out += "(?m:^)";
        return;
      case Look::end_line:
        out += "(?m:$)";
        return;
      case Look::word_ascii:
        out += "\\b";
        return;
      case Look::not_word_ascii:
        out += "\\B";
        return;
      default:
        // Checked by the exact program; RE2 only finds candidates.
        out += "(?:)";
        return;
    }
  }

  void write_repeat(const HirNode& n, std::string& out) {
    std::string sub = "(?:";
    write(n.children[0], sub);
    sub += ')';
    const std::string_view lazy = n.greedy ? "" : "?";
    if (n.min == 0 && n.max == UNBOUNDED) {
      out += sub + "*" + std::string(lazy);
      return;
    }
    if (n.min == 1 && n.max == UNBOUNDED) {
      out += sub + "+" + std::string(lazy);
      return;
    }
    if (n.min == 0 && n.max == 1) {
      out += sub + "?" + std::string(lazy);
      return;
    }
    if (re2_counts(n, counted_)) {
      out += sub + "{" + std::to_string(n.min);
      if (n.max == UNBOUNDED) {
        out += ",";
      } else if (n.max != n.min) {
        out += "," + std::to_string(n.max);
      }
      out += "}" + std::string(lazy);
      return;
    }
    out += sub + (n.min == 0 ? "*" : "+");
  }

  const Hir& hir_;
  AnchorMode mode_;
  std::vector<bool> counted_;
  std::size_t nodes_ = 0;
};

// ---- Program size ----

/// Sizes saturate here.
constexpr std::uint64_t CAP = std::uint64_t{1} << 62;

/// Bytes charged per transition by the size estimate (per state: STATE_BYTES).
constexpr std::uint64_t TRANSITION_BYTES = 8;

/// The UTF-8 byte-range sequences of a class, as a trie of shared prefixes: its node
/// and edge counts give the class's size.
std::uint64_t class_size(const Ranges& ranges) {
  using Seq = std::vector<std::pair<std::uint8_t, std::uint8_t>>;
  std::set<Seq> prefixes;
  std::uint64_t edges = 0;
  auto encode = [](char32_t c, std::uint8_t* b) {
    if (c < 0x80) {
      b[0] = static_cast<std::uint8_t>(c);
      return 1;
    }
    if (c < 0x800) {
      b[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
      b[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
      return 2;
    }
    if (c < 0x10000) {
      b[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
      b[1] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
      b[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
      return 3;
    }
    b[0] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
    b[1] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
    b[2] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    b[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    return 4;
  };
  // Splits [lo, hi] into ranges whose UTF-8 forms differ only in a trailing run of
  // full continuation bytes, and records each as a byte-range sequence.
  std::vector<std::pair<char32_t, char32_t>> work;
  for (const auto& r : ranges) work.push_back(r);
  while (!work.empty()) {
    auto [lo, hi] = work.back();
    work.pop_back();
    static constexpr char32_t limits[] = {0x7F, 0x7FF, 0xFFFF};
    bool split = false;
    for (char32_t m : limits) {
      if (lo <= m && hi > m) {
        work.emplace_back(lo, m);
        work.emplace_back(m + 1, hi);
        split = true;
        break;
      }
    }
    if (split) continue;
    if (hi >= 0x80) {
      for (int k = 1; k < 4; ++k) {
        const char32_t mask = (char32_t{1} << (6 * k)) - 1;
        if ((lo & ~mask) != (hi & ~mask)) {
          if ((lo & mask) != 0) {
            work.emplace_back(lo, lo | mask);
            work.emplace_back((lo | mask) + 1, hi);
            split = true;
            break;
          }
          if ((hi & mask) != mask) {
            work.emplace_back(lo, (hi & ~mask) - 1);
            work.emplace_back(hi & ~mask, hi);
            split = true;
            break;
          }
        }
      }
      if (split) continue;
    }
    std::uint8_t a[4], b[4];
    const int len = encode(lo, a);
    encode(hi, b);
    Seq seq;
    for (int k = 0; k < len; ++k) {
      seq.emplace_back(a[k], b[k]);
      if (prefixes.insert(seq).second) ++edges;
    }
  }
  // One state per trie node (each with its transitions), plus the class's entry state.
  // The library's automaton also shares common suffixes, which makes large classes
  // about 0.44 times the size of the prefix trie (\w about 24 KB, \pL just over 20 KB).
  return (STATE_BYTES * (prefixes.size() + 1) + TRANSITION_BYTES * edges) * 44 / 100;
}

}  // namespace

bool is_word_char(char32_t c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  }
  return in_ranges(word_ranges(), c);
}

std::string re2_non_word_class(bool exclude_line_feed) {
  Set s = set_from_pattern(WORD_PATTERN);
  if (exclude_line_feed) uset_add(s.get(), '\n');
  uset_complement(s.get());
  drop_surrogates(s.get());
  std::string out;
  append_class(out, ranges_of(s.get()));
  return out;
}

CaseFacts case_facts(const Ast& ast) {
  CaseFacts facts;
  auto literal = [&](char32_t c) {
    facts.any_literal = true;
    if (u_isUUppercase(static_cast<UChar32>(c))) facts.any_uppercase = true;
  };
  std::vector<std::uint32_t> stack{ast.root};
  while (!stack.empty()) {
    const Node& n = ast.at(stack.back());
    stack.pop_back();
    if (n.kind == NodeKind::literal) literal(n.c);
    // Unicode and Perl classes hold no literals; everything else may contain some.
    if (n.kind == NodeKind::unicode_class || n.kind == NodeKind::perl_class) continue;
    for (std::uint32_t child : n.children) stack.push_back(child);
  }
  return facts;
}

std::expected<Hir, SyntaxError> translate(const Ast& ast, std::string_view pattern,
                                          bool case_insensitive) {
  auto hir = Translator(ast, pattern).run(case_insensitive);
  if (hir) {
    const std::vector<bool> counted = counted_nodes(*hir);
    for (const HirNode& n : hir->nodes) {
      if (n.kind == HirKind::repeat && !re2_counts(n, counted)) hir->needs_exact = true;
    }
  }
  return hir;
}

std::string to_re2(const Hir& hir, AnchorMode mode, std::size_t* nodes) {
  return Re2Writer(hir, mode).run(nodes);
}

std::uint64_t program_size(const Hir& hir) {
  // Sizes bottom-up (children precede parents), saturating.
  std::vector<std::uint64_t> size(hir.nodes.size(), 0);
  std::map<std::uint32_t, std::uint64_t> class_sizes;
  auto of_class = [&](std::uint32_t cls) {
    auto [it, fresh] = class_sizes.try_emplace(cls, 0);
    if (fresh) it->second = class_size(hir.classes[cls]);
    return it->second;
  };
  auto add = [](std::uint64_t a, std::uint64_t b) { return std::min(CAP, a + b); };
  auto mul = [](std::uint64_t a, std::uint64_t k) {
    return k != 0 && a > CAP / k ? CAP : std::min(CAP, a * k);
  };
  for (std::size_t i = 0; i < hir.nodes.size(); ++i) {
    const HirNode& n = hir.nodes[i];
    std::uint64_t s = 0;
    switch (n.kind) {
      case HirKind::empty:
      case HirKind::look:
        s = STATE_BYTES;
        break;
      case HirKind::literal:
        s = n.cls != NO_CLASS ? of_class(n.cls) : STATE_BYTES * (n.c < 0x80 ? 1 : n.c < 0x800 ? 2 : n.c < 0x10000 ? 3 : 4);
        break;
      case HirKind::cls:
        s = of_class(n.cls);
        break;
      case HirKind::repeat: {
        const std::uint64_t sub = size[n.children[0]];
        const std::uint64_t loop = STATE_BYTES + 2 * 4;  // a two-way split
        if (n.max == UNBOUNDED) {
          s = add(mul(sub, std::max<std::uint32_t>(n.min, 1)), loop);
        } else {
          s = add(mul(sub, n.max), mul(loop, n.max - n.min));
        }
        break;
      }
      case HirKind::concat:
        for (std::uint32_t child : n.children) s = add(s, size[child]);
        break;
      case HirKind::alternation:
        s = STATE_BYTES + 4 * n.children.size();
        for (std::uint32_t child : n.children) s = add(s, add(size[child], STATE_BYTES));
        break;
      case HirKind::group:
        s = add(size[n.children[0]], 2 * STATE_BYTES);
        break;
    }
    size[i] = s;
  }
  return size[hir.root];
}

LiteralFacts literal_facts(const Hir& hir) {
  LiteralFacts facts;
  bool plain = true;
  auto brk = [&] {
    plain = false;
    facts.atoms.push_back(Atom{0, false, true});
  };
  // Walks the top-level sequence, entering groups.
  auto walk = [&](auto&& self, std::uint32_t i) -> void {
    const HirNode& n = hir.at(i);
    switch (n.kind) {
      case HirKind::empty:
        return;
      case HirKind::literal:
        facts.atoms.push_back(Atom{n.c, n.cls != NO_CLASS, false});
        return;
      case HirKind::group:
        self(self, n.children[0]);
        return;
      case HirKind::concat:
        for (std::uint32_t child : n.children) self(self, child);
        return;
      case HirKind::repeat:
        // With at least one copy, the first follows what precedes it; what comes after
        // the repetition need not follow that copy.
        if (n.min >= 1) self(self, n.children[0]);
        brk();
        return;
      default:
        brk();
        return;
    }
  };
  walk(walk, hir.root);
  facts.literal_only = plain && !facts.atoms.empty() && !hir.needs_exact;
  return facts;
}

}  // namespace nivern_vfs::regex
