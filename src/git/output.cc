#include "git/output.h"

#include <cstdint>
#include <cstring>

namespace nivern_git::output {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `at`, or 0 with `bad` = the length of its
// maximal ill-formed subpart (at least 1).
std::size_t sequence(std::string_view s, std::size_t at, std::size_t& bad) {
  auto b = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  std::uint8_t lead = b(at);
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (at + i >= s.size()) break;
    std::uint8_t c = b(at + i);
    if (i == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) break;
  }
  if (i > need) return need + 1;
  bad = i;
  return 0;
}

// Offset of the first byte that is not ASCII or not well-formed, from `at`.
std::size_t valid_prefix(std::string_view s, std::size_t at) {
  while (at < s.size()) {
    if (s.size() - at >= 8) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + at, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        at += 8;
        continue;
      }
    }
    std::size_t bad = 0;
    std::size_t n = sequence(s, at, bad);
    if (n == 0) return at;
    at += n;
  }
  return at;
}

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

bool valid_utf8(std::string_view bytes) { return valid_prefix(bytes, 0) == bytes.size(); }

std::string lossy(std::string_view bytes) {
  std::size_t good = valid_prefix(bytes, 0);
  if (good == bytes.size()) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  std::size_t at = 0;
  while (at < bytes.size()) {
    good = valid_prefix(bytes, at);
    out.append(bytes.substr(at, good - at));
    at = good;
    if (at == bytes.size()) break;
    std::size_t bad = 0;
    sequence(bytes, at, bad);
    out.append(REPLACEMENT);
    at += bad;
  }
  return out;
}

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
