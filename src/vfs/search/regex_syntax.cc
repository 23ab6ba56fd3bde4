#include "vfs/search/regex_syntax.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "text/byte_decoders.h"
#include "text/utf8.h"
#include "vfs/search/unicode_class.h"

namespace nivern_vfs::regex {
namespace {

bool is_hex(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return static_cast<int>(c - 'A' + 10);
}

bool is_whitespace(char32_t c) { return unicode::is_white_space(c); }

bool is_alphabetic(char32_t c) { return unicode::is_alphabetic(c); }

bool is_numeric(char32_t c) { return unicode::is_numeric(c); }

bool is_capture_char(char32_t c, bool first) {
  if (first) return c == '_' || is_alphabetic(c);
  return c == '_' || c == '.' || c == '[' || c == ']' || is_alphabetic(c) || is_numeric(c);
}

/// Escapable as itself: meta characters and every other ASCII character that is not a
/// letter, a digit, < or >.
bool is_escapeable(char32_t c) {
  if (is_meta_character(c)) return true;
  if (c >= 0x80) return false;
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return false;
  return c != '<' && c != '>';
}

std::optional<Ascii> ascii_class(std::string_view name) {
  static constexpr std::pair<std::string_view, Ascii> names[] = {
      {"alnum", Ascii::alnum}, {"alpha", Ascii::alpha}, {"ascii", Ascii::ascii},
      {"blank", Ascii::blank}, {"cntrl", Ascii::cntrl}, {"digit", Ascii::digit},
      {"graph", Ascii::graph}, {"lower", Ascii::lower}, {"print", Ascii::print},
      {"punct", Ascii::punct}, {"space", Ascii::space}, {"upper", Ascii::upper},
      {"word", Ascii::word},   {"xdigit", Ascii::xdigit},
  };
  for (const auto& [n, kind] : names) {
    if (n == name) return kind;
  }
  return std::nullopt;
}

/// Raised inside the parser and caught by `parse`; never leaves this file.
struct Failure {
  SyntaxError error;
};

/// A concatenation being built.
struct Concat {
  Span span;
  std::vector<std::uint32_t> asts;
};

/// Items of a bracket class being built.
struct Union {
  Span span;
  std::vector<std::uint32_t> items;
};

struct GroupState {
  bool is_group = true;
  // A group: the concatenation before it, the group node, verbose mode outside it.
  Concat concat;
  std::uint32_t group = NO_NODE;
  bool ignore_whitespace = false;
  // An alternation: its span and branches.
  Span alt_span;
  std::vector<std::uint32_t> alts;
};

struct ClassState {
  bool is_open = true;
  // Open: the union before the nested class, and the class node.
  Union union_;
  std::uint32_t set = NO_NODE;
  // Operator: its kind and left-hand side.
  SetOp op = SetOp::intersection;
  std::uint32_t lhs = NO_NODE;
};

class Parser {
 public:
  explicit Parser(std::string_view pattern) : p_(pattern) {}

  Ast run() {
    Concat concat{span(), {}};
    for (;;) {
      bump_space();
      if (eof()) break;
      switch (ch()) {
        case '(':
          concat = push_group(std::move(concat));
          break;
        case ')':
          concat = pop_group(std::move(concat));
          break;
        case '|':
          concat = push_alternate(std::move(concat));
          break;
        case '[':
          concat.asts.push_back(parse_set_class());
          break;
        case '?':
        case '*':
        case '+':
          concat = parse_uncounted_repetition(std::move(concat));
          break;
        case '{':
          concat = parse_counted_repetition(std::move(concat));
          break;
        default:
          concat.asts.push_back(parse_primitive());
      }
    }
    Ast ast;
    ast.root = pop_group_end(std::move(concat));
    check_nesting(ast.root);
    ast.nodes = std::move(nodes_);
    ast.extras = std::move(extras_);
    return ast;
  }

 private:
  // ---- Position and characters ----

  [[noreturn]] void fail(Span where, std::string description,
                         std::optional<Span> aux = std::nullopt) const {
    throw Failure{SyntaxError{std::string(p_), where, aux, std::move(description)}};
  }

  bool eof() const { return pos_.offset == p_.size(); }
  char32_t ch() const { return char_at(pos_.offset); }
  char32_t char_at(std::size_t i) const { return nivern_text::utf8_at(p_, i); }
  std::size_t char_len(std::size_t i) const {
    return nivern_text::valid_utf8_length(static_cast<unsigned char>(p_[i]));
  }
  Span span() const { return Span{pos_, pos_}; }
  Span span_char() const {
    Position next{static_cast<std::uint32_t>(pos_.offset + char_len(pos_.offset)), pos_.line,
                  pos_.column + 1};
    if (ch() == '\n') {
      next.line += 1;
      next.column = 1;
    }
    return Span{pos_, next};
  }

  /// Moves past the current character; false when the end is reached (or was already).
  bool bump() {
    if (eof()) return false;
    if (ch() == '\n') {
      pos_.line += 1;
      pos_.column = 1;
    } else {
      pos_.column += 1;
    }
    pos_.offset += static_cast<std::uint32_t>(char_len(pos_.offset));
    return !eof();
  }

