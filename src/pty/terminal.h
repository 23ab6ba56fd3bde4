#pragma once
/// The thin platform layer under `Pty`: a pseudo-terminal pair, a program started on
/// its subordinate side, and the handle of that program.
///
/// Threading: the functions keep no state and may be called from any thread.
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "support/child.h"
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

/// Closes the main side while its descriptor number stays taken: from then on it reads
/// as the null device, so a thread that still uses the number never meets another file.
/// The terminal is hung up once no other descriptor holds the main side.
void close_main(int main_fd);

/// Starts `program` (resolved by `nivern_support::resolve_program`, in our own PATH and
/// directory, before the change of directory) with no arguments but its own name, as
/// the leader of a new session whose controlling terminal, standard input, output and
/// error are the terminal at `subordinate`. Runs in `cwd`, or in the home directory when
/// `cwd` is not a directory. The environment is ours, plus SHELL (from the user
/// database) when unset, then TERM=xterm-256color and COLORTERM=truecolor. Signals start
/// at their default actions, unblocked.
[[nodiscard]] std::expected<std::shared_ptr<nivern_support::Child>, std::string> start_on(
    const std::string& subordinate, std::string_view program, std::string_view cwd);

}  // namespace nivern_pty
