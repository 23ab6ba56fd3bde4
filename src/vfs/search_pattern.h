#pragma once
/// Reading a search pattern before it is compiled: escaping literal text, spelling the
/// pattern for RE2, and the facts the matcher needs (smart case, a literal that every
/// match must contain).
///
/// Threading: pure functions; safe from any thread.
///
/// Patterns use the usual regular-expression syntax with Unicode classes: \w, \d and \s
/// (and their negations) stand for Unicode word characters, decimal digits and white
/// space, and are rewritten into explicit RE2 classes, since RE2 reads them as ASCII.
/// \u and \U code-point escapes and (?<name>...) groups are rewritten into RE2's
/// spelling. \b and \B keep RE2's ASCII meaning.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nivern_vfs::search {

/// The characters that literal (non-regex) patterns escape with a backslash.
inline constexpr std::string_view ESCAPE_SET = "\\.+*?()|[]{}^$#&-~";

/// The pattern with a backslash put before every character of `ESCAPE_SET`.
[[nodiscard]] std::string escape_literal(std::string_view pattern);

/// What one pass over a regular expression learns.
struct PatternFacts {
  /// A literal character appears somewhere (bracket classes included).
  bool any_literal = false;
  /// One of those literal characters is an uppercase letter.
  bool any_uppercase = false;
  /// The pattern as RE2 should check it: only syntax RE2 lacks is rewritten, so that a
  /// compile error quotes the pattern as the user wrote it.
  std::string check_text;
  /// RE2 text for matching inside one line, the line being the whole haystack.
  std::string line_text;
  /// RE2 text for finding the first matching line in a run of whole lines: the anchors
  /// ^, $, \A and \z become line anchors.
  std::string block_text;
  /// The top-level sequence as literal code points, with `BREAK` wherever something
  /// else (a class, a group, an optional piece, an anchor) stands. Empty when the
  /// pattern has no usable top-level sequence (alternation at the top, flags that
  /// change how literals match, syntax the reader does not know).
  std::vector<char32_t> atoms;
  /// The pattern is nothing but literal characters in sequence: `atoms` spells it
  /// without a `BREAK`.
  bool literal_only = false;

  static constexpr char32_t BREAK = 0xFFFFFFFF;
};

/// Reads one regular expression (a literal pattern goes through `escape_literal`
/// first). Never fails: text it cannot read is passed on for RE2 to reject.
[[nodiscard]] PatternFacts study_pattern(std::string_view regex);

/// A byte string that every match contains.
struct RequiredLiteral {
  std::string bytes;
  /// Compare ASCII letters without case.
  bool fold_ascii = false;
  /// The literal is the whole pattern: an occurrence is a match and its span.
  bool whole = false;
};

/// The longest run of literal atoms usable as a prefilter, or nullopt when there is
/// none worth searching for. With `case_insensitive`, only code points whose case
/// variants are ASCII can take part (non-ASCII letters and k and s, which have
/// non-ASCII case variants, break runs).
[[nodiscard]] std::optional<RequiredLiteral> required_literal(const PatternFacts& facts,
                                                              bool case_insensitive);

/// RE2 class items (no brackets) for Unicode word characters: alphabetic, marks,
/// decimal digits, connector punctuation and the join controls.
[[nodiscard]] const std::string& word_class_items();

}  // namespace nivern_vfs::search
