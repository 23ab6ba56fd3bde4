#pragma once
/// Looking at processes through /proc, for tests that check what a server leaves behind.
///
/// Single-threaded helpers with no state.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace nivern_test {

/// The children of `pid` (its threads' children, zombies included), its orphan guard
/// left out.
std::vector<pid_t> children(pid_t pid);
/// The orphan guard forked by the server `pid`, or -1 when none has taken its name
/// within 10 seconds.
pid_t guard_of(pid_t pid);
/// The children of `pid`, theirs, and so on, as `children` gives them.
std::vector<pid_t> descendants(pid_t pid);
/// Whether `pid` names a process that has not ended: none, or a zombie, gives false.
bool alive(pid_t pid);
/// Waits up to `timeout` until none of `pids` is alive; whether none is.
bool all_gone(const std::vector<pid_t>& pids,
              std::chrono::milliseconds timeout = std::chrono::seconds(30));
/// Waits up to `timeout` until `pid` has no descendant, running or zombie; whether so.
bool no_descendants(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(30));
/// The pids written to `file`, one a line (a missing file gives none).
std::vector<pid_t> pids_in(const std::string& file);

}  // namespace nivern_test
