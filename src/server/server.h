#pragma once
/// The session state. Touched only by the main thread: threads started by calls get
/// clones of `out` and shared handles, never the record.
#include <cstddef>
#include <memory>
#include <string>

#include "server/lsps.h"
#include "server/ptys.h"
#include "support/byte_budget.h"
#include "support/channel.h"
#include "support/mutex.h"
#include "vfs/tree/gitignore.h"

namespace nivern_vfs::watch {
class Watcher;
}

namespace nivern_server {

/// One item of the outgoing queue: an encoded frame body, and the share of a producer's
/// byte budget that it holds (empty for replies). The writer drops the item once the
/// frame is written, which gives the share back and lets that producer read on.
struct Frame {
  std::string body;
  nivern_support::ByteBudget::Lease lease;
};

/// The memory a queued frame holds: its body's whole buffer (capacity, not length) and
/// its slot in the queue. Producers lease this much of their byte budget, so a budget
/// bounds memory rather than text.
inline std::size_t frame_cost(const std::string& body) {
  return body.capacity() + sizeof(Frame) + 16;
}

/// Sending end of the outgoing queue.
using Outgoing = nivern_support::Sender<Frame>;

/// The program version of the "--version" line.
inline constexpr const char* PROGRAM_VERSION = "0.2.2";
/// Largest frame body accepted or sent.
inline constexpr std::uint64_t MAX_FRAME = 67'108'864;
/// Bytes of replies that may wait unwritten: past it, the loop reads no further requests
/// until the editor has taken enough of them.
inline constexpr std::size_t REPLY_BUDGET = 256u << 20;

/// The running watch, shared with its forwarder thread: the session holds the only
/// strong reference between calls, the forwarder a weak one that it upgrades while it
/// drains change sets. Whoever lets go of the last reference drops the `Watcher`.
struct WatchCell {
  explicit WatchCell(std::unique_ptr<nivern_vfs::watch::Watcher> w);
  ~WatchCell();

  nivern_support::Mutex mu;
  std::unique_ptr<nivern_vfs::watch::Watcher> watcher GUARDED_BY(mu);
};

struct Server {
  /// The root exactly as the editor passed it: not resolved, not tested.
  std::string root;
  /// The root ignore matcher, built once at start-up by `nivern_vfs::root_matcher(root)`;
  /// only `list_dir` asks it. Never rebuilt.
  nivern_vfs::Gitignore ignore;
  /// Sending end for threads that calls start (watch, shells, language servers).
  Outgoing out;
  /// The running watch (at most one); a later successful `watch` replaces it.
  std::shared_ptr<WatchCell> watcher;
  /// Open shells by the id of the `pty_open` that started each.
  pty::Ptys ptys;
  /// Language servers by the id of the `lsp_open` that started each.
  lsp::Lsps lsps;
  /// Set by a `hello` with our protocol number; never cleared.
  bool greeted = false;
};

}  // namespace nivern_server
