#pragma once
/// Unicode classes by name, Perl classes and simple case folding over the generated
/// tables of unicode_tables.h.
///
/// A class name is matched loosely (`loose_name`), then resolved in this order: \p{Name}
/// is a binary property, else a general category (or Any, ASCII, Assigned), else a
/// script; \p{name=value} is a general category, script, script extension, age (every
/// code point assigned up to that version), grapheme cluster, word or sentence break.
/// Names the tables know but hold no code points for are refused too: \p{Name} of a
/// property that is not binary as an unknown property; a category or script with no
/// code points (Surrogate, Unknown, Katakana_Or_Hiragana), an age after 16.0 or a value
/// of a property not served here (Bidi_Class=L) as an unknown value.
///
/// Threading: pure functions over constant tables; safe from any thread.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vfs/search/unicode_tables.h"

namespace nivern_vfs::unicode {

enum class Lookup { found, no_property, no_value };

struct NamedClass {
  Lookup lookup = Lookup::no_property;
  /// When found: sorted, disjoint, non-adjacent ranges.
  std::vector<CodeRange> ranges;
};

/// ASCII only, lower case, without spaces, underscores and hyphens, and without a
/// leading "is" (but "isc", the short name of ISO_Comment, stays "isc").
[[nodiscard]] std::string loose_name(std::string_view name);

/// \pN or \p{Name}.
[[nodiscard]] NamedClass named_class(std::string_view name);
/// \p{name=value}.
[[nodiscard]] NamedClass valued_class(std::string_view name, std::string_view value);

/// A table's ranges, unpacked: sorted, disjoint, non-adjacent.
[[nodiscard]] std::vector<CodeRange> ranges_of(const Table& t);
[[nodiscard]] const std::vector<CodeRange>& perl_word();
[[nodiscard]] const std::vector<CodeRange>& perl_digit();
[[nodiscard]] const std::vector<CodeRange>& perl_space();

[[nodiscard]] bool contains(std::span<const CodeRange> ranges, char32_t c);
[[nodiscard]] bool is_white_space(char32_t c);
[[nodiscard]] bool is_alphabetic(char32_t c);
/// General category N (Nd, Nl or No).
[[nodiscard]] bool is_numeric(char32_t c);
[[nodiscard]] bool is_uppercase(char32_t c);

/// Appends to `out` every code point that simple case folding makes equal to one in
/// [first, last] (some may be in the range already, some may come twice).
void add_simple_folds(char32_t first, char32_t last, std::vector<char32_t>& out);

}  // namespace nivern_vfs::unicode
