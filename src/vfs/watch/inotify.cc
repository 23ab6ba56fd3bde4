#include "vfs/watch/inotify.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "support/os_error.h"
#include "support/thread_name.h"
#include "vfs/tree/error.h"

namespace nivern_vfs::inotify {

namespace {

using nivern_support::UniqueFd;

constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK;
// Crawls keep the descriptors of this many nested directories open (a child is opened
// inside its parent, so it is the parent's child whatever was renamed meanwhile); deeper
// ones are opened again from the root, one name at a time, when their children are.
constexpr std::size_t kOpenDepth = 64;
// What is watched on the nearest existing ancestor of a root that is gone.
constexpr std::uint32_t kAncestorMask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Directories the first crawl visits between two looks at the event queue.
constexpr std::size_t kCrawlStep = 64;
// How long a moved-from record at the end of a read waits for its moved-to partner, in ms.
constexpr int kPartnerWait = 10;

// The text of a failed watch: the limit's name and value when the limit stopped it.
std::string watch_error_text(int err) {
  if (err != ENOSPC) return nivern_support::os_error_text(err);
  std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
  std::string value;
  if (!(in >> value)) value = "?";
  return "the inotify watch limit (fs.inotify.max_user_watches = " + value +
         ") is reached: " + nivern_support::os_error_text(err);
}

// A path as a quoted string literal with its special characters escaped.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string join(const std::string& dir, std::string_view name) {
  std::string p;
  p.reserve(dir.size() + 1 + name.size());
  p = dir;
  if (p.empty() || p.back() != '/') p += '/';
  p += name;
  return p;
}

// The first reading of the clock that file times come from (which advances once per
// scheduler tick) that is later than its reading now: whatever changes from here on gets
// a time at or after it, and whatever changed before gets an earlier one.
timespec next_tick() {
  timespec first, now;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &first);
  for (int i = 0; i < 200; ++i) {  // a tick is at most 10 ms
    const timespec pause{0, 100'000};
    ::nanosleep(&pause, nullptr);
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (now.tv_sec != first.tv_sec || now.tv_nsec != first.tv_nsec) return now;
  }
  return first;
}

bool not_before(const timespec& t, const timespec& since) {
  return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}

// Watches the directory open as `dir_fd` itself, whatever its path names by now.
int add_dir_watch(int inotify_fd, int dir_fd, const std::string& path) {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", dir_fd);
  const int wd = inotify_add_watch(inotify_fd, proc, kMask | IN_ONLYDIR);
  if (wd >= 0 || errno != ENOENT) return wd;
  return inotify_add_watch(inotify_fd, path.c_str(), kMask | IN_ONLYDIR | IN_DONT_FOLLOW);  // no /proc
}

}  // namespace

Error path_not_found(std::string_view path) {
  return Error{"No path was found. about [" + quoted(path) + "]"};
}

Tree::Tree(UniqueFd fd, Handler handler) : fd_(std::move(fd)), handler_(std::move(handler)) {}

std::expected<Tree, Error> Tree::create(Handler handler) {
  UniqueFd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return std::unexpected(Error{nivern_support::last_os_error()});
  return Tree(std::move(fd), std::move(handler));
}

std::expected<void, Error> Tree::watch(std::string_view root) {
  if (root.find('\0') != std::string_view::npos) return std::unexpected(Error{error::NUL_IN_PATH});
  std::string given(root);
  struct stat st;
  if (::stat(given.c_str(), &st) != 0) return std::unexpected(path_not_found(root));
  char* resolved = ::realpath(given.c_str(), nullptr);
  if (!resolved) return std::unexpected(Error{nivern_support::last_os_error()});
  root_ = resolved;
  std::free(resolved);
  if (auto attached = attach_root(); !attached) return attached;
  if (root_is_dir_) {
    if (UniqueFd fd = open_wd(root_wd_)) first_.push_back(Frame{std::move(fd), root_wd_, root_, false, {}, 0, false});
    recent_pending_ = true;
    since_ = next_tick();
  }
  return {};
}

