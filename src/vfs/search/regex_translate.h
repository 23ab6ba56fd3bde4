#pragma once
/// From a parsed pattern to what the search engines run: a small intermediate form in
/// which flags are applied (case folding, dot and anchor modes, greed) and every class
/// is a set of code-point ranges. Its RE2 spelling is in regex_re2.h, the facts the
/// matcher needs (smart case, a literal every match contains) in regex_facts.h, and its
/// size as a compiled program is counted in regex_size.h.
///
/// Threading: pure functions over values; safe from any thread.
///
/// Unicode classes come from the generated Unicode 16.0 tables (unicode_class.h): \w is
/// Alphabetic, marks, decimal numbers, connector punctuation and the join controls; \d
/// is Nd; \s is White_Space; \p names general categories, scripts and binary properties
/// in long or short form, matched loosely. Case-insensitive matching adds what simple
/// case folding makes equal to each literal and class. RE2 has no Unicode word
/// boundaries, no counts over 1000 and no CRLF line anchors: a pattern that uses them
/// (or \b{start} and the like) is spelled for RE2 without them, a superset that finds
/// candidates, and the matcher has each candidate decided by `ExactProgram`.
///
/// Without Unicode (flag u off), `.`, negated classes and classes with a byte above 127
/// match single bytes, and \xNN above 127 is that byte; other characters still match
/// their UTF-8 form. A pattern with such a byte piece (`Hir::bytes`) is sized as it
/// comes from `translate`, then rewritten into byte form by `to_byte_form`
/// (regex_bytes.h) before it is spelled or run: every literal and class then stands for
/// one byte, characters for their UTF-8 bytes and Unicode classes for alternations of
/// UTF-8 byte-range sequences, and RE2 runs it in its Latin-1 mode.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vfs/search/regex_syntax.h"

namespace nivern_vfs::regex {

/// Sorted, disjoint, non-adjacent inclusive code-point ranges.
using Ranges = std::vector<std::pair<char32_t, char32_t>>;

enum class Look : std::uint8_t {
  start_text,
  end_text,
  start_line,
  end_line,
  /// Line anchors of CRLF mode: a carriage return ends a line too, and a line feed
  /// right after one is not a line boundary of its own.
  start_line_crlf,
  end_line_crlf,
  word_ascii,
  not_word_ascii,
  word_unicode,
  not_word_unicode,
  start_word_ascii,
  end_word_ascii,
  start_word_unicode,
  end_word_unicode,
  start_half_ascii,
  end_half_ascii,
  start_half_unicode,
  end_half_unicode,
};

enum class HirKind : std::uint8_t { empty, literal, cls, look, repeat, concat, alternation, group };

inline constexpr std::uint32_t NO_CLASS = 0xFFFFFFFF;

struct HirNode {
  HirKind kind = HirKind::empty;
  /// literal: the character; `cls` is its case-closure when that has more than one
  /// member (case-insensitive mode), else NO_CLASS.
  char32_t c = 0;
  /// cls: index into `Hir::classes`.
  std::uint32_t cls = NO_CLASS;
  Look look = Look::start_text;
  std::uint32_t min = 0;
  std::uint32_t max = 0;  // UNBOUNDED for no upper bound
  bool greedy = true;
  /// literal, cls: matches one byte (`c` and the class's ranges are bytes).
  bool byte = false;
  /// group: a capturing group.
  bool capture = false;
  std::vector<std::uint32_t> children;
};

struct Hir {
  std::vector<HirNode> nodes;
  std::vector<Ranges> classes;
  std::uint32_t root = 0;
  /// Some literal or class matches single bytes. `to_re2` and `literal_facts` take such
  /// a pattern only in byte form (see the top of this file),
  /// where nodes may be shared by several parents (children still precede parents).
  bool bytes = false;

  [[nodiscard]] const HirNode& at(std::uint32_t i) const { return nodes[i]; }
};

/// Applies flags and resolves classes. `case_insensitive` is the starting state of the
/// i flag. Errors (Unicode properties that do not exist, Unicode where it is switched
/// off) quote `pattern`.
[[nodiscard]] std::expected<Hir, SyntaxError> translate(const Ast& ast, std::string_view pattern,
                                                        bool case_insensitive);

/// The code points that are not Unicode word characters (nor, with `exclude_line_feed`,
/// a line feed), surrogates left out.
[[nodiscard]] Ranges non_word_ranges(bool exclude_line_feed);

/// Whether `c` is a word character in the Unicode sense.
[[nodiscard]] bool is_word_char(char32_t c);

}  // namespace nivern_vfs::regex
