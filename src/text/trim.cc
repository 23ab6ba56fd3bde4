#include "text/trim.h"

#include <cstdint>

#include "text/utf8.h"

namespace nivern_text {

namespace {

// The character at text[at] and its length; a byte that starts no well-formed sequence
// is one character that is not white space.
Utf8Char char_at(std::string_view text, std::size_t at) {
  auto c = decode_utf8_char(text, at);
  if (c.length == 0) return {0xFFFD, 1};
  return c;
}

}  // namespace

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim(std::string_view text) {
  while (!text.empty()) {
    auto c = char_at(text, 0);
    if (!is_white_space(c.cp)) break;
    text.remove_prefix(c.length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    auto c = char_at(text, start);
    if (c.length != text.size() - start || !is_white_space(c.cp)) break;
    text.remove_suffix(c.length);
  }
  return text;
}

std::string_view trim_path_end(std::string_view path) {
  while (path.size() > 1 && (path.ends_with('/') || path.ends_with("/."))) path.remove_suffix(1);
  return path;
}

}  // namespace nivern_text
