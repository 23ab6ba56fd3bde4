#include "text/file_decoding.h"

#include <algorithm>
#include <array>
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
DecodedText over_limit(const Encoding& encoding) {
  DecodedText d;
  d.encoding = &encoding;
  d.over_limit = true;
  return d;
}

template <class IsUtf8, class FinishUtf8>
DecodedText detect(std::string_view bytes, IsUtf8 is_utf8, FinishUtf8 finish_utf8, std::size_t limit = SIZE_MAX) {
  const std::size_t n = bytes.size();
  // Decoded text takes at most 3 bytes for each byte of windows-1252 and for each two
  // of UTF-16: only input that could pass the limit is measured first.
  auto utf16_over = [&](std::string_view units, bool little) {
    return units.size() / 2 + 1 > limit / 3 && utf16_decoded_size(units, little) > limit;
  };
  // 1. A byte-order mark decides, and is dropped.
  if (n >= 3 && bytes.starts_with("\xEF\xBB\xBF")) {
    bool lossy = false;
    std::string text = decode_utf8(bytes.substr(3), &lossy);
    return finish_in_place(std::move(text), UTF_8, false, true, lossy);
  }
  if (n >= 2 && (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF"))) {
    const bool little = bytes[0] == '\xFF';
    if (utf16_over(bytes.substr(2), little)) return over_limit(little ? UTF_16LE : UTF_16BE);
    bool lossy = false;
    std::string text = decode_utf16(bytes.substr(2), little, &lossy);
    return finish_in_place(std::move(text), little ? UTF_16LE : UTF_16BE, false, true, lossy);
  }
  // 2. Zero bytes in one parity class of an even-length input suggest UTF-16.
  if (n % 2 == 0) {
    Utf16Guess g = guess_utf16(bytes);
    if (g != Utf16Guess::none) {
      const bool little = g == Utf16Guess::little_endian;
      if (utf16_over(bytes, little)) return over_limit(little ? UTF_16LE : UTF_16BE);
      bool lossy = false;
      std::string text = decode_utf16(bytes, little, &lossy);
      return finish_in_place(std::move(text), little ? UTF_16LE : UTF_16BE, true, false, lossy);
    }
  }
  // 3. Valid UTF-8 is its own text.
  if (is_utf8()) return finish_utf8();
  // 4. Anything else is windows-1252, which has a character for every byte.
  if (n > limit / 3 && windows1252_decoded_size(bytes) > limit) return over_limit(WINDOWS_1252);
  return finish_in_place(decode_windows1252(bytes), WINDOWS_1252, true, false, false);
}

}  // namespace

DecodedText decode(std::string_view bytes) {
  return detect(
      bytes, [&] { return is_valid_utf8(bytes); },
      [&] { return finish(bytes, UTF_8, false, false, false); });
}

DecodedText decode_in_place(std::string&& bytes, std::size_t limit) {
  return detect(
      bytes, [&] { return is_valid_utf8(bytes); },
      [&] { return finish_in_place(std::move(bytes), UTF_8, false, false, false); }, limit);
}

std::size_t utf16_decoded_size(std::string_view bytes, bool little_endian) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) -> unsigned {
    return little_endian ? p[2 * i] | p[2 * i + 1] << 8 : p[2 * i] << 8 | p[2 * i + 1];
  };
  bool dangling = bytes.size() % 2 != 0;  // a last byte alone: one U+FFFD
  std::size_t size = 0;
  for (std::size_t i = 0; i < units; ++i) {
    const unsigned u = unit(i);
    const bool lead = u >= 0xD800 && u < 0xDC00;
    if (u < 0x80) {
      size += 1;
    } else if (u < 0x800) {
      size += 2;
    } else if (lead && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
      size += 4;
      ++i;
    } else {
      // The rest of the plane, or a lone surrogate's U+FFFD, which a lead surrogate
      // at the end shares with a last byte alone.
      if (lead && i + 1 == units) dangling = false;
      size += 3;
    }
  }
  return size + (dangling ? 3 : 0);
}

std::size_t windows1252_decoded_size(std::string_view bytes) {
  static const auto kLength = [] {
    std::array<unsigned char, 256> length{};
    for (unsigned b = 0; b < 256; ++b) {
      length[b] = static_cast<unsigned char>(decode_windows1252(std::string(1, static_cast<char>(b))).size());
    }
    return length;
  }();
  std::size_t size = 0;
  for (unsigned char b : bytes) size += kLength[b];
  return size;
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
