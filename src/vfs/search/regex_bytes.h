#pragma once
/// Patterns that match single bytes: the UTF-8 forms of code-point ranges as sequences
/// of byte ranges, and the rewriting of a pattern into byte form (see regex_translate.h),
/// where a character becomes its UTF-8 bytes and a class of characters the alternation
/// of its byte-range sequences.
///
/// Threading: pure functions over values; safe from any thread.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {

/// One UTF-8 form: the range of bytes allowed at each position.
using ByteSequence = std::vector<std::pair<std::uint8_t, std::uint8_t>>;

/// The UTF-8 forms of the code points in `ranges` (surrogates left out), in code-point
/// order; no byte string matches two of them.
[[nodiscard]] std::vector<ByteSequence> utf8_sequences(const Ranges& ranges);

/// Rewrites `hir` into byte form and sets `hir.bytes`: literals of non-ASCII characters
/// become their UTF-8 bytes and classes with non-ASCII members the alternation of their
/// UTF-8 forms (built once per class and shared). Nodes already marked `byte` and ASCII
/// pieces keep their meaning.
void to_byte_form(Hir& hir);

/// The UTF-8 forms of `ranges` spelled for RE2's Latin-1 mode, as one group.
[[nodiscard]] std::string re2_utf8_class(const Ranges& ranges);

}  // namespace nivern_vfs::regex
