#pragma once
/// The RE2 spelling of a translated pattern (regex_translate.h). RE2 has no Unicode word
/// boundaries, no counts over 1000 and no CRLF line anchors: those are spelled as a
/// superset (`re2_spells_exactly` tells), for `ExactProgram` to decide each candidate.
/// A pattern with byte pieces is spelled in byte form, for RE2's Latin-1 mode.
///
/// Threading: pure functions over values; safe from any thread.
#include <cstddef>
#include <string>

#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {

/// How anchors are spelled for RE2.
enum class AnchorMode {
  /// The haystack is one line: ^ and $ are its ends.
  line,
  /// The haystack is a run of lines: ^ and $ are line boundaries.
  block,
};

/// The RE2 spelling (no capturing groups; always case-sensitive, folds are explicit).
/// `nodes` (when given) receives the number of syntax nodes written, which RE2's own
/// walkers bound.
[[nodiscard]] std::string to_re2(const Hir& hir, AnchorMode mode, std::size_t* nodes = nullptr);

/// An RE2 class of everything that is not a Unicode word character (nor, with
/// `exclude_line_feed`, a line feed); with `bytes`, spelled for RE2's Latin-1 mode as the
/// UTF-8 forms of those characters.
[[nodiscard]] std::string re2_non_word_class(bool exclude_line_feed, bool bytes = false);

/// Whether the spelling of `hir` means exactly what `hir` does: the assertions RE2 lacks,
/// counts over 1000 and nested counts whose product is over 1000 are left out.
[[nodiscard]] bool re2_spells_exactly(const Hir& hir);

}  // namespace nivern_vfs::regex
