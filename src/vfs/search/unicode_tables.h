#pragma once

#include <cstdint>
#include <span>
#include <string_view>

/// Unicode data for search's regular expressions, generated from the Unicode Character
/// Database by scripts/unicode/generate.js into unicode_tables.cc. Search takes every class
/// and case fold from here, so its answers do not depend on the system's ICU version.
namespace nivern_vfs::unicode {

struct CodeRange {
  char32_t first;
  char32_t last;
};

/// The code points of one property value: `count` packed ranges from `begin` in
/// `RANGES`, sorted and disjoint. Surrogates are never included.
struct Table {
  std::string_view name;  // canonical name
  std::uint32_t begin;
  std::uint32_t count;
};

/// A name in loose form (see `loose_name`) and the canonical name it stands for.
struct Alias {
  std::string_view loose;
  std::string_view canonical;
};

/// The names of one property's values, sorted by loose form.
struct PropertyValues {
  std::string_view property;  // canonical property name
  std::span<const Alias> values;
};

/// One step round a class of code points that fold to the same one under simple case
/// folding: `next` is the class's next member after `c`, the smallest after the largest.
struct FoldStep {
  char32_t c;
  char32_t next;
};

extern const std::string_view UNICODE_VERSION;
/// Each range packed as first << RANGE_LENGTH_BITS | (last - first); a range longer than
/// that allows is given in pieces.
inline constexpr unsigned RANGE_LENGTH_BITS = 11;
extern const std::span<const std::uint32_t> RANGES;
// Tables sorted by canonical name.
extern const std::span<const Table> GENERAL_CATEGORIES;
extern const std::span<const Table> SCRIPTS;
extern const std::span<const Table> SCRIPT_EXTENSIONS;
extern const std::span<const Table> BINARY_PROPERTIES;
extern const std::span<const Table> GRAPHEME_CLUSTER_BREAKS;
extern const std::span<const Table> WORD_BREAKS;
extern const std::span<const Table> SENTENCE_BREAKS;
/// The code points each version assigned, oldest version first.
extern const std::span<const Table> AGES;
/// \w: Alphabetic, marks, decimal digits, connector punctuation and Join_Control.
extern const Table PERL_WORD;
extern const std::span<const Alias> PROPERTY_NAMES;
/// Sorted by property name.
extern const std::span<const PropertyValues> PROPERTY_VALUES;
/// Sorted by `c`.
extern const std::span<const FoldStep> SIMPLE_FOLDS;

}  // namespace nivern_vfs::unicode
