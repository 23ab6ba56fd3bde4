#pragma once
/// The encodings of the WHATWG Encoding Standard and their labels.
///
/// Each encoding is one static `Encoding` record for the life of the program: hand out
/// references, compare by identity, never copy or free one. Lookups are pure and safe
/// from any thread.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace nivern_text {

/// The 40 encodings, in the order the Encoding Standard lists them.
enum class EncodingId : std::uint8_t {
  utf_8,
  ibm866, iso_8859_2, iso_8859_3, iso_8859_4, iso_8859_5, iso_8859_6, iso_8859_7,
  iso_8859_8, iso_8859_8_i, iso_8859_10, iso_8859_13, iso_8859_14, iso_8859_15,
  iso_8859_16, koi8_r, koi8_u, macintosh, windows_874, windows_1250, windows_1251,
  windows_1252, windows_1253, windows_1254, windows_1255, windows_1256, windows_1257,
  windows_1258, x_mac_cyrillic,
  gbk, gb18030,
  big5,
  euc_jp, iso_2022_jp, shift_jis,
  euc_kr,
  replacement, utf_16be, utf_16le, x_user_defined,
};

inline constexpr std::size_t ENCODING_COUNT = 40;

struct Encoding {
  EncodingId id;
  /// The name as the editor sees it: "UTF-8", "windows-1252", "Shift_JIS", ...
  std::string_view name;
};

/// Every encoding, in `EncodingId` order.
inline constexpr Encoding ENCODINGS[ENCODING_COUNT] = {
    {EncodingId::utf_8, "UTF-8"},
    {EncodingId::ibm866, "IBM866"},
    {EncodingId::iso_8859_2, "ISO-8859-2"},
    {EncodingId::iso_8859_3, "ISO-8859-3"},
    {EncodingId::iso_8859_4, "ISO-8859-4"},
    {EncodingId::iso_8859_5, "ISO-8859-5"},
    {EncodingId::iso_8859_6, "ISO-8859-6"},
    {EncodingId::iso_8859_7, "ISO-8859-7"},
    {EncodingId::iso_8859_8, "ISO-8859-8"},
    {EncodingId::iso_8859_8_i, "ISO-8859-8-I"},
    {EncodingId::iso_8859_10, "ISO-8859-10"},
    {EncodingId::iso_8859_13, "ISO-8859-13"},
    {EncodingId::iso_8859_14, "ISO-8859-14"},
    {EncodingId::iso_8859_15, "ISO-8859-15"},
    {EncodingId::iso_8859_16, "ISO-8859-16"},
    {EncodingId::koi8_r, "KOI8-R"},
    {EncodingId::koi8_u, "KOI8-U"},
    {EncodingId::macintosh, "macintosh"},
    {EncodingId::windows_874, "windows-874"},
    {EncodingId::windows_1250, "windows-1250"},
    {EncodingId::windows_1251, "windows-1251"},
    {EncodingId::windows_1252, "windows-1252"},
    {EncodingId::windows_1253, "windows-1253"},
    {EncodingId::windows_1254, "windows-1254"},
    {EncodingId::windows_1255, "windows-1255"},
    {EncodingId::windows_1256, "windows-1256"},
    {EncodingId::windows_1257, "windows-1257"},
    {EncodingId::windows_1258, "windows-1258"},
    {EncodingId::x_mac_cyrillic, "x-mac-cyrillic"},
    {EncodingId::gbk, "GBK"},
    {EncodingId::gb18030, "gb18030"},
    {EncodingId::big5, "Big5"},
    {EncodingId::euc_jp, "EUC-JP"},
    {EncodingId::iso_2022_jp, "ISO-2022-JP"},
    {EncodingId::shift_jis, "Shift_JIS"},
    {EncodingId::euc_kr, "EUC-KR"},
    {EncodingId::replacement, "replacement"},
    {EncodingId::utf_16be, "UTF-16BE"},
    {EncodingId::utf_16le, "UTF-16LE"},
    {EncodingId::x_user_defined, "x-user-defined"},
};

/// The record of one encoding.
constexpr const Encoding& encoding_of(EncodingId id) { return ENCODINGS[static_cast<std::size_t>(id)]; }

/// The four encodings a file can be decoded in.
inline constexpr const Encoding& UTF_8 = ENCODINGS[static_cast<std::size_t>(EncodingId::utf_8)];
inline constexpr const Encoding& UTF_16LE = ENCODINGS[static_cast<std::size_t>(EncodingId::utf_16le)];
inline constexpr const Encoding& UTF_16BE = ENCODINGS[static_cast<std::size_t>(EncodingId::utf_16be)];
inline constexpr const Encoding& WINDOWS_1252 =
    ENCODINGS[static_cast<std::size_t>(EncodingId::windows_1252)];

struct Label {
  std::string_view label;  // lower case, as the Encoding Standard writes it
  EncodingId id;
};

/// The label table: 228 labels, grouped by encoding as the Encoding Standard lists them.
[[nodiscard]] std::span<const Label> all_labels();

/// The Encoding Standard's "get an encoding": ASCII whitespace (TAB, LF, FF, CR, SPACE)
/// at both ends is ignored and the rest matches a label ASCII case-insensitively.
/// Null when nothing matches.
[[nodiscard]] const Encoding* encoding_for_label(std::string_view label);

/// The encoding whose encoder writes bytes for `e`: UTF-8 for UTF-8, UTF-16LE, UTF-16BE
/// and replacement, `e` itself otherwise.
[[nodiscard]] const Encoding& output_encoding(const Encoding& e);

}  // namespace nivern_text
