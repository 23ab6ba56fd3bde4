#pragma once
/// Starts programs. `run` runs one to completion: standard input from the null device
/// or from given bytes, standard output and error captured in full (or sent to the null
/// device), then the exit status. `start` leaves one running with a pipe on each of its
/// three standard descriptors, for the caller to feed, drain, kill and reap.
///
/// Threading: `run` blocks the calling thread until the child has ended and its captured
/// outputs are read (see below). It starts no threads and keeps no state, so any thread
/// may call it; so may `start`. Both outputs and the input are pumped together with poll, so a child
/// that writes megabytes to either stream, or reads little of its input, never deadlocks
/// against us. The child is always reaped before `run` returns (SIGCHLD must
/// keep its default action).
///
/// The child inherits the environment (with the variables a `Command` sets), every
/// descriptor that is not close-on-exec (ours all are), and the calling thread's signal
/// mask; SIGPIPE is reset to its default action in the child, whatever the server's own
/// disposition is. A working directory is set inside the child only; the caller's own
/// never changes, and the program is resolved (`resolve_program`) before the child
/// changes directory.
///
/// `run` ends once the child has exited and been reaped, and what it left in its output
/// pipes has been read for at most `DRAIN_AFTER_EXIT`: a background job that inherited
/// the pipes never holds the result. Output that comes later is not waited for.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <chrono>
#include <memory>

#include "support/child.h"
#include "support/unique_fd.h"

namespace nivern_support {

/// How long `run` goes on reading the outputs once the child has been reaped.
inline constexpr std::chrono::milliseconds DRAIN_AFTER_EXIT{100};

/// What to start and how to connect it.
struct Command {
  /// The program, resolved by `resolve_program` with `search_path`.
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
  /// Starts the child as the leader of a process group of its own (implied by
  /// `own_session`): a `kill 0` inside it reaches only its group, and the group can be
  /// signalled as a whole.
  bool own_group = false;
  /// The most bytes of standard output and of standard error kept in `Finished`; what
  /// comes after is still read, so the child never waits on a full pipe, and dropped.
  std::size_t out_keep = SIZE_MAX;
  std::size_t err_keep = SIZE_MAX;
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

/// The path a child is started from. With `search_path` it is found in the server's own
/// PATH and directory, so that no child's working directory can supply it: a name
/// without "/" is looked up with `find_on_path` in our PATH (or "/bin:/usr/bin" when PATH
/// is unset), absolute entries only, and a relative path with a "/" is taken from our
/// current directory. ENOENT (with `not_found`) or EACCES when the search finds nothing
/// usable. Without `search_path`, `program` as it stands (a relative one is then taken
/// from the child's working directory).
[[nodiscard]] std::expected<std::string, StartError> resolve_program(const std::string& program,
                                                                     bool search_path);

/// `path` made absolute against the server's working directory (unchanged when it is
/// absolute already, or when the working directory cannot be read).
[[nodiscard]] std::string from_working_directory(const std::string& path);

/// `path` (a PATH value) without its empty and relative entries; the others keep their
/// order. For the PATH of a child that must not find programs in its own directory.
[[nodiscard]] std::string absolute_entries(std::string_view path);

/// A child left running by `start`, and our ends of its pipes (each close-on-exec, so no
/// later child inherits them). Nothing here kills or reaps on its own.
struct Started {
  std::shared_ptr<Child> child;
  UniqueFd in;   // write end of its standard input
  UniqueFd out;  // read end of its standard output
  UniqueFd err;  // read end of its standard error
};

/// Starts `command` with a new pipe on each of standard input, output and error.
/// `input`, `capture_out` and `capture_err` are `run`'s alone and are not looked at.
[[nodiscard]] std::expected<Started, StartError> start(const Command& command);

}  // namespace nivern_support
