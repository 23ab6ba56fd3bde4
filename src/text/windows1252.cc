// windows-1252 decoding: 0x00..0x7F and 0xA0..0xFF are their own code points; the
// table covers 0x80..0x9F, where five positions stand for the C1 controls.
#include "text/byte_decoders.h"
#include "text/utf8.h"

namespace nivern_text {
namespace {

constexpr char16_t HIGH_C1[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

}  // namespace

std::string decode_windows1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else if (b < 0xA0) {
      append_utf8(out, HIGH_C1[b - 0x80]);
    } else {
      append_utf8(out, b);
    }
  }
  return out;
}

}  // namespace nivern_text
