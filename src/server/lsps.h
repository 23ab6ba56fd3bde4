#pragma once
/// The language servers the editor has started, keyed by the id of the `lsp_open` that
/// started each, and the three calls on them. A server's bytes are relayed unparsed:
/// `lsp_input` payloads go to its standard input, its standard output comes back as
/// `lsp_output` events (one per read of at most `READ_SIZE` bytes) and then one
/// `lsp_exited`.
///
/// Threading: the table and its records belong to the main thread. Each server has a
/// detached relay thread "nivern-server-lsp" (standard output, with a clone of the
/// outgoing queue's sending end) and a detached thread "nivern-server-lsp-log" (drains
/// standard error). Input the pipe cannot take at once is queued for a writer thread
/// "nivern-server-lsp-in" of that server, so a server that is slow to read never holds
/// up other requests; the queue holds at most `INPUT_LIMIT` bytes. The relay's output
/// not yet written to the editor is bounded by the server's own `ByteBudget` of
/// `OUTPUT_BUDGET` bytes: at the bound the relay stops reading until the writer thread
/// has caught up.
///
/// The relay and the log thread also watch the process: whichever sees it first reaps it
/// as soon as it exits and closes its input then, so an exited server leaves no zombie and no descriptor
/// behind while its record waits for `lsp_close`. After `lsp_close` or the end of the session, none of a
/// server's threads or descriptors outlives it, whatever its own children hold open.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/message.h"
#include "server/outgoing.h"
#include "support/channel.h"
#include "support/child.h"

namespace nivern_support {
class InputWriter;
}  // namespace nivern_support

namespace nivern_server::lsp {

/// Bytes of one read of a server's standard output (one `lsp_output` event at most).
inline constexpr std::size_t READ_SIZE = 16'384;
/// Encoded output of one server that may wait for the editor before its relay pauses,
/// counted as the memory its frames hold.
inline constexpr std::size_t OUTPUT_BUDGET = 4 << 20;
/// Input waiting for a server that does not read it, at most; see `Lsps::input`.
inline constexpr std::size_t INPUT_LIMIT = 8 << 20;
/// Capacity asked for each server's standard input and output pipes, while all the
/// enlarged pipes of the session stay within `PIPE_TOTAL` (the system charges them to
/// the user's own pipe allowance); the others keep the system's default.
inline constexpr int PIPE_SIZE = 1 << 20;
inline constexpr std::size_t PIPE_TOTAL = 16 << 20;
/// How long servers get at the end of the session to end their output once their input
/// is closed; those still writing are killed.
inline constexpr std::chrono::seconds END_GRACE{5};
/// How long a killed server's group is given to go and its output to end, at most; a
/// server that has become another user's may outlast it, and is then left.
inline constexpr std::chrono::seconds KILL_WAIT{2};

struct Relay;    // what the main thread shares with the relay thread
struct Signals;  // the descriptors a server's threads wait on; theirs alone

/// One started language server, leader of a process group of its own. Holds no
/// descriptor of its own once the server has exited and its threads have ended.
struct Running {
  std::shared_ptr<nivern_support::InputWriter> input;  // its standard input
  std::shared_ptr<Relay> relay;
  std::weak_ptr<Signals> signals;
  std::shared_ptr<nivern_support::Child> child;  // reaped by whichever thread sees its end first
};

class Lsps {
 public:
  using Reply = nivern_protocol::message::Reply;
  using Out = Outgoing;

  Lsps() = default;
  /// Releases every server: its input is closed, without a signal and without a wait.
  ~Lsps();
  Lsps(const Lsps&) = delete;
  Lsps& operator=(const Lsps&) = delete;

  /// `lsp_open`: look the language up, find its program on PATH, probe it, then start it.
  Reply open(std::uint64_t id, const std::string& path, const std::string& language, const Out& out);
  /// Starts `program` with `args` in `dir` under `id`, replacing (not killing) a server
  /// already running under that id. `lsp_opened` with the program, or the start error.
  Reply open_program(std::uint64_t id, const std::string& program, std::span<const std::string_view> args,
                     const std::string& dir, const Out& out);
  /// `lsp_input`: `done` once the bytes are written or queued in order behind earlier
  /// ones. Refused, with nothing written or queued, when input is already queued and
  /// these bytes would take the queue past `INPUT_LIMIT`.
  Reply input(std::uint64_t id, std::string_view bytes);
  /// `lsp_close`: kills the server's group and reaps the server; `done` for an unknown
  /// id too.
  Reply close(std::uint64_t id);

  /// End of the session, however it ends: closes every server's input (queued input is
  /// written first), waits up to `grace` for the servers to exit, then kills every
  /// server's group (what an exited server left running goes too), reaps, lets the
  /// relays end their output (at most `KILL_WAIT`) and stops every thread still waiting.
  void finish(std::chrono::steady_clock::duration grace);

 private:
  void release(Running&& r);

  std::unordered_map<std::uint64_t, Running> running_;
  /// Replaced servers: input closed, not killed; kept to be seen out at the end.
  std::vector<Running> released_;
};

}  // namespace nivern_server::lsp
