#pragma once
/// The regular-expression syntax of search queries: a parser from pattern text to a
/// syntax tree whose every node carries its byte span, and the error form the editor
/// sees for a pattern that does not parse.
///
/// Threading: pure functions over values; safe from any thread.
///
/// The syntax: literals and escapes (\x, \u, \U in fixed and braced forms, \a \f \t \n
/// \r \v, any escaped punctuation), `.`, anchors ^ $ \A \z, word assertions \b \B \<
/// \> \b{start} \b{end} \b{start-half} \b{end-half}, Perl classes \d \s \w, Unicode
/// classes \pL \p{Name} \p{name=value} \p{name!=value}, bracket classes with ranges,
/// nesting, ASCII classes [:alpha:] and the set operations && -- ~~, groups (capturing,
/// named as (?P<n>..) or (?<n>..), non-capturing, with flags), flag groups (?imsUuxR-..),
/// alternation, and the repetitions ? * + {m} {m,} {m,n}, each optionally lazy. Verbose
/// mode (x) skips white space and # comments. The nesting depth is limited; it is checked
/// once the whole pattern has parsed, so any other error comes first, however deep the
/// pattern (groups or classes left open are reported unclosed at its end).
///
/// The tree lives in one node table (`Ast::nodes`), so that neither building nor
/// dropping a deeply nested pattern recurses.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nivern_vfs::regex {

/// A place in the pattern: byte offset, and 1-based line and column (in characters).
struct Position {
  std::uint32_t offset = 0;
  std::uint32_t line = 1;
  std::uint32_t column = 1;
};

struct Span {
  Position start;
  Position end;
};

/// How deep groups, classes, repetitions, alternations and concatenations may nest.
inline constexpr std::uint32_t NEST_LIMIT = 250;

enum class NodeKind : std::uint8_t {
  // Expressions.
  empty,
  set_flags,    // (?flags): `flags`
  literal,      // `c`
  dot,
  assertion,    // `assertion`
  perl_class,   // `perl`, `negated`
  unicode_class,  // `negated`, `name`, `value`, `op`
  bracketed,    // `negated`, child: the set
  repetition,   // `min`, `max`, `greedy`, child
  group,        // `capture_name`, `capturing`, `flags` (non-capturing), child
  alternation,  // children
  concat,       // children
  // Items inside a bracket class.
  set_empty,
  set_range,    // children: start literal, end literal
  set_ascii,    // `ascii`, `negated`
  set_union,    // children
  set_binary,   // `set_op`, children: lhs, rhs
};

enum class Assertion : std::uint8_t {
  start_line,  // ^
  end_line,    // $
  start_text,  // \A
  end_text,    // \z
  word,        // \b
  not_word,    // \B
  word_start,  // \b{start}
  word_end,    // \b{end}
  word_start_angle,  // \<
  word_end_angle,    // \>
  word_start_half,   // \b{start-half}
  word_end_half,     // \b{end-half}
};

enum class Perl : std::uint8_t { digit, space, word };

enum class Ascii : std::uint8_t {
  alnum, alpha, ascii, blank, cntrl, digit, graph, lower, print, punct, space, upper, word,
  xdigit
};

enum class SetOp : std::uint8_t { intersection, difference, symmetric_difference };

/// How a Unicode class names its property: \pL or \p{Name}; \p{a=b} or \p{a:b}; \p{a!=b}.
enum class UnicodeOp : std::uint8_t { none, equal, not_equal };

enum class Flag : std::uint8_t {
  case_insensitive,  // i
  multi_line,        // m
  dot_all,           // s
  swap_greed,        // U
  unicode,           // u
  crlf,              // R
  verbose,           // x
};

/// One flag of a flag group, or the negation operator (`negation` true, `flag` unused).
struct FlagItem {
  Span span;
  bool negation = false;
  Flag flag = Flag::case_insensitive;
};

inline constexpr std::uint32_t NO_NODE = 0xFFFFFFFF;
/// `max` of an unbounded repetition.
inline constexpr std::uint32_t UNBOUNDED = 0xFFFFFFFF;

/// What few nodes carry besides their kind: Unicode class names, capture names, flags.
struct NodeExtra {
  std::string name;   // Unicode class name or property; capture name
  std::string value;  // Unicode property value
  std::vector<FlagItem> flags;
};

struct Node {
  NodeKind kind = NodeKind::empty;
  Assertion assertion = Assertion::start_line;
  Perl perl = Perl::digit;
  Ascii ascii = Ascii::alnum;
  SetOp set_op = SetOp::intersection;
  UnicodeOp op = UnicodeOp::none;
  /// A literal written as \xNN (a byte in non-Unicode mode).
  bool hex_byte = false;
  bool negated = false;
  bool greedy = true;
  bool capturing = false;
  char32_t c = 0;
  std::uint32_t min = 0;
  std::uint32_t max = 0;
  /// Index into `Ast::extras`, or NO_NODE.
  std::uint32_t extra = 0xFFFFFFFF;
  Span span;
  std::vector<std::uint32_t> children;
};

/// A parsed pattern: the node table and the root's index.
struct Ast {
  /// A deque: a large pattern's table grows without being copied.
  std::deque<Node> nodes;
  std::vector<NodeExtra> extras;
  std::uint32_t root = NO_NODE;

  [[nodiscard]] const Node& at(std::uint32_t i) const { return nodes[i]; }
  /// The node's extra fields (empty ones for a node without).
  [[nodiscard]] const NodeExtra& extra(const Node& n) const {
    static const NodeExtra none;
    return n.extra == NO_NODE ? none : extras[n.extra];
  }
};

/// A pattern that does not parse (or translate): the library-style description and the
/// span it points at, with a second span for duplicates.
struct SyntaxError {
  std::string pattern;
  Span span;
  std::optional<Span> aux;
  std::string description;
};

/// Parses `pattern` (valid UTF-8).
[[nodiscard]] std::expected<Ast, SyntaxError> parse(std::string_view pattern);

/// The multi-line text of an error: "regex parse error:", the pattern (indented by four
/// spaces, or with line numbers and a divider of 79 "~" when it spans lines), carets
/// under the span(s), and "error: " with the description.
[[nodiscard]] std::string format_error(const SyntaxError& error);

/// Whether a character stands for itself only when escaped (the literal escape set).
[[nodiscard]] bool is_meta_character(char32_t c);

}  // namespace nivern_vfs::regex
