#include "text/file_decoding.h"

#include <algorithm>
#include <utility>

#include "text/byte_decoders.h"
#include "text/line_ending.h"

namespace nivern_text::encoding {

Utf16Guess guess_utf16(std::string_view bytes) {
  const std::size_t m = std::min(bytes.size(), GUESS_WINDOW);
  const std::size_t q = m / 4;
  std::size_t even = 0;
  std::size_t odd = 0;
  for (std::size_t i = 0; i < m; ++i) {
    if (bytes[i] == '\0') ++(i % 2 == 0 ? even : odd);
  }
  if (odd > q && even <= q) return Utf16Guess::little_endian;
  if (even > q && odd <= q) return Utf16Guess::big_endian;
  return Utf16Guess::none;
}

namespace {

/// Steps 1, 2 and 4 of the detection: a byte-order mark, the UTF-16 guess, and the
/// windows-1252 fallback once `bytes` are known not to be UTF-8. Each decodes into a new
/// string, which is finished in place. `utf8` says whether `bytes` are valid UTF-8, asked
/// only when no mark or guess applies.
template <class IsUtf8, class FinishUtf8>
DecodedText detect(std::string_view bytes, IsUtf8 is_utf8, FinishUtf8 finish_utf8) {
  const std::size_t n = bytes.size();
  // 1. A byte-order mark decides, and is dropped.
  if (n >= 3 && bytes.starts_with("\xEF\xBB\xBF")) {
    bool lossy = false;
    std::string text = decode_utf8(bytes.substr(3), &lossy);
    return finish_in_place(std::move(text), UTF_8, false, true, lossy);
  }
  if (n >= 2 && (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF"))) {
    const bool little = bytes[0] == '\xFF';
    bool lossy = false;
    std::string text = decode_utf16(bytes.substr(2), little, &lossy);
    return finish_in_place(std::move(text), little ? UTF_16LE : UTF_16BE, false, true, lossy);
  }
  // 2. Zero bytes in one parity class of an even-length input suggest UTF-16.
  if (n % 2 == 0) {
    Utf16Guess g = guess_utf16(bytes);
    if (g != Utf16Guess::none) {
      const bool little = g == Utf16Guess::little_endian;
      bool lossy = false;
      std::string text = decode_utf16(bytes, little, &lossy);
      return finish_in_place(std::move(text), little ? UTF_16LE : UTF_16BE, true, false, lossy);
    }
  }
  // 3. Valid UTF-8 is its own text.
  if (is_utf8()) return finish_utf8();
  // 4. Anything else is windows-1252, which has a character for every byte.
  return finish_in_place(decode_windows1252(bytes), WINDOWS_1252, true, false, false);
}

}  // namespace

DecodedText decode(std::string_view bytes) {
  return detect(
      bytes, [&] { return is_valid_utf8(bytes); },
      [&] { return finish(bytes, UTF_8, false, false, false); });
}

DecodedText decode_in_place(std::string&& bytes) {
  return detect(
      bytes, [&] { return is_valid_utf8(bytes); },
      [&] { return finish_in_place(std::move(bytes), UTF_8, false, false, false); });
}

namespace {

DecodedText pack(std::string&& text, const line_ending::Counts& c, const Encoding& encoding,
                 bool guessed, bool bom, bool lossy) {
  const std::size_t bare = c.lfs - c.pairs;
  DecodedText d;
  d.text = std::move(text);
  d.encoding = &encoding;
  d.crlf = c.pairs > bare;
  d.mixed = c.pairs != 0 && c.lfs != c.pairs;
  d.guessed = guessed;
  d.bom = bom;
  d.lossy = lossy;
  return d;
}

}  // namespace

DecodedText finish(std::string_view text, const Encoding& encoding, bool guessed, bool bom,
                   bool lossy) {
  std::string out;
  const line_ending::Counts c = line_ending::append_without_cr_before_lf(out, text);
  return pack(std::move(out), c, encoding, guessed, bom, lossy);
}

DecodedText finish_in_place(std::string&& text, const Encoding& encoding, bool guessed,
                            bool bom, bool lossy) {
  const line_ending::Counts c = line_ending::remove_cr_before_lf(text);
  return pack(std::move(text), c, encoding, guessed, bom, lossy);
}

}  // namespace nivern_text::encoding
