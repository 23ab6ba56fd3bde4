#pragma once
/// Appending code points to UTF-8 strings; shared by the decoders and encoders here.
/// Pure inline helpers, safe from any thread.
#include <string>

namespace nivern_text {

/// Appends `cp` (a Unicode scalar value, never a surrogate) as UTF-8.
inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

/// Appends U+FFFD REPLACEMENT CHARACTER.
inline void append_replacement(std::string& out) { out.append("\xEF\xBF\xBD", 3); }

}  // namespace nivern_text
