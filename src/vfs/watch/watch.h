#pragma once
/// One recursive watch of a directory tree, batched into `ChangeSet`s.
///
/// The platform watch (inotify.h) hands its results to the thread "nivern-watch", which
/// turns each event into one `WatchOp` per path (`translate`, `one_each`), drops the
/// paths that an exclude pattern matches, feeds the `Coalescer`, and queues every
/// flushed `ChangeSet` on `changes()`, calling `on_change` after each one. Lost events
/// and errors of the platform watch become a rescan of the root; bad exclude patterns
/// exclude nothing. The loop sleeps until the next result or the open batch's due time,
/// so an idle watch costs no wake-ups.
///
/// Threading: the `Watcher` itself is not synchronised; its owner guards it. Its
/// destructor stops and joins "nivern-watch" (an open batch and change sets not yet
/// taken are lost), then stops the platform watch.
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "support/channel.h"
#include "vfs/watch/change.h"
#include "vfs/watch/coalesce.h"
#include "vfs/tree/excludes.h"
#include "vfs/watch/inotify.h"

namespace nivern_vfs::watch {

using coalesce::WatchOp;

/// The operation for the `index`-th path of an event of `kind`; nullopt when that path
/// is not noted (only the first two paths of a both-ways rename are).
[[nodiscard]] std::optional<WatchOp> translate(inotify::Kind kind, std::size_t index);

/// Whether a changed path is kept: tested as a file, on its own (never its parents).
/// No matcher, or one without patterns, keeps everything.
[[nodiscard]] bool keep(const excludes::Override* matcher, std::string_view path);

struct Noted {
  std::string path;
  bool keep = true;
  WatchOp op = WatchOp::modified;
};

/// Every noted path of one event, in the event's order, with its keep verdict.
[[nodiscard]] std::vector<Noted> one_each(inotify::Event&& event, const excludes::Override* matcher);

class Watcher {
 public:
  using OnChange = std::function<void()>;

  /// Starts watching `root` (as given; the platform watch resolves it) and returns once
  /// the root itself is watched: its subdirectories are crawled on the platform watch's
  /// own thread. On failure (a path with a NUL, a missing root, the watch limit) the
  /// error's text, and no thread is left running.
  static std::expected<std::unique_ptr<Watcher>, std::string> build(std::string root,
                                                                    excludes::Excludes excludes,
                                                                    OnChange on_change);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  /// Flushed batches, in order.
  nivern_support::Receiver<change::ChangeSet>& changes() { return changes_; }
  const std::string& root() const { return root_; }

 private:
  using Wake = nivern_support::Wake;
  using Item = std::variant<Wake, inotify::Result>;

  Watcher() = default;
  static void run(nivern_support::Receiver<Item> events, nivern_support::Sender<change::ChangeSet> out,
                  nivern_support::Receiver<Wake> stop, const OnChange& on_change, const std::string& root,
                  const excludes::Excludes& excludes);

  nivern_support::Receiver<change::ChangeSet> changes_;
  std::unique_ptr<inotify::RecursiveWatch> inner_;
  nivern_support::Sender<Wake> stop_;  // nothing is sent: its release tells the loop to end
  nivern_support::Sender<Item> wake_;  // wakes the loop so that it sees the release
  std::thread thread_;
  std::string root_;
};

}  // namespace nivern_vfs::watch
