#pragma once
/// Line endings of decoded text: counting LF and CR LF, removing the CR of every CR LF
/// (what `open` hands the editor) and writing every LF as CR LF (what `save` writes).
///
/// Pure functions over UTF-8 text, safe from any thread; each runs at memory speed.
#include <cstddef>
#include <string>
#include <string_view>

namespace nivern_text::line_ending {

struct Counts {
  std::size_t lfs = 0;    // LF bytes
  std::size_t pairs = 0;  // CR LF pairs, i.e. LFs directly preceded by a CR
};

/// Counts LF bytes and CR LF pairs in one pass.
[[nodiscard]] Counts count(std::string_view text);

/// Appends `text` to `out` with every CR that directly precedes an LF removed (other
/// CRs stay), and counts `text` in the same pass. `out` never grows past its size plus
/// `text.size()`.
Counts append_without_cr_before_lf(std::string& out, std::string_view text);

/// A text at least twice this long is stripped by `remove_cr_before_lf` in parts, on
/// short-lived helper threads joined before it returns.
inline constexpr std::size_t PART_MIN = std::size_t{4} << 20;

/// Removes, in place, every CR that directly precedes an LF (other CRs stay), and
/// counts the text as it was, in the same pass.
Counts remove_cr_before_lf(std::string& text);

/// `text` with every LF written as CR LF; nothing else changes (an existing CR before
/// an LF stays, so CR LF becomes CR CR LF).
[[nodiscard]] std::string with_crlf(std::string_view text);

}  // namespace nivern_text::line_ending
