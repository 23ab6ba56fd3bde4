#pragma once
/// The `git_action` call: one change to a repository (index, work tree, commits,
/// branches, remotes) or one question about it (branches, history, pull requests),
/// carried out with `git` and `gh` and answered with one sentence and its payload.
///
/// Threading: `act` runs on the main thread inside one request and blocks while each of
/// its commands runs, one after another; nothing survives the call.
#include <string>
#include <string_view>
#include <vector>

#include "protocol/message.h"

namespace nivern_server::git {

/// Finds the repository holding `path` ("not in a repository" when none, before any
/// field is looked at), checks the action's fields, runs its steps until one fails and
/// answers `git_done` or `error` with the failing step's message.
nivern_protocol::message::Reply act(std::string_view path, const nivern_protocol::message::GitAction& action);

/// How a sentence names `paths`: the file name of a single path (the whole path when it
/// has none), decoded with replacement; otherwise "{} files" with the count.
std::string names(const std::vector<std::string>& paths);

}  // namespace nivern_server::git