  bool bump_if(std::string_view prefix) {
    if (p_.substr(pos_.offset).starts_with(prefix)) {
      for (std::size_t i = 0; i < prefix.size(); i += char_len(pos_.offset)) bump();
      return true;
    }
    return false;
  }

  bool bump_and_bump_space() {
    if (!bump()) return false;
    bump_space();
    return !eof();
  }

  /// In verbose mode, skips white space and comments.
  void bump_space() {
    if (!ignore_whitespace_) return;
    while (!eof()) {
      if (is_whitespace(ch())) {
        bump();
      } else if (ch() == '#') {
        bump();
        while (!eof()) {
          const char32_t c = ch();
          bump();
          if (c == '\n') break;
        }
      } else {
        break;
      }
    }
  }

  std::optional<char32_t> peek() const {
    if (eof()) return std::nullopt;
    const std::size_t next = pos_.offset + char_len(pos_.offset);
    if (next >= p_.size()) return std::nullopt;
    return char_at(next);
  }

  std::optional<char32_t> peek_space() const {
    if (!ignore_whitespace_) return peek();
    if (eof()) return std::nullopt;
    std::size_t i = pos_.offset + char_len(pos_.offset);
    bool in_comment = false;
    while (i < p_.size()) {
      const char32_t c = char_at(i);
      if (is_whitespace(c)) {
      } else if (!in_comment && c == '#') {
        in_comment = true;
      } else if (in_comment && c == '\n') {
        in_comment = false;
      } else {
        break;
      }
      i += char_len(i);
    }
    if (i >= p_.size()) return std::nullopt;
    return char_at(i);
  }

  // ---- Nodes ----

  std::uint32_t add(Node node) {
    nodes_.push_back(std::move(node));
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }
  std::uint32_t add(NodeKind kind, Span s) {
    Node n;
    n.kind = kind;
    n.span = s;
    return add(std::move(n));
  }
  Node& node(std::uint32_t i) { return nodes_[i]; }
  std::uint32_t add_extra(NodeExtra e) {
    extras_.push_back(std::move(e));
    return static_cast<std::uint32_t>(extras_.size() - 1);
  }
  const std::vector<FlagItem>& flags_of(std::uint32_t i) {
    static const std::vector<FlagItem> none;
    return node(i).extra == NO_NODE ? none : extras_[node(i).extra].flags;
  }

  std::uint32_t concat_into_ast(Concat c) {
    if (c.asts.empty()) return add(NodeKind::empty, c.span);
    if (c.asts.size() == 1) return c.asts[0];
    Node n;
    n.kind = NodeKind::concat;
    n.span = c.span;
    n.children = std::move(c.asts);
    return add(std::move(n));
  }

  std::uint32_t alternation_into_ast(Span s, std::vector<std::uint32_t> alts) {
    if (alts.empty()) return add(NodeKind::empty, s);
    if (alts.size() == 1) return alts[0];
    Node n;
    n.kind = NodeKind::alternation;
    n.span = s;
    n.children = std::move(alts);
    return add(std::move(n));
  }

  // ---- Groups and alternation ----

  Concat push_alternate(Concat concat) {
    concat.span.end = pos_;
    push_or_add_alternation(std::move(concat));
    bump();
    return Concat{span(), {}};
  }

  void push_or_add_alternation(Concat concat) {
    const Position start = concat.span.start;
    const std::uint32_t branch = concat_into_ast(std::move(concat));
    if (!groups_.empty() && !groups_.back().is_group) {
      groups_.back().alts.push_back(branch);
      return;
    }
    GroupState alt;
    alt.is_group = false;
    alt.alt_span = Span{start, pos_};
    alt.alts.push_back(branch);
    groups_.push_back(std::move(alt));
  }

  Concat push_group(Concat concat) {
    bool is_flags = false;
    const std::uint32_t g = parse_group(is_flags);
    if (is_flags) {
      if (auto v = flag_state(flags_of(g), Flag::verbose)) ignore_whitespace_ = *v;
      concat.asts.push_back(g);
      return concat;
    }
    const bool old = ignore_whitespace_;
    bool now = old;
    if (!node(g).capturing) {
      if (auto v = flag_state(flags_of(g), Flag::verbose)) now = *v;
    }
    GroupState state;
    state.concat = std::move(concat);
    state.group = g;
    state.ignore_whitespace = old;
    groups_.push_back(std::move(state));
    ignore_whitespace_ = now;
    return Concat{span(), {}};
  }

