#pragma once
/// The size of a query's compiled program, counted the way the library that defines the
/// syntax counts it, so that the same queries are refused.
///
/// That library simplifies its intermediate form (concatenated literals merge, nested
/// concatenations and alternations flatten, alternations of single characters or classes
/// become one class, a common leading part of the branches is factored out, x{1} is x),
/// then builds two automata from it under the same limit: a forward one, with capture
/// states and an unanchored `(?s-u:.)*?` prefix, and a reverse one. While it builds, it
/// adds up 32 bytes per state, 8 per transition of a multi-range state and 4 per branch
/// of a union, and fails as soon as the total passes the limit. Classes are compiled to
/// UTF-8 byte ranges: forward into a near-minimal automaton whose states are shared
/// through a 10,000-slot cache, in reverse as chains whose common suffixes are shared
/// through a 1,000-slot cache; both caches are keyed by state numbers, so collisions
/// depend on where a class falls in the program. The model replays that construction
/// (state numbering, caches and all) without building anything.
///
/// Threading: pure functions over values; safe from any thread.
#include <cstdint>
#include <string_view>

#include "vfs/search/regex_translate.h"

namespace nivern_vfs::regex {

/// The compiled-program size limit, and its message.
inline constexpr std::uint64_t SIZE_LIMIT = 104857600;
inline constexpr std::string_view SIZE_LIMIT_MESSAGE = "compiled regex exceeds size limit of 104857600";

/// Bytes of one automaton state while the program is built.
inline constexpr std::uint64_t STATE_BYTES = 32;

/// The larger of the two automata's sizes in bytes. `whole_word` adds the half word
/// assertions around the pattern. Counting stops once past `limit`: a result over the
/// limit means only that the pattern is refused, and costs no more than the limit's
/// worth of work.
[[nodiscard]] std::uint64_t program_size(const Hir& hir, bool whole_word, std::uint64_t limit = SIZE_LIMIT);

}  // namespace nivern_vfs::regex
