#pragma once
/// One shell running on its own pseudo-terminal, seen as a queue of output, a writer of
/// input and an exit flag. Knows nothing of requests or the wire: it tells its owner of
/// activity only by calling the `Notify` callback.
///
/// Threading: the owner calls `drain`, `write`, `exited`, `main_fd` and the release
/// (destruction) one at a time, from any thread (the shell table serialises them with
/// a mutex of its own). `spawn` starts three threads per shell, none joined:
/// - "nivern-pty" reads the terminal into the output queue, holding back once
///   `OUTPUT_LIMIT` bytes are queued and not yet drained;
/// - "nivern-pty-exit" polls for the shell's exit every 250 ms, then watches for the
///   end of output (see `drain`); after the release it ends the shell (see there);
/// - "nivern-pty-input" writes the input that the terminal could not take at once.
/// The release stops all three, and never blocks; the last to end releases the
/// callback. The callback is called once per chunk queued, once when the reader ends and
/// once when the exit watch ends (after the shell has been reaped, or given up on, once
/// the release has begun), never two calls at a time. It must not block for long and
/// must tolerate calls after its owner lost interest.
///
/// Descriptors are close-on-exec: no shell inherits another's terminal.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pty/terminal.h"
#include "support/byte_budget.h"
#include "support/channel.h"

namespace nivern_pty {

inline constexpr const char* READER_THREAD = "nivern-pty";
inline constexpr const char* EXIT_THREAD = "nivern-pty-exit";
inline constexpr const char* INPUT_THREAD = "nivern-pty-input";

/// Largest chunk read from the terminal at once.
inline constexpr std::size_t READ_BUFFER = 8192;
/// Output read from the terminal and not yet drained, at most (plus one chunk), counted
/// as memory held: each chunk's bytes and `CHUNK_OVERHEAD`.
inline constexpr std::size_t OUTPUT_LIMIT = 1 << 20;
/// What one queued chunk holds beyond its bytes (its queue slot and the allocator's own).
inline constexpr std::size_t CHUNK_OVERHEAD = 64;
/// Input waiting for the terminal, at most; see `write`.
inline constexpr std::size_t INPUT_LIMIT = 8 << 20;
/// The exit poll's period.
inline constexpr std::chrono::milliseconds EXIT_POLL{250};
/// After the exit, output quiet this long counts as ended (a background process may
/// hold the terminal open for ever).
inline constexpr std::chrono::milliseconds QUIET_AFTER_EXIT{100};
/// After the release's hang-up, how long the shell has to end before its group is killed.
inline constexpr std::chrono::milliseconds HANGUP_GRACE{200};
/// After that kill, how long the reaping is waited for at most: a shell that has become
/// another user's cannot be killed, and is left once the terminal's hang-up has not
/// ended it by then.
inline constexpr std::chrono::seconds KILL_WAIT{2};

/// "/bin/sh", or the value of SHELL when it is set and valid UTF-8 (even empty).
/// Reads the environment at every call.
std::string shell();

/// Why `spawn` failed. `terminal`: no terminal, or a thread could not start; `shell`:
/// the shell could not be started. `text` is one line.
struct SpawnError {
  enum class Kind { terminal, shell };
  Kind kind;
  std::string text;
};

using Notify = std::function<void()>;

class Pty {
 public:
  /// Opens a terminal of rows by cols (0 counts as 1) and starts `program` on it in
  /// `cwd`, both used as given.
  [[nodiscard]] static std::expected<std::unique_ptr<Pty>, SpawnError> spawn(
      std::string_view program, std::string_view cwd, std::uint16_t rows, std::uint16_t cols, Notify notify);

  /// Release, without blocking: drops queued output and queued input, stops the
  /// threads, closes the terminal's main side (the kernel hangs the shell's session up)
  /// and sends the hang-up signal to the shell's group. "nivern-pty-exit" then kills the
  /// group if the shell still runs after `HANGUP_GRACE`, and reaps the shell, waiting
  /// at most `KILL_WAIT` after the kill.
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  /// Takes queued output without waiting, whole chunks up to `max` bytes (at least one
  /// chunk when any is queued), in order. Marks the shell exited once the output has
  /// ended (end of file or an error of the terminal) and all of it has been taken, or,
  /// once the shell's exit was seen, when its output has been quiet for
  /// `QUIET_AFTER_EXIT` and all of it has been taken. Never blocks.
  std::string drain(std::size_t max = std::numeric_limits<std::size_t>::max());
  bool exited() const { return exited_; }

  /// Input for the shell, in order. Never blocks: what the terminal cannot take at once
  /// is queued for "nivern-pty-input". False, with nothing written or queued, when input
  /// is already queued and `bytes` would take the queue past `INPUT_LIMIT` (the shell is
  /// not reading); input given while nothing waits is taken whatever its size. Input to
  /// an ended shell is silently lost (true).
  [[nodiscard]] bool write(std::string_view bytes);

  /// The main side, for `resize`.
  int main_fd() const;

  /// State shared with the threads; one output chunk and its share of the queue bound.
  struct Shared;
  struct Chunk {
    std::string bytes;
    nivern_support::ByteBudget::Lease lease;
  };

 private:
  Pty(std::shared_ptr<Shared> shared, nivern_support::Receiver<Chunk> output);

  nivern_support::Receiver<Chunk> output_;
  std::optional<Chunk> held_;  // taken from the queue but over a drain's `max`
  std::shared_ptr<Shared> shared_;
  bool exited_ = false;
};

}  // namespace nivern_pty
