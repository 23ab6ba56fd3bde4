#pragma once
/// The regular-expression parser's shared state, for its two halves: regex_syntax.cc
/// (groups, repetitions, escapes, the nesting check) and regex_class_syntax.cc (bracket
/// classes). The cursor over the pattern and the node table are defined here; every
/// parse step is declared here and defined in one of the two halves. Nothing outside
/// those two files includes this header.
#include <cassert>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/utf8.h"
#include "vfs/search/regex_syntax.h"
#include "vfs/search/unicode_class.h"

namespace nivern_vfs::regex::parsing {

inline bool is_whitespace(char32_t c) { return unicode::is_white_space(c); }

/// Raised inside the parser and caught by `parse`; never leaves the parser.
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

  Ast run();

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
  Concat push_alternate(Concat concat);
  void push_or_add_alternation(Concat concat);
  Concat push_group(Concat concat);
  Concat pop_group(Concat group_concat);
  std::uint32_t pop_group_end(Concat concat);
  static std::optional<bool> flag_state(const std::vector<FlagItem>& items, Flag flag);
  /// A group or a flag group at `(`; `is_flags` tells which.
  std::uint32_t parse_group(bool& is_flags);
  void next_capture_index(Span open);
  std::string parse_capture_name();
  std::vector<FlagItem> parse_flags();
  Flag parse_flag();

  // ---- Repetitions ----
  std::uint32_t take_repeated(Concat& concat);
  Concat parse_uncounted_repetition(Concat concat);
  /// A decimal number, white space around it skipped. On failure `empty` tells whether
  /// there were no digits at all; `where` is the digits' span.
  std::optional<std::uint32_t> parse_decimal(bool& empty, Span& where);
  // Fails on the decimal that `parse_decimal` refused.
  [[noreturn]] void decimal_error(bool empty, Span where);
  Concat parse_counted_repetition(Concat concat);

  // ---- Primitives and escapes ----
  std::uint32_t literal(Span s, char32_t c, bool hex_byte = false);
  std::uint32_t assertion(Span s, Assertion a);
  std::uint32_t parse_primitive();
  std::uint32_t parse_escape();
  std::optional<Assertion> maybe_parse_special_word_boundary(Position wb_start);
  std::uint32_t parse_hex();
  static bool scalar(std::uint64_t v) { return v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF); }
  std::uint32_t parse_hex_digits(int digits, bool is_x);
  std::uint32_t parse_hex_brace();
  std::uint32_t parse_unicode_class();

  // ---- Bracket classes ----
  void union_push(Union& u, std::uint32_t item);
  std::uint32_t union_into_item(Union u);
  [[noreturn]] void unclosed_class();
  std::uint32_t parse_set_class();
  std::uint32_t set_item_check(std::uint32_t prim);
  std::uint32_t class_literal_check(std::uint32_t prim);
  std::uint32_t parse_set_class_range();
  std::uint32_t parse_set_class_item();
  /// The opening of a class at `[`: its node, and the union started with a leading `]`
  /// or `-` taken literally.
  std::pair<std::uint32_t, Union> parse_set_class_open();
  Union push_class_open(Union parent);
  std::uint32_t pop_class_op(std::uint32_t rhs);
  Union push_class_op(SetOp kind, Union u);
  /// At `]`: closes the innermost class. Returns the outermost class node with `done`
  /// set, or nothing useful (the class went into the enclosing union, now in `u`).
  std::uint32_t pop_class(Union& u, bool& done);
  std::optional<std::uint32_t> maybe_parse_ascii_class();

  // ---- Nesting ----
  [[noreturn]] void too_deep(Span where) const;
  /// The depth check over the finished tree, in the order a recursive visit would make
  /// it, without recursing.
  void check_nesting(std::uint32_t root);

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

}  // namespace nivern_vfs::regex::parsing
