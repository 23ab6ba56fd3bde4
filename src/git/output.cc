#include "git/output.h"

#include <cstdint>

#include "text/utf8.h"

namespace nivern_git::output {

namespace {

// The character at text[at] and its length; a byte that starts no well-formed sequence
// is one character that is not white space.
nivern_text::Utf8Char char_at(std::string_view text, std::size_t at) {
  auto c = nivern_text::decode_utf8_char(text, at);
  if (c.length == 0) return {0xFFFD, 1};
  return c;
}

}  // namespace

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
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

std::optional<std::string_view> last_line(std::string_view text, bool skip_hints) {
  // The empty piece after a final "\n" is not a line.
  if (text.ends_with('\n')) text.remove_suffix(1);
  else if (text.empty()) return std::nullopt;
  for (;;) {
    std::size_t nl = text.rfind('\n');
    std::string_view line = nl == std::string_view::npos ? text : text.substr(nl + 1);
    std::string_view t = trim(line);
    if (!t.empty() && !(skip_hints && t.starts_with("hint:"))) return t;
    if (nl == std::string_view::npos) return std::nullopt;
    text = text.substr(0, nl);
  }
}

}  // namespace nivern_git::output
