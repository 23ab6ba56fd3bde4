#pragma once
/// Byte-to-text decoders of the encodings a file can be read in: UTF-8, UTF-16 (either
/// byte order) and windows-1252. Each follows the WHATWG Encoding Standard's decoder for
/// its encoding, without any byte-order-mark handling: malformed input becomes U+FFFD
/// and is reported through the `replaced` flag.
///
/// Pure functions: no state, safe from any thread. The output is always valid UTF-8.
#include <string>
#include <string_view>

namespace nivern_text {

/// True when `bytes` is valid UTF-8 (no overlong forms, no surrogates, nothing above
/// U+10FFFF, no truncated sequence). Runs at memory speed on ASCII.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

/// Decodes UTF-8, replacing each maximal subpart of a malformed sequence with one
/// U+FFFD. `replaced` (when given) is set to whether any replacement happened.
[[nodiscard]] std::string decode_utf8(std::string_view bytes, bool* replaced = nullptr);

/// Decodes UTF-16 code units in the given byte order into UTF-8. A lone surrogate and a
/// dangling last byte (odd input length) each become U+FFFD. `replaced` as above.
[[nodiscard]] std::string decode_utf16(std::string_view bytes, bool little_endian,
                                       bool* replaced = nullptr);

/// Decodes windows-1252 (every byte maps to a character: 0x80 is U+20AC, 0x81 is
/// U+0081, ...). Never replaces anything.
[[nodiscard]] std::string decode_windows1252(std::string_view bytes);

/// The display form of a file-system path: its bytes read as UTF-8, each invalid
/// sequence shown as U+FFFD. Valid UTF-8 comes back unchanged.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

}  // namespace nivern_text