// Watches whatever the root's path names now: a directory (its contents are left to a
// crawl) or a single file.
std::expected<void, Error> Tree::attach_root() {
  struct stat st;
  if (::stat(root_.c_str(), &st) != 0) return std::unexpected(path_not_found(root_));
  root_is_dir_ = S_ISDIR(st.st_mode);
  if (!root_is_dir_) {
    root_wd_ = inotify_add_watch(fd_.get(), root_.c_str(), kMask | IN_DONT_FOLLOW);
    if (root_wd_ < 0) return std::unexpected(Error{watch_error_text(errno)});
  } else {
    UniqueFd fd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &st) != 0) return std::unexpected(Error{nivern_support::last_os_error()});
    root_wd_ = add_dir_watch(fd_.get(), fd.get(), root_);
    if (root_wd_ < 0) return std::unexpected(Error{watch_error_text(errno)});
  }
  nodes_.insert_or_assign(root_wd_, Node{-1, root_, false, st.st_dev, st.st_ino});
  ++generation_;
  return {};
}

void Tree::emit(Kind kind, std::string path) {
  Event e{kind, {}, false};
  e.paths.push_back(std::move(path));
  handler_(std::move(e));
}

void Tree::rescan() {
  handler_(Event{Kind::other, {}, true});
}

std::optional<std::string> Tree::path_of(int wd) const {
  if (wd == cached_wd_ && generation_ == cached_generation_) return cached_path_;
  if (!nodes_.contains(root_wd_)) return std::nullopt;
  std::vector<const std::string*> names;
  std::size_t steps = 0;
  for (int w = wd; w != root_wd_;) {
    auto it = nodes_.find(w);
    if (it == nodes_.end() || it->second.detached || ++steps > nodes_.size()) return std::nullopt;
    names.push_back(&it->second.name);
    w = it->second.parent;
  }
  std::string path = root_;
  for (auto n = names.rbegin(); n != names.rend(); ++n) {
    if (path.back() != '/') path += '/';
    path += **n;
  }
  cached_wd_ = wd;
  cached_generation_ = generation_;
  cached_path_ = path;
  return path;
}

// Opens the watched directory `wd` from the root, one name at a time, each step checked
// to be the directory that the tables hold there. Empty when the tables are not caught
// up with the disk (records still to come place it elsewhere) or the root's path no
// longer leads to the root.
UniqueFd Tree::open_wd(int wd) const {
  std::vector<const Node*> chain;
  for (int w = wd;;) {
    auto it = nodes_.find(w);
    if (it == nodes_.end() || it->second.detached || chain.size() > nodes_.size()) return {};
    chain.push_back(&it->second);
    if (w == root_wd_) break;
    w = it->second.parent;
  }
  UniqueFd fd;
  struct stat st;
  for (auto n = chain.rbegin(); n != chain.rend(); ++n) {
    UniqueFd next(n == chain.rbegin() ? ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                      : ::openat(fd.get(), (*n)->name.c_str(), kDirFlags));
    if (!next || ::fstat(next.get(), &st) != 0 || st.st_ino != (*n)->ino || st.st_dev != (*n)->dev) return {};
    fd = std::move(next);
  }
  return fd;
}

// Records that the directory `wd` is the entry `name` of the directory `parent`. A
// directory that held that place before is detached. Refused when `wd` would become its
// own ancestor (the tree mounted inside itself, or tables that are not caught up).
bool Tree::place(int wd, int parent, const std::string& name, dev_t dev, ino_t ino) {
  if (wd == root_wd_) return false;
  std::size_t steps = 0;
  for (int p = parent; p != -1 && steps <= nodes_.size(); ++steps) {
    if (p == wd) return false;
    auto it = nodes_.find(p);
    if (it == nodes_.end()) break;
    p = it->second.parent;
  }
  auto [it, fresh] = nodes_.try_emplace(wd);
  Node& node = it->second;
  if (!fresh && !node.detached) {
    if (node.parent == parent && node.name == name) {
      node.dev = dev;
      node.ino = ino;
      return true;
    }
    if (auto s = slots_.find({node.parent, node.name}); s != slots_.end() && s->second == wd) slots_.erase(s);
  }
  ++generation_;
  auto [slot, added] = slots_.try_emplace({parent, name}, wd);
  if (!added && slot->second != wd) {
    detach(slot->second);
    slot->second = wd;
  }
  node = Node{parent, name, false, dev, ino};
  return true;
}

