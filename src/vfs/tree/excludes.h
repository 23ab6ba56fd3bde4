#pragma once
/// Exclude patterns of one call (`scan`, `search`, `watch`) and the exclude matcher
/// built from them.
///
/// Threading: `Excludes` is a plain value. A built `Override` is immutable and may be
/// read by any number of threads at once (the walker's workers share one).
///
/// Guarantees:
/// - `Excludes::matcher(root)` adds the line "!{p}" for every pattern p, in order, to
///   a matcher rooted at the call's path (a leading "./" dropped), case-sensitive,
///   rejecting an unclosed "[". The first rejected pattern fails the whole set: no
///   partial matcher. No patterns: an empty matcher that excludes nothing.
/// - `Override::excluded(path, is_dir)` is true when some pattern matches the path
///   (relative to the root, as `Gitignore::matched` takes it). A matched directory is
///   not entered by the walker; exclusion beats every ignore file's whitelist.
/// - Because every line is a "!" line, the matcher only removes paths, it never
///   narrows a walk to the matched ones.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "vfs/tree/gitignore.h"

namespace nivern_vfs::excludes {

/// The exclude matcher. Default-constructed: empty, excludes nothing.
class Override {
 public:
  Override() = default;
  explicit Override(Gitignore gitignore) : gitignore_(std::move(gitignore)) {}

  [[nodiscard]] bool empty() const { return gitignore_.empty(); }

  /// True when an exclude pattern matches `path` (a full path as the caller formed it).
  [[nodiscard]] bool excluded(std::string_view path, bool is_dir) const {
    return gitignore_.matched(path, is_dir) == IgnoreVerdict::whitelist;
  }

  /// The same for a path already relative to the root (no leading "./" or "/").
  [[nodiscard]] bool excluded_relative(std::string_view rel, bool is_dir) const {
    return gitignore_.matched_relative(rel, is_dir) == IgnoreVerdict::whitelist;
  }

  /// The underlying matcher, whose whitelist answers are the exclusions.
  [[nodiscard]] const Gitignore& gitignore() const { return gitignore_; }

 private:
  Gitignore gitignore_;
};

/// The exclude patterns of one call, in the request's order.
struct Excludes {
  std::vector<std::string> patterns;

  /// The exclude matcher rooted at `root` (the call's path), or the error of the first
  /// pattern the glob compiler rejects.
  [[nodiscard]] std::expected<Override, GlobError> matcher(std::string_view root) const;
};

}  // namespace nivern_vfs::excludes
