#include "vfs/inotify.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
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

namespace nivern_vfs::inotify {

namespace {

using nivern_support::UniqueFd;

constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

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
  std::string given(root);
  struct stat st;
  if (::stat(given.c_str(), &st) != 0) return std::unexpected(path_not_found(root));
  char* resolved = ::realpath(given.c_str(), nullptr);
  if (!resolved) return std::unexpected(Error{nivern_support::last_os_error()});
  root_ = resolved;
  std::free(resolved);

  const std::uint32_t only_dir = S_ISDIR(st.st_mode) ? IN_ONLYDIR : 0;
  root_wd_ = inotify_add_watch(fd_.get(), root_.c_str(), kMask | only_dir);
  if (root_wd_ < 0) return std::unexpected(Error{watch_error_text(errno)});
  paths_.emplace(root_wd_, root_);
  wds_.emplace(root_, root_wd_);
  if (only_dir) {
    if (auto crawled = crawl(root_, Crawl::quiet); !crawled) {
      for (const auto& [wd, path] : paths_) inotify_rm_watch(fd_.get(), wd);
      paths_.clear();
      wds_.clear();
      return std::unexpected(Error{watch_error_text(crawled.error())});
    }
  }
  return {};
}

void Tree::emit(Kind kind, std::string path) {
  Event e{kind, {}, false};
  e.paths.push_back(std::move(path));
  handler_(std::move(e));
}

// Watches `dir` and every directory below it. Watches are added before a directory is
// read, so an entry made meanwhile is either read here or reported by the new watch.
// Only the watch limit is an error; what cannot be read or has vanished is skipped.
std::expected<void, int> Tree::crawl(const std::string& dir, Crawl mode, std::unordered_set<int>* seen) {
  std::vector<std::string> todo{dir};
  while (!todo.empty()) {
    std::string path = std::move(todo.back());
    todo.pop_back();
    const int wd = inotify_add_watch(fd_.get(), path.c_str(), kMask | IN_ONLYDIR);
    if (wd < 0) {
      if (errno == ENOSPC) return std::unexpected(ENOSPC);
      continue;
    }
    if (seen) seen->insert(wd);
    if (auto old = paths_.find(wd); old != paths_.end() && old->second != path) {
      if (auto w = wds_.find(old->second); w != wds_.end() && w->second == wd) wds_.erase(w);
      old->second = path;
    } else {
      paths_.emplace(wd, path);
    }
    wds_[path] = wd;

    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) continue;
    DIR* d = ::fdopendir(fd.get());
    if (!d) continue;
    fd.release();
    while (const dirent* e = ::readdir(d)) {
      const char* name = e->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      bool is_dir = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        is_dir = ::fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      if (mode == Crawl::report) emit(Kind::create, join(path, name));
      if (is_dir) todo.push_back(join(path, name));
    }
    ::closedir(d);
  }
  return {};
}

void Tree::forget(int wd) {
  auto it = paths_.find(wd);
  if (it == paths_.end()) return;
  if (auto w = wds_.find(it->second); w != wds_.end() && w->second == wd) wds_.erase(w);
  paths_.erase(it);
}

// The entries of `dir` and below in the byte-ordered table: `dir` itself, then the
// run of keys that begin with "dir/" (every such key sorts before "dir0").
void Tree::drop_subtree(const std::string& dir) {
  auto first = wds_.lower_bound(dir);
  auto last = wds_.lower_bound(dir + '0');
  for (auto it = first; it != last;) {
    if (it->first.size() > dir.size() && it->first[dir.size()] != '/') {
      ++it;
      continue;
    }
    inotify_rm_watch(fd_.get(), it->second);
    paths_.erase(it->second);
    it = wds_.erase(it);
  }
}

void Tree::move_subtree(const std::string& from, const std::string& to) {
  std::vector<std::pair<std::string, int>> moved;
  auto first = wds_.lower_bound(from);
  auto last = wds_.lower_bound(from + '0');
  for (auto it = first; it != last;) {
    if (it->first.size() > from.size() && it->first[from.size()] != '/') {
      ++it;
      continue;
    }
    moved.emplace_back(to + it->first.substr(from.size()), it->second);
    it = wds_.erase(it);
  }
  drop_subtree(to);  // a directory replaced by the rename
  for (auto& [path, wd] : moved) {
    paths_[wd] = path;
    wds_[path] = wd;
  }
}

