#include "vfs/search/unicode_class.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "vfs/search/search_matcher.h"

namespace nivern_vfs::unicode {
namespace {

/// The compile error of a regex query, or "" when it compiles.
std::string error_of(const std::string& pattern) {
  auto m = search::Matcher::compile({pattern, true, false, true});
  return m ? "" : m.error().text();
}

/// The one-line error for a query that is a single class, which the error points at whole.
std::string class_error(const std::string& pattern, const char* description) {
  std::size_t chars = 0;
  for (unsigned char b : pattern) chars += (b & 0xC0) != 0x80 ? 1 : 0;
  return "regex parse error:\n    (?:" + pattern + ")\n       " + std::string(chars, '^') +
         "\nerror: " + description;
}

TEST(UnicodeClass, KnowsTheNamesOfUnicode16AndNoOthers) {
  constexpr const char* NO_PROPERTY = "Unicode property not found";
  constexpr const char* NO_VALUE = "Unicode property value not found";
  struct Row {
    const char* pattern;
    const char* error;  // nullptr: accepted
  } rows[] = {
      // New in Unicode 16.0, and names that were always binary properties.
      {"\\p{Garay}", nullptr},
      {"\\p{Todhri}", nullptr},
      {"\\p{Sunuwar}", nullptr},
      {"\\p{Tulu_Tigalari}", nullptr},
      {"\\p{scx=Gara}", nullptr},
      {"\\p{ID_Compat_Math_Start}", nullptr},
      {"\\p{Modifier_Combining_Mark}", nullptr},
      {"\\p{Other_Alphabetic}", nullptr},
      {"\\p{Age=16.0}", nullptr},
      {"\\p{age:V1_1}", nullptr},
      // Aliases of categories and values.
      {"\\p{cntrl}", nullptr},
      {"\\p{digit}", nullptr},
      {"\\p{Combining_Mark}", nullptr},
      {"\\p{Assigned}", nullptr},
      {"\\p{Qaai}", nullptr},
      {"\\p{wb=LE}", nullptr},
      {"\\p{GCB=Extend}", nullptr},
      {"\\p{sb:ST}", nullptr},
      // Names only other libraries know.
      {"\\p{alnum}", NO_PROPERTY},
      {"\\p{xdigit}", NO_PROPERTY},
      {"\\p{blank}", NO_PROPERTY},
      {"\\p{graph}", NO_PROPERTY},
      {"\\p{print}", NO_PROPERTY},
      {"\\p{Basic_Emoji}", NO_PROPERTY},
      {"\\p{Emoji_Keycap_Sequence}", NO_PROPERTY},
      // Properties that are not binary, or whose values are not served.
      {"\\p{Full_Composition_Exclusion}", NO_PROPERTY},
      {"\\p{Script}", NO_PROPERTY},
      {"\\P{Age}", NO_PROPERTY},
      {"\\p{Bidi_Class=L}", NO_VALUE},
      // Values that name no code points here.
      {"\\p{Cs}", NO_VALUE},
      {"\\p{Surrogate}", NO_VALUE},
      {"\\p{gc=Cs}", NO_VALUE},
      {"\\p{Unknown}", NO_VALUE},
      {"\\p{Zzzz}", NO_VALUE},
      {"\\p{Hrkt}", NO_VALUE},
      {"\\p{Age=17.0}", NO_VALUE},
      {"\\p{Age=99}", NO_VALUE},
      {"\\p{Age=NA}", NO_VALUE},
      {"\\p{gcb=Other}", NO_VALUE},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(error_of(row.pattern), row.error ? class_error(row.pattern, row.error) : "")
        << row.pattern;
  }
  // A name broken over two lines is not a name; the error notes both lines.
  const std::string divider(79, '~');
  EXPECT_EQ(error_of("\\p{\nL}"), "regex parse error:\n" + divider + "\n1: (?:\\p{\n2: L})\n" +
                                      divider +
                                      "\non line 1 (column 4) through line 2 (column 2)\n"
                                      "error: Unicode property not found");
}

TEST(UnicodeClass, ClassesAndFoldingHoldTheCharactersOfUnicode16) {
  struct Row {
    const char* pattern;
    const char* line;
    std::optional<search::Span> span;
  } rows[] = {
      // U+A7CB, U+A7CC and U+A7DA are capital letters new in 16.0; ɤ, ꟍ and ꟛ their
      // small forms.
      {"\\p{Lu}", "a\uA7CB", search::Span{1, 4}},
      {"\\p{Lu}", "a\uA7CC", search::Span{1, 4}},
      {"\\w+", "-\uA7DA\uA7CB", search::Span{1, 7}},
      {"(?i)\uA7CB", "\u0264", search::Span{0, 2}},
      {"(?i)\uA7CC", "\uA7CD", search::Span{0, 3}},
      {"(?i)[\uA7DA]", "\uA7DB", search::Span{0, 3}},
      {"(?i)\\p{Lu}", "\uA7DB", search::Span{0, 3}},
      {"\\p{Garay}", "a\U00010D40", search::Span{1, 5}},
      {"\\b\uA7CB\\b", "\uA7CBx \uA7CB", search::Span{5, 8}},
      // The same tables in patterns that hold a byte piece (spans count bytes).
      {"(?-u:.)\\p{Lu}", "x\uA7CB", search::Span{0, 4}},
      {"(?i)(?-u:.)\uA7CB", "x\u0264", search::Span{0, 3}},
      {"\\b(?-u:.)", "\uA7CB-", search::Span{0, 1}},
      // Ages add up: 16.0 holds what 1.1 assigned; 15.1 not what 16.0 did.
      {"\\p{Age=16.0}", "a", search::Span{0, 1}},
      {"\\p{Age=15.1}", "\uA7CB", std::nullopt},
      // Simple folding only: K, k and the Kelvin sign are one class; ß is not "ss".
      {"(?i)k", "\u212A", search::Span{0, 3}},
      {"(?i)\u00DF", "ss", std::nullopt},
  };
  for (const auto& row : rows) {
    auto m = search::Matcher::compile({row.pattern, true, false, true});
    ASSERT_TRUE(m.has_value()) << row.pattern << ": " << m.error().text();
    EXPECT_EQ(m->first_match(row.line), row.span) << row.pattern << " in " << row.line;
  }
  // Smart case: U+A7CB is a capital, so the query keeps its case; ɤ is not.
  auto smart = [](const char* pattern, const char* line) {
    auto m = search::Matcher::compile({pattern, false, false, false});
    return m && m->line_matches(line);
  };
  EXPECT_FALSE(smart("\uA7CB", "\u0264"));
  EXPECT_TRUE(smart("\u0264", "\uA7CB"));
}

TEST(UnicodeClass, TablesAreSortedAndDisjoint) {
  for (auto tables : {GENERAL_CATEGORIES, SCRIPTS, SCRIPT_EXTENSIONS, BINARY_PROPERTIES,
                      GRAPHEME_CLUSTER_BREAKS, WORD_BREAKS, SENTENCE_BREAKS}) {
    for (std::size_t k = 1; k < tables.size(); ++k) {
      EXPECT_LT(tables[k - 1].name, tables[k].name);
    }
  }
  for (auto tables : {GENERAL_CATEGORIES, SCRIPTS, SCRIPT_EXTENSIONS, BINARY_PROPERTIES, AGES,
                      GRAPHEME_CLUSTER_BREAKS, WORD_BREAKS, SENTENCE_BREAKS}) {
    for (const Table& t : tables) {
      const auto r = ranges_of(t);
      for (std::size_t k = 0; k < r.size(); ++k) {
        EXPECT_LE(r[k].first, r[k].last) << t.name;
        EXPECT_FALSE(r[k].first <= 0xDFFF && r[k].last >= 0xD800) << t.name;
        if (k > 0) {
          EXPECT_GT(r[k].first, r[k - 1].last + 1) << t.name;
        }
      }
    }
  }
  for (std::size_t k = 1; k < PROPERTY_NAMES.size(); ++k) {
    EXPECT_LT(PROPERTY_NAMES[k - 1].loose, PROPERTY_NAMES[k].loose);
  }
  for (std::size_t k = 1; k < SIMPLE_FOLDS.size(); ++k) {
    EXPECT_LT(SIMPLE_FOLDS[k - 1].c, SIMPLE_FOLDS[k].c);
  }
  EXPECT_EQ(UNICODE_VERSION, "16.0.0");
}

}  // namespace
}  // namespace nivern_vfs::unicode
