#pragma once
/// Text-to-byte encoders for `save`: the WHATWG encoder of every encoding in its html
/// error mode (a character the encoding cannot represent is written as the decimal
/// numeric character reference "&#N;"), and UTF-16 in either byte order.
///
/// Pure functions, safe from any thread (each call opens its own converter).
#include <string>
#include <string_view>

#include "text/encoding_labels.h"

namespace nivern_text {

/// Encodes the UTF-8 `text` with the encoder of `output`, which must be an output
/// encoding (see `output_encoding`): never UTF-16LE, UTF-16BE or replacement. UTF-8
/// gives the text's own bytes. Invalid UTF-8 in `text` is taken as U+FFFD.
[[nodiscard]] std::string encode_html(const Encoding& output, std::string_view text);

/// The UTF-16 code units of the UTF-8 `text` in the given byte order, without a mark.
/// Invalid UTF-8 in `text` is taken as U+FFFD.
[[nodiscard]] std::string encode_utf16(std::string_view text, bool little_endian);

}  // namespace nivern_text