// Keeps its last place, to be recognised when its own move record comes.
void Tree::detach(int wd) {
  if (auto it = nodes_.find(wd); it != nodes_.end()) it->second.detached = true;
  ++generation_;
}

void Tree::forget(int wd) {
  auto it = nodes_.find(wd);
  if (it == nodes_.end()) return;
  if (!it->second.detached) {
    if (auto s = slots_.find({it->second.parent, it->second.name}); s != slots_.end() && s->second == wd)
      slots_.erase(s);
  }
  nodes_.erase(it);
  ++generation_;
}

// Removes the watches of `wd` and of every directory placed below it.
void Tree::drop_subtree(int wd) {
  std::vector<int> todo{wd};
  for (std::size_t i = 0; i < todo.size(); ++i) {
    for (auto s = slots_.lower_bound({todo[i], std::string()});
         s != slots_.end() && s->first.first == todo[i]; ++s)
      todo.push_back(s->second);
  }
  for (int w : todo) {
    inotify_rm_watch(fd_.get(), w);
    forget(w);
  }
}

// Opens the directory `name` of `parent_fd` and, unless only looking for recent changes,
// watches and places it. A directory that cannot be opened or watched for want of
// resources is noted in `failed_` and kept for a retry; one that has gone or cannot be
// read is skipped (a later change of its attributes crawls it).
std::optional<Tree::Frame> Tree::open_dir(int parent_fd, int parent_wd, const std::string& name,
                                          std::string path, Crawl mode, bool all) {
  UniqueFd fd(::openat(parent_fd, name.c_str(), kDirFlags));
  if (!fd) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
      failed_ = errno;
      if (mode != Crawl::recent) retry_.emplace(std::pair{parent_wd, name}, mode == Crawl::report);
    }
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (mode == Crawl::recent) {
    // A directory that changed meanwhile may have been moved here whole: all it holds is
    // reported, whatever the times of its entries. What this pass finds may have been
    // there before the watch, so it is a change, never a creation that a later removal
    // in the same batch would cancel.
    const bool changed = not_before(st.st_ctim, since_);
    if (changed && !all) emit(Kind::modify, path);
    int wd = -1;
    if (auto s = slots_.find(std::pair{parent_wd, name}); s != slots_.end()) wd = s->second;
    return Frame{std::move(fd), wd, std::move(path), false, {}, 0, all || changed};
  }
  const int wd = add_dir_watch(fd_.get(), fd.get(), path);
  if (wd < 0) {
    if (errno == ENOSPC || errno == ENOMEM) {
      failed_ = errno;
      retry_.emplace(std::pair{parent_wd, name}, mode == Crawl::report);
    }
    return std::nullopt;
  }
  if (seen_) seen_->insert(wd);
  if (!place(wd, parent_wd, name, st.st_dev, st.st_ino)) return std::nullopt;
  return Frame{std::move(fd), wd, std::move(path), false, {}, 0, false};
}

