#pragma once
/// A client for end-to-end tests and benchmarks: starts the built server as a child with
/// pipes on its standard input, output and error, and speaks frames to it.
///
/// Single-threaded: one test drives one `ServerProcess`. Reads wait with a deadline,
/// never forever; a test that times out fails instead of hanging.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nivern_test {

/// Path of the built server binary.
const char* server_binary();

/// `text` as a JSON string literal, quotes included (for building request bodies).
std::string json_string(std::string_view text);

/// The server's whole reply to `hello` with protocol 5 under `id`.
std::string hello_reply(std::uint64_t id = 0);

/// Big-endian 4-byte length followed by the body.
std::string frame(std::string_view body);

class ServerProcess {
 public:
  /// Starts `server_binary()` with `args` (argv[1..]). `env` entries ("K=V") are added
  /// to (or replace) the test's own environment. With a `terminal` (a pseudo-terminal's
  /// device path), the server leads a session of its own with that terminal as its
  /// controlling terminal, as when an editor is started from a shell; its standard
  /// descriptors are the pipes all the same.
  explicit ServerProcess(std::vector<std::string> args, std::vector<std::string> env = {},
                         const std::string& terminal = {});
  /// Shorthand: one argument, the root.
  explicit ServerProcess(std::string root) : ServerProcess(std::vector<std::string>{std::move(root)}) {}
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  /// Writes raw bytes to the server's standard input. False if the pipe is closed.
  bool write_raw(std::string_view bytes);
  /// Writes one frame holding `body`.
  bool send(std::string_view body) { return write_raw(frame(body)); }

  /// Reads one frame body; nullopt at end of output or when `timeout` passes.
  std::optional<std::string> read_frame(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  /// Sends `body` and returns the next frame (empty string if none came).
  std::string request(std::string_view body);

  /// Sends `hello` with protocol 5 under id 0 and returns the reply.
  std::string hello();

  /// Closes the server's standard input (end of input).
  void close_stdin();
  /// Closes our end of the server's standard output.
  void close_stdout();

  /// Waits up to `timeout` for the process to end; its exit status as `wait` gives it,
  /// or nullopt while it still runs.
  std::optional<int> wait_for(std::chrono::milliseconds timeout);
  /// Waits for the process to end (up to `timeout`, then kills it). Returns the exit
  /// status, or 128 + signal number for a death by signal.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  /// Everything written to standard error so far (reads what is pending).
  std::string stderr_text();
  /// Everything still unread on standard output until it ends (after `wait`).
  std::string rest_of_stdout();

  pid_t pid() const { return pid_; }
  /// A "kB" field of the server's /proc status ("VmHWM", "VmRSS", "Threads" counts too);
  /// -1 when it cannot be read.
  long status_field(std::string_view name) const;
  /// Our ends of the server's standard input and output pipes.
  int stdin_fd() const { return in_; }
  int stdout_fd() const { return out_; }

 private:
  bool fill(std::size_t want, std::chrono::steady_clock::time_point deadline);
  void drain_stderr(bool block);

  pid_t pid_ = -1;
  int in_ = -1;   // our write end of the child's stdin
  int out_ = -1;  // our read end of the child's stdout
  int err_ = -1;  // our read end of the child's stderr
  int pidfd_ = -1;  // readable once the child has ended; opened by the first wait
  std::string buffer_;  // bytes read from stdout, not yet returned
  std::string err_text_;
  std::optional<int> status_;
};

/// The peak resident memory of process `pid` so far, in bytes (0 if it cannot be read).
std::size_t peak_resident_bytes(pid_t pid);

/// Whether peak memory tells anything: sanitizer builds keep freed memory for a while.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kPeakMemoryIsMeaningful = false;
#else
inline constexpr bool kPeakMemoryIsMeaningful = true;
#endif

}  // namespace nivern_test
