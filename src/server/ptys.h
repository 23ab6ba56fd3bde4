#pragma once
/// The shell table: request id to running shell, and the relay thread
/// "nivern-server-pty" of each shell, which turns its output and end into the events
/// `pty_output` and `pty_exited` under that id.
///
/// Threading: the table is the main thread's alone (it inserts, looks up and removes).
/// Each `Shell` is shared with its relay thread, which holds only a weak reference
/// between wake-ups and locks the shell's mutex for each drain; the main thread locks
/// it for input and resize. Whoever drops the last strong reference runs the release,
/// which never blocks (the shell's own thread kills and reaps it, and `pty_exited`
/// follows once it has). Output towards the editor is bounded per shell
/// by a byte budget: the relay waits while `OUTPUT_BUDGET` bytes of its events are
/// queued and not yet written, and with it the shell's reader.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "protocol/message.h"
#include "pty/pty.h"
#include "server/outgoing.h"
#include "support/byte_budget.h"
#include "support/channel.h"
#include "support/mutex.h"

namespace nivern_server::pty {

inline constexpr const char* RELAY_THREAD = "nivern-server-pty";
/// Encoded events of one shell queued and not yet written, at most (plus one event),
/// counted as the memory their frames hold (`frame_cost`).
inline constexpr std::size_t OUTPUT_BUDGET = 2 << 20;
/// Output bytes carried by one `pty_output`, at most.
inline constexpr std::size_t EVENT_BYTES = 512 << 10;

struct Shell {
  explicit Shell(std::unique_ptr<nivern_pty::Pty> p) : pty(std::move(p)) {}

  nivern_support::Mutex mu;
  std::unique_ptr<nivern_pty::Pty> pty GUARDED_BY(mu);
  std::shared_ptr<nivern_support::ByteBudget> budget = nivern_support::ByteBudget::make(OUTPUT_BUDGET);
  /// Wakes a relay waiting for room, then releases the shell.
  ~Shell() { budget->close(); }
};

class Ptys {
 public:
  using Reply = nivern_protocol::message::Reply;
  using Call = nivern_protocol::message::Call;

  Ptys() = default;
  /// Releases every shell; their graces run side by side, so the end of the session
  /// waits for the slowest shell, not for the sum of them.
  ~Ptys();
  Ptys(const Ptys&) = delete;
  Ptys& operator=(const Ptys&) = delete;

  /// Opens a shell under `id`, replacing (and releasing) one already there. The relay
  /// keeps a clone of `out`.
  Reply open(std::uint64_t id, const Call::PtyOpen& call, const Outgoing& out);
  Reply input(const Call::PtyInput& call);
  Reply resize(const Call::PtyResize& call);
  Reply close(const Call::PtyClose& call);

 private:
  std::unordered_map<std::uint64_t, std::shared_ptr<Shell>> shells_;
};

}  // namespace nivern_server::pty
