#include "vfs/watch/watch.h"

#include <chrono>
#include <system_error>

#include "support/os_error.h"
#include "support/thread_name.h"

namespace nivern_vfs::watch {

namespace {
using Clock = std::chrono::steady_clock;
}

std::optional<WatchOp> translate(inotify::Kind kind, std::size_t index) {
  switch (kind) {
    case inotify::Kind::create:
      return WatchOp::created;
    case inotify::Kind::remove:
      return WatchOp::removed;
    case inotify::Kind::rename_from:
      return WatchOp::rename_from;
    case inotify::Kind::rename_to:
      return WatchOp::rename_to;
    case inotify::Kind::rename_both:
      if (index == 0) return WatchOp::rename_from;
      if (index == 1) return WatchOp::rename_to;
      return std::nullopt;
    case inotify::Kind::modify:
    case inotify::Kind::other:
      return WatchOp::modified;
  }
  return WatchOp::modified;
}

bool keep(const excludes::Override* matcher, std::string_view path) {
  if (!matcher || matcher->empty()) return true;
  const Gitignore& g = matcher->gitignore();
  switch (g.matched(path, /*is_dir=*/false)) {
    case IgnoreVerdict::ignore:
      return true;
    case IgnoreVerdict::whitelist:
      return false;
    case IgnoreVerdict::none:
      return g.size() == g.whitelists();  // only "!" lines: no match keeps
  }
  return true;
}

std::vector<Noted> one_each(inotify::Event&& event, const excludes::Override* matcher) {
  std::vector<Noted> out;
  out.reserve(event.paths.size());
  for (std::size_t i = 0; i < event.paths.size(); ++i) {
    auto op = translate(event.kind, i);
    if (!op) continue;
    const bool k = keep(matcher, event.paths[i]);
    out.push_back(Noted{std::move(event.paths[i]), k, *op});
  }
  return out;
}

std::expected<std::unique_ptr<Watcher>, std::string> Watcher::build(std::string root,
                                                                    excludes::Excludes excludes,
                                                                    OnChange on_change) {
  auto [event_tx, event_rx] = nivern_support::make_channel<Item>();
  auto [change_tx, change_rx] = nivern_support::make_channel<change::ChangeSet>();
  auto [stop_tx, stop_rx] = nivern_support::make_channel<Wake>();

  std::unique_ptr<Watcher> w(new Watcher());
  w->changes_ = std::move(change_rx);
  w->stop_ = std::move(stop_tx);
  w->wake_ = event_tx;
  w->root_ = root;
  try {
    w->thread_ = std::thread(&Watcher::run, std::move(event_rx), std::move(change_tx), std::move(stop_rx),
                             std::move(on_change), root, std::move(excludes));
  } catch (const std::system_error& e) {
    return std::unexpected(nivern_support::os_error_text(e.code().value()));
  }
  auto inner = inotify::RecursiveWatch::start(
      root, [tx = std::move(event_tx)](inotify::Result r) mutable { (void)tx.send(Item(std::move(r))); });
  if (!inner) return std::unexpected(std::move(inner.error().text));  // `w` goes, its thread with it
  w->inner_ = std::move(*inner);
  return w;
}

Watcher::~Watcher() {
  stop_.reset();
  (void)wake_.send(Item(Wake{}));
  wake_.reset();
  if (thread_.joinable()) thread_.join();
  changes_.reset();
  inner_.reset();
}

void Watcher::run(nivern_support::Receiver<Item> events, nivern_support::Sender<change::ChangeSet> out,
                  nivern_support::Receiver<Wake> stop, const OnChange& on_change, const std::string& root,
                  const excludes::Excludes& excludes) {
  nivern_support::name_this_thread("nivern-watch");
  std::optional<excludes::Override> matcher;
  if (auto built = excludes.matcher(root)) matcher = std::move(*built);
  const excludes::Override* m = matcher ? &*matcher : nullptr;
  coalesce::Coalescer coalescer(root);

  for (;;) {
    if (stop.senders_gone()) return;
    std::optional<Item> item;
    if (auto due = coalescer.due()) {
      if (events.recv_until(item, *due) == nivern_support::Receiver<Item>::Wait::closed) return;
    } else {
      item = events.recv();
      if (!item) return;
    }
    if (item && std::holds_alternative<inotify::Result>(*item)) {
      inotify::Result& r = std::get<inotify::Result>(*item);
      const auto now = Clock::now();
      if (!r) {
        coalescer.note_rescan(root, change::RescanReason::events_lost, now);
      } else {
        if (r->rescan) coalescer.note_rescan(root, change::RescanReason::events_lost, now);
        for (Noted& n : one_each(std::move(*r), m)) coalescer.note(std::move(n.path), n.op, n.keep, now);
      }
    }
    const auto now = Clock::now();
    if (auto due = coalescer.due(); due && *due <= now) {
      if (!out.send(coalescer.flush(now))) return;
      on_change();
    }
  }
}

}  // namespace nivern_vfs::watch
