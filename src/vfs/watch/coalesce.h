#pragma once
/// Turns the bursty per-path operations of a watch into batches: every path at most
/// once with its net change, flushed after a quiet moment (30 ms without a note) or at
/// the latest 250 ms after the batch's first note. A batch that noted 256 paths or more
/// becomes a rescan of the root (at most one such rescan every 2 s), which absorbs the
/// batch's changes under the root. Both names of a rename are reported: the old name
/// as removed from the moment it is noted, the new one as moved from it (as modified
/// when its source is not known, since it may have replaced an entry).
///
/// Threading: single-threaded; owned by the watch thread and never shared. Pure: no
/// clock, no I/O. Every operation that needs the time is given "now" by its caller.
///
/// The owner calls `flush` exactly when `due()` is set and not later than now; a flush
/// of an empty state yields an empty `ChangeSet`.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vfs/watch/change.h"
#include "vfs/tree/path_order.h"

namespace nivern_vfs::coalesce {

using change::ChangeKind;
using change::ChangeSet;
using change::RescanReason;
using Instant = std::chrono::steady_clock::time_point;

/// One path of one watcher event, as the watcher hands it over.
enum class WatchOp : std::uint8_t { created, removed, modified, rename_from, rename_to };

/// A batch is flushed once nothing has been noted for this long...
inline constexpr std::chrono::milliseconds QUIET{30};
/// ...or at the latest this long after its first note.
inline constexpr std::chrono::milliseconds MAX_DELAY{250};
/// A batch that noted this many paths gets a rescan of the root...
inline constexpr std::uint64_t MAX_PATHS = 256;
/// ...unless the previous such rescan is less than this old.
inline constexpr std::chrono::seconds OVERFLOW_RESCAN_GAP{2};

class Coalescer {
 public:
  /// `root`: the watched path exactly as the editor sent it; every rescan this
  /// coalescer asks for itself names it.
  explicit Coalescer(std::string root) : root_(std::move(root)) {}

  /// Records one path of one event. `keep` false (excluded) still counts toward the
  /// batch's size but changes nothing else.
  void note(std::string path, WatchOp op, bool keep, Instant now);
  /// Asks for a rescan of `path`. Lost events win over too many changes.
  void note_rescan(std::string path, RescanReason reason, Instant now);
  /// Merges one net change into the pending changes.
  void apply(std::string path, ChangeKind kind);
  /// When the open batch must be flushed; empty when no batch is open.
  [[nodiscard]] std::optional<Instant> due() const;
  /// Closes the open batch.
  [[nodiscard]] ChangeSet flush(Instant now);

 private:
  using Changes = std::map<std::string, ChangeKind, path_order::Less>;
  using Rescans = std::map<std::string, RescanReason, path_order::Less>;

  void touch(Instant now);

  std::string root_;
  std::optional<std::string> pending_from_;  // a rename source (already removed) whose target is not seen yet
  std::optional<Instant> first_at_;          // set while a batch is open
  std::optional<Instant> last_at_;
  std::optional<Instant> last_overflow_;  // never reset
  Changes changes_;
  Rescans rescans_;
  std::uint64_t count_ = 0;  // paths noted in the open batch (excluded ones and both rename halves included)
  std::uint64_t flushes_ = 0;
};

/// The rescans in path order without those that lie under another one's path
/// (so "/p" absorbs "/p/a/b" but not "/pa").
[[nodiscard]] std::vector<std::pair<std::string, RescanReason>> collapse_rescans(
    const std::map<std::string, RescanReason, path_order::Less>& rescans);

}  // namespace nivern_vfs::coalesce
