// The bracket-class half of the regular-expression parser: `[...]` with ranges,
// nested classes, ASCII classes such as [:alpha:], and the set operations && -- ~~.
#include <cassert>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "vfs/search/regex_parser.h"

namespace nivern_vfs::regex::parsing {
namespace {

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

}  // namespace

void Parser::union_push(Union& u, std::uint32_t item) {
  if (u.items.empty()) u.span.start = node(item).span.start;
  u.span.end = node(item).span.end;
  u.items.push_back(item);
}

std::uint32_t Parser::union_into_item(Union u) {
  if (u.items.empty()) return add(NodeKind::set_empty, u.span);
  if (u.items.size() == 1) return u.items[0];
  Node n;
  n.kind = NodeKind::set_union;
  n.span = u.span;
  n.children = std::move(u.items);
  return add(std::move(n));
}

[[noreturn]] void Parser::unclosed_class() {
  for (auto it = classes_.rbegin(); it != classes_.rend(); ++it) {
    if (it->is_open) fail(node(it->set).span, "unclosed character class");
  }
  assert(false);
  std::abort();
}

std::uint32_t Parser::parse_set_class() {
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

std::uint32_t Parser::set_item_check(std::uint32_t prim) {
  const NodeKind k = node(prim).kind;
  if (k == NodeKind::literal || k == NodeKind::perl_class || k == NodeKind::unicode_class) {
    return prim;
  }
  fail(node(prim).span, "invalid escape sequence found in character class");
}

std::uint32_t Parser::class_literal_check(std::uint32_t prim) {
  if (node(prim).kind != NodeKind::literal) {
    fail(node(prim).span, "invalid range boundary, must be a literal");
  }
  return prim;
}

std::uint32_t Parser::parse_set_class_range() {
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

std::uint32_t Parser::parse_set_class_item() {
  if (ch() == '\\') return parse_escape();
  const auto n = literal(span_char(), ch());
  bump();
  return n;
}

std::pair<std::uint32_t, Union> Parser::parse_set_class_open() {
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

Union Parser::push_class_open(Union parent) {
  auto [set, nested] = parse_set_class_open();
  ClassState state;
  state.union_ = std::move(parent);
  state.set = set;
  classes_.push_back(std::move(state));
  return std::move(nested);
}

std::uint32_t Parser::pop_class_op(std::uint32_t rhs) {
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

Union Parser::push_class_op(SetOp kind, Union u) {
  const std::uint32_t lhs = pop_class_op(union_into_item(std::move(u)));
  ClassState state;
  state.is_open = false;
  state.op = kind;
  state.lhs = lhs;
  classes_.push_back(std::move(state));
  return Union{span(), {}};
}

std::uint32_t Parser::pop_class(Union& u, bool& done) {
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

std::optional<std::uint32_t> Parser::maybe_parse_ascii_class() {
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

}  // namespace nivern_vfs::regex::parsing