  Concat pop_group(Concat group_concat) {
    if (groups_.empty()) fail(span_char(), "unopened group");
    GroupState top = std::move(groups_.back());
    groups_.pop_back();
    std::optional<GroupState> alt;
    if (!top.is_group) {
      if (groups_.empty() || !groups_.back().is_group) fail(span_char(), "unopened group");
      alt = std::move(top);
      top = std::move(groups_.back());
      groups_.pop_back();
    }
    ignore_whitespace_ = top.ignore_whitespace;
    group_concat.span.end = pos_;
    bump();
    Node& g = node(top.group);
    g.span.end = pos_;
    std::uint32_t child;
    if (alt) {
      alt->alt_span.end = group_concat.span.end;
      alt->alts.push_back(concat_into_ast(std::move(group_concat)));
      child = alternation_into_ast(alt->alt_span, std::move(alt->alts));
    } else {
      child = concat_into_ast(std::move(group_concat));
    }
    node(top.group).children = {child};
    top.concat.asts.push_back(top.group);
    return std::move(top.concat);
  }

  std::uint32_t pop_group_end(Concat concat) {
    concat.span.end = pos_;
    std::uint32_t result;
    if (groups_.empty()) {
      result = concat_into_ast(std::move(concat));
    } else if (!groups_.back().is_group) {
      GroupState alt = std::move(groups_.back());
      groups_.pop_back();
      alt.alt_span.end = pos_;
      alt.alts.push_back(concat_into_ast(std::move(concat)));
      Node n;
      n.kind = NodeKind::alternation;
      n.span = alt.alt_span;
      n.children = std::move(alt.alts);
      result = add(std::move(n));
    } else {
      fail(node(groups_.back().group).span, "unclosed group");
    }
    if (!groups_.empty()) {
      assert(groups_.back().is_group);
      fail(node(groups_.back().group).span, "unclosed group");
    }
    return result;
  }

  static std::optional<bool> flag_state(const std::vector<FlagItem>& items, Flag flag) {
    bool negated = false;
    for (const auto& item : items) {
      if (item.negation) {
        negated = true;
      } else if (item.flag == flag) {
        return !negated;
      }
    }
    return std::nullopt;
  }

  /// A group or a flag group at `(`; `is_flags` tells which.
  std::uint32_t parse_group(bool& is_flags) {
    const Span open = span_char();
    bump();
    bump_space();
    if (bump_if("?=") || bump_if("?!") || bump_if("?<=") || bump_if("?<!")) {
      fail(Span{open.start, pos_},
           "look-around, including look-ahead and look-behind, is not supported");
    }
    const Span inner = span();
    bool named = bump_if("?P<");
    if (!named) named = bump_if("?<");
    if (named) {
      next_capture_index(open);
      Node g;
      g.kind = NodeKind::group;
      g.span = open;
      g.capturing = true;
      g.extra = add_extra(NodeExtra{parse_capture_name(), {}, {}});
      return add(std::move(g));
    }
    if (bump_if("?")) {
      if (eof()) fail(open, "unclosed group");
      std::vector<FlagItem> flags = parse_flags();
      const char32_t end = ch();
      bump();
      if (end == ')') {
        if (flags.empty()) fail(inner, "repetition operator missing expression");
        is_flags = true;
        Node n;
        n.kind = NodeKind::set_flags;
        n.span = Span{open.start, pos_};
        n.extra = add_extra(NodeExtra{{}, {}, std::move(flags)});
        return add(std::move(n));
      }
      Node g;
      g.kind = NodeKind::group;
      g.span = open;
      g.extra = add_extra(NodeExtra{{}, {}, std::move(flags)});
      return add(std::move(g));
    }
    next_capture_index(open);
    Node g;
    g.kind = NodeKind::group;
    g.span = open;
    g.capturing = true;
    return add(std::move(g));
  }

  void next_capture_index(Span open) {
    if (capture_index_ == 0xFFFFFFFF) {
      fail(open, "exceeded the maximum number of capturing groups (4294967295)");
    }
    ++capture_index_;
  }

  std::string parse_capture_name() {
    if (eof()) fail(span(), "unclosed capture group name");
    const Position start = pos_;
    for (;;) {
      if (ch() == '>') break;
      if (!is_capture_char(ch(), pos_.offset == start.offset)) {
        fail(span_char(), "invalid capture group character");
      }
      if (!bump()) break;
    }
    const Position end = pos_;
    if (eof()) fail(span(), "unclosed capture group name");
    bump();
    std::string name(p_.substr(start.offset, end.offset - start.offset));
    if (name.empty()) fail(Span{start, start}, "empty capture group name");
    const Span name_span{start, end};
    auto it = std::lower_bound(names_.begin(), names_.end(), name,
                               [](const auto& entry, const std::string& n) { return entry.first < n; });
    if (it != names_.end() && it->first == name) {
      fail(name_span, "duplicate capture group name", it->second);
    }
    names_.insert(it, {name, name_span});
    return name;
  }

  std::vector<FlagItem> parse_flags() {
    std::vector<FlagItem> items;
    std::optional<Span> last_negation;
    auto add_item = [&](FlagItem item) -> std::optional<Span> {
      for (const auto& x : items) {
        if (x.negation == item.negation && (item.negation || x.flag == item.flag)) return x.span;
      }
      items.push_back(item);
      return std::nullopt;
    };
    while (ch() != ':' && ch() != ')') {
      if (ch() == '-') {
        last_negation = span_char();
        if (auto original = add_item(FlagItem{span_char(), true, Flag::case_insensitive})) {
          fail(span_char(), "flag negation operator repeated", original);
        }
      } else {
        last_negation.reset();
        const Flag flag = parse_flag();
        if (auto original = add_item(FlagItem{span_char(), false, flag})) {
          fail(span_char(), "duplicate flag", original);
        }
      }
      if (!bump()) fail(span(), "expected flag but got end of regex");
    }
    if (last_negation) fail(*last_negation, "dangling flag negation operator");
    return items;
  }

