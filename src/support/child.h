#pragma once
/// A started child process: its pid, its process group, and its one reaping; and the
/// orphan guard, which ends the children's groups when the server itself is gone.
///
/// Threading: every member of `Child` may be called from any thread, also at the same
/// time. Exactly one call reaps the child, and once it is reaped its pid is never
/// signalled or waited for again (the system may have handed it to another process).
/// The group, when the child leads one, is still signalled after the reaping: what the
/// child left running in it goes too.
#include <sys/types.h>

#include <chrono>
#include <optional>

#include "support/mutex.h"
#include "support/thread_annotations.h"
#include "support/unique_fd.h"

namespace nivern_support {

/// How a child ended: a normal exit with its code, or death by a signal.
struct ExitStatus {
  enum class Kind { exited, signaled };
  Kind kind = Kind::exited;
  int code = 0;  // the exit code, or the signal number when `signaled`

  bool success() const { return kind == Kind::exited && code == 0; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

class Child {
 public:
  using Clock = std::chrono::steady_clock;

  /// Takes charge of `pid`, a child of ours not yet reaped. `own_group`: it leads a
  /// process group (or a session) of its own, whose id is its pid; the orphan guard,
  /// when running, learns of that group here.
  Child(pid_t pid, bool own_group);
  /// Neither signals nor reaps; the orphan guard forgets the group.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool own_group() const { return own_group_; }

  /// Sends `sig` to the child unless it has been reaped: 0, or the errno (ESRCH once
  /// reaped, EPERM when the child has become another user's).
  int signal(int sig);
  /// Sends `sig` to the child's whole group when it leads one, else as `signal`.
  int signal_group(int sig);

  /// Reaps the child if it has ended; nullopt while it runs. The status once reaped.
  std::optional<ExitStatus> try_wait();
  /// Waits until the child has ended and reaps it, or until `deadline`; nullopt then.
  std::optional<ExitStatus> wait_until(Clock::time_point deadline);
  /// Waits as long as it takes.
  ExitStatus wait();

  /// A new descriptor that becomes readable once the child has ended (a pidfd), for a
  /// caller that waits in `poll` on other things too; invalid, errno set, when the system
  /// gives none or the child is already reaped. Reaping stays with `try_wait`.
  UniqueFd exit_watch();

 private:
  const pid_t pid_;
  const bool own_group_;
  Mutex mu_;
  std::optional<ExitStatus> status_ GUARDED_BY(mu_);
};

/// Starts the orphan guard: a small process forked from the server that outlives it.
/// The server tells it of every child group it starts and forgets; when the server ends,
/// however it ends (SIGKILL included), the guard kills every group still known (SIGKILL)
/// and exits. Must be called once, before any thread starts. 0, or the errno.
int start_orphan_guard();

/// The name the guard process goes by (its /proc "comm").
inline constexpr const char* GUARD_NAME = "nivern-guard";

}  // namespace nivern_support
