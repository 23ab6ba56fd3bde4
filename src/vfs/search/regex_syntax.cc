// The regular-expression parser outside bracket classes: groups and flags, alternation,
// repetitions, literals and escapes, and the nesting check over the finished tree.
#include "vfs/search/regex_syntax.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "text/byte_decoders.h"
#include "text/utf8.h"
#include "vfs/search/regex_parser.h"
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

}  // namespace

namespace parsing {

Ast Parser::run() {
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

Concat Parser::push_alternate(Concat concat) {
  concat.span.end = pos_;
  push_or_add_alternation(std::move(concat));
  bump();
  return Concat{span(), {}};
}

void Parser::push_or_add_alternation(Concat concat) {
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

Concat Parser::push_group(Concat concat) {
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

Concat Parser::pop_group(Concat group_concat) {
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

std::uint32_t Parser::pop_group_end(Concat concat) {
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

std::optional<bool> Parser::flag_state(const std::vector<FlagItem>& items, Flag flag) {
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

std::uint32_t Parser::parse_group(bool& is_flags) {
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

void Parser::next_capture_index(Span open) {
  if (capture_index_ == 0xFFFFFFFF) {
    fail(open, "exceeded the maximum number of capturing groups (4294967295)");
  }
  ++capture_index_;
}

std::string Parser::parse_capture_name() {
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

std::vector<FlagItem> Parser::parse_flags() {
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

Flag Parser::parse_flag() {
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

std::uint32_t Parser::take_repeated(Concat& concat) {
  if (concat.asts.empty()) fail(span(), "repetition operator missing expression");
  const std::uint32_t last = concat.asts.back();
  const NodeKind kind = node(last).kind;
  if (kind == NodeKind::empty || kind == NodeKind::set_flags) {
    fail(span(), "repetition operator missing expression");
  }
  concat.asts.pop_back();
  return last;
}

Concat Parser::parse_uncounted_repetition(Concat concat) {
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

std::optional<std::uint32_t> Parser::parse_decimal(bool& empty, Span& where) {
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

[[noreturn]] void Parser::decimal_error(bool empty, Span where) {
  fail(where, empty ? "repetition quantifier expects a valid decimal" : "decimal literal invalid");
}

Concat Parser::parse_counted_repetition(Concat concat) {
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

std::uint32_t Parser::literal(Span s, char32_t c, bool hex_byte) {
  Node n;
  n.kind = NodeKind::literal;
  n.span = s;
  n.c = c;
  n.hex_byte = hex_byte;
  return add(std::move(n));
}

std::uint32_t Parser::assertion(Span s, Assertion a) {
  Node n;
  n.kind = NodeKind::assertion;
  n.span = s;
  n.assertion = a;
  return add(std::move(n));
}

std::uint32_t Parser::parse_primitive() {
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

std::uint32_t Parser::parse_escape() {
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

std::optional<Assertion> Parser::maybe_parse_special_word_boundary(Position wb_start) {
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

std::uint32_t Parser::parse_hex() {
  const char32_t kind = ch();
  if (!bump_and_bump_space()) {
    fail(span(), "incomplete escape sequence, reached end of pattern prematurely");
  }
  return ch() == '{' ? parse_hex_brace() : parse_hex_digits(kind == 'x' ? 2 : kind == 'u' ? 4 : 8, kind == 'x');
}

std::uint32_t Parser::parse_hex_digits(int digits, bool is_x) {
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

std::uint32_t Parser::parse_hex_brace() {
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

std::uint32_t Parser::parse_unicode_class() {
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

[[noreturn]] void Parser::too_deep(Span where) const {
  fail(where, "exceed the maximum number of nested parentheses/brackets (" +
                  std::to_string(NEST_LIMIT) + ")");
}

void Parser::check_nesting(std::uint32_t root) {
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

}  // namespace parsing

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
    return parsing::Parser(pattern).run();
  } catch (parsing::Failure& f) {
    return std::unexpected(std::move(f.error));
  }
}

}  // namespace nivern_vfs::regex
