#pragma once
/// The session state. Touched only by the main thread: threads started by calls get
/// clones of `out` and shared handles, never the record.
#include <string>

#include "support/channel.h"
#include "vfs/gitignore.h"

namespace nivern_server {

/// Sending end of the outgoing queue: each item is one encoded frame body.
using Outgoing = nivern_support::Sender<std::string>;

/// The program version of the "--version" line.
inline constexpr const char* PROGRAM_VERSION = "0.2.2";
/// Largest frame body accepted or sent.
inline constexpr std::uint64_t MAX_FRAME = 67'108'864;

struct Server {
  /// The root exactly as the editor passed it: not resolved, not tested.
  std::string root;
  /// The root ignore matcher, built once at start-up by `nivern_vfs::root_matcher(root)`;
  /// only `list_dir` asks it. Never rebuilt.
  nivern_vfs::Gitignore ignore;
  /// Sending end for threads that calls start (watch, shells, language servers).
  Outgoing out;
  /// Set by a `hello` with our protocol number; never cleared.
  bool greeted = false;
};

}  // namespace nivern_server
