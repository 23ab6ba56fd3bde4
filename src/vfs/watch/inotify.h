#pragma once
/// A recursive watch of one directory tree on Linux inotify, presenting what the watch
/// loop relies on and nothing of inotify itself: events with a kind and absolute paths
/// under the resolved root, a rescan flag when events were lost, and errors as values.
///
/// - One inotify watch per directory. The watch tables know each watched directory by
///   its identity (its watch descriptor), as a name inside its parent's watch, so a
///   rename moves a whole subtree at once and an exchange of two directories swaps them.
/// - Whenever a directory appears (created, moved in, moved within the tree, or found
///   by a later look) it is crawled by its current location and every directory in it is
///   watched; what the crawl finds is reported as created. So a directory that was
///   renamed before its watch could be added is watched, and reported, once its rename
///   is seen. Directories are opened one name at a time from the root (`openat`), so
///   depth never matters.
/// - A rename inside the tree is one `rename_both` event {from, to}; a half whose
///   partner never comes (moved in from or out to elsewhere) is a lone `rename_from` or
///   `rename_to`. An exchange with a path outside the tree (a lone moved-to followed by a
///   moved-from of the same name) is a `modify` of that name. Directories moved out of
///   the tree lose their watches.
/// - Where the tables cannot place an event (lost events, a change inside a directory
///   whose place is unknown), the tables are rebuilt from a new crawl of the whole tree
///   and then an event with `rescan` set and no paths is given; a second one follows the
///   next read when events came in during the rebuild: never silence.
/// - When the root itself goes (deleted, moved away, replaced, unmounted), a rescan is
///   given and its nearest existing ancestor is watched until the root's path names
///   something again; that is then watched and crawled, and another rescan is given. A
///   root that is a single file replaced by a rename is watched again the same way.
/// - Set-up watches the root alone; its subdirectories are crawled afterwards in small
///   steps (`crawl_some`) between reads of events. Once every directory is watched, a
///   second pass reports what changed after the root was watched (by change time), and
///   everything inside a directory that changed meanwhile, so nothing written before a
///   directory's watch was added is lost. It reports them as modified: they may have
///   been there before.
/// - A directory that cannot be watched (the watch limit, too many open files) gives one
///   error result per read or crawl step, never a flood, and is kept in a set retried
///   when watches are freed and every `kRetryEvery`; a rescan follows once any of them
///   is watched. A directory that could not be reached or read is crawled when its
///   attributes change (as a `chmod` that makes it readable); vanished ones are skipped.
///
/// Threading: `RecursiveWatch` watches the root on the thread that starts it, then hands
/// its tree to its own thread "nivern-inotify", which crawls and calls the handler for
/// every result. The destructor stops that thread (also in the middle of a crawl), joins
/// it and removes every watch. `Tree` is a plain single-threaded value, exposed for tests
/// that feed it hand-made event records.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "support/stop_signal.h"
#include "support/unique_fd.h"

namespace nivern_vfs::inotify {

enum class Kind : std::uint8_t {
  create,
  remove,
  modify,       // content or metadata (attribute changes included)
  rename_from,  // the old name of a rename whose new name lies outside the tree
  rename_to,    // the new name of a rename whose old name lay outside the tree
  rename_both,  // paths: {old name, new name}
  other,        // no change of its own (a lost-events marker)
};

struct Event {
  Kind kind = Kind::other;
  std::vector<std::string> paths;  // absolute, under the resolved root
  bool rescan = false;             // events were lost: the tree must be scanned again
};

/// An error of the watching layer, with the text shown to the editor.
struct Error {
  std::string text;
};

using Result = std::expected<Event, Error>;
using Handler = std::function<void(Result)>;

/// How often directories that could not be watched are tried again (also whenever
/// watches are freed), and a root that is gone is looked for.
inline constexpr std::chrono::seconds kRetryEvery{2};

/// "No path was found. about [\"<path>\"]": the error for a root that does not exist.
[[nodiscard]] Error path_not_found(std::string_view path);

/// The watch tables of one tree and the decoding of raw inotify records.
class Tree {
 public:
  /// Opens an inotify instance whose results go to `handler`.
  static std::expected<Tree, Error> create(Handler handler);

  /// Resolves `root` and watches it. Fails when the path holds a NUL, does not exist or
  /// cannot be watched. Its subdirectories are left to `crawl_some`.
  [[nodiscard]] std::expected<void, Error> watch(std::string_view root);
  /// Goes on with the first crawl for up to `max_dirs` directories.
  void crawl_some(std::size_t max_dirs);
  /// True until the first crawl is done.
  [[nodiscard]] bool crawling() const { return !first_.empty() || recent_pending_ || !recent_.empty(); }
  /// Makes every crawl give up at once when `*stop` is set (it is read, never written).
  void stop_on(const std::atomic<bool>* stop) { stop_ = stop; }

  /// Handles whole records as one read returned them. A moved-from record at the end
  /// is held back, since its partner may follow in the next read (see `holding`).
  void decode(std::span<const std::byte> records);
  /// True while a moved-from record waits for its partner.
  [[nodiscard]] bool holding() const { return held_.has_value(); }
  /// Gives up waiting: a held moved-from record becomes a lone `rename_from`.
  void release_held();

