#pragma once
/// Running the GitHub command-line tool `gh` for pull requests.
///
/// Threading: `run` blocks the calling thread until gh has ended; no time limit.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/message.h"

namespace nivern_git::pr {

/// Where the message for a missing `gh` sends the user.
inline constexpr std::string_view GH_DOWNLOAD = "https://cli.github.com";

/// Runs "gh" with exactly `args`, in `workdir` (set in the child only), standard input
/// the null device, `command::unattended`. gh is looked up on our PATH, absolute entries
/// only, before the child changes directory: never in the work tree. Exit status 0
/// gives standard output. Otherwise:
/// "gh is not installed; get it from https://cli.github.com" when gh is not found,
/// "cannot run gh: {}" for any other start failure, and for a failed run the last
/// non-blank line of its standard error, trimmed, or "gh refused".
[[nodiscard]] std::expected<std::string, std::string> run(std::string_view workdir,
                                                          std::vector<std::string> args);

/// The "--template" of "gh pr list --json number,title,headRefName": one line per pull
/// request, its number, title and head branch separated by TABs.
inline constexpr std::string_view LIST_TEMPLATE =
    "{{range .}}{{.number}}\t{{.title}}\t{{.headRefName}}{{\"\\n\"}}{{end}}";

/// The pull requests of `out` (decoded with replacement), one per line: the line split
/// at TABs into number, title and the whole rest as the branch, each trimmed. Skipped:
/// lines with fewer than two TABs and lines whose number is not an unsigned 64-bit
/// decimal (one leading "+" allowed).
std::vector<nivern_protocol::message::PullSummary> parse_list(std::string_view out);

}  // namespace nivern_git::pr
