#include "support/spawn.h"

#include <cerrno>

extern char** environ;

namespace nivern_support {

Spawn::Spawn() {
  actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
  if (!actions_ok_ || !attr_ok_) error_ = ENOMEM;
}

Spawn::~Spawn() {
  if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
  if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
}

Spawn& Spawn::dup2(int fd, int target) {
  if (!error_) error_ = ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
  return *this;
}

Spawn& Spawn::open(int target, const char* path, int flags) {
  if (!error_) error_ = ::posix_spawn_file_actions_addopen(&actions_, target, path, flags, 0);
  return *this;
}

Spawn& Spawn::close(int fd) {
  if (!error_) error_ = ::posix_spawn_file_actions_addclose(&actions_, fd);
  return *this;
}

Spawn& Spawn::chdir(const char* dir) {
  if (!error_) error_ = ::posix_spawn_file_actions_addchdir_np(&actions_, dir);
  return *this;
}

Spawn& Spawn::new_session() {
  flags_ = static_cast<short>(flags_ | POSIX_SPAWN_SETSID);
  return *this;
}

Spawn& Spawn::new_group() {
  if (!error_) error_ = ::posix_spawnattr_setpgroup(&attr_, 0);
  flags_ = static_cast<short>(flags_ | POSIX_SPAWN_SETPGROUP);
  return *this;
}

Spawn& Spawn::signals(const sigset_t& mask, const sigset_t& defaults) {
  if (!error_) error_ = ::posix_spawnattr_setsigmask(&attr_, &mask);
  if (!error_) error_ = ::posix_spawnattr_setsigdefault(&attr_, &defaults);
  flags_ = static_cast<short>(flags_ | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  return *this;
}

std::expected<pid_t, int> Spawn::start(const char* program, char* const argv[], char* const envp[],
                                       bool search_path) {
  if (!error_ && flags_) error_ = ::posix_spawnattr_setflags(&attr_, flags_);
  if (error_) return std::unexpected(error_);
  pid_t pid = -1;
  char* const* env = envp ? envp : environ;
  const int e = search_path ? ::posix_spawnp(&pid, program, &actions_, &attr_, argv, env)
                            : ::posix_spawn(&pid, program, &actions_, &attr_, argv, env);
  if (e) return std::unexpected(e);
  return pid;
}

}  // namespace nivern_support