// Lists the directory of `frame` (its watch is already there, so an entry made meanwhile
// is either listed here or reported by the watch) and notes its subdirectories.
void Tree::read_dir(Frame& frame, Crawl mode) {
  frame.read = true;
  const int fd = frame.fd.get();
  if (fd < 0) return;
  const bool report_all = mode == Crawl::report || (mode == Crawl::recent && frame.all);
  alignas(dirent64) char buf[16 * 1024];
  for (;;) {
    const ssize_t got = ::getdents64(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (std::size_t pos = 0; pos < static_cast<std::size_t>(got);) {
      const auto* d = reinterpret_cast<const dirent64*>(buf + pos);
      pos += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      bool is_dir = d->d_type == DT_DIR;
      struct stat st;
      bool have_stat = false;
      if (d->d_type == DT_UNKNOWN) {
        have_stat = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        is_dir = have_stat && S_ISDIR(st.st_mode);
      }
      if (report_all) {
        emit(mode == Crawl::report ? Kind::create : Kind::modify, join(frame.path, name));
      } else if (mode == Crawl::recent && !is_dir) {
        // Changed since the root was watched: perhaps before this directory was.
        if (!have_stat) have_stat = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (have_stat && not_before(st.st_ctim, since_)) emit(Kind::modify, join(frame.path, name));
      }
      if (is_dir) frame.subdirs.emplace_back(name);
    }
  }
}

// Depth first, each directory watched before it is listed. Visits at most `max_dirs`
// new directories; what is left stays on `stack`.
void Tree::run_crawl(std::vector<Frame>& stack, Crawl mode, std::size_t max_dirs) {
  std::size_t visited = 0;
  while (!stack.empty()) {
    if (stopping()) {
      stack.clear();
      return;
    }
    Frame& top = stack.back();
    if (!top.read) {
      read_dir(top, mode);
      if (stack.size() > kOpenDepth) top.fd.reset();
      continue;
    }
    if (top.next == top.subdirs.size()) {
      stack.pop_back();
      continue;
    }
    if (visited++ == max_dirs) return;
    UniqueFd reopened;
    int parent_fd = top.fd.get();
    if (parent_fd < 0) {
      if (top.wd >= 0) reopened = open_wd(top.wd);
      if (!reopened) {  // moved meanwhile: the records of its move crawl it
        top.next = top.subdirs.size();
        continue;
      }
      parent_fd = reopened.get();
    }
    std::string name = std::move(top.subdirs[top.next++]);
    std::string path = join(top.path, name);
    auto child = open_dir(parent_fd, top.wd, name, std::move(path), mode, top.all);
    if (child) stack.push_back(std::move(*child));
  }
}

void Tree::crawl_some(std::size_t max_dirs) {
  if (!first_.empty()) {
    run_crawl(first_, Crawl::first, max_dirs);
  } else if (recent_pending_) {
    recent_pending_ = false;
    if (UniqueFd fd = open_wd(root_wd_)) recent_.push_back(Frame{std::move(fd), root_wd_, root_, false, {}, 0, false});
  } else {
    run_crawl(recent_, Crawl::recent, max_dirs);
  }
  settle();
}

// Crawls the directory `name` that appeared in the watched directory `parent_wd`, opened
// from the root by the names that the tables hold. When those no longer lead to the
// parent (records still to come move it, or a directory above the root was renamed), it
// is tried again later.
void Tree::crawl_at(int parent_wd, const std::string& name, const std::string& path, Crawl mode) {
  if (!nodes_.contains(parent_wd)) return;
  UniqueFd parent = open_wd(parent_wd);
  if (!parent) {
    retry_.emplace(std::pair{parent_wd, name}, mode == Crawl::report);
    return;
  }
  std::vector<Frame> stack;
  if (auto f = open_dir(parent.get(), parent_wd, name, path, mode, false)) stack.push_back(std::move(*f));
  run_crawl(stack, mode, SIZE_MAX);
}

// The directory `wd` itself was moved: by the rename just seen, if the tables still
// have it where that rename took it from (a crawl may have placed it already).
void Tree::self_moved(int wd) {
  if (!moved_) return;
  Move m = std::move(*moved_);
  moved_.reset();
  auto it = nodes_.find(wd);
  if (it == nodes_.end() || it->second.parent != m.from_wd || it->second.name != m.from_name) return;
  if (m.to) {
    const Node n = it->second;
    (void)place(wd, m.to->first, m.to->second, n.dev, n.ino);
  } else {
    drop_subtree(wd);  // moved out of the tree
  }
}

// The tables cannot be trusted: watch every directory now in the tree and drop the
// watches of every other, then report a rescan of the whole tree, so that whatever the
// editor finds by it is watched by then. Events that came in meanwhile bring one more
// rescan once they are read.
void Tree::resync() {
  first_.clear();
  recent_.clear();
  recent_pending_ = false;
  moved_.reset();
  lone_to_.reset();
  if (nodes_.contains(root_wd_) && root_is_dir_) {
    if (UniqueFd fd = open_wd(root_wd_)) {
      std::unordered_set<int> seen{root_wd_};
      seen_ = &seen;
      std::vector<Frame> stack;
      stack.push_back(Frame{std::move(fd), root_wd_, root_, false, {}, 0, false});
      run_crawl(stack, Crawl::quiet, SIZE_MAX);
      seen_ = nullptr;
      std::vector<int> stale;
      if (!stopping()) {
        for (const auto& [wd, node] : nodes_) {
          if (!seen.contains(wd)) stale.push_back(wd);
        }
      }
      for (int wd : stale) {
        inotify_rm_watch(fd_.get(), wd);
        forget(wd);
      }
    }
  }
  rescan();
  int queued = 0;
  if (::ioctl(fd_.get(), FIONREAD, &queued) == 0 && queued > 0) rescan_again_ = true;
}

// The root's own watch went (deleted, moved away, replaced, unmounted): no path of the
// tables names anything now. Every watch goes, a rescan is reported, and the root is
// looked for (`await_root`).
void Tree::lose_root() {
  for (const auto& [wd, node] : nodes_) inotify_rm_watch(fd_.get(), wd);
  nodes_.clear();
  slots_.clear();
  first_.clear();
  recent_.clear();
  recent_pending_ = false;
  moved_.reset();
  lone_to_.reset();
  retry_.clear();
  root_wd_ = -1;
  ++generation_;
  rescan();
  awaiting_ = true;
}

// While the root is gone: when its path names something again, watches and crawls it
// and reports a rescan; otherwise watches its nearest existing ancestor, whose changes
// bring the next look. The look is repeated while that ancestor changes under it.
void Tree::await_root() {
  awaiting_ = false;
  if (root_wd_ >= 0) return;
  std::string watched;
  for (int tries = 0; tries < 64; ++tries) {
    struct stat st;
    if (::stat(root_.c_str(), &st) == 0) {
      if (!attach_root()) return;  // not now (the watch limit): the next tick tries again
      if (ancestor_wd_ >= 0) inotify_rm_watch(fd_.get(), std::exchange(ancestor_wd_, -1));
      resync();
      return;
    }
    std::string dir = root_;
    do {
      const std::size_t slash = dir.find_last_of('/');
      dir.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
    } while (dir.size() > 1 && (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)));
    if (dir == watched) return;  // watched, and nothing came below it meanwhile
    const int wd = inotify_add_watch(fd_.get(), dir.c_str(), kAncestorMask);
    if (wd < 0) return;
    if (ancestor_wd_ >= 0 && ancestor_wd_ != wd) inotify_rm_watch(fd_.get(), ancestor_wd_);
    ancestor_wd_ = wd;
    watched = std::move(dir);
  }
}