  Flag parse_flag() {
    switch (ch()) {
      case 'i':
        return Flag::case_insensitive;
      case 'm':
        return Flag::multi_line;
      case 's':
        return Flag::dot_all;
      case 'U':
        return Flag::swap_greed;
      case 'u':
        return Flag::unicode;
      case 'R':
        return Flag::crlf;
      case 'x':
        return Flag::verbose;
      default:
        fail(span_char(), "unrecognized flag");
    }
  }

  // ---- Repetitions ----

  std::uint32_t take_repeated(Concat& concat) {
    if (concat.asts.empty()) fail(span(), "repetition operator missing expression");
    const std::uint32_t last = concat.asts.back();
    const NodeKind kind = node(last).kind;
    if (kind == NodeKind::empty || kind == NodeKind::set_flags) {
      fail(span(), "repetition operator missing expression");
    }
    concat.asts.pop_back();
    return last;
  }

  Concat parse_uncounted_repetition(Concat concat) {
    const char32_t op = ch();
    const std::uint32_t sub = take_repeated(concat);
    bool greedy = true;
    if (bump() && ch() == '?') {
      greedy = false;
      bump();
    }
    Node r;
    r.kind = NodeKind::repetition;
    r.span = Span{node(sub).span.start, pos_};
    r.min = op == '+' ? 1 : 0;
    r.max = op == '?' ? 1 : UNBOUNDED;
    r.greedy = greedy;
    r.children = {sub};
    concat.asts.push_back(add(std::move(r)));
    return concat;
  }

  /// A decimal number, white space around it skipped. On failure `empty` tells whether
  /// there were no digits at all; `where` is the digits' span.
  std::optional<std::uint32_t> parse_decimal(bool& empty, Span& where) {
    while (!eof() && is_whitespace(ch())) bump();
    const Position start = pos_;
    std::uint64_t value = 0;
    bool overflow = false;
    std::size_t digits = 0;
    while (!eof() && ch() >= '0' && ch() <= '9') {
      value = value * 10 + (ch() - '0');
      if (value > 0xFFFFFFFFull) overflow = true;
      ++digits;
      bump_and_bump_space();
    }
    where = Span{start, pos_};
    while (!eof() && is_whitespace(ch())) bump_and_bump_space();
    empty = digits == 0;
    if (digits == 0 || overflow) return std::nullopt;
    return static_cast<std::uint32_t>(value);
  }

  // Fails on the decimal that `parse_decimal` refused.
  [[noreturn]] void decimal_error(bool empty, Span where) {
    fail(where, empty ? "repetition quantifier expects a valid decimal" : "decimal literal invalid");
  }

  Concat parse_counted_repetition(Concat concat) {
    const Position start = pos_;
    const std::uint32_t sub = take_repeated(concat);
    if (!bump_and_bump_space()) fail(Span{start, pos_}, "unclosed counted repetition");
    bool first_empty = false;
    Span first_span;
    const auto first = parse_decimal(first_empty, first_span);
    if (eof()) fail(Span{start, pos_}, "unclosed counted repetition");
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    if (ch() == ',') {
      if (!bump_and_bump_space()) fail(Span{start, pos_}, "unclosed counted repetition");
      if (ch() != '}') {
        if (!first) decimal_error(first_empty, first_span);
        bool second_empty = false;
        Span second_span;
        const auto second = parse_decimal(second_empty, second_span);
        if (!second) decimal_error(second_empty, second_span);
        min = *first;
        max = *second;
      } else {
        if (!first) decimal_error(first_empty, first_span);
        min = *first;
        max = UNBOUNDED;
      }
    } else {
      if (!first) decimal_error(first_empty, first_span);
      min = max = *first;
    }
    if (eof() || ch() != '}') fail(Span{start, pos_}, "unclosed counted repetition");
    bool greedy = true;
    if (bump_and_bump_space() && ch() == '?') {
      greedy = false;
      bump();
    }
    const Span op_span{start, pos_};
    if (max != UNBOUNDED && min > max) {
      fail(op_span, "invalid repetition count range, the start must be <= the end");
    }
    Node r;
    r.kind = NodeKind::repetition;
    r.span = Span{node(sub).span.start, pos_};
    r.min = min;
    r.max = max;
    r.greedy = greedy;
    r.children = {sub};
    concat.asts.push_back(add(std::move(r)));
    return concat;
  }

  // ---- Primitives and escapes ----

  std::uint32_t literal(Span s, char32_t c, bool hex_byte = false) {
    Node n;
    n.kind = NodeKind::literal;
    n.span = s;
    n.c = c;
    n.hex_byte = hex_byte;
    return add(std::move(n));
  }

