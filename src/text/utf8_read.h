#pragma once
/// Reading code points from UTF-8 text that is known to be valid (checked beforehand
/// with `is_valid_utf8`); the counterpart of utf8_write.h. Pure inline helpers, safe
/// from any thread.
#include <cstddef>
#include <string_view>

namespace nivern_text {

/// The number of bytes of the sequence that starts with `lead`.
inline std::size_t utf8_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

/// The code point at `text[at]`, which must start a whole, valid sequence.
inline char32_t utf8_at(std::string_view text, std::size_t at) {
  const auto b0 = static_cast<unsigned char>(text[at]);
  const std::size_t len = utf8_length(b0);
  if (len == 1) return b0;
  char32_t cp = b0 & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  }
  return cp;
}

/// The number of bytes `cp` takes in UTF-8.
inline std::size_t utf8_size(char32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

}  // namespace nivern_text