// Tries the directories that could not be watched or reached again. A rescan follows
// when any is watched now whose contents were not reported when it appeared.
void Tree::retry_unwatched() {
  freed_ = false;
  if (retry_.empty()) return;
  auto todo = std::move(retry_);
  retry_.clear();
  bool added = false;
  for (auto& [key, report] : todo) {
    if (!nodes_.contains(key.first) || slots_.contains(key)) continue;
    auto parent = path_of(key.first);
    if (failed_ || !parent) {
      retry_.emplace(key, report);
      continue;
    }
    const std::size_t before = nodes_.size();
    crawl_at(key.first, key.second, join(*parent, key.second), report ? Crawl::report : Crawl::quiet);
    added |= !report && nodes_.size() > before;
  }
  failed_ = 0;  // reported when they were first left unwatched
  if (added) rescan();
}

// The end of one step (a read, a piece of the first crawl): what it left to do.
void Tree::settle() {
  if (untrusted_) {
    untrusted_ = false;
    resync();
  }
  if (awaiting_) await_root();
  if (failed_) {
    const int err = failed_;
    failed_ = 0;
    handler_(std::unexpected(Error{watch_error_text(err)}));
  }
  if (freed_) retry_unwatched();
  if (!retry_at_ && (!retry_.empty() || root_wd_ < 0))
    retry_at_ = std::chrono::steady_clock::now() + kRetryEvery;
}

