#include "git/output.h"

#include <cstdint>
#include <cstring>

namespace nivern_git::output {

namespace {

char32_t decode_at(std::string_view s, std::size_t at, std::size_t& len) {
  auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<std::uint8_t>(s[i])); };
  char32_t c = b(at);
  if (c < 0x80) {
    len = 1;
    return c;
  }
  if (c < 0xE0) {
    len = 2;
    return ((c & 0x1F) << 6) | (b(at + 1) & 0x3F);
  }
  if (c < 0xF0) {
    len = 3;
    return ((c & 0x0F) << 12) | ((b(at + 1) & 0x3F) << 6) | (b(at + 2) & 0x3F);
  }
  len = 4;
  return ((c & 0x07) << 18) | ((b(at + 1) & 0x3F) << 12) | ((b(at + 2) & 0x3F) << 6) | (b(at + 3) & 0x3F);
}

}  // namespace


bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim(std::string_view text) {
  std::size_t len = 0;
  while (!text.empty() && is_white_space(decode_at(text, 0, len))) text.remove_prefix(len);
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    if (!is_white_space(decode_at(text, start, len))) break;
    text.remove_suffix(text.size() - start);
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
