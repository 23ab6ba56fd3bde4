#pragma once
/// The branch name that HEAD names, read straight from the git directory.
///
/// Threading: reads one file; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

namespace nivern_git::head {

/// The branch that the text of a HEAD file (well-formed UTF-8) names: "ref: refs/heads/x" gives "x" (the
/// empty name for "refs/heads/" alone), any other "ref:" its whole reference, a hash of
/// at least 7 hexadecimal digits its first 7; anything else gives none.
std::optional<std::string> parse(std::string_view text);

/// `parse` of `gitdir`/HEAD; none when it cannot be read as a regular file or is not
/// UTF-8.
std::optional<std::string> read(std::string_view gitdir);

}  // namespace nivern_git::head