int Tree::wait_ms() const {
  if (!retry_at_) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*retry_at_ - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void Tree::tick() {
  if (!retry_at_ || std::chrono::steady_clock::now() < *retry_at_) return;
  retry_at_.reset();
  if (root_wd_ < 0) await_root();
  retry_unwatched();
  settle();
}

void Tree::release_held() {
  if (!held_) return;
  Held h = std::move(*held_);
  held_.reset();
  if (h.is_dir) moved_ = Move{h.wd, std::move(h.name), std::nullopt};
  emit(Kind::rename_from, std::move(h.path));
}

void Tree::decode(std::span<const std::byte> records) {
  const bool again = std::exchange(rescan_again_, false);
  const std::byte* p = records.data();
  const std::byte* end = p + records.size();
  while (end - p >= static_cast<std::ptrdiff_t>(sizeof(inotify_event))) {
    inotify_event ev;
    std::memcpy(&ev, p, sizeof ev);
    const char* name_at = reinterpret_cast<const char*>(p) + sizeof ev;
    if (end - p < static_cast<std::ptrdiff_t>(sizeof ev + ev.len)) break;
    p += sizeof ev + ev.len;
    const std::string_view name(name_at, ::strnlen(name_at, ev.len));

    if (held_ && !((ev.mask & IN_MOVED_TO) && ev.cookie == held_->cookie)) release_held();

    if (ev.mask & IN_Q_OVERFLOW) {
      untrusted_ = true;
      continue;
    }
    if (ancestor_wd_ >= 0 && ev.wd == ancestor_wd_) {  // something changed on the way to the root
      if (ev.mask & IN_IGNORED) ancestor_wd_ = -1;
      awaiting_ = true;
      continue;
    }
    if (!nodes_.contains(ev.wd)) continue;  // a watch already dropped
    if (ev.wd == root_wd_ && (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))) {
      lose_root();
      continue;
    }
    if (ev.mask & IN_IGNORED) {
      forget(ev.wd);
      freed_ = true;
      continue;
    }
    if (ev.mask & IN_UNMOUNT) {
      rescan();
      continue;
    }
    if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      if (ev.mask & IN_MOVE_SELF) self_moved(ev.wd);  // others are reported by their parent
      continue;
    }
    if (!root_is_dir_) {  // the watched file itself; replaced when its path names another file
      const Node& file = nodes_.at(root_wd_);
      struct stat st;
      if ((ev.mask & IN_ATTRIB) &&
          (::stat(root_.c_str(), &st) != 0 || st.st_ino != file.ino || st.st_dev != file.dev)) {
        lose_root();
      } else {
        emit(Kind::modify, root_);
      }
      continue;
    }
    auto dir = path_of(ev.wd);
    if (!dir) {
      if (!name.empty()) untrusted_ = true;  // a change inside a directory whose place is unknown
      continue;
    }
    const bool is_dir = ev.mask & IN_ISDIR;
    std::string path = name.empty() ? *dir : join(*dir, name);

    if (ev.mask & IN_CREATE) {
      emit(Kind::create, path);
      if (is_dir) crawl_at(ev.wd, std::string(name), path, Crawl::report);
    } else if (ev.mask & IN_DELETE) {
      emit(Kind::remove, std::move(path));
    } else if (ev.mask & IN_MOVED_FROM) {
      if (lone_to_ && lone_to_->first == ev.wd && lone_to_->second == name) {
        // An exchange with a path outside the tree: the name now holds what came in (the
        // moved-to just seen), and what it held before went out.
        lone_to_.reset();
        if (is_dir) moved_ = Move{ev.wd, std::string(name), std::nullopt};
        emit(Kind::modify, std::move(path));
      } else {
        lone_to_.reset();
        held_ = Held{ev.cookie, ev.wd, std::string(name), std::move(path), is_dir};
      }
    } else if (ev.mask & IN_MOVED_TO) {
      if (held_) {
        Held from = std::move(*held_);
        held_.reset();
        lone_to_.reset();
        handler_(Event{Kind::rename_both, {from.path, path}, false});
        if (is_dir) {
          moved_ = Move{from.wd, std::move(from.name), std::pair{ev.wd, std::string(name)}};
          crawl_at(ev.wd, std::string(name), path, Crawl::report);
        }
      } else {
        lone_to_.emplace(ev.wd, std::string(name));
        emit(Kind::rename_to, path);
        if (is_dir) {
          moved_.reset();
          crawl_at(ev.wd, std::string(name), path, Crawl::report);
        }
      }
    } else if (ev.mask & (IN_MODIFY | IN_ATTRIB)) {
      // A directory not watched yet (unreadable until now, say) is crawled.
      const bool crawl = (ev.mask & IN_ATTRIB) && is_dir && !name.empty() &&
                         !slots_.contains(std::pair{ev.wd, std::string(name)});
      emit(Kind::modify, path);
      if (crawl) crawl_at(ev.wd, std::string(name), path, Crawl::report);
    }
  }
  settle();
  if (again) rescan();
}

