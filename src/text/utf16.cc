// UTF-16 decoding (either byte order) into UTF-8.
#include <cstdint>

#include "text/byte_decoders.h"
#include "text/utf8.h"

namespace nivern_text {

std::string decode_utf16(std::string_view bytes, bool little_endian, bool* replaced) {
  bool any = false;
  std::string out;
  const std::size_t units = bytes.size() / 2;
  // Every unit gives at most 3 bytes of UTF-8 (a pair gives 4 for 2 units).
  out.reserve(units * 3 + 3);
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  char16_t lead = 0;  // a pending leading surrogate, 0 when none
  for (std::size_t i = 0; i < units; ++i, p += 2) {
    char16_t u = little_endian ? static_cast<char16_t>(p[0] | (p[1] << 8))
                               : static_cast<char16_t>((p[0] << 8) | p[1]);
    if (lead != 0) {
      if (u >= 0xDC00 && u <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((char32_t(lead) - 0xD800) << 10) + (u - 0xDC00));
        lead = 0;
        continue;
      }
      // The pending surrogate is lone; this unit is decoded on its own.
      append_replacement(out);
      any = true;
      lead = 0;
    }
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      lead = u;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      append_replacement(out);
      any = true;
    } else {
      append_utf8(out, u);
    }
  }
  // A leading surrogate or a dangling byte at the end: one replacement for both.
  if (lead != 0 || bytes.size() % 2 != 0) {
    append_replacement(out);
    any = true;
  }
  if (replaced) *replaced = any;
  return out;
}

}  // namespace nivern_text
