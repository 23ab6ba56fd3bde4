// UTF-8 validation and decoding, with an ASCII fast path of 16 bytes per step.
#include <bit>
#include <cstdint>
#include <cstring>

#include "text/byte_decoders.h"
#include "text/utf8.h"

namespace nivern_text {
namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

/// Skips ASCII bytes from `p`, many at a time; returns the first non-ASCII byte or `end`.
const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) {
  while (end - p >= 16) {
    std::uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    if ((a | b) & HIGH_BITS) {
      if (a & HIGH_BITS) return p + std::countr_zero(a & HIGH_BITS) / 8;
      return p + 8 + std::countr_zero(b & HIGH_BITS) / 8;
    }
    p += 16;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  auto* end = p + bytes.size();
  for (;;) {
    p = skip_ascii(p, end);
    if (p == end) return true;
    std::size_t n = utf8_multibyte_length(p, end);
    if (n == 0) return false;
    p += n;
  }
}

std::string decode_utf8(std::string_view bytes, bool* replaced) {
  bool any = false;
  std::string out;
  if (is_valid_utf8(bytes)) {
    out.assign(bytes);
  } else {
    out.reserve(bytes.size() + bytes.size() / 2);
    auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    auto* end = p + bytes.size();
    while (p < end) {
      auto* ascii_end = skip_ascii(p, end);
      out.append(reinterpret_cast<const char*>(p), ascii_end - p);
      p = ascii_end;
      if (p == end) break;
      Utf8Shape s = utf8_shape(*p);
      if (s.continuations == 0) {
        append_replacement(out);
        any = true;
        ++p;
        continue;
      }
      // Take continuation bytes while they fit; the first misfit ends the maximal
      // subpart, which becomes one U+FFFD, and is itself looked at again.
      const unsigned char* q = p + 1;
      bool whole = true;
      for (int i = 0; i < s.continuations; ++i, ++q) {
        unsigned char lo = i == 0 ? s.lower : 0x80;
        unsigned char hi = i == 0 ? s.upper : 0xBF;
        if (q == end || *q < lo || *q > hi) {
          whole = false;
          break;
        }
      }
      if (whole) {
        out.append(reinterpret_cast<const char*>(p), q - p);
      } else {
        append_replacement(out);
        any = true;
      }
      p = q;
    }
  }
  if (replaced) *replaced = any;
  return out;
}

std::string lossy_utf8(std::string_view bytes) { return decode_utf8(bytes); }

}  // namespace nivern_text
