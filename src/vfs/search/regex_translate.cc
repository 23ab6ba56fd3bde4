// Translation: flags applied, classes resolved to code-point ranges (ICU's USet does
// the set algebra over the generated Unicode tables), case folding made explicit.
#include "vfs/search/regex_translate.h"

#include <unicode/uset.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "vfs/search/regex_bytes.h"
#include "vfs/search/unicode_class.h"

namespace nivern_vfs::regex {
namespace {

// ---- Code-point sets ----
// ICU's USet holds the sets and does their algebra; what the classes contain comes from
// the generated tables (unicode_class.h), never from ICU's own Unicode data.

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

Set set_of(std::span<const unicode::CodeRange> ranges) {
  Set s = empty_set();
  for (const auto& r : ranges) {
    uset_addRange(s.get(), static_cast<UChar32>(r.first), static_cast<UChar32>(r.last));
  }
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

/// Adds every code point that simple case folding makes equal to a member.
void fold(USet* s) {
  std::vector<char32_t> more;
  for (const auto& [lo, hi] : ranges_of(s)) unicode::add_simple_folds(lo, hi, more);
  for (char32_t c : more) uset_add(s, static_cast<UChar32>(c));
}

/// Case folding without Unicode: ASCII letters only.
void fold_ascii(USet* s) {
  for (UChar32 upper = 'A'; upper <= 'Z'; ++upper) {
    if (uset_contains(s, upper) || uset_contains(s, upper + 0x20)) {
      uset_add(s, upper);
      uset_add(s, upper + 0x20);
    }
  }
}

/// Surrogates never occur in UTF-8 text; keeping them out keeps RE2 spellings valid.
void drop_surrogates(USet* s) { uset_removeRange(s, 0xD800, 0xDFFF); }

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
    empty_only_.push_back(matches_only_empty(n));
    hir_.nodes.push_back(std::move(n));
    return static_cast<std::uint32_t>(hir_.nodes.size() - 1);
  }