  std::uint32_t assertion(Span s, Assertion a) {
    Node n;
    n.kind = NodeKind::assertion;
    n.span = s;
    n.assertion = a;
    return add(std::move(n));
  }

  std::uint32_t parse_primitive() {
    switch (ch()) {
      case '\\':
        return parse_escape();
      case '.': {
        const auto n = add(NodeKind::dot, span_char());
        bump();
        return n;
      }
      case '^': {
        const auto n = assertion(span_char(), Assertion::start_line);
        bump();
        return n;
      }
      case '$': {
        const auto n = assertion(span_char(), Assertion::end_line);
        bump();
        return n;
      }
      default: {
        const auto n = literal(span_char(), ch());
        bump();
        return n;
      }
    }
  }

  std::uint32_t parse_escape() {
    const Position start = pos_;
    if (!bump()) {
      fail(Span{start, pos_}, "incomplete escape sequence, reached end of pattern prematurely");
    }
    const char32_t c = ch();
    if (c >= '0' && c <= '9') fail(Span{start, span_char().end}, "backreferences are not supported");
    if (c == 'x' || c == 'u' || c == 'U') {
      const std::uint32_t n = parse_hex();
      node(n).span.start = start;
      return n;
    }
    if (c == 'p' || c == 'P') {
      const std::uint32_t n = parse_unicode_class();
      node(n).span.start = start;
      return n;
    }
    if (c == 'd' || c == 's' || c == 'w' || c == 'D' || c == 'S' || c == 'W') {
      Node n;
      n.kind = NodeKind::perl_class;
      n.span = Span{start, span_char().end};
      n.negated = c == 'D' || c == 'S' || c == 'W';
      n.perl = (c == 'd' || c == 'D') ? Perl::digit : (c == 's' || c == 'S') ? Perl::space : Perl::word;
      bump();
      return add(std::move(n));
    }
    bump();
    const Span s{start, pos_};
    if (is_escapeable(c)) return literal(s, c);
    switch (c) {
      case 'a':
        return literal(s, 0x07);
      case 'f':
        return literal(s, 0x0C);
      case 't':
        return literal(s, '\t');
      case 'n':
        return literal(s, '\n');
      case 'r':
        return literal(s, '\r');
      case 'v':
        return literal(s, 0x0B);
      case 'A':
        return assertion(s, Assertion::start_text);
      case 'z':
        return assertion(s, Assertion::end_text);
      case 'b': {
        const std::uint32_t n = assertion(s, Assertion::word);
        if (!eof() && ch() == '{') {
          if (auto kind = maybe_parse_special_word_boundary(start)) {
            node(n).assertion = *kind;
            node(n).span.end = pos_;
          }
        }
        return n;
      }
      case 'B':
        return assertion(s, Assertion::not_word);
      case '<':
        return assertion(s, Assertion::word_start_angle);
      case '>':
        return assertion(s, Assertion::word_end_angle);
      default:
        fail(s, "unrecognized escape sequence");
    }
  }

  std::optional<Assertion> maybe_parse_special_word_boundary(Position wb_start) {
    auto valid = [](char32_t c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
    };
    const Position start = pos_;
    if (!bump_and_bump_space()) {
      fail(Span{wb_start, pos_},
           "found either the beginning of a special word boundary or a bounded repetition on "
           "a \\b with an opening brace, but no closing brace");
    }
    const Position contents = pos_;
    if (!valid(ch())) {
      pos_ = start;
      return std::nullopt;
    }
    std::string word;
    while (!eof() && valid(ch())) {
      word += static_cast<char>(ch());
      bump_and_bump_space();
    }
    if (eof() || ch() != '}') {
      fail(Span{start, pos_},
           "special word boundary assertion is either unclosed or contains an invalid character");
    }
    const Position end = pos_;
    bump();
    if (word == "start") return Assertion::word_start;
    if (word == "end") return Assertion::word_end;
    if (word == "start-half") return Assertion::word_start_half;
    if (word == "end-half") return Assertion::word_end_half;
    fail(Span{contents, end},
         "unrecognized special word boundary assertion, valid choices are: start, end, "
         "start-half or end-half");
  }

  std::uint32_t parse_hex() {
    const char32_t kind = ch();
    if (!bump_and_bump_space()) {
      fail(span(), "incomplete escape sequence, reached end of pattern prematurely");
    }
    return ch() == '{' ? parse_hex_brace() : parse_hex_digits(kind == 'x' ? 2 : kind == 'u' ? 4 : 8, kind == 'x');
  }

  static bool scalar(std::uint64_t v) { return v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF); }

  std::uint32_t parse_hex_digits(int digits, bool is_x) {
    const Position start = pos_;
    std::uint64_t value = 0;
    for (int i = 0; i < digits; ++i) {
      if (i > 0 && !bump_and_bump_space()) {
        fail(span(), "incomplete escape sequence, reached end of pattern prematurely");
      }
      if (!is_hex(ch())) fail(span_char(), "invalid hexadecimal digit");
      value = value * 16 + static_cast<std::uint64_t>(hex_value(ch()));
    }
    bump_and_bump_space();
    const Span s{start, pos_};
    if (!scalar(value)) fail(s, "hexadecimal literal is not a Unicode scalar value");
    return literal(s, static_cast<char32_t>(value), is_x);
  }

