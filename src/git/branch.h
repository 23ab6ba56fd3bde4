#pragma once
/// Names listed one per line by git ("for-each-ref --format", "remote").
///
/// Threading: pure functions; safe from any thread.
#include <string>
#include <string_view>
#include <vector>

namespace nivern_git::branch {

/// The lines of `out` (git's output, decoded with replacement), each trimmed of white
/// space, blank ones skipped, in output order.
std::vector<std::string> list(std::string_view out);

}  // namespace nivern_git::branch
