// The `watch` call: a `Watcher` for the asked path, kept in `Server.watcher`, and the
// forwarder thread "nivern-server-watch" that turns its change sets into `changed`
// events under the call's id.
//
// The forwarder keeps at most one event of its own waiting in the outgoing queue, and
// charges it to the session's reply budget. While that event is unwritten (the editor is
// not reading), it goes on taking the watcher's change sets and merges their paths into
// the next event instead of queueing more: once the merged paths reach the change limit,
// they become one rescan of the root. So a watch holds a bounded amount of memory however
// long the editor pauses, and when the editor reads again it gets what changed meanwhile
// in one event.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "server/asked.h"
#include "server/calls.h"
#include "support/byte_budget.h"
#include "support/channel.h"
#include "support/thread_name.h"
#include "text/byte_decoders.h"
#include "vfs/watch/coalesce.h"
#include "vfs/watch/watch.h"

namespace nivern_server {

WatchCell::WatchCell(std::unique_ptr<nivern_vfs::watch::Watcher> w) : watcher(std::move(w)) {}
WatchCell::~WatchCell() = default;

namespace {

using nivern_support::ByteBudget;

// What wakes the forwarder.
enum class Signal : std::uint8_t {
  changes,  // the watcher queued a change set
  written,  // the forwarder's unwritten event has left the outgoing queue
  ended,    // the watcher's loop has ended
};

// Sends `ended` when destroyed. The watcher's loop holds the only reference (inside its
// `on_change`) and releases it when the loop ends.
class LoopEnd {
 public:
  explicit LoopEnd(nivern_support::Sender<Signal> tx) : tx_(std::move(tx)) {}
  ~LoopEnd() { (void)tx_.send(Signal::ended); }
  LoopEnd(const LoopEnd&) = delete;
  LoopEnd& operator=(const LoopEnd&) = delete;

 private:
  nivern_support::Sender<Signal> tx_;
};

// How long a forwarder whose event found no room in the reply budget waits before it
// asks again, unless the watcher wakes it first.
constexpr std::chrono::milliseconds BUDGET_RETRY{50};

// The paths of the next event, in the asked form, sorted by bytes without duplicates.
class Pending {
 public:
  explicit Pending(std::string root) : root_(std::move(root)) {}

  // Adds `path`. A `bounded` set that takes the root or reaches the change limit becomes
  // the root alone and takes no further path: every path a watch reports lies in the
  // watched tree, however it is spelled, so a rescan of the root covers them all.
  void add(std::string path, bool bounded) {
    if (whole_) return;
    const bool root = path == root_;
    paths_.insert(std::move(path));
    if (bounded && (root || paths_.size() >= nivern_vfs::coalesce::MAX_PATHS)) {
      paths_.clear();
      paths_.insert(root_);
      whole_ = true;
    }
  }
  bool empty() const { return paths_.empty(); }
  std::vector<std::string> list() const { return {paths_.begin(), paths_.end()}; }
  void clear() {
    paths_.clear();
    whole_ = false;
  }

 private:
  const std::string root_;
  std::set<std::string> paths_;
  bool whole_ = false;
};

// Each round takes every queued change set. The paths of a round go out as one event
// when nothing of ours waits unwritten; otherwise they are held and merged, bounded by
// the change limit. Ends when the watcher's loop has ended, the watch was dropped, or the
// outgoing queue is closed. `self` is only lent to the events' leases, to say "written".
void forward(nivern_support::Receiver<Signal> signals, const nivern_support::Sender<Signal>& self, Outgoing out,
             const std::shared_ptr<ByteBudget>& replies, const std::string& asked,
             const std::weak_ptr<WatchCell>& weak, std::uint64_t id) {
  Pending pending(as_asked(asked, asked, asked));
  bool unwritten = false;  // our last event still waits in the outgoing queue
  bool refused = false;    // the reply budget had no room for the pending event
  for (;;) {
    std::optional<Signal> signal;
    if (refused) {
      (void)signals.recv_until(signal, std::chrono::steady_clock::now() + BUDGET_RETRY);
    } else {
      signal = signals.recv();
    }
    for (; signal; signal = signals.try_recv()) {
      if (*signal == Signal::ended) return;
      if (*signal == Signal::written) unwritten = false;
    }
    std::shared_ptr<WatchCell> cell = weak.lock();
    if (!cell) return;
    const bool holding = unwritten || !pending.empty();
    {
      nivern_support::MutexLock lock(cell->mu);
      while (auto set = cell->watcher->changes().try_recv()) {
        for (const auto& c : set->changes) pending.add(as_asked(c.first, asked, asked), holding);
        for (const auto& r : set->rescans) pending.add(as_asked(r.first, asked, asked), holding);
      }
    }
    cell.reset();
    if (unwritten || pending.empty()) continue;
    nivern_protocol::message::Response event{id, Reply::Changed{pending.list()}};
    std::string body = event.encode();
    event = {};
    auto lease = replies->try_acquire(frame_cost(body));
    refused = !lease;
    if (refused) continue;
    lease->on_return([tx = self]() mutable { (void)tx.send(Signal::written); });
    unwritten = true;
    pending.clear();
    if (!out.send(Frame{std::move(body), std::move(*lease)})) return;
  }
}

}  // namespace

Reply watch(Server& server, std::uint64_t id, const Call::Watch& call) {
  if (!server.greeted) return Reply::Error{"say hello first"};
  auto [signal_tx, signal_rx] = nivern_support::make_channel<Signal>();
  auto end = std::make_shared<LoopEnd>(signal_tx);
  auto built = nivern_vfs::watch::Watcher::build(
      call.path, nivern_vfs::excludes::Excludes{call.excludes},
      [tx = signal_tx, end = std::move(end)]() mutable { (void)tx.send(Signal::changes); });
  if (!built)
    return Reply::Error{"cannot watch " + nivern_text::lossy_utf8(call.path) + ": " + built.error()};

  auto cell = std::make_shared<WatchCell>(std::move(*built));
  if (nivern_support::start_detached("nivern-server-watch",
                                     [signals = std::move(signal_rx), self = std::move(signal_tx),
                                      out = server.out, replies = server.replies, path = call.path,
                                      weak = std::weak_ptr<WatchCell>(cell), id]() mutable {
                                       forward(std::move(signals), self, std::move(out), replies, path, weak,
                                               id);
                                     }) != 0) {
    return Reply::Error{"cannot start watching"};  // the new watch is dropped with `cell`
  }
  server.watcher = std::move(cell);  // an earlier watch stops here
  return Reply::Watching{};
}

}  // namespace nivern_server
