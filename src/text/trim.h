#pragma once
/// Trimming: Unicode white space off text, trailing separators and "." components off
/// paths.
///
/// Threading: pure functions on their arguments; safe from any thread.
#include <string_view>

namespace nivern_text {

/// True for the characters with the Unicode White_Space property.
[[nodiscard]] bool is_white_space(char32_t c);

/// `text` without Unicode white space at either end. Bytes that are not well-formed
/// UTF-8 count as characters that are not white space.
[[nodiscard]] std::string_view trim(std::string_view text);

/// `path` without trailing separators and trailing "." components, keeping a root
/// ("/") and a leading ".": "a/b/./" gives "a/b", "/." gives "/", "./" gives ".".
[[nodiscard]] std::string_view trim_path_end(std::string_view path);

}  // namespace nivern_text
