#pragma once
/// Sending a branch to a remote for the first time.
///
/// Threading: blocks the calling thread while git runs; nothing survives a call.
#include <expected>
#include <string>
#include <string_view>

namespace nivern_git::remote {

/// Pushes the local branch named `branch` to the branch of the same name on `remote`
/// and makes it the branch's upstream ("push --quiet --set-upstream"). The push is
/// spelled "refs/heads/NAME:refs/heads/NAME", so no name can turn into a deletion
/// (":x"), a forced update ("+x"), another destination ("x:y") or a pattern ("*"): a
/// name holding ":" or "*", which no branch can have, is refused with "'{}' is not a
/// valid branch name" before anything runs; any other name that is not a local branch
/// comes back as git's own complaint. The remote is taken as a name, never an option.
[[nodiscard]] std::expected<void, std::string> publish(std::string_view workdir, std::string_view remote,
                                                       std::string_view branch);

}  // namespace nivern_git::remote
