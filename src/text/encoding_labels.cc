#include "text/encoding_labels.h"

namespace nivern_text {
namespace {

using enum EncodingId;

constexpr Label LABELS[] = {
    // The Encoding
    {"unicode-1-1-utf-8", utf_8}, {"unicode11utf8", utf_8}, {"unicode20utf8", utf_8},
    {"utf-8", utf_8}, {"utf8", utf_8}, {"x-unicode20utf8", utf_8},
    // Legacy single-byte encodings
    {"866", ibm866}, {"cp866", ibm866}, {"csibm866", ibm866}, {"ibm866", ibm866},
    {"csisolatin2", iso_8859_2}, {"iso-8859-2", iso_8859_2}, {"iso-ir-101", iso_8859_2},
    {"iso8859-2", iso_8859_2}, {"iso88592", iso_8859_2}, {"iso_8859-2", iso_8859_2},
    {"iso_8859-2:1987", iso_8859_2}, {"l2", iso_8859_2}, {"latin2", iso_8859_2},
    {"csisolatin3", iso_8859_3}, {"iso-8859-3", iso_8859_3}, {"iso-ir-109", iso_8859_3},
    {"iso8859-3", iso_8859_3}, {"iso88593", iso_8859_3}, {"iso_8859-3", iso_8859_3},
    {"iso_8859-3:1988", iso_8859_3}, {"l3", iso_8859_3}, {"latin3", iso_8859_3},
    {"csisolatin4", iso_8859_4}, {"iso-8859-4", iso_8859_4}, {"iso-ir-110", iso_8859_4},
    {"iso8859-4", iso_8859_4}, {"iso88594", iso_8859_4}, {"iso_8859-4", iso_8859_4},
    {"iso_8859-4:1988", iso_8859_4}, {"l4", iso_8859_4}, {"latin4", iso_8859_4},
    {"csisolatincyrillic", iso_8859_5}, {"cyrillic", iso_8859_5}, {"iso-8859-5", iso_8859_5},
    {"iso-ir-144", iso_8859_5}, {"iso8859-5", iso_8859_5}, {"iso88595", iso_8859_5},
    {"iso_8859-5", iso_8859_5}, {"iso_8859-5:1988", iso_8859_5},
    {"arabic", iso_8859_6}, {"asmo-708", iso_8859_6}, {"csiso88596e", iso_8859_6},
    {"csiso88596i", iso_8859_6}, {"csisolatinarabic", iso_8859_6}, {"ecma-114", iso_8859_6},
    {"iso-8859-6", iso_8859_6}, {"iso-8859-6-e", iso_8859_6}, {"iso-8859-6-i", iso_8859_6},
    {"iso-ir-127", iso_8859_6}, {"iso8859-6", iso_8859_6}, {"iso88596", iso_8859_6},
    {"iso_8859-6", iso_8859_6}, {"iso_8859-6:1987", iso_8859_6},
    {"csisolatingreek", iso_8859_7}, {"ecma-118", iso_8859_7}, {"elot_928", iso_8859_7},
    {"greek", iso_8859_7}, {"greek8", iso_8859_7}, {"iso-8859-7", iso_8859_7},
    {"iso-ir-126", iso_8859_7}, {"iso8859-7", iso_8859_7}, {"iso88597", iso_8859_7},
    {"iso_8859-7", iso_8859_7}, {"iso_8859-7:1987", iso_8859_7}, {"sun_eu_greek", iso_8859_7},
    {"csiso88598e", iso_8859_8}, {"csisolatinhebrew", iso_8859_8}, {"hebrew", iso_8859_8},
    {"iso-8859-8", iso_8859_8}, {"iso-8859-8-e", iso_8859_8}, {"iso-ir-138", iso_8859_8},
    {"iso8859-8", iso_8859_8}, {"iso88598", iso_8859_8}, {"iso_8859-8", iso_8859_8},
    {"iso_8859-8:1988", iso_8859_8}, {"visual", iso_8859_8},
    {"csiso88598i", iso_8859_8_i}, {"iso-8859-8-i", iso_8859_8_i}, {"logical", iso_8859_8_i},
    {"csisolatin6", iso_8859_10}, {"iso-8859-10", iso_8859_10}, {"iso-ir-157", iso_8859_10},
    {"iso8859-10", iso_8859_10}, {"iso885910", iso_8859_10}, {"l6", iso_8859_10},
    {"latin6", iso_8859_10},
    {"iso-8859-13", iso_8859_13}, {"iso8859-13", iso_8859_13}, {"iso885913", iso_8859_13},
    {"iso-8859-14", iso_8859_14}, {"iso8859-14", iso_8859_14}, {"iso885914", iso_8859_14},
    {"csisolatin9", iso_8859_15}, {"iso-8859-15", iso_8859_15}, {"iso8859-15", iso_8859_15},
    {"iso885915", iso_8859_15}, {"iso_8859-15", iso_8859_15}, {"l9", iso_8859_15},
    {"iso-8859-16", iso_8859_16},
    {"cskoi8r", koi8_r}, {"koi", koi8_r}, {"koi8", koi8_r}, {"koi8-r", koi8_r}, {"koi8_r", koi8_r},
    {"koi8-ru", koi8_u}, {"koi8-u", koi8_u},
    {"csmacintosh", macintosh}, {"mac", macintosh}, {"macintosh", macintosh},
    {"x-mac-roman", macintosh},
    {"dos-874", windows_874}, {"iso-8859-11", windows_874}, {"iso8859-11", windows_874},
    {"iso885911", windows_874}, {"tis-620", windows_874}, {"windows-874", windows_874},
    {"cp1250", windows_1250}, {"windows-1250", windows_1250}, {"x-cp1250", windows_1250},
    {"cp1251", windows_1251}, {"windows-1251", windows_1251}, {"x-cp1251", windows_1251},
    {"ansi_x3.4-1968", windows_1252}, {"ascii", windows_1252}, {"cp1252", windows_1252},
    {"cp819", windows_1252}, {"csisolatin1", windows_1252}, {"ibm819", windows_1252},
    {"iso-8859-1", windows_1252}, {"iso-ir-100", windows_1252}, {"iso8859-1", windows_1252},
    {"iso88591", windows_1252}, {"iso_8859-1", windows_1252}, {"iso_8859-1:1987", windows_1252},
    {"l1", windows_1252}, {"latin1", windows_1252}, {"us-ascii", windows_1252},
    {"windows-1252", windows_1252}, {"x-cp1252", windows_1252},
    {"cp1253", windows_1253}, {"windows-1253", windows_1253}, {"x-cp1253", windows_1253},
    {"cp1254", windows_1254}, {"csisolatin5", windows_1254}, {"iso-8859-9", windows_1254},
    {"iso-ir-148", windows_1254}, {"iso8859-9", windows_1254}, {"iso88599", windows_1254},
    {"iso_8859-9", windows_1254}, {"iso_8859-9:1989", windows_1254}, {"l5", windows_1254},
    {"latin5", windows_1254}, {"windows-1254", windows_1254}, {"x-cp1254", windows_1254},
    {"cp1255", windows_1255}, {"windows-1255", windows_1255}, {"x-cp1255", windows_1255},
    {"cp1256", windows_1256}, {"windows-1256", windows_1256}, {"x-cp1256", windows_1256},
    {"cp1257", windows_1257}, {"windows-1257", windows_1257}, {"x-cp1257", windows_1257},
    {"cp1258", windows_1258}, {"windows-1258", windows_1258}, {"x-cp1258", windows_1258},
    {"x-mac-cyrillic", x_mac_cyrillic}, {"x-mac-ukrainian", x_mac_cyrillic},
    // Legacy multi-byte Chinese (simplified) encodings
    {"chinese", gbk}, {"csgb2312", gbk}, {"csiso58gb231280", gbk}, {"gb2312", gbk},
    {"gb_2312", gbk}, {"gb_2312-80", gbk}, {"gbk", gbk}, {"iso-ir-58", gbk}, {"x-gbk", gbk},
    {"gb18030", gb18030},
    // Legacy multi-byte Chinese (traditional) encodings
    {"big5", big5}, {"big5-hkscs", big5}, {"cn-big5", big5}, {"csbig5", big5},
    {"x-x-big5", big5},
    // Legacy multi-byte Japanese encodings
    {"cseucpkdfmtjapanese", euc_jp}, {"euc-jp", euc_jp}, {"x-euc-jp", euc_jp},
    {"csiso2022jp", iso_2022_jp}, {"iso-2022-jp", iso_2022_jp},
    {"csshiftjis", shift_jis}, {"ms932", shift_jis}, {"ms_kanji", shift_jis},
    {"shift-jis", shift_jis}, {"shift_jis", shift_jis}, {"sjis", shift_jis},
    {"windows-31j", shift_jis}, {"x-sjis", shift_jis},
    // Legacy multi-byte Korean encodings
    {"cseuckr", euc_kr}, {"csksc56011987", euc_kr}, {"euc-kr", euc_kr}, {"iso-ir-149", euc_kr},
    {"korean", euc_kr}, {"ks_c_5601-1987", euc_kr}, {"ks_c_5601-1989", euc_kr},
    {"ksc5601", euc_kr}, {"ksc_5601", euc_kr}, {"windows-949", euc_kr},
    // Legacy miscellaneous encodings
    {"csiso2022kr", replacement}, {"hz-gb-2312", replacement}, {"iso-2022-cn", replacement},
    {"iso-2022-cn-ext", replacement}, {"iso-2022-kr", replacement}, {"replacement", replacement},
    {"unicodefffe", utf_16be}, {"utf-16be", utf_16be},
    {"csunicode", utf_16le}, {"iso-10646-ucs-2", utf_16le}, {"ucs-2", utf_16le},
    {"unicode", utf_16le}, {"unicodefeff", utf_16le}, {"utf-16", utf_16le},
    {"utf-16le", utf_16le},
    {"x-user-defined", x_user_defined},
};
static_assert(std::size(LABELS) == 228);

constexpr bool is_ascii_whitespace(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool equals_ascii_case_insensitive(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::span<const Label> all_labels() { return LABELS; }

const Encoding* encoding_for_label(std::string_view label) {
  while (!label.empty() && is_ascii_whitespace(label.front())) label.remove_prefix(1);
  while (!label.empty() && is_ascii_whitespace(label.back())) label.remove_suffix(1);
  for (const Label& l : LABELS) {
    if (equals_ascii_case_insensitive(label, l.label)) return &encoding_of(l.id);
  }
  return nullptr;
}

const Encoding& output_encoding(const Encoding& e) {
  switch (e.id) {
    case utf_8:
    case utf_16le:
    case utf_16be:
    case replacement:
      return UTF_8;
    default:
      return e;  // NOLINT(bugprone-return-const-ref-from-parameter): encodings are static table entries
  }
}

}  // namespace nivern_text
