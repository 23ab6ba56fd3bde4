#pragma once
/// The `git_status` call: the repository holding a path, its branch, upstream, ahead
/// and behind counts, and one entry per changed path with its staged and unstaged state.
///
/// Threading: `query` runs on the calling thread (the main thread, inside one request)
/// and blocks while git runs; nothing survives the call.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "git/porcelain.h"
#include "protocol/message.h"

namespace nivern_git::status {

using nivern_protocol::message::GitState;

/// A path's change in the index (`staged`) and in the work tree (`unstaged`).
struct Detail {
  std::optional<GitState> staged;
  std::optional<GitState> unstaged;

  friend bool operator==(const Detail&, const Detail&) = default;
};

/// The detail of a record with status letters `x` and `y`.
Detail detail(char x, char y);

struct Entry {
  GitState state = GitState::modified;
  Detail detail;

  friend bool operator==(const Entry&, const Entry&) = default;
};

/// What one status output says. Keys are `porcelain::absolute` strings, in byte order.
struct Parsed {
  std::optional<porcelain::Header> header;  // none when no "## " record came
  std::map<std::string, Entry> entries;
};

/// Walks the NUL-separated records of `git status --porcelain=v1 -z --branch` output.
/// Malformed records are passed over one by one; a rename's or copy's source record is
/// consumed with its entry, and a staged rename also marks its source deleted.
Parsed parse(std::string_view workdir, std::string_view output);

/// Handles `git_status` for `path` (used as sent): never an error. Without a repository
/// the reply says so; when git cannot be started, or fails, the reply has the branch
/// from HEAD and no entries.
nivern_protocol::message::Reply::GitStatus query(std::string_view path);

}  // namespace nivern_git::status
