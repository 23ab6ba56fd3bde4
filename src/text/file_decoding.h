#pragma once
/// Turning a file's bytes into the text the editor edits: detection of the encoding
/// (byte-order mark, UTF-16 guess, strict UTF-8, windows-1252 fallback), decoding, and
/// the line-ending measurements with CR LF turned into LF.
///
/// Pure: no I/O, no state, no failure; safe from any thread. The result owns its text.
#include <cstdint>
#include <string>
#include <string_view>

#include "text/encoding_labels.h"

namespace nivern_text::encoding {

struct DecodedText {
  /// The decoded text with the CR of every CR LF removed. Valid UTF-8.
  std::string text;
  /// One of UTF-8, UTF-16LE, UTF-16BE and windows-1252; a static record.
  const Encoding* encoding = &UTF_8;
  /// CR LF strictly outnumbers bare LF.
  bool crlf = false;
  /// The text has at least one CR LF and at least one bare LF.
  bool mixed = false;
  /// The encoding was inferred without a byte-order mark.
  bool guessed = false;
  /// The input began with a byte-order mark (not part of `text`).
  bool bom = false;
  /// Some malformed input was replaced with U+FFFD.
  bool lossy = false;
  /// Decoding from UTF-16 or windows-1252 would have made more than the caller's limit
  /// of text; nothing was decoded and `text` is empty.
  bool over_limit = false;
};

/// Bytes of the UTF-16 guess window.
inline constexpr std::size_t GUESS_WINDOW = 4096;

/// The UTF-16 byte order that zero bytes suggest for `bytes` (an even count of them):
/// among the first `GUESS_WINDOW` bytes, more than a quarter of the window in zeros at
/// odd offsets only means little-endian, at even offsets only big-endian.
enum class Utf16Guess { none, little_endian, big_endian };
[[nodiscard]] Utf16Guess guess_utf16(std::string_view bytes);

/// Detects the encoding of `bytes`, decodes them and finishes the text.
[[nodiscard]] DecodedText decode(std::string_view bytes);

/// The same, consuming `bytes`: when they are UTF-8 the text is made in their own
/// buffer, with no second copy of a large file in memory. Text decoded from UTF-16 or
/// windows-1252 is measured first and not made when it would pass `limit` bytes
/// (`over_limit`).
[[nodiscard]] DecodedText decode_in_place(std::string&& bytes, std::size_t limit = SIZE_MAX);

/// The UTF-8 length of `bytes` decoded from UTF-16 in the given byte order, and from
/// windows-1252.
[[nodiscard]] std::size_t utf16_decoded_size(std::string_view bytes, bool little_endian);
[[nodiscard]] std::size_t windows1252_decoded_size(std::string_view bytes);

/// Measures the line endings of `text`, builds its copy without the CR of each CR LF
/// and packs the record with the given encoding and flags.
[[nodiscard]] DecodedText finish(std::string_view text, const Encoding& encoding, bool guessed,
                                 bool bom, bool lossy);

/// The same, removing the CRs in `text`'s own buffer, which the record then owns.
[[nodiscard]] DecodedText finish_in_place(std::string&& text, const Encoding& encoding,
                                          bool guessed, bool bom, bool lossy);

}  // namespace nivern_text::encoding