  std::uint32_t parse_hex_brace() {
    const Position brace = pos_;
    const Position start = span_char().end;
    std::uint64_t value = 0;
    bool any = false;
    bool too_big = false;
    while (bump_and_bump_space() && ch() != '}') {
      if (!is_hex(ch())) fail(span_char(), "invalid hexadecimal digit");
      value = value * 16 + static_cast<std::uint64_t>(hex_value(ch()));
      if (value > 0xFFFFFFFFull) too_big = true;
      any = true;
    }
    if (eof()) {
      fail(Span{brace, pos_}, "incomplete escape sequence, reached end of pattern prematurely");
    }
    const Position end = pos_;
    bump_and_bump_space();
    if (!any) fail(Span{brace, pos_}, "hexadecimal literal empty");
    if (too_big || !scalar(value)) {
      fail(Span{start, end}, "hexadecimal literal is not a Unicode scalar value");
    }
    return literal(Span{start, pos_}, static_cast<char32_t>(value));
  }

  std::uint32_t parse_unicode_class() {
    const bool negated = ch() == 'P';
    if (!bump_and_bump_space()) {
      fail(span(), "incomplete escape sequence, reached end of pattern prematurely");
    }
    Node n;
    n.kind = NodeKind::unicode_class;
    n.negated = negated;
    NodeExtra e;
    Position start;
    if (ch() == '{') {
      start = span_char().end;
      std::string text;
      while (bump_and_bump_space() && ch() != '}') {
        nivern_text::append_utf8(text, ch());
      }
      if (eof()) fail(span(), "incomplete escape sequence, reached end of pattern prematurely");
      bump();
      if (auto i = text.find("!="); i != std::string::npos) {
        n.op = UnicodeOp::not_equal;
        e.name = text.substr(0, i);
        e.value = text.substr(i + 2);
      } else if (auto j = text.find(':'); j != std::string::npos) {
        n.op = UnicodeOp::equal;
        e.name = text.substr(0, j);
        e.value = text.substr(j + 1);
      } else if (auto k = text.find('='); k != std::string::npos) {
        n.op = UnicodeOp::equal;
        e.name = text.substr(0, k);
        e.value = text.substr(k + 1);
      } else {
        e.name = std::move(text);
      }
    } else {
      start = pos_;
      const char32_t c = ch();
      if (c == '\\') fail(span_char(), "invalid Unicode character class");
      bump_and_bump_space();
      nivern_text::append_utf8(e.name, c);
    }
    n.span = Span{start, pos_};
    n.extra = add_extra(std::move(e));
    return add(std::move(n));
  }

  // ---- Bracket classes ----

  void union_push(Union& u, std::uint32_t item) {
    if (u.items.empty()) u.span.start = node(item).span.start;
    u.span.end = node(item).span.end;
    u.items.push_back(item);
  }

  std::uint32_t union_into_item(Union u) {
    if (u.items.empty()) return add(NodeKind::set_empty, u.span);
    if (u.items.size() == 1) return u.items[0];
    Node n;
    n.kind = NodeKind::set_union;
    n.span = u.span;
    n.children = std::move(u.items);
    return add(std::move(n));
  }

  [[noreturn]] void unclosed_class() {
    for (auto it = classes_.rbegin(); it != classes_.rend(); ++it) {
      if (it->is_open) fail(node(it->set).span, "unclosed character class");
    }
    assert(false);
    std::abort();
  }

  std::uint32_t parse_set_class() {
    Union u{span(), {}};
    for (;;) {
      bump_space();
      if (eof()) unclosed_class();
      const char32_t c = ch();
      if (c == '[') {
        if (!classes_.empty()) {
          if (auto ascii = maybe_parse_ascii_class()) {
            union_push(u, *ascii);
            continue;
          }
        }
        u = push_class_open(std::move(u));
      } else if (c == ']') {
        bool done = false;
        const std::uint32_t result = pop_class(u, done);
        if (done) return result;
      } else if (c == '&' && peek() == U'&') {
        bump_if("&&");
        u = push_class_op(SetOp::intersection, std::move(u));
      } else if (c == '-' && peek() == U'-') {
        bump_if("--");
        u = push_class_op(SetOp::difference, std::move(u));
      } else if (c == '~' && peek() == U'~') {
        bump_if("~~");
        u = push_class_op(SetOp::symmetric_difference, std::move(u));
      } else {
        union_push(u, parse_set_class_range());
      }
    }
  }

  std::uint32_t set_item_check(std::uint32_t prim) {
    const NodeKind k = node(prim).kind;
    if (k == NodeKind::literal || k == NodeKind::perl_class || k == NodeKind::unicode_class) {
      return prim;
    }
    fail(node(prim).span, "invalid escape sequence found in character class");
  }

