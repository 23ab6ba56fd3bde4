#pragma once
/// The git state of one porcelain status record, from its two status letters X
/// (index) and Y (work tree).
///
/// Threading: pure functions; safe from any thread.
#include <optional>

#include "protocol/message.h"

namespace nivern_git::state {

using nivern_protocol::message::GitState;

/// One status letter: "M", "R" and "T" modified; "A" and "C" added; "D" deleted;
/// anything else none.
std::optional<GitState> letter(char c);

/// The overall state of a record with letters `x` and `y`; none: the record is skipped
/// (ignored files, and letters that say nothing).
std::optional<GitState> overall(char x, char y);

}  // namespace nivern_git::state