  /// Whether every match of `n` is empty (assertions and empty pieces only). A piece
  /// that never matches, such as an empty class, does not count.
  [[nodiscard]] bool matches_only_empty(const HirNode& n) const {
    switch (n.kind) {
      case HirKind::empty:
      case HirKind::look:
        return true;
      case HirKind::literal:
      case HirKind::cls:
        return false;
      case HirKind::repeat:
        return n.max == 0 || empty_only_[n.children[0]];
      case HirKind::group:
      case HirKind::concat:
      case HirKind::alternation:
        return std::ranges::all_of(n.children, [&](std::uint32_t c) { return empty_only_[c]; });
    }
    return false;
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

  /// A class node; with `bytes` (Unicode off) `s` is a set of bytes, and one with a byte
  /// above 127 matches single bytes.
  std::uint32_t add_class(USet* s, bool bytes = false) {
    drop_surrogates(s);
    HirNode n;
    n.kind = HirKind::cls;
    if (bytes && !uset_containsNone(s, Set(uset_open(0x80, 0xFF)).get())) {
      n.byte = true;
      hir_.bytes = true;
    }
    n.cls = intern(ranges_of(s));
    return add(std::move(n));
  }

  static void fold_class(USet* s, const Flags& f) {
    if (f.unicode) {
      fold(s);
    } else {
      fold_ascii(s);
    }
  }

  Set perl_set(Perl perl, bool unicode) {
    if (unicode) {
      // Built once; each use takes a copy.
      static const Set digit = set_of(unicode::perl_digit());
      static const Set space = set_of(unicode::perl_space());
      static const Set word = set_of(unicode::perl_word());
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
      uset_complement(s.get());
      if (!f.unicode) uset_retain(s.get(), 0, 0xFF);
    }
    return s;
  }

  Set unicode_class(const Node& n, const Flags& f) {
    if (!f.unicode) {
      fail(n.span, "Unicode not allowed here");
      return empty_set();
    }
    const NodeExtra& e = ast_.extra(n);
    auto [found, ranges] = n.op == UnicodeOp::none ? unicode::named_class(e.name)
                                                   : unicode::valued_class(e.name, e.value);
    if (found == unicode::Lookup::no_property) {
      fail(n.span, "Unicode property not found");
      return empty_set();
    }
    if (found == unicode::Lookup::no_value) {
      fail(n.span, "Unicode property value not found");
      return empty_set();
    }
    Set s = set_of(ranges);
    if (f.case_insensitive) fold(s.get());
    if (n.negated != (n.op == UnicodeOp::not_equal)) uset_complement(s.get());
    return s;
  }

  /// The code point a class literal stands for, or nullopt after reporting it.
  std::optional<char32_t> class_literal(const Node& n, const Flags& f) {
    if (f.unicode || n.c < 0x80) return n.c;
    if (n.hex_byte) return n.c;  // a byte
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
        // Folded before it is negated, so that (?i)[[:^lower:]] holds no letter.
        Set s = ascii_set(n.ascii);
        if (f.case_insensitive) fold_class(s.get(), f);
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
          fold_class(lhs.get(), f);
          fold_class(rhs.get(), f);
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
        if (f.case_insensitive) fold_class(s.get(), f);
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
    const char32_t c = n.c;
    HirNode lit;
    lit.kind = HirKind::literal;
    lit.c = c;
    if (!f.unicode && c >= 0x80 && n.hex_byte) {
      // \xNN above 127 is that byte; other characters match their UTF-8 form.
      lit.byte = true;
      hir_.bytes = true;
      return add(std::move(lit));
    }
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
    return add(std::move(n));
  }

  std::uint32_t assertion(const Node& n, const Flags& f) {
    const bool u = f.unicode;
    switch (n.assertion) {
      case Assertion::start_line:
        if (!f.multi_line) return look(Look::start_text);
        return look(f.crlf ? Look::start_line_crlf : Look::start_line);
      case Assertion::end_line:
        if (!f.multi_line) return look(Look::end_text);
        return look(f.crlf ? Look::end_line_crlf : Look::end_line);
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
    return add_class(s.get(), !f.unicode);
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
        return add_class(perl_class(n, f).get(), !f.unicode);
      case NodeKind::unicode_class:
        return add_class(unicode_class(n, f).get());
      case NodeKind::bracketed:
        return add_class(class_set(i, f).get(), !f.unicode);
      case NodeKind::repetition: {
        HirNode r;
        r.kind = HirKind::repeat;
        r.min = n.min;
        r.max = n.max;
        r.greedy = n.greedy != f.swap_greed;
        const std::uint32_t child = lower(n.children[0], f);
        r.children = {child};
        // Copies of a piece that only matches the empty string add nothing after the
        // first: at most one is kept, which keeps such counts from growing the program.
        if (empty_only_[child]) {
          r.min = std::min<std::uint32_t>(r.min, 1);
          r.max = std::min<std::uint32_t>(r.max, 1);
        }
        return add(std::move(r));
      }
      case NodeKind::group: {
        Flags inner = f;
        if (!n.capturing) apply(inner, ast_.extra(n).flags);
        HirNode g;
        g.kind = HirKind::group;
        g.capture = n.capturing;
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
  /// Per node of `hir_`: whether it matches only the empty string.
  std::vector<bool> empty_only_;
  std::optional<SyntaxError> error_;
};

}  // namespace

bool is_word_char(char32_t c) {
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  }
  return unicode::contains(unicode::perl_word(), c);
}

Ranges non_word_ranges(bool exclude_line_feed) {
  Set s = set_of(unicode::perl_word());
  if (exclude_line_feed) uset_add(s.get(), '\n');
  uset_complement(s.get());
  drop_surrogates(s.get());
  return ranges_of(s.get());
}

std::expected<Hir, SyntaxError> translate(const Ast& ast, std::string_view pattern,
                                          bool case_insensitive) {
  return Translator(ast, pattern).run(case_insensitive);
}

}  // namespace nivern_vfs::regex