  std::uint32_t class_literal_check(std::uint32_t prim) {
    if (node(prim).kind != NodeKind::literal) {
      fail(node(prim).span, "invalid range boundary, must be a literal");
    }
    return prim;
  }

  std::uint32_t parse_set_class_range() {
    const std::uint32_t first = parse_set_class_item();
    bump_space();
    if (eof()) unclosed_class();
    if (ch() != '-' || peek_space() == U']' || peek_space() == U'-') return set_item_check(first);
    if (!bump_and_bump_space()) unclosed_class();
    const std::uint32_t second = parse_set_class_item();
    const Span s{node(first).span.start, node(second).span.end};
    class_literal_check(first);
    class_literal_check(second);
    if (node(first).c > node(second).c) {
      fail(s, "invalid character class range, the start must be <= the end");
    }
    Node r;
    r.kind = NodeKind::set_range;
    r.span = s;
    r.children = {first, second};
    return add(std::move(r));
  }

  std::uint32_t parse_set_class_item() {
    if (ch() == '\\') return parse_escape();
    const auto n = literal(span_char(), ch());
    bump();
    return n;
  }

  /// The opening of a class at `[`: its node, and the union started with a leading `]`
  /// or `-` taken literally.
  std::pair<std::uint32_t, Union> parse_set_class_open() {
    const Position start = pos_;
    if (!bump_and_bump_space()) fail(Span{start, pos_}, "unclosed character class");
    bool negated = false;
    if (ch() == '^') {
      negated = true;
      if (!bump_and_bump_space()) fail(Span{start, pos_}, "unclosed character class");
    }
    Union u{span(), {}};
    while (ch() == '-') {
      union_push(u, literal(span_char(), '-'));
      if (!bump_and_bump_space()) fail(Span{start, start}, "unclosed character class");
    }
    if (u.items.empty() && ch() == ']') {
      union_push(u, literal(span_char(), ']'));
      if (!bump_and_bump_space()) fail(Span{start, pos_}, "unclosed character class");
    }
    Node set;
    set.kind = NodeKind::bracketed;
    set.span = Span{start, pos_};
    set.negated = negated;
    return {add(std::move(set)), std::move(u)};
  }

  Union push_class_open(Union parent) {
    auto [set, nested] = parse_set_class_open();
    ClassState state;
    state.union_ = std::move(parent);
    state.set = set;
    classes_.push_back(std::move(state));
    return std::move(nested);
  }

  std::uint32_t pop_class_op(std::uint32_t rhs) {
    if (classes_.empty() || classes_.back().is_open) return rhs;
    ClassState op = std::move(classes_.back());
    classes_.pop_back();
    Node n;
    n.kind = NodeKind::set_binary;
    n.span = Span{node(op.lhs).span.start, node(rhs).span.end};
    n.set_op = op.op;
    n.children = {op.lhs, rhs};
    return add(std::move(n));
  }

  Union push_class_op(SetOp kind, Union u) {
    const std::uint32_t lhs = pop_class_op(union_into_item(std::move(u)));
    ClassState state;
    state.is_open = false;
    state.op = kind;
    state.lhs = lhs;
    classes_.push_back(std::move(state));
    return Union{span(), {}};
  }

  /// At `]`: closes the innermost class. Returns the outermost class node with `done`
  /// set, or nothing useful (the class went into the enclosing union, now in `u`).
  std::uint32_t pop_class(Union& u, bool& done) {
    const std::uint32_t set = pop_class_op(union_into_item(std::move(u)));
    assert(!classes_.empty() && classes_.back().is_open);
    ClassState open = std::move(classes_.back());
    classes_.pop_back();
    bump();
    Node& b = node(open.set);
    b.span.end = pos_;
    b.children = {set};
    if (classes_.empty()) {
      done = true;
      return open.set;
    }
    union_push(open.union_, open.set);
    u = std::move(open.union_);
    return NO_NODE;
  }

  std::optional<std::uint32_t> maybe_parse_ascii_class() {
    const Position start = pos_;
    auto back = [&] {
      pos_ = start;
      return std::nullopt;
    };
    if (!bump() || ch() != ':') return back();
    if (!bump()) return back();
    bool negated = false;
    if (ch() == '^') {
      negated = true;
      if (!bump()) return back();
    }
    const std::size_t name_start = pos_.offset;
    while (ch() != ':' && bump()) {
    }
    if (eof()) return back();
    const std::string_view name = p_.substr(name_start, pos_.offset - name_start);
    if (!bump_if(":]")) return back();
    const auto kind = ascii_class(name);
    if (!kind) return back();
    Node n;
    n.kind = NodeKind::set_ascii;
    n.span = Span{start, pos_};
    n.ascii = *kind;
    n.negated = negated;
    return add(std::move(n));
  }

  // ---- Nesting ----

  [[noreturn]] void too_deep(Span where) const {
    fail(where, "exceed the maximum number of nested parentheses/brackets (" +
                    std::to_string(NEST_LIMIT) + ")");
  }

