#pragma once
/// The parallel directory walker that the project scan and the text search share.
///
/// Threading: `walk_parallel` runs on the calling thread, which is the first worker (the
/// others are threads "nivern-walk"), and returns only after every worker has finished
/// and its thread been joined. The builder's `build` is called on the
/// calling thread, once per worker, before the workers start; each visitor is then used
/// by its worker alone and destroyed on that worker when it finishes (so a visitor's
/// destructor may flush), before `walk_parallel` returns. The exclude matcher is shared
/// read-only by all workers.
///
/// Guarantees:
/// - One root. The root itself is visited first (depth 0, `dir_fd` == AT_FDCWD, `name`
///   == the root path); a root that is a symbolic link to a directory is walked as that
///   directory. Below the root, symbolic links are never followed.
/// - Hidden entries are walked. Nothing is skipped by name (".git" included).
/// - Ignore rules: ".ignore" and ".gitignore" of the root and of every directory below
///   it, ".git/info/exclude" of every such directory that holds ".git", and git's global
///   excludes file (core.excludesFile of GIT_CONFIG_GLOBAL's file, ~/.gitconfig,
///   $XDG_CONFIG_HOME/git/config or the system config, the first that sets it; by
///   default $XDG_CONFIG_HOME/git/ignore or ~/.config/git/ignore; see git_excludes.h),
///   each read whole whatever its size. Ignore files above the root are never read;
///   the rules apply with or without a git repository. Precedence: the
///   exclude matcher first (an excluded path is dropped whatever else says), then the
///   nearest ".ignore" that matches, the nearest ".gitignore", the nearest info/exclude,
///   the global file; an ignore verdict drops the entry, an ignored directory is not
///   entered. Bad lines in ignore files are skipped silently.
/// - Each directory is visited before its entries; an entry is visited at most once
///   per walk. Order across workers is unspecified.
/// - Entries carry the open descriptor of their directory and their own name, so a
///   visitor can `openat(entry.dir_fd, entry.name.data(), ...)` or `fstatat` without
///   resolving the path again. Both are valid only during the visit call.
/// - A visitor that returns `WalkState::quit` (or a caller that sets `options.quit`)
///   stops the whole walk: every worker checks the flag before each entry and stops,
///   and workers waiting for a directory are woken.
/// - Errors (an unreadable directory, a root that does not exist, an entry whose type
///   cannot be read) are visited through `visit_error`; the walk goes on past them. So
///   is an exception thrown while a directory is read or visited ("{path}: {what}",
///   with the directory's path): nothing thrown leaves a worker thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vfs/tree/excludes.h"

namespace nivern_vfs::walk {

/// The file type of an entry as the directory read reports it, links not followed.
enum class Kind : std::uint8_t { file, dir, symlink, other };

/// One visited entry. Every view in it is valid only during the visit call.
struct Entry {
  /// Full path: the root joined with the relative names ("/" added unless the root
  /// already ends in one). Bytes, not necessarily UTF-8.
  std::string_view path;
  /// Open descriptor of the directory holding the entry; AT_FDCWD for the root.
  int dir_fd = -1;
  /// The entry's name inside `dir_fd`; `name.data()` is NUL-terminated. For the root,
  /// the root path itself.
  std::string_view name;
  Kind kind = Kind::other;
  /// 0 for the root, 1 for its entries, and so on.
  std::size_t depth = 0;

  /// The entry's size from its own status, read relative to `dir_fd` without following
  /// a symbolic link (a link reports the length of its target text); nullopt when the
  /// status cannot be read.
  [[nodiscard]] std::optional<std::uint64_t> size() const;
};

/// A walk error, such as a directory that cannot be read.
struct WalkError {
  /// The path the error is about, when there is one.
  std::optional<std::string> path;
  /// One line: "{path}: {os error text}" when there is a path, else the cause alone.
  std::string message;
  std::size_t depth = 0;
};

/// What a visitor wants next.
enum class WalkState : std::uint8_t { keep_going, quit };

/// One worker's visitor.
class ParallelVisitor {
 public:
  virtual ~ParallelVisitor() = default;
  virtual WalkState visit(const Entry& entry) = 0;
  virtual WalkState visit_error(const WalkError& error) = 0;
};

/// Makes one visitor per worker thread.
class ParallelVisitorBuilder {
 public:
  virtual ~ParallelVisitorBuilder() = default;
  virtual std::unique_ptr<ParallelVisitor> build() = 0;
};

struct WalkOptions {
  /// The exclude matcher, rooted at the walk's root; null or empty: nothing excluded.
  const excludes::Override* overrides = nullptr;
  /// Worker count; 0: `default_threads()`.
  std::size_t threads = 0;
  /// An outside quit flag; when it is set, the walk stops as if a visitor had quit.
  /// The walker sets it too when a visitor quits. May be null.
  std::atomic<bool>* quit = nullptr;
};

/// The processor count available to this process, at least 1 and at most 12.
[[nodiscard]] std::size_t default_threads();

/// Walks `root` with one visitor per worker and returns when all workers are joined.
void walk_parallel(std::string_view root, const WalkOptions& options,
                   ParallelVisitorBuilder& builder);

}  // namespace nivern_vfs::walk