std::optional<int> Tree::wd_of(const std::string& path) const {
  for (const auto& [wd, node] : nodes_) {
    if (path_of(wd) == path) return wd;
  }
  return std::nullopt;
}

RecursiveWatch::RecursiveWatch(Tree tree, nivern_support::StopSignal stop)
    : tree_(std::move(tree)), stop_(std::move(stop)) {
  tree_.stop_on(&stopping_);
}

std::expected<std::unique_ptr<RecursiveWatch>, Error> RecursiveWatch::start(std::string_view root,
                                                                            Handler handler) {
  auto tree = Tree::create(std::move(handler));
  if (!tree) return std::unexpected(std::move(tree.error()));
  if (auto watched = tree->watch(root); !watched) return std::unexpected(std::move(watched.error()));
  nivern_support::StopSignal stop;
  if (!stop.ok()) return std::unexpected(Error{nivern_support::last_os_error()});
  std::unique_ptr<RecursiveWatch> w(new RecursiveWatch(std::move(*tree), std::move(stop)));
  try {
    w->thread_ = std::thread([raw = w.get()] { raw->run(); });
  } catch (const std::system_error& e) {
    return std::unexpected(Error{nivern_support::os_error_text(e.code().value())});
  }
  return w;
}

RecursiveWatch::~RecursiveWatch() {
  if (thread_.joinable()) {
    stopping_.store(true, std::memory_order_relaxed);
    stop_.raise();
    thread_.join();
  }
}

void RecursiveWatch::run() {
  nivern_support::name_this_thread("nivern-inotify");
  alignas(inotify_event) std::byte buf[64 * 1024];
  for (;;) {
    // While a moved-from record waits for its partner, wait a few milliseconds for it (the
    // renaming thread may be preempted between the two); while the first crawl runs, only
    // look at what is already queued.
    const int timeout = tree_.holding() ? kPartnerWait : tree_.crawling() ? 0 : tree_.wait_ms();
    pollfd fds[2] = {{tree_.fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents) {
      const ssize_t n = ::read(tree_.fd(), buf, sizeof buf);
      if (n > 0) {
        tree_.decode(std::span<const std::byte>(buf, static_cast<std::size_t>(n)));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        return;
      }
    } else if (tree_.holding()) {
      tree_.release_held();
    }
    if (tree_.crawling()) tree_.crawl_some(kCrawlStep);
    tree_.tick();
  }
}

}  // namespace nivern_vfs::inotify
