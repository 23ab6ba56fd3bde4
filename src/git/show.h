#pragma once
/// The `git_show` call: the content a file had in the last commit.
///
/// Threading: `committed` runs on the calling thread (the main thread, inside one
/// request) and blocks while git runs; nothing survives the call.
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "protocol/message.h"

namespace nivern_git::show {

/// `path` relative to `workdir` (whole components compared), as UTF-8 with invalid
/// sequences replaced. Only "/" separates components: a backslash is part of a name. A
/// path outside `workdir` stays whole; `workdir` itself gives the empty string.
std::string relative_to(std::string_view workdir, std::string_view path);

/// The committed content went past the caller's limit; git was stopped there.
struct OverLimit {};

/// Handles `git_show` for `path` (used as sent): a `text` reply with the committed
/// bytes exactly as git printed them, or an `error` reply: "not in a repository",
/// "not in the last commit", "binary in the last commit", the system's text when git
/// cannot be started, or git's whole standard error, trimmed. Content of more than
/// `limit` bytes gives `OverLimit`: git's output is read no further than that, and git
/// is ended.
[[nodiscard]] std::expected<nivern_protocol::message::Reply, OverLimit> committed(std::string_view path,
                                                                                  std::size_t limit);

}  // namespace nivern_git::show
