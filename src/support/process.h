#pragma once
/// Starts programs. `run` runs one to completion: standard input from the null device
/// or from given bytes, standard output and error captured in full (or sent to the null
/// device), then the exit status. `start` leaves one running with a pipe on each of its
/// three standard descriptors, for the caller to feed, drain, kill and reap.
///
/// Threading: `run` blocks the calling thread until the child has ended and every
/// captured output is read to its end. It starts no threads and keeps no state, so
/// any thread may call it; so may `start`, `kill_child`, `wait_child` and
/// `try_wait_child`. Both outputs and the input are pumped together with poll, so a child
/// that writes megabytes to either stream, or reads little of its input, never deadlocks
/// against us. The child is always reaped before `run` returns, so callers must not set
/// SIGCHLD to be ignored.
///
/// The child inherits the environment (with the variables a `Command` sets), every
/// descriptor that is not close-on-exec (ours all are), and the calling thread's signal
/// mask; SIGPIPE is reset to its default action in the child, whatever the server's own
/// disposition is. A working directory is set inside the child only; the caller's own
/// never changes, and a program is looked up on PATH before the child changes directory.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/unique_fd.h"

namespace nivern_support {

/// What to start and how to connect it.
struct Command {
  /// The program. With `search_path`, a name without "/" is looked up with
  /// `find_on_path` in the caller's PATH (or "/bin:/usr/bin" when PATH is unset), absolute
  /// entries only, before the child changes directory; otherwise it is used as a path as
  /// it stands (a relative one is taken from the child's working directory).
  std::string program = {};
  bool search_path = true;
  /// argv[1..]; argv[0] is `program`.
  std::vector<std::string> args = {};
  /// The child's working directory; none: the caller's.
  std::optional<std::string> workdir = {};
  /// Bytes written to the child's standard input through a pipe, which is then closed;
  /// none: the null device. Not owned: must outlive the call.
  std::optional<std::string_view> input = {};
  /// Capture standard output / error; false sends it to the null device.
  bool capture_out = true;
  bool capture_err = true;
  /// The most bytes of standard output taken. Once the child writes more, its output
  /// is no longer read, the child is killed (SIGKILL) and `Finished::out_over` is set;
  /// no more than `out_limit` + 1 bytes of it are ever held.
  std::size_t out_limit = SIZE_MAX;
  /// Variables set in the child's environment, as name and value, in place of any
  /// inherited value of the same name; every other variable is inherited as it is.
  std::vector<std::pair<std::string, std::string>> env = {};
  /// Starts the child as the leader of a session of its own, without a controlling
  /// terminal: nothing it runs can open the server's terminal to ask a person anything,
  /// and the terminal's signals do not reach it.
  bool own_session = false;
  /// The most bytes of standard output and of standard error kept in `Finished`; what
  /// comes after is still read, so the child never waits on a full pipe, and dropped.
  std::size_t out_keep = SIZE_MAX;
  std::size_t err_keep = SIZE_MAX;
};

/// How a child ended: a normal exit with its code, or death by a signal.
struct ExitStatus {
  enum class Kind { exited, signaled };
  Kind kind = Kind::exited;
  int code = 0;  // the exit code, or the signal number when `signaled`

  bool success() const { return kind == Kind::exited && code == 0; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

/// A child that ran to its end.
struct Finished {
  ExitStatus status;
  std::string out;  // captured standard output (empty when not captured)
  std::string err;  // captured standard error (empty when not captured)
  /// 0, or the errno of a failed write to the child's standard input (EPIPE when the
  /// child closed it early). Writing stops at the failure; the child is still waited for.
  int input_error = 0;
  /// Standard output went past `Command::out_limit`: `out` holds only its start, and
  /// `status` says the child was killed (unless it ended first).
  bool out_over = false;
};

/// The child could not be started (program missing or not executable, working
/// directory missing, out of descriptors, a NUL byte inside an argument...).
struct StartError {
  int err = 0;  // errno value; 0 when `fixed` says what went wrong
  const char* fixed = nullptr;
  /// The path search found no such program (`err` is ENOENT).
  bool not_found = false;
  /// "No such file or directory (os error 2)", or the fixed text.
  std::string text() const;
};

/// The fixed text of a start refused because a C string would have been cut short.
inline constexpr const char* NUL_IN_ARGUMENT = "nul byte found in provided data";

[[nodiscard]] std::expected<Finished, StartError> run(const Command& command);

/// Which entries of a PATH value `find_on_path` reads.
enum class PathEntries {
  /// Every entry: an empty one stands for the current directory and a relative one is
  /// read from it, so the result may be a relative path.
  all,
  /// Absolute entries only. An empty or relative entry names a different directory
  /// depending on where the search happens (a child's working directory, a project),
  /// so it is passed over.
  absolute,
};

/// The first "<entry>/<program>" along `path` (entries separated by ":") that is a
/// regular file, links followed; with `executable`, also one we may execute (others are
/// passed over, as exec's own search does). None found: ENOENT, or EACCES when only
/// files we may not execute were found.
[[nodiscard]] std::expected<std::string, int> find_on_path(std::string_view program, std::string_view path,
                                                           PathEntries entries, bool executable);

/// `path` (a PATH value) without its empty and relative entries; the others keep their
/// order. For the PATH of a child that must not find programs in its own directory.
[[nodiscard]] std::string absolute_entries(std::string_view path);

/// A child left running by `start`, and our ends of its pipes (each close-on-exec, so no
/// later child inherits them). The caller owns the descriptors and must reap `pid` once
/// (`wait_child` or `try_wait_child`); nothing here kills or reaps on its own.
struct Started {
  pid_t pid = -1;
  UniqueFd in;   // write end of its standard input
  UniqueFd out;  // read end of its standard output
  UniqueFd err;  // read end of its standard error
};

/// Starts `command` with a new pipe on each of standard input, output and error.
/// `input`, `capture_out` and `capture_err` are `run`'s alone and are not looked at.
[[nodiscard]] std::expected<Started, StartError> start(const Command& command);

/// SIGKILL to a child that has not been reaped yet; errors are ignored.
void kill_child(pid_t pid);
/// Blocks until the child has ended and reaps it.
ExitStatus wait_child(pid_t pid);
/// Reaps the child if it has ended; nullopt while it runs.
std::optional<ExitStatus> try_wait_child(pid_t pid);

}  // namespace nivern_support
