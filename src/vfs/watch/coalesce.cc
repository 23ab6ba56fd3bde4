#include "vfs/watch/coalesce.h"

#include <algorithm>

namespace nivern_vfs::coalesce {

namespace {

using Tag = ChangeKind::Tag;

// The net change of `old` followed by `next`; nullopt when the two cancel out.
std::optional<ChangeKind> merged(ChangeKind&& old, ChangeKind&& next) {
  switch (next.tag) {
    case Tag::moved:
      return std::move(next);
    case Tag::removed:
      if (old.tag == Tag::created) return std::nullopt;
      return ChangeKind::removed();
    case Tag::created:
    case Tag::modified:
      if (old.tag == Tag::created || old.tag == Tag::moved) return std::move(old);
      return ChangeKind::modified();
  }
  return std::move(next);
}

}  // namespace

void Coalescer::touch(Instant now) {
  if (!first_at_) first_at_ = now;
  last_at_ = now;
}

void Coalescer::note(std::string path, WatchOp op, bool keep, Instant now) {
  ++count_;
  touch(now);
  if (!keep) return;
  switch (op) {
    case WatchOp::created:
      apply(std::move(path), ChangeKind::created());
      break;
    case WatchOp::removed:
      apply(std::move(path), ChangeKind::removed());
      break;
    case WatchOp::modified:
      apply(std::move(path), ChangeKind::modified());
      break;
    case WatchOp::rename_from:
      // The old name is gone at once, so that a later re-creation under it is a change
      // of its own; the source is kept to pair with the new name.
      apply(path, ChangeKind::removed());
      pending_from_ = std::move(path);
      break;
    case WatchOp::rename_to: {
      // A new name without its source may have replaced an entry already there (a file
      // renamed over it, an exchange with a path outside): a change, never a creation
      // that a later removal in the batch would cancel.
      std::optional<std::string> from = std::exchange(pending_from_, std::nullopt);
      apply(std::move(path), from ? ChangeKind::moved(std::move(*from)) : ChangeKind::modified());
      break;
    }
  }
}

void Coalescer::note_rescan(std::string path, RescanReason reason, Instant now) {
  touch(now);
  auto it = rescans_.find(path);
  if (it == rescans_.end()) {
    rescans_.emplace(std::move(path), reason);
  } else if (it->second != RescanReason::events_lost) {
    it->second = reason;  // the first spelling stays
  }
}

void Coalescer::apply(std::string path, ChangeKind kind) {
  auto it = changes_.find(path);
  if (it != changes_.end() && it->second.tag == Tag::moved && kind.tag == Tag::moved) {
    // A second rename onto the same target: the first rename's source is gone.
    std::string source = std::move(it->second.from);
    it->second.from.clear();
    if (auto s = changes_.find(source); s != changes_.end()) changes_.erase(s);
    changes_.emplace(std::move(source), ChangeKind::removed());
    it = changes_.find(path);
  }
  if (it == changes_.end()) {
    changes_.emplace(std::move(path), std::move(kind));
    return;
  }
  auto node = changes_.extract(it);
  std::optional<ChangeKind> net = merged(std::move(node.mapped()), std::move(kind));
  if (!net) return;
  node.key() = std::move(path);  // the newer spelling becomes the key
  node.mapped() = std::move(*net);
  changes_.insert(std::move(node));
}

std::optional<Instant> Coalescer::due() const {
  if (!first_at_) return std::nullopt;
  const Instant last = last_at_.value_or(*first_at_);
  return std::min(last + QUIET, *first_at_ + MAX_DELAY);
}

ChangeSet Coalescer::flush(Instant now) {
  pending_from_.reset();
  if (count_ >= MAX_PATHS && (!last_overflow_ || now - *last_overflow_ >= OVERFLOW_RESCAN_GAP)) {
    last_overflow_ = now;
    note_rescan(root_, RescanReason::too_many_changes, now);
  }
  ChangeSet set;
  set.rescans = collapse_rescans(rescans_);
  Changes taken;
  taken.swap(changes_);
  set.changes.reserve(taken.size());
  while (!taken.empty()) {
    auto node = taken.extract(taken.begin());
    const bool absorbed = std::any_of(set.rescans.begin(), set.rescans.end(), [&](const auto& r) {
      return path_order::lies_under(node.key(), r.first);
    });
    if (!absorbed) set.changes.emplace_back(std::move(node.key()), std::move(node.mapped()));
  }
  set.seq = ++flushes_;
  rescans_.clear();
  set.events = count_;
  count_ = 0;
  first_at_.reset();
  last_at_.reset();
  return set;
}

std::vector<std::pair<std::string, RescanReason>> collapse_rescans(
    const std::map<std::string, RescanReason, path_order::Less>& rescans) {
  // In component order a path's descendants follow it in one run, so an entry lies
  // under some other entry exactly when it lies under the last one kept.
  std::vector<std::pair<std::string, RescanReason>> kept;
  for (const auto& [path, reason] : rescans) {
    if (!kept.empty() && path_order::lies_under(path, kept.back().first)) continue;
    kept.emplace_back(path, reason);
  }
  return kept;
}

}  // namespace nivern_vfs::coalesce
