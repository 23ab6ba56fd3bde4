#pragma once
/// The session state. Touched only by the main thread: threads started by calls get
/// clones of `out` and shared handles, never the record.
#include <cstddef>
#include <memory>
#include <string>

#include "server/lsps.h"
#include "server/outgoing.h"
#include "server/ptys.h"
#include "support/byte_budget.h"
#include "support/mutex.h"
#include "vfs/tree/gitignore.h"

namespace nivern_vfs::watch {
class Watcher;
}

namespace nivern_server {

/// The program version of the "--version" line.
inline constexpr const char* PROGRAM_VERSION = "0.2.2";

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
  /// The root ignore matcher, built once at start-up by `nivern_vfs::root_matcher`;
  /// only `list_dir` asks it. Never rebuilt.
  nivern_vfs::Gitignore ignore;
  /// Sending end for threads that calls start (watch, shells, language servers).
  Outgoing out;
  /// The budget of replies that may wait unwritten (`REPLY_BUDGET`); `changed` events
  /// are charged to it too.
  std::shared_ptr<nivern_support::ByteBudget> replies = nivern_support::ByteBudget::make(REPLY_BUDGET);
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
