// The `watch` call: a `Watcher` for the asked path, kept in `Server.watcher`, and the
// forwarder thread "nivern-server-watch" that turns its change sets into `changed`
// events under the call's id.
#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "server/asked.h"
#include "server/calls.h"
#include "support/channel.h"
#include "support/thread_name.h"
#include "text/byte_decoders.h"
#include "vfs/watch/watch.h"

namespace nivern_server {

WatchCell::WatchCell(std::unique_ptr<nivern_vfs::watch::Watcher> w) : watcher(std::move(w)) {}
WatchCell::~WatchCell() = default;

namespace {

using nivern_support::Wake;

// One round per wake-up: every queued change set goes into one event, paths sorted by
// bytes without duplicates; nothing is sent when they hold no path. Ends when the
// watcher's loop has ended, the watch was dropped, or the outgoing queue is closed.
void forward(nivern_support::Receiver<Wake> wake, Outgoing out, const std::string& asked,
             const std::weak_ptr<WatchCell>& weak, std::uint64_t id) {
  while (wake.recv()) {
    std::shared_ptr<WatchCell> cell = weak.lock();
    if (!cell) return;
    std::vector<std::string> paths;
    {
      nivern_support::MutexLock lock(cell->mu);
      while (auto set = cell->watcher->changes().try_recv()) {
        for (const auto& c : set->changes) paths.push_back(as_asked(c.first, asked, asked));
        for (const auto& r : set->rescans) paths.push_back(as_asked(r.first, asked, asked));
      }
    }
    if (paths.empty()) continue;
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    nivern_protocol::message::Response event{id, Reply::Changed{std::move(paths)}};
    if (!out.send(Frame{event.encode(), {}})) return;
  }
}

}  // namespace

Reply watch(Server& server, std::uint64_t id, const Call::Watch& call) {
  if (!server.greeted) return Reply::Error{"say hello first"};
  auto [wake_tx, wake_rx] = nivern_support::make_channel<Wake>();
  auto built =
      nivern_vfs::watch::Watcher::build(call.path, nivern_vfs::excludes::Excludes{call.excludes},
                                        [tx = std::move(wake_tx)]() mutable { (void)tx.send(Wake{}); });
  if (!built)
    return Reply::Error{"cannot watch " + nivern_text::lossy_utf8(call.path) + ": " + built.error()};

  auto cell = std::make_shared<WatchCell>(std::move(*built));
  if (nivern_support::start_detached("nivern-server-watch",
                                     [wake = std::move(wake_rx), out = server.out, path = call.path,
                                      weak = std::weak_ptr<WatchCell>(cell), id]() mutable {
                                       forward(std::move(wake), std::move(out), path, weak, id);
                                     }) != 0) {
    return Reply::Error{"cannot start watching"};  // the new watch is dropped with `cell`
  }
  server.watcher = std::move(cell);  // an earlier watch stops here
  return Reply::Watching{};
}

}  // namespace nivern_server