  /// The depth check over the finished tree, in the order a recursive visit would make
  /// it, without recursing.
  void check_nesting(std::uint32_t root) {
    struct Frame {
      std::uint32_t node;
      std::size_t next_child;
    };
    auto counts = [&](const Node& n) {
      switch (n.kind) {
        case NodeKind::bracketed:
        case NodeKind::repetition:
        case NodeKind::group:
        case NodeKind::alternation:
        case NodeKind::concat:
        case NodeKind::set_union:
        case NodeKind::set_binary:
          return true;
        default:
          return false;
      }
    };
    std::vector<Frame> stack;
    std::uint32_t depth = 0;
    auto enter = [&](std::uint32_t i) {
      const Node& n = node(i);
      if (counts(n)) {
        if (depth + 1 > NEST_LIMIT) too_deep(n.span);
        ++depth;
      }
      stack.push_back(Frame{i, 0});
    };
    enter(root);
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Node& n = node(f.node);
      // A range's ends are literals and add no depth.
      if (n.kind != NodeKind::set_range && f.next_child < n.children.size()) {
        const std::uint32_t child = n.children[f.next_child++];
        enter(child);
        continue;
      }
      if (counts(n)) --depth;
      stack.pop_back();
    }
  }

  std::string_view p_;
  Position pos_;
  bool ignore_whitespace_ = false;
  std::uint32_t capture_index_ = 0;
  std::deque<Node> nodes_;
  std::vector<NodeExtra> extras_;
  std::vector<GroupState> groups_;
  std::vector<ClassState> classes_;
  std::vector<std::pair<std::string, Span>> names_;  // sorted by name
};

/// The pattern's lines as the notation shows them: split at line feeds, a carriage
/// return before a line feed dropped.
std::vector<std::string_view> pattern_lines(std::string_view p) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at < p.size()) {
    std::size_t lf = p.find('\n', at);
    std::string_view line = p.substr(at, lf == std::string_view::npos ? p.size() - at : lf - at);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    at = lf + 1;
  }
  return lines;
}

}  // namespace

bool is_meta_character(char32_t c) {
  switch (c) {
    case '\\': case '.': case '+': case '*': case '?': case '(': case ')': case '|':
    case '[': case ']': case '{': case '}': case '^': case '$': case '#': case '&':
    case '-': case '~':
      return true;
    default:
      return false;
  }
}

std::expected<Ast, SyntaxError> parse(std::string_view pattern) {
  assert(nivern_text::is_valid_utf8(pattern));
  try {
    return Parser(pattern).run();
  } catch (Failure& f) {
    return std::unexpected(std::move(f.error));
  }
}

std::string format_error(const SyntaxError& error) {
  const std::string_view p = error.pattern;
  const std::vector<std::string_view> lines = pattern_lines(p);
  std::size_t line_count = lines.size();
  if (p.ends_with('\n')) line_count += 1;
  const std::size_t width = line_count <= 1 ? 0 : std::to_string(line_count).size();

  std::vector<std::vector<Span>> by_line(line_count);
  std::vector<Span> multi_line;
  auto add_span = [&](const Span& s) {
    auto before = [](const Span& a, const Span& b) {
      return std::pair(a.start.offset, a.end.offset) < std::pair(b.start.offset, b.end.offset);
    };
    if (s.start.line == s.end.line) {
      auto& v = by_line[s.start.line - 1];
      v.push_back(s);
      std::sort(v.begin(), v.end(), before);
    } else {
      multi_line.push_back(s);
      std::sort(multi_line.begin(), multi_line.end(), before);
    }
  };
  add_span(error.span);
  if (error.aux) add_span(*error.aux);

  std::string notated;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (width > 0) {
      const std::string n = std::to_string(i + 1);
      notated.append(width - n.size(), ' ');
      notated += n;
      notated += ": ";
    } else {
      notated += "    ";
    }
    notated += lines[i];
    notated += '\n';
    if (i < by_line.size() && !by_line[i].empty()) {
      notated.append(width == 0 ? 4 : 2 + width, ' ');
      std::size_t pos = 0;
      for (const Span& s : by_line[i]) {
        for (; pos + 1 < s.start.column; ++pos) notated += ' ';
        const std::size_t len = s.end.column > s.start.column ? s.end.column - s.start.column : 0;
        for (std::size_t k = 0; k < std::max<std::size_t>(1, len); ++k, ++pos) notated += '^';
      }
      notated += '\n';
    }
  }

  std::string out = "regex parse error:\n";
  if (p.find('\n') != std::string_view::npos) {
    const std::string divider(79, '~');
    out += divider + "\n" + notated + divider + "\n";
    if (!multi_line.empty()) {
      std::string notes;
      for (const Span& s : multi_line) {
        if (!notes.empty()) notes += '\n';
        notes += "on line " + std::to_string(s.start.line) + " (column " +
                 std::to_string(s.start.column) + ") through line " + std::to_string(s.end.line) +
                 " (column " + std::to_string(s.end.column - 1) + ")";
      }
      out += notes + "\n";
    }
  } else {
    out += notated;
  }
  out += "error: " + error.description;
  return out;
}

}  // namespace nivern_vfs::regex
