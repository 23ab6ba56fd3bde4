#pragma once
/// Finding the repository that holds a path, by looking for ".git" upwards.
///
/// Threading: reads the file system only; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

namespace nivern_git {

/// A repository as discovery reached it.
struct Repo {
  /// The directory holding ".git", exactly as reached from the start path: not made
  /// absolute, not resolved; may be the empty path (the server's own directory).
  std::string workdir;
  /// The ".git" directory itself, or the directory a ".git" file names. Used only to
  /// read HEAD.
  std::string gitdir;

  friend bool operator==(const Repo&, const Repo&) = default;
};

namespace discover {

/// Looks at `start` and then its lexical parents, the empty path last for a relative
/// start. The first ".git" that is a directory (links followed) gives the repository;
/// the first that is a regular file ends the search, found only if its text, trimmed,
/// is "gitdir:" and a non-empty value (an absolute value as it is, a relative one
/// joined to the directory holding the file). Unreadable or malformed files, and every
/// other kind of entry, give no repository or let the search go on, never an error.
std::optional<Repo> find(std::string_view start);

}  // namespace discover
}  // namespace nivern_git
