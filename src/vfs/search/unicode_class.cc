#include "vfs/search/unicode_class.h"

#include <algorithm>
#include <optional>

namespace nivern_vfs::unicode {
namespace {

std::optional<std::string_view> canonical(std::span<const Alias> aliases, std::string_view loose) {
  auto it = std::ranges::lower_bound(aliases, loose, {}, &Alias::loose);
  if (it == aliases.end() || it->loose != loose) return std::nullopt;
  return it->canonical;
}

const Table* find(std::span<const Table> tables, std::string_view name) {
  auto it = std::ranges::lower_bound(tables, name, {}, &Table::name);
  if (it == tables.end() || it->name != name) return nullptr;
  return &*it;
}

std::span<const Alias> values_of(std::string_view property) {
  auto it = std::ranges::lower_bound(PROPERTY_VALUES, property, {}, &PropertyValues::property);
  if (it == PROPERTY_VALUES.end() || it->property != property) return {};
  return it->values;
}

NamedClass from_table(std::span<const Table> tables, std::string_view name, Lookup otherwise) {
  if (const Table* t = find(tables, name)) return {Lookup::found, ranges_of(*t)};
  return {otherwise, {}};
}

/// The general category's own values and the three pseudo-categories.
std::optional<std::string_view> canonical_category(std::string_view loose) {
  if (loose == "any") return "Any";
  if (loose == "assigned") return "Assigned";
  if (loose == "ascii") return "ASCII";
  return canonical(values_of("General_Category"), loose);
}

NamedClass category(std::string_view name) {
  if (name == "Any") return {Lookup::found, {{0, 0x10FFFF}}};
  if (name == "ASCII") return {Lookup::found, {{0, 0x7F}}};
  if (name == "Assigned") {
    NamedClass out{Lookup::found, {}};
    char32_t next = 0;
    for (const CodeRange& r : ranges_of(*find(GENERAL_CATEGORIES, "Unassigned"))) {
      if (r.first > next) out.ranges.push_back({next, r.first - 1});
      next = r.last + 1;
    }
    if (next <= 0x10FFFF) out.ranges.push_back({next, 0x10FFFF});
    return out;
  }
  return from_table(GENERAL_CATEGORIES, name, Lookup::no_value);
}

/// Every code point assigned up to and including the version `name`.
NamedClass age(std::string_view name) {
  auto last = std::ranges::find(AGES, name, &Table::name);
  if (last == AGES.end()) return {Lookup::no_value, {}};
  std::vector<CodeRange> all;
  for (auto it = AGES.begin(); it <= last; ++it) {
    const auto r = ranges_of(*it);
    all.insert(all.end(), r.begin(), r.end());
  }
  std::ranges::sort(all, {}, &CodeRange::first);
  NamedClass out{Lookup::found, {}};
  for (const CodeRange& r : all) {
    if (!out.ranges.empty() && r.first <= out.ranges.back().last + 1) {
      out.ranges.back().last = std::max(out.ranges.back().last, r.last);
    } else {
      out.ranges.push_back(r);
    }
  }
  return out;
}

char32_t fold_next(char32_t c) {
  auto it = std::ranges::lower_bound(SIMPLE_FOLDS, c, {}, &FoldStep::c);
  return it != SIMPLE_FOLDS.end() && it->c == c ? it->next : c;
}

}  // namespace

std::string loose_name(std::string_view name) {
  std::size_t start = 0;
  bool starts_with_is = false;
  if (name.size() >= 2 && (name[0] | 0x20) == 'i' && (name[1] | 0x20) == 's') {
    starts_with_is = true;
    start = 2;
  }
  std::string out;
  for (std::size_t i = start; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (b == ' ' || b == '_' || b == '-') continue;
    if (b >= 'A' && b <= 'Z') {
      out += static_cast<char>(b + ('a' - 'A'));
    } else if (b < 0x80) {
      out += static_cast<char>(b);
    }
  }
  if (starts_with_is && out == "c") out = "isc";
  return out;
}

NamedClass named_class(std::string_view name) {
  const std::string loose = loose_name(name);
  // cf, sc and lc are also short names of properties (Case_Folding, Script,
  // Lowercase_Mapping); written alone they mean the categories Format, Currency_Symbol
  // and Cased_Letter.
  if (loose != "cf" && loose != "sc" && loose != "lc") {
    if (auto property = canonical(PROPERTY_NAMES, loose)) {
      return from_table(BINARY_PROPERTIES, *property, Lookup::no_property);
    }
  }
  if (auto c = canonical_category(loose)) return category(*c);
  if (auto script = canonical(values_of("Script"), loose)) {
    return from_table(SCRIPTS, *script, Lookup::no_value);
  }
  return {Lookup::no_property, {}};
}

NamedClass valued_class(std::string_view name, std::string_view value) {
  const auto property = canonical(PROPERTY_NAMES, loose_name(name));
  if (!property) return {Lookup::no_property, {}};
  const std::string loose = loose_name(value);
  if (*property == "General_Category") {
    auto c = canonical_category(loose);
    return c ? category(*c) : NamedClass{Lookup::no_value, {}};
  }
  const auto v = canonical(values_of(*property), loose);
  if (!v) return {Lookup::no_value, {}};
  if (*property == "Script") return from_table(SCRIPTS, *v, Lookup::no_value);
  if (*property == "Script_Extensions") return from_table(SCRIPT_EXTENSIONS, *v, Lookup::no_value);
  if (*property == "Age") return age(*v);
  if (*property == "Grapheme_Cluster_Break") {
    return from_table(GRAPHEME_CLUSTER_BREAKS, *v, Lookup::no_value);
  }
  if (*property == "Word_Break") return from_table(WORD_BREAKS, *v, Lookup::no_value);
  if (*property == "Sentence_Break") return from_table(SENTENCE_BREAKS, *v, Lookup::no_value);
  return {Lookup::no_property, {}};
}

std::vector<CodeRange> ranges_of(const Table& t) {
  std::vector<CodeRange> out;
  out.reserve(t.count);
  for (std::uint32_t packed : RANGES.subspan(t.begin, t.count)) {
    const char32_t first = packed >> RANGE_LENGTH_BITS;
    const char32_t last = first + (packed & ((1U << RANGE_LENGTH_BITS) - 1));
    if (!out.empty() && out.back().last + 1 == first) {
      out.back().last = last;
    } else {
      out.push_back({first, last});
    }
  }
  return out;
}

const std::vector<CodeRange>& perl_word() {
  static const std::vector<CodeRange> r = ranges_of(PERL_WORD);
  return r;
}

const std::vector<CodeRange>& perl_digit() {
  static const std::vector<CodeRange> r = ranges_of(*find(GENERAL_CATEGORIES, "Decimal_Number"));
  return r;
}

const std::vector<CodeRange>& perl_space() {
  static const std::vector<CodeRange> r = ranges_of(*find(BINARY_PROPERTIES, "White_Space"));
  return r;
}

bool contains(std::span<const CodeRange> ranges, char32_t c) {
  auto it = std::ranges::upper_bound(ranges, c, {}, &CodeRange::first);
  return it != ranges.begin() && c <= std::prev(it)->last;
}

bool is_white_space(char32_t c) { return contains(perl_space(), c); }

bool is_alphabetic(char32_t c) {
  static const std::vector<CodeRange> r = ranges_of(*find(BINARY_PROPERTIES, "Alphabetic"));
  return contains(r, c);
}

bool is_numeric(char32_t c) {
  static const std::vector<CodeRange> r = ranges_of(*find(GENERAL_CATEGORIES, "Number"));
  return contains(r, c);
}

bool is_uppercase(char32_t c) {
  static const std::vector<CodeRange> r = ranges_of(*find(BINARY_PROPERTIES, "Uppercase"));
  return contains(r, c);
}

void add_simple_folds(char32_t first, char32_t last, std::vector<char32_t>& out) {
  auto it = std::ranges::lower_bound(SIMPLE_FOLDS, first, {}, &FoldStep::c);
  for (; it != SIMPLE_FOLDS.end() && it->c <= last; ++it) {
    for (char32_t c = it->next; c != it->c; c = fold_next(c)) out.push_back(c);
  }
}

}  // namespace nivern_vfs::unicode
