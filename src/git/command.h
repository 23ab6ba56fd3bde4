#pragma once
/// Running `git` in a work tree, and the one-line message of a failed run.
///
/// Threading: `run` blocks the calling thread (the main thread, inside one request)
/// until git has ended; there is no time limit. Nothing is shared between calls.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace nivern_git::command {

/// The option that makes git read every path of a command as the literal name of a
/// file or directory: no glob and no pathspec magic (":(top)", ":/"). It goes before the
/// subcommand of every run that carries paths from a request.
inline constexpr std::string_view LITERAL_PATHS = "--literal-pathspecs";

/// Makes `c` a run that never waits for a person: a session of its own (no controlling
/// terminal, so neither git nor an ssh it starts can prompt on one), git's terminal
/// prompt off, and a PATH of absolute entries only, so nothing the child looks up is
/// found in the work tree it runs in. Every other variable is inherited, so credential
/// helpers and ssh settings the user has made still work. Standard input stays the
/// null device unless the caller feeds it.
void unattended(nivern_support::Command& c);

/// A `git` command line for `workdir`: program "git" found on PATH, arguments "-C",
/// `workdir` (its bytes unchanged), then `args`; `unattended`. Standard input is the
/// null device and both outputs are captured; callers that need otherwise change the
/// result.
nivern_support::Command git(std::string_view workdir, std::vector<std::string> args);

/// Runs git in `workdir` with `args` and waits. Success (exit status 0) gives the
/// standard output bytes, untouched. Failure gives a message: "cannot run git: {}" when
/// git could not be started, otherwise `said` of the captured outputs (a death by
/// signal is a failure too).
[[nodiscard]] std::expected<std::string, std::string> run(std::string_view workdir,
                                                          std::vector<std::string> args);

/// The message of a failed run: the last meaningful line of standard error (or, when
/// standard error is empty, of standard output), hint lines passed over, without one
/// leading "fatal: " or "error: "; "git refused" when there is no such line.
std::string said(std::string_view err, std::string_view out);

}  // namespace nivern_git::command
