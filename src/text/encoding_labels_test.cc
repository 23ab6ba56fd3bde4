#include "text/encoding_labels.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace nivern_text {
namespace {

TEST(Labels, TheTableHoldsEveryLabelOnceAndReachesEveryEncoding) {
  std::set<std::string_view> labels;
  std::set<EncodingId> reached;
  for (const Label& l : all_labels()) {
    EXPECT_TRUE(labels.insert(l.label).second) << l.label;
    reached.insert(l.id);
    for (char c : l.label) EXPECT_FALSE(c >= 'A' && c <= 'Z') << l.label;
    // Every label finds its own encoding.
    const Encoding* e = encoding_for_label(l.label);
    ASSERT_NE(e, nullptr) << l.label;
    EXPECT_EQ(e->id, l.id) << l.label;
  }
  EXPECT_EQ(labels.size(), 228u);
  EXPECT_EQ(reached.size(), ENCODING_COUNT);
  for (std::size_t i = 0; i < ENCODING_COUNT; ++i) {
    EXPECT_EQ(static_cast<std::size_t>(ENCODINGS[i].id), i);
  }
}

TEST(Labels, NamedExamples) {
  struct Case {
    const char* label;
    const char* name;
  };
  const Case cases[] = {
      {"utf-8", "UTF-8"},          {"utf8", "UTF-8"},
      {"utf-16le", "UTF-16LE"},    {"utf-16", "UTF-16LE"},
      {"unicode", "UTF-16LE"},     {"utf-16be", "UTF-16BE"},
      {"unicodefffe", "UTF-16BE"}, {"latin1", "windows-1252"},
      {"cp1252", "windows-1252"},  {"windows-1252", "windows-1252"},
      {"us-ascii", "windows-1252"}, {"iso-8859-1", "windows-1252"},
      {"shift_jis", "Shift_JIS"},  {"gbk", "GBK"},
      {"gb2312", "GBK"},           {"gb18030", "gb18030"},
      {"iso-2022-jp", "ISO-2022-JP"}, {"iso-2022-kr", "replacement"},
      {"replacement", "replacement"}, {"x-user-defined", "x-user-defined"},
      {"koi8-ru", "KOI8-U"},       {"iso-8859-9", "windows-1254"},
      {"tis-620", "windows-874"},  {"big5-hkscs", "Big5"},
      {"windows-949", "EUC-KR"},   {"logical", "ISO-8859-8-I"},
  };
  for (const Case& c : cases) {
    const Encoding* e = encoding_for_label(c.label);
    ASSERT_NE(e, nullptr) << c.label;
    EXPECT_EQ(e->name, c.name) << c.label;
  }
}

TEST(Labels, WhitespaceAndCase) {
  EXPECT_EQ(encoding_for_label("  utf-8 ")->name, "UTF-8");
  EXPECT_EQ(encoding_for_label("\t\n\f\rUTF-8\r\n")->name, "UTF-8");
  EXPECT_EQ(encoding_for_label("UTF-8")->name, "UTF-8");
  EXPECT_EQ(encoding_for_label("Shift_JIS")->name, "Shift_JIS");
  EXPECT_EQ(encoding_for_label("LATIN1")->name, "windows-1252");
  EXPECT_EQ(encoding_for_label("latin-1"), nullptr);
  EXPECT_EQ(encoding_for_label(""), nullptr);
  EXPECT_EQ(encoding_for_label("   "), nullptr);
  EXPECT_EQ(encoding_for_label("utf -8"), nullptr);
  EXPECT_EQ(encoding_for_label("\vutf-8"), nullptr);  // VT is not ASCII whitespace here
  EXPECT_EQ(encoding_for_label("utf-8\xC2\xA0"), nullptr);
  // No Unicode case folding: the Kelvin sign is not a K.
  EXPECT_EQ(encoding_for_label("\xE2\x84\xAAoi8-r"), nullptr);
  EXPECT_EQ(encoding_for_label(std::string_view("utf-8\0", 6)), nullptr);
}

TEST(Labels, OutputEncoding) {
  for (const Encoding& e : ENCODINGS) {
    const Encoding& out = output_encoding(e);
    switch (e.id) {
      case EncodingId::utf_8:
      case EncodingId::utf_16le:
      case EncodingId::utf_16be:
      case EncodingId::replacement:
        EXPECT_EQ(&out, &UTF_8) << e.name;
        break;
      default:
        EXPECT_EQ(&out, &e) << e.name;
    }
  }
}

}  // namespace
}  // namespace nivern_text
