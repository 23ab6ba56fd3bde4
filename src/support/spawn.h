#pragma once
/// Starting a child with `posix_spawn`: what the child gets (descriptors, directory,
/// session, signals) is set up step by step on one `Spawn`, which owns the file actions
/// and attributes and releases them.
///
/// Threading: a `Spawn` is a plain value used by one thread.
#include <spawn.h>
#include <sys/types.h>

#include <expected>

namespace nivern_support {

class Spawn {
 public:
  Spawn();
  ~Spawn();
  Spawn(const Spawn&) = delete;
  Spawn& operator=(const Spawn&) = delete;

  /// The child's descriptor `target` is a copy of our `fd`.
  Spawn& dup2(int fd, int target);
  /// The child opens `path` with `flags` as its descriptor `target`.
  Spawn& open(int target, const char* path, int flags);
  /// The child closes its descriptor `fd`.
  Spawn& close(int fd);
  /// The child starts in `dir`.
  Spawn& chdir(const char* dir);
  /// The child leads a session of its own.
  Spawn& new_session();
  /// The child leads a process group of its own.
  Spawn& new_group();
  /// The child starts with `mask` as its blocked signals, and the signals of `defaults`
  /// set back to their default action.
  Spawn& signals(const sigset_t& mask, const sigset_t& defaults);

  /// Starts `program` (looked up on PATH when `search_path` and it holds no "/") with
  /// `argv` and `envp` (our environment when null). The child's pid, or the number of
  /// the first error met, in setting up or in starting.
  [[nodiscard]] std::expected<pid_t, int> start(const char* program, char* const argv[], char* const envp[],
                                                bool search_path = false);

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  short flags_ = 0;
  int error_ = 0;
  bool actions_ok_ = false;
  bool attr_ok_ = false;
};

}  // namespace nivern_support
