#pragma once
/// A recursive watch of one directory tree on Linux inotify, presenting what the watch
/// loop relies on and nothing of inotify itself: events with a kind and absolute paths
/// under the resolved root, a rescan flag when events were lost, and errors as values.
///
/// - One inotify watch per directory; directories that appear later are added as they
///   appear, and entries made inside a new directory before its watch existed are
///   reported as created, so nothing in that race goes missing.
/// - A rename inside the tree is one `rename_both` event {from, to}; a half whose
///   partner never comes (moved in from or out to elsewhere) is a lone `rename_from` or
///   `rename_to`. Watches follow directories renamed within the tree and are dropped
///   for directories moved out of it.
/// - Lost events (the kernel's queue overflowed) give an event with `rescan` set and no
///   paths; the tree is then crawled again so that no directory stays unwatched.
/// - A directory that cannot be watched later on (the watch limit) gives one error
///   result per read, never a flood; unreadable or vanished subdirectories are skipped.
///
/// Threading: `RecursiveWatch` crawls on the thread that starts it, then hands its tree
/// to its own thread "nivern-inotify", which calls the handler for every result. The
/// destructor stops and joins that thread and removes every watch. `Tree` is a plain
/// single-threaded value, exposed for tests that feed it hand-made event records.
#include <cstddef>
#include <cstdint>
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
#include <vector>

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

/// "No path was found. about [\"<path>\"]": the error for a root that does not exist.
[[nodiscard]] Error path_not_found(std::string_view path);

/// The watch tables of one tree and the decoding of raw inotify records.
class Tree {
 public:
  /// Opens an inotify instance whose results go to `handler`.
  static std::expected<Tree, Error> create(Handler handler);

  /// Resolves `root` and crawls it, one watch per directory. Fails when the root does
  /// not exist or cannot be watched, or when the watch limit stops the crawl (then no
  /// watch is left behind). Unreadable subdirectories are skipped.
  [[nodiscard]] std::expected<void, Error> watch(std::string_view root);

  /// Handles whole records as one read returned them. A moved-from record at the end
  /// is held back, since its partner may follow in the next read (see `holding`).
  void decode(std::span<const std::byte> records);
  /// True while a moved-from record waits for its partner.
  [[nodiscard]] bool holding() const { return held_.has_value(); }
  /// Gives up waiting: a held moved-from record becomes a lone `rename_from`.
  void release_held();

  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] const std::string& root() const { return root_; }
  /// The watch descriptor of a watched directory (for tests).
  [[nodiscard]] std::optional<int> wd_of(const std::string& path) const;
  [[nodiscard]] std::size_t watches() const { return paths_.size(); }

 private:
  struct Held {
    std::uint32_t cookie = 0;
    std::string path;
    bool is_dir = false;
  };
  enum class Crawl { quiet, report };

  Tree(nivern_support::UniqueFd fd, Handler handler);
  void emit(Kind kind, std::string path);
  [[nodiscard]] std::expected<void, int> crawl(const std::string& dir, Crawl mode,
                                               std::unordered_set<int>* seen = nullptr);
  void forget(int wd);
  void drop_subtree(const std::string& dir);
  void move_subtree(const std::string& from, const std::string& to);
  void rescan_all();

  nivern_support::UniqueFd fd_;
  Handler handler_;
  std::string root_;  // resolved, absolute
  int root_wd_ = -1;
  std::unordered_map<int, std::string> paths_;  // watch descriptor -> directory
  std::map<std::string, int> wds_;              // directory -> watch descriptor (byte order)
  std::optional<Held> held_;
  bool limit_hit_ = false;  // a watch could not be added during the current read
};

class RecursiveWatch {
 public:
  /// Crawls `root` and starts the thread that delivers its results to `handler`.
  static std::expected<std::unique_ptr<RecursiveWatch>, Error> start(std::string_view root, Handler handler);
  ~RecursiveWatch();
  RecursiveWatch(const RecursiveWatch&) = delete;
  RecursiveWatch& operator=(const RecursiveWatch&) = delete;

 private:
  RecursiveWatch(Tree tree, nivern_support::UniqueFd stop);
  void run();

  Tree tree_;
  nivern_support::UniqueFd stop_;  // an eventfd; readable once the watch is to end
  std::thread thread_;
};

}  // namespace nivern_vfs::inotify
