#pragma once
/// The thin platform layer under `Pty`: a pseudo-terminal pair, a program started on
/// its subordinate side, and the handle of that program.
///
/// Threading: the functions keep no state and may be called from any thread. A
/// `Child` is a plain value: its owner serialises calls on it (a `Pty` keeps it behind
/// a mutex).
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "support/unique_fd.h"

namespace nivern_pty {

/// A terminal size. This layer always sets the pixel sizes to 0.
struct PtySize {
  std::uint16_t rows = 0;
  std::uint16_t cols = 0;
  std::uint16_t pixel_width = 0;
  std::uint16_t pixel_height = 0;
};

/// The main side of a new terminal pair and the path of its subordinate side, which no
/// descriptor of ours holds open. The main side is close-on-exec and non-blocking.
struct TerminalPair {
  nivern_support::UniqueFd main;
  std::string subordinate;
};

/// Opens a pair with `size`; the error is the operating system's text.
[[nodiscard]] std::expected<TerminalPair, std::string> open_terminal(PtySize size);

/// Sets the window size through the main side. False when the system refused it.
bool resize(int main_fd, PtySize size);

/// The terminal's end-of-file character, read through the main side; -1 when the
/// settings cannot be read or name none.
int eof_character(int main_fd);

/// The handle of a started program; `pid` is -1 once it has been reaped, so a pid that
/// the system has handed to another process is never signalled or waited for.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}

  /// Polls without blocking: true while the program runs. An exit (reaped here) or a
  /// failed poll gives false.
  bool running();
  /// Sends the hang-up signal once, without waiting; `terminate` then counts its grace
  /// from this moment. Nothing when already reaped or already hung up.
  void hang_up();
  /// Hang-up signal (unless `hang_up` sent it), checks 50 ms apart until 200 ms after
  /// it, then a kill if it still runs. Nothing when already reaped, or when the hang-up
  /// could not be sent.
  void terminate();
  /// Waits for the program and reaps it. Nothing when already reaped.
  void wait();

 private:
  pid_t pid_;
  std::optional<std::chrono::steady_clock::time_point> hung_up_;  // when SIGHUP was sent
  bool hang_up_failed_ = false;
};

/// Starts `program` (looked up on PATH when it holds no "/") with no arguments but its
/// own name, as the leader of a new session whose controlling terminal, standard input,
/// output and error are the terminal at `subordinate`. Runs in `cwd`, or in the home
/// directory when `cwd` is not a directory. The environment is ours, plus SHELL (from
/// the user database) when unset, then TERM=xterm-256color and COLORTERM=truecolor.
/// Signals start at their default actions, unblocked.
[[nodiscard]] std::expected<Child, std::string> start_on(const std::string& subordinate,
                                                         std::string_view program, std::string_view cwd);

}  // namespace nivern_pty