// After lost events: watches for every directory now in the tree, none for the rest.
void Tree::rescan_all() {
  std::unordered_set<int> seen{root_wd_};
  if (paths_.contains(root_wd_) && !crawl(root_, Crawl::quiet, &seen)) limit_hit_ = true;
  std::vector<int> stale;
  for (const auto& [wd, path] : paths_) {
    if (!seen.contains(wd)) stale.push_back(wd);
  }
  for (int wd : stale) {
    inotify_rm_watch(fd_.get(), wd);
    forget(wd);
  }
}

void Tree::release_held() {
  if (!held_) return;
  Held h = std::move(*held_);
  held_.reset();
  if (h.is_dir) drop_subtree(h.path);  // moved out of the tree
  emit(Kind::rename_from, std::move(h.path));
}

void Tree::decode(std::span<const std::byte> records) {
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
      handler_(Event{Kind::other, {}, true});
      rescan_all();
      continue;
    }
    auto dir_it = paths_.find(ev.wd);
    if (dir_it == paths_.end()) continue;  // a watch already dropped
    if (ev.mask & IN_IGNORED) {
      forget(ev.wd);
      continue;
    }
    const bool is_dir = ev.mask & IN_ISDIR;
    std::string path = name.empty() ? dir_it->second : join(dir_it->second, name);

    if (ev.mask & IN_UNMOUNT) {
      handler_(Event{Kind::other, {}, true});
    } else if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      // Others are reported by their parent; the root has none.
      if (ev.wd != root_wd_) continue;
      if (ev.mask & IN_MOVE_SELF) drop_subtree(root_);  // our paths no longer name anything
      emit(Kind::remove, std::move(path));
    } else if (ev.mask & IN_CREATE) {
      emit(Kind::create, path);
      if (is_dir && !crawl(path, Crawl::report)) limit_hit_ = true;
    } else if (ev.mask & IN_DELETE) {
      emit(Kind::remove, std::move(path));
    } else if (ev.mask & IN_MOVED_FROM) {
      held_ = Held{ev.cookie, std::move(path), is_dir};
    } else if (ev.mask & IN_MOVED_TO) {
      if (held_) {
        Held from = std::move(*held_);
        held_.reset();
        if (is_dir) move_subtree(from.path, path);
        Event both{Kind::rename_both, {}, false};
        both.paths.push_back(std::move(from.path));
        both.paths.push_back(std::move(path));
        handler_(std::move(both));
      } else {
        if (is_dir && !crawl(path, Crawl::quiet)) limit_hit_ = true;
        emit(Kind::rename_to, std::move(path));
      }
    } else if (ev.mask & (IN_MODIFY | IN_ATTRIB)) {
      emit(Kind::modify, std::move(path));
    }
  }
  if (limit_hit_) {
    limit_hit_ = false;
    handler_(std::unexpected(Error{watch_error_text(ENOSPC)}));
  }
}

std::optional<int> Tree::wd_of(const std::string& path) const {
  auto it = wds_.find(path);
  if (it == wds_.end()) return std::nullopt;
  return it->second;
}

RecursiveWatch::RecursiveWatch(Tree tree, UniqueFd stop) : tree_(std::move(tree)), stop_(std::move(stop)) {}

std::expected<std::unique_ptr<RecursiveWatch>, Error> RecursiveWatch::start(std::string_view root,
                                                                            Handler handler) {
  auto tree = Tree::create(std::move(handler));
  if (!tree) return std::unexpected(std::move(tree.error()));
  if (auto watched = tree->watch(root); !watched) return std::unexpected(std::move(watched.error()));
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop) return std::unexpected(Error{nivern_support::last_os_error()});
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
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
    thread_.join();
  }
}

void RecursiveWatch::run() {
  nivern_support::name_this_thread("nivern-inotify");
  alignas(inotify_event) std::byte buf[64 * 1024];
  for (;;) {
    pollfd fds[2] = {{tree_.fd(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    // While a moved-from record waits for its partner, only look for what is already queued.
    const int ready = ::poll(fds, 2, tree_.holding() ? 0 : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (ready == 0) {
      tree_.release_held();
      continue;
    }
    const ssize_t n = ::read(tree_.fd(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    tree_.decode(std::span<const std::byte>(buf, static_cast<std::size_t>(n)));
  }
}

}  // namespace nivern_vfs::inotify