  /// How long the owner may wait for records before calling `tick`; -1: no limit.
  [[nodiscard]] int wait_ms() const;
  /// Does what is due without a record: retries of unwatched directories, the look for
  /// a root that is gone.
  void tick();

  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] const std::string& root() const { return root_; }
  /// The watch descriptor of a watched directory, by its path (for tests).
  [[nodiscard]] std::optional<int> wd_of(const std::string& path) const;
  [[nodiscard]] std::size_t watches() const { return nodes_.size(); }

 private:
  /// A watched directory: a name inside its parent's watch. `detached` once another
  /// directory took that name while this one's new place is not known yet.
  struct Node {
    int parent = -1;  // -1 for the root
    std::string name;
    bool detached = false;
    dev_t dev = 0;
    ino_t ino = 0;
  };
  /// A directory open for crawling: watched and placed, its subdirectories to visit.
  struct Frame {
    nivern_support::UniqueFd fd;  // empty beyond the depth that keeps descriptors open
    int wd = -1;
    std::string path;
    bool read = false;
    std::vector<std::string> subdirs;
    std::size_t next = 0;
    bool all = false;  // second pass: changed meanwhile, so everything in it is reported
  };
  enum class Crawl {
    first,   // the first crawl: watch every directory, report nothing
    recent,  // after it: watch nothing, report what changed since the root was watched
    report,  // a directory that appeared: report everything in it
    quiet,   // rebuilding the tables after a rescan: report nothing
  };
  struct Held {
    std::uint32_t cookie = 0;
    int wd = -1;
    std::string name;
    std::string path;
    bool is_dir = false;
  };
  /// The last directory rename seen, until the moved directory's own record names it.
  struct Move {
    int from_wd = -1;
    std::string from_name;
    std::optional<std::pair<int, std::string>> to;  // empty: moved out of the tree
  };

  Tree(nivern_support::UniqueFd fd, Handler handler);
  void emit(Kind kind, std::string path);
  void rescan();
  [[nodiscard]] std::expected<void, Error> attach_root();
  [[nodiscard]] nivern_support::UniqueFd open_wd(int wd) const;
  [[nodiscard]] std::optional<std::string> path_of(int wd) const;
  [[nodiscard]] bool place(int wd, int parent, const std::string& name, dev_t dev, ino_t ino);
  void detach(int wd);
  void forget(int wd);
  void drop_subtree(int wd);
  [[nodiscard]] std::optional<Frame> open_dir(int parent_fd, int parent_wd, const std::string& name,
                                              std::string path, Crawl mode, bool all);
  void read_dir(Frame& frame, Crawl mode);
  void run_crawl(std::vector<Frame>& stack, Crawl mode, std::size_t max_dirs);
  void crawl_at(int parent_wd, const std::string& name, const std::string& path, Crawl mode);
  void self_moved(int wd);
  void resync();
  void lose_root();
  void await_root();
  void retry_unwatched();
  void settle();
  [[nodiscard]] bool stopping() const { return stop_ && stop_->load(std::memory_order_relaxed); }

  nivern_support::UniqueFd fd_;
  Handler handler_;
  std::string root_;  // resolved, absolute
  int root_wd_ = -1;
  timespec since_{};                                  // when the root was watched, on the clock of file times
  std::unordered_map<int, Node> nodes_;               // watch descriptor -> place
  std::map<std::pair<int, std::string>, int> slots_;  // (parent, name) -> watch descriptor
  std::vector<Frame> first_;                          // the first crawl, while it runs
  bool recent_pending_ = false;  // once it is done, the look for changes made meanwhile...
  std::vector<Frame> recent_;    // ...while it runs
  std::optional<Held> held_;
  std::optional<Move> moved_;
  std::optional<std::pair<int, std::string>> lone_to_;  // the last moved-to without a partner
  // Directories to try again, as (parent, name) -> whether to report what they hold.
  std::map<std::pair<int, std::string>, bool> retry_;
  std::optional<std::chrono::steady_clock::time_point> retry_at_;
  bool freed_ = false;        // watches were freed: worth retrying
  bool rescan_again_ = false;  // events came in during a rebuild
  bool root_is_dir_ = true;
  bool awaiting_ = false;  // the root is gone, or the ancestor watched for it changed
  int ancestor_wd_ = -1;   // while the root is gone: the watch of its nearest ancestor
  std::unordered_set<int>* seen_ = nullptr;  // watches placed by the running rebuild
  const std::atomic<bool>* stop_ = nullptr;
  int failed_ = 0;          // errno of a resource failure (the watch limit) in the current step
  bool untrusted_ = false;  // the tables could not place a change: rescan and rebuild
  // The last path asked of `path_of`, valid while `generation_` is unchanged.
  mutable int cached_wd_ = -1;
  mutable std::uint64_t cached_generation_ = 0;
  mutable std::string cached_path_;
  std::uint64_t generation_ = 1;
};

class RecursiveWatch {
 public:
  /// Watches `root` and starts the thread that crawls it and delivers its results to
  /// `handler`.
  static std::expected<std::unique_ptr<RecursiveWatch>, Error> start(std::string_view root, Handler handler);
  ~RecursiveWatch();
  RecursiveWatch(const RecursiveWatch&) = delete;
  RecursiveWatch& operator=(const RecursiveWatch&) = delete;

 private:
  RecursiveWatch(Tree tree, nivern_support::StopSignal stop);
  void run();

  Tree tree_;
  nivern_support::StopSignal stop_;  // raised once the watch is to end
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace nivern_vfs::inotify
