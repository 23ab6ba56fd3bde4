#pragma once
/// Sending a branch to a remote for the first time.
///
/// Threading: blocks the calling thread while git runs; nothing survives a call.
#include <expected>
#include <string>
#include <string_view>

namespace nivern_git::remote {

/// Pushes `branch` to `remote` and makes it the branch's upstream ("push --quiet
/// --set-upstream"). Both names are taken as names, never as options: one that git
/// cannot use comes back as git's own complaint.
[[nodiscard]] std::expected<void, std::string> publish(std::string_view workdir, std::string_view remote,
                                                       std::string_view branch);

}  // namespace nivern_git::remote
