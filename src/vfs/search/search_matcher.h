#pragma once
/// The compiled form of one search query.
///
/// Threading: a `Matcher` is not shared: RE2 guards its lazily built automata with a
/// lock and the exact matcher keeps working memory, so each worker thread searches with
/// its own `clone()`. A clone compiles its own RE2 copies, except for large programs,
/// whose RE2 objects every clone shares (compiling them once per worker would cost
/// seconds and hundreds of megabytes).
///
/// Matching is line-oriented: a line is the bytes between two line feeds, without the
/// line feed, and a match never spans one. Literal patterns are escaped. The query is
/// parsed as `(?:` + pattern + `)` (see regex_syntax.h), so that a syntax error quotes
/// that text. Smart case makes a query case-insensitive only when `case_sensitive` is
/// false and the pattern has a literal character and no uppercase letter; whole-word
/// mode accepts a match only where it is neither preceded nor followed by a Unicode word
/// character, and reports the span of the pattern itself. A pattern whose compiled
/// program would be over `regex::SIZE_LIMIT` bytes is refused before anything is built.
///
/// Patterns that RE2 can only spell as a superset (see `needs_exact_matcher`) are found
/// by RE2 and each candidate line is decided by the exact matcher of regex_exact.h,
/// whether or not the line is UTF-8.
///
/// A pattern that matches single bytes (Unicode off, see regex_translate.h) runs in
/// RE2's Latin-1 mode over its byte form; its spans may then start or end inside a
/// character.
///
/// To find matching lines fast, the matcher offers a literal that every match contains
/// (`needle`), searched for with SIMD; RE2 then confirms the line, unless the needle is
/// the whole query (`needle_is_match`), in which case every occurrence is a match. A
/// query without a usable literal offers `block_regex` instead, run over many lines at
/// once.
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vfs/search/search_literal.h"

namespace nivern_vfs::regex {
class ExactProgram;
struct ExactScratch;
struct Hir;
}  // namespace nivern_vfs::regex

namespace re2 {
class RE2;
}

namespace nivern_vfs::search {

/// The characters that literal (non-regex) patterns escape with a backslash.
inline constexpr std::string_view ESCAPE_SET = "\\.+*?()|[]{}^$#&-~";

/// The pattern with a backslash put before every character of `ESCAPE_SET`.
[[nodiscard]] std::string escape_literal(std::string_view pattern);

/// Whether RE2 can only find candidates for `hir` (Unicode word assertions, CRLF line
/// anchors, counts RE2 refuses), which the exact matcher then decides.
[[nodiscard]] bool needs_exact_matcher(const regex::Hir& hir);

/// The search options of one request.
struct SearchQuery {
  std::string pattern;
  /// The pattern is a regular expression; false: a literal text.
  bool regex = false;
  bool whole_word = false;
  bool case_sensitive = false;
};

/// A query that cannot be compiled. Its text form is the compiler's message.
struct BadQuery {
  std::string message;
  [[nodiscard]] const std::string& text() const { return message; }
};

/// Byte offsets [start, end) of a match inside a line's text.
using Span = std::pair<std::size_t, std::size_t>;

class Matcher {
 public:
  /// Compiles a non-empty pattern. The error is the syntax error's multi-line text, or
  /// the size limit's message.
  [[nodiscard]] static std::expected<Matcher, BadQuery> compile(const SearchQuery& query);

  /// An independent copy (its regexes compiled afresh from the same text).
  [[nodiscard]] Matcher clone() const;

  Matcher(Matcher&&) noexcept;
  Matcher& operator=(Matcher&&) noexcept;
  ~Matcher();

  /// No line can ever match (the pattern needs a line feed).
  [[nodiscard]] bool never_matches() const { return never_matches_; }
  /// A literal that every match contains, or null.
  [[nodiscard]] const LiteralFinder* needle() const { return needle_ ? &*needle_ : nullptr; }
  /// Every occurrence of the needle is a match, spanning the occurrence.
  [[nodiscard]] bool needle_is_match() const { return needle_is_match_; }
  /// When there is no needle: RE2 for finding the first matching line in a run of
  /// whole lines (line-feed separated); its match lies inside that line.
  [[nodiscard]] const re2::RE2* block_regex() const { return block_re_.get(); }
  /// Whether the block regex's own match span is the reported span (no word mode).
  [[nodiscard]] bool block_span_is_match() const { return !whole_word_ && !exact_always_; }

  /// Whether `line` (no line feed in it) holds a match.
  [[nodiscard]] bool line_matches(std::string_view line) const;
  /// The span of the first match in `text`, or nullopt.
  [[nodiscard]] std::optional<Span> first_match(std::string_view text) const;

 private:
  Matcher();

  bool never_matches_ = false;
  bool needle_is_match_ = false;
  bool whole_word_ = false;
  std::optional<LiteralFinder> needle_;
  std::shared_ptr<const re2::RE2> line_re_;
  std::shared_ptr<const re2::RE2> block_re_;
  /// Clones share the RE2 objects rather than compile their own.
  bool share_ = false;
  /// The exact matcher decides every line RE2 finds; otherwise, in whole-word mode, it
  /// decides only lines that are not UTF-8.
  bool exact_always_ = false;
  /// For patterns RE2 cannot match exactly, and whole words; shared by every copy.
  std::shared_ptr<const regex::ExactProgram> exact_;
  std::unique_ptr<regex::ExactScratch> scratch_;
};

}  // namespace nivern_vfs::search
