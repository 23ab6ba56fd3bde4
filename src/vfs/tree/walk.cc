#include "vfs/tree/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "support/mutex.h"
#include "support/os_error.h"
#include "support/page_allocator.h"
#include "support/parallel.h"
#include "support/unique_fd.h"
#include "vfs/tree/error.h"
#include "vfs/tree/git_excludes.h"

namespace nivern_vfs::walk {

using nivern_support::CondVar;
using nivern_support::Mutex;
using nivern_support::MutexLock;
using nivern_support::UniqueFd;

std::optional<std::uint64_t> Entry::size() const {
  struct stat st;
  if (::fstatat(dir_fd, name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t default_threads() {
  cpu_set_t set;
  std::size_t n = 0;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
  if (n == 0) n = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(n, 1, 12);
}

namespace {

/// The ignore rules found in one directory, linked to the nearest ancestor directory
/// that has rules of its own. Immutable once built; shared by the work items below it.
struct Level {
  std::shared_ptr<const Level> parent;
  std::size_t rel_len = 0;  // length of this directory's path relative to the root
  Gitignore ignore;         // .ignore
  Gitignore gitignore;      // .gitignore
  Gitignore exclude;        // .git/info/exclude
};

struct DirWork {
  std::string path;  // full path
  std::size_t depth = 0;
  std::shared_ptr<const Level> rules;  // rules in effect above this directory
};

/// The shared stack of directories still to read. The walk is over when the stack is
/// empty and no worker holds a directory (which could add more), or on quit.
///
/// Quitting wakes every sleeping worker. The walker's own quit sets the flag under the
/// mutex; an outside flag set without it is broadcast by the first worker that sees it
/// (every worker looks at it before each entry and whenever it ends a directory), so no
/// sleeper can miss it.
class WorkQueue {
 public:
  explicit WorkQueue(std::atomic<bool>& quit) : quit_(quit) {}

  bool pop(DirWork& out) {
    bool quitting;
    {
      MutexLock lock(mu_);
      while (stack_.empty() && active_ != 0 && !quit_.load(std::memory_order_relaxed)) ready_.wait(mu_);
      quitting = quit_.load(std::memory_order_relaxed);
      if (!quitting && !stack_.empty()) {
        out = std::move(stack_.back());
        stack_.pop_back();
        ++active_;
        return true;
      }
    }
    if (quitting) ready_.notify_all();
    return false;
  }

  /// Ends the current directory of a worker, adding the directories it found.
  void finish(std::vector<DirWork>& found) {
    std::size_t added = found.size();
    bool wake_all;
    {
      MutexLock lock(mu_);
      for (auto& w : found) stack_.push_back(std::move(w));
      --active_;
      wake_all = (active_ == 0 && stack_.empty()) || quit_.load(std::memory_order_relaxed);
    }
    found.clear();
    if (wake_all || added > 1) {
      ready_.notify_all();
    } else if (added == 1) {
      ready_.notify_one();
    }
  }

  void push_root(DirWork w) {
    MutexLock lock(mu_);
    stack_.push_back(std::move(w));
  }

  /// Stops the walk: sets the flag under the mutex and wakes every worker.
  void quit() {
    {
      MutexLock lock(mu_);
      quit_.store(true, std::memory_order_relaxed);
    }
    ready_.notify_all();
  }

 private:
  std::atomic<bool>& quit_;
  Mutex mu_;
  CondVar ready_;
  std::vector<DirWork> stack_ GUARDED_BY(mu_);
  std::size_t active_ GUARDED_BY(mu_) = 0;
};

struct Shared {
  std::string root;
  std::size_t rel_start = 0;  // where the relative part begins in a full path
  const excludes::Override* overrides = nullptr;
  Gitignore global;
  std::atomic<bool>* quit = nullptr;
  WorkQueue* queue = nullptr;
};

Kind kind_of_mode(mode_t mode) {
  if (S_ISREG(mode)) return Kind::file;
  if (S_ISDIR(mode)) return Kind::dir;
  if (S_ISLNK(mode)) return Kind::symlink;
  return Kind::other;
}

struct RawEntry {
  std::uint32_t offset;  // of the NUL-terminated name in the directory's records
  std::uint32_t len;
  unsigned char type;    // DT_*
};

class Worker {
 public:
  Worker(Shared& shared, ParallelVisitor& visitor) : s_(shared), visitor_(visitor) {}

  void run() {
    DirWork w;
    while (s_.queue->pop(w)) {
      // Nothing thrown leaves the worker: a directory that fails half-way (out of
      // memory, say) becomes an error record, and the queue still learns it is done.
      try {
        if (w.depth == 0) {
          root(w);
        } else {
          directory(w);
        }
      } catch (const std::exception& e) {
        failed(w, e.what());
      }
      s_.queue->finish(found_);
    }
  }

 private:
  bool quitting() const { return s_.quit->load(std::memory_order_relaxed); }

  void quit() { s_.queue->quit(); }

  void failed(const DirWork& w, const char* what) noexcept {
    try {
      WalkError e;
      e.message = w.path + ": " + what;
      e.path = w.path;
      e.depth = w.depth;
      if (visitor_.visit_error(e) == WalkState::quit) quit();
    } catch (const std::exception&) {
      quit();  // not even the record could be made: stop rather than go on blind
    }
  }

  void report(std::string path, int err, std::size_t depth) {
    WalkError e;
    e.message = path + ": " + nivern_support::os_error_text(err);
    e.path = std::move(path);
    e.depth = depth;
    if (visitor_.visit_error(e) == WalkState::quit) quit();
  }

  void root(DirWork& w) {
    if (quitting()) return;
    if (w.path.find('\0') != std::string::npos) {
      WalkError e;
      e.message = w.path + ": " + error::NUL_IN_PATH;
      e.path = w.path;
      if (visitor_.visit_error(e) == WalkState::quit) quit();
      return;
    }
    struct stat st;
    if (::lstat(w.path.c_str(), &st) != 0) {
      report(w.path, errno, 0);
      return;
    }
    Kind kind = kind_of_mode(st.st_mode);
    if (kind == Kind::symlink) {
      struct stat target;
      if (::stat(w.path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) kind = Kind::dir;
    }
    Entry e;
    e.path = w.path;
    e.dir_fd = AT_FDCWD;
    e.name = w.path;
    e.kind = kind;
    e.depth = 0;
    if (visitor_.visit(e) == WalkState::quit) {
      quit();
      return;
    }
    if (kind == Kind::dir) directory(w);
  }

  /// Reads the names of the open directory `fd` into `entries_` ("." and ".." left
  /// out); a read error is reported and ends the list there.
  void read_entries(int fd, const std::string& path, std::size_t depth) {
    entries_.clear();
    std::size_t used = 0;
    constexpr std::size_t chunk = 32 * 1024;
    for (;;) {
      if (raw_.size() < used + chunk) raw_.resize(used + chunk);
      ssize_t got = ::getdents64(fd, raw_.data() + used, chunk);
      if (got < 0) {
        if (errno == EINTR) continue;
        report(path, errno, depth);
        break;
      }
      if (got == 0) break;
      used += static_cast<std::size_t>(got);
    }
    std::size_t pos = 0;
    while (pos < used) {
      auto* d = reinterpret_cast<struct dirent64*>(raw_.data() + pos);
      pos += d->d_reclen;
      const char* name = d->d_name;
      std::size_t len = std::strlen(name);
      if (name[0] == '.' && (len == 1 || (len == 2 && name[1] == '.'))) continue;
      entries_.push_back({static_cast<std::uint32_t>(name - raw_.data()), static_cast<std::uint32_t>(len),
                          d->d_type});
    }
  }

  std::shared_ptr<const Level> rules_for(int fd, const DirWork& w, std::string_view rel) {
    bool has_ignore = false, has_gitignore = false, has_git = false;
    for (const RawEntry& r : entries_) {
      std::string_view name(raw_.data() + r.offset, r.len);
      if (name.size() < 4 || name[0] != '.') continue;
      if (name == ".ignore") has_ignore = true;
      else if (name == ".gitignore") has_gitignore = true;
      else if (name == ".git") has_git = true;
    }
    if (!has_ignore && !has_gitignore && !has_git) return w.rules;
    auto level = std::make_shared<Level>();
    level->parent = w.rules;
    level->rel_len = rel.size();
    auto load = [&](const char* name, Gitignore& into) {
      GitignoreBuilder builder(w.path);
      // Unreadable files and bad lines are skipped; accepted lines stay.
      (void)builder.add_file_at(fd, name, w.path);
      if (auto built = builder.build()) into = std::move(*built);
    };
    if (has_ignore) load(".ignore", level->ignore);
    if (has_gitignore) load(".gitignore", level->gitignore);
    if (has_git) load(".git/info/exclude", level->exclude);
    if (level->ignore.empty() && level->gitignore.empty() && level->exclude.empty()) return w.rules;
    return level;
  }

  /// True when the rules drop the entry at `rel` (relative to the root).
  bool dropped(std::string_view rel, bool is_dir, const Level* rules) const {
    if (s_.overrides && s_.overrides->excluded_relative(rel, is_dir)) return true;
    if (!rules && s_.global.empty()) return false;
    auto sub = [&](const Level* l) { return l->rel_len ? rel.substr(l->rel_len + 1) : rel; };
    using enum IgnoreVerdict;
    for (const Level* l = rules; l; l = l->parent.get()) {
      if (l->ignore.empty()) continue;
      if (IgnoreVerdict v = l->ignore.matched_relative(sub(l), is_dir); v != none) return v == ignore;
    }
    for (const Level* l = rules; l; l = l->parent.get()) {
      if (l->gitignore.empty()) continue;
      if (IgnoreVerdict v = l->gitignore.matched_relative(sub(l), is_dir); v != none) return v == ignore;
    }
    for (const Level* l = rules; l; l = l->parent.get()) {
      if (l->exclude.empty()) continue;
      if (IgnoreVerdict v = l->exclude.matched_relative(sub(l), is_dir); v != none) return v == ignore;
    }
    return s_.global.matched_relative(rel, is_dir) == IgnoreVerdict::ignore;
  }

  void directory(DirWork& w) {
    if (quitting()) return;
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (w.depth > 0 ? O_NOFOLLOW : 0);
    UniqueFd fd(::open(w.path.c_str(), flags));
    if (!fd) {
      report(w.path, errno, w.depth);
      return;
    }
    read_entries(fd.get(), w.path, w.depth);
    std::string_view rel = std::string_view(w.path).substr(std::min(s_.rel_start, w.path.size()));
    if (w.depth == 0) rel = {};
    std::shared_ptr<const Level> rules = rules_for(fd.get(), w, rel);

    path_.assign(w.path);
    if (path_.empty() || path_.back() != '/') path_.push_back('/');
    const std::size_t base = path_.size();
    for (const RawEntry& r : entries_) {
      if (quitting()) return;
      std::string_view name(raw_.data() + r.offset, r.len);
      Kind kind;
      switch (r.type) {
        case DT_REG: kind = Kind::file; break;
        case DT_DIR: kind = Kind::dir; break;
        case DT_LNK: kind = Kind::symlink; break;
        case DT_UNKNOWN: {
          struct stat st;
          if (::fstatat(fd.get(), name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            path_.resize(base);
            path_.append(name);
            report(path_, errno, w.depth + 1);
            continue;
          }
          kind = kind_of_mode(st.st_mode);
          break;
        }
        default: kind = Kind::other; break;
      }
      path_.resize(base);
      path_.append(name);
      std::string_view entry_rel = std::string_view(path_).substr(std::min(s_.rel_start, path_.size()));
      if (dropped(entry_rel, kind == Kind::dir, rules.get())) continue;
      Entry e;
      e.path = path_;
      e.dir_fd = fd.get();
      e.name = name;
      e.kind = kind;
      e.depth = w.depth + 1;
      if (visitor_.visit(e) == WalkState::quit) {
        quit();
        return;
      }
      if (kind == Kind::dir) found_.push_back(DirWork{path_, w.depth + 1, rules});
    }
  }

  Shared& s_;
  ParallelVisitor& visitor_;
  // The current directory's getdents64 records, whose names the entries point at. Both
  // grow to the largest directory a worker reads; their pages go back to the system
  // when the worker ends instead of staying in its malloc arena.
  nivern_support::PageVector<char> raw_;
  nivern_support::PageVector<RawEntry> entries_;
  std::string path_;             // the current entry's full path
  std::vector<DirWork> found_;   // subdirectories found in the current directory
};

}  // namespace

void walk_parallel(std::string_view root, const WalkOptions& options, ParallelVisitorBuilder& builder) {
  std::atomic<bool> own_quit{false};
  Shared shared;
  shared.root.assign(root);
  shared.rel_start = root.size() + ((root.empty() || root.ends_with('/')) ? 0 : 1);
  if (options.overrides && !options.overrides->empty()) shared.overrides = options.overrides;
  shared.global = global_excludes();
  shared.quit = options.quit ? options.quit : &own_quit;
  WorkQueue queue(*shared.quit);
  shared.queue = &queue;
  queue.push_root(DirWork{shared.root, 0, nullptr});

  const std::size_t count = options.threads ? options.threads : default_threads();
  std::vector<std::unique_ptr<ParallelVisitor>> visitors;
  visitors.reserve(count);
  for (std::size_t i = 0; i < count; ++i) visitors.push_back(builder.build());

  // Each visitor stays owned here until its worker ends, then is dropped on that worker.
  auto work = [&shared, &visitors](std::size_t i) {
    {
      Worker worker(shared, *visitors[i]);
      worker.run();
    }
    visitors[i].reset();  // a visitor's last flush happens on its own worker
  };
  nivern_support::in_parallel(count, "nivern-walk", work);
}

}  // namespace nivern_vfs::walk
