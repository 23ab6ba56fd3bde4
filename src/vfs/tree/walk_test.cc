#include "vfs/tree/walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "harness/scoped_env.h"
#include "harness/temp_tree.h"
#include "support/mutex.h"
#include "vfs/tree/git_excludes.h"

namespace nivern_vfs::walk {
namespace {

using nivern_test::ScopedEnv;
using nivern_test::TempTree;

/// What a walk saw: entries by path relative to the root, and errors. The visitors lock
/// `mu`; the tests read the fields once the walk has returned.
struct Seen {
  nivern_support::Mutex mu;
  std::map<std::string, Kind> entries;
  std::vector<WalkError> errors;
  std::string root_entry;
  Kind root_kind = Kind::other;
  std::size_t visits = 0;
};

class Collector final : public ParallelVisitor {
 public:
  Collector(Seen& seen, std::string root, std::size_t quit_after)
      : seen_(seen), root_(std::move(root)), quit_after_(quit_after) {}
  WalkState visit(const Entry& e) override {
    nivern_support::MutexLock lock(seen_.mu);
    ++seen_.visits;
    if (e.depth == 0) {
      seen_.root_entry = std::string(e.path);
      seen_.root_kind = e.kind;
      EXPECT_EQ(e.dir_fd, AT_FDCWD);
    } else {
      std::string rel(e.path.substr(root_.size() + 1));
      EXPECT_TRUE(seen_.entries.emplace(rel, e.kind).second) << "visited twice: " << rel;
      EXPECT_EQ(e.name.data()[e.name.size()], '\0');
      EXPECT_TRUE(e.path.ends_with("/" + std::string(e.name)));
    }
    return seen_.visits >= quit_after_ ? WalkState::quit : WalkState::keep_going;
  }
  WalkState visit_error(const WalkError& e) override {
    nivern_support::MutexLock lock(seen_.mu);
    seen_.errors.push_back(e);
    return WalkState::keep_going;
  }

 private:
  Seen& seen_;
  std::string root_;
  std::size_t quit_after_;
};

class Collectors final : public ParallelVisitorBuilder {
 public:
  Collectors(Seen& seen, std::string root, std::size_t quit_after)
      : seen_(seen), root_(std::move(root)), quit_after_(quit_after) {}
  std::unique_ptr<ParallelVisitor> build() override {
    return std::make_unique<Collector>(seen_, root_, quit_after_);
  }

 private:
  Seen& seen_;
  std::string root_;
  std::size_t quit_after_;
};

/// Walks with the machine's git configuration shut out (unless a test sets its own).
class WalkTest : public ::testing::Test {
 protected:
  std::set<std::string> walk(const std::string& root, const excludes::Override* overrides = nullptr,
                             std::size_t threads = 0) {
    seen_ = std::make_unique<Seen>();
    Collectors builder(*seen_, root, SIZE_MAX);
    WalkOptions options;
    options.overrides = overrides;
    options.threads = threads;
    walk_parallel(root, options, builder);
    std::set<std::string> names;
    for (const auto& [rel, kind] : seen_->entries) names.insert(rel);
    return names;
  }

  TempTree config_;
  ScopedEnv global_{"GIT_CONFIG_GLOBAL", "/dev/null"};
  ScopedEnv home_{"HOME", config_.path().c_str()};
  ScopedEnv xdg_{"XDG_CONFIG_HOME", config_.path().c_str()};
  ScopedEnv system_{"GIT_CONFIG_SYSTEM", "/dev/null"};
  std::unique_ptr<Seen> seen_;
};

using Names = std::set<std::string>;

TEST_F(WalkTest, HiddenEntriesAndGitDirectoriesAreWalked) {
  TempTree t;
  t.file(".env");
  t.file(".git/HEAD", "ref: refs/heads/main\n");
  t.file(".github/ci.yml");
  t.file("src/main.c");
  EXPECT_EQ(walk(t.path()), (Names{".env", ".git", ".git/HEAD", ".github", ".github/ci.yml", "src", "src/main.c"}));
  EXPECT_EQ(seen_->root_entry, t.path());
  EXPECT_EQ(seen_->root_kind, Kind::dir);
  EXPECT_EQ(seen_->entries[".git"], Kind::dir);
  EXPECT_EQ(seen_->entries["src/main.c"], Kind::file);
  EXPECT_TRUE(seen_->errors.empty());
}

TEST_F(WalkTest, GitignoreFilesOfEveryLevelApplyWithoutARepository) {
  TempTree t;
  t.file(".gitignore", "*.log\nbuild/\n");
  t.file("a.log");
  t.file("a.txt");
  t.file("build/out.o");
  t.file("sub/.gitignore", "!keep.log\n/local.txt\n");
  t.file("sub/keep.log");
  t.file("sub/other.log");
  t.file("sub/local.txt");
  t.file("sub/deeper/local.txt");
  t.file("sub/deeper/keep.log");
  t.file("file-named-build/build");  // a file named build is not a directory
  EXPECT_EQ(walk(t.path()), (Names{".gitignore", "a.txt", "sub", "sub/.gitignore", "sub/keep.log", "sub/deeper",
                                   "sub/deeper/local.txt", "sub/deeper/keep.log", "file-named-build",
                                   "file-named-build/build"}));
}

TEST_F(WalkTest, DotIgnoreBeatsGitignoreAndTheNearestFileWins) {
  TempTree t;
  t.file(".gitignore", "*.txt\n!b.txt\n");
  t.file(".ignore", "!a.txt\nb.txt\n");
  t.file("a.txt");
  t.file("b.txt");
  t.file("c.txt");
  t.file("sub/.gitignore", "!c.txt\n");
  t.file("sub/c.txt");
  t.file("sub/d.txt");
  EXPECT_EQ(walk(t.path()), (Names{".gitignore", ".ignore", "a.txt", "sub", "sub/.gitignore", "sub/c.txt"}));
}

TEST_F(WalkTest, InfoExcludeWhereADirectoryHoldsGit) {
  TempTree t;
  t.file(".git/info/exclude", "secret\n*.x\n");
  t.file(".gitignore", "!keep.x\n");
  t.file("secret");
  t.file("a.x");
  t.file("keep.x");
  t.file("nested/.git/info/exclude", "inner\n");
  t.file("nested/inner");
  t.file("elsewhere/inner");
  EXPECT_EQ(walk(t.path()), (Names{".git", ".git/info", ".git/info/exclude", ".gitignore", "keep.x", "nested",
                                   "nested/.git", "nested/.git/info", "nested/.git/info/exclude", "elsewhere",
                                   "elsewhere/inner"}));
}

TEST_F(WalkTest, GlobalExcludesFileByDefaultOrFromGitConfig) {
  TempTree t;
  t.file("a.y");
  t.file("g.y");
  t.file("b.z");
  t.file(".gitignore", "!g.y\n");
  config_.file("git/ignore", "*.z\n");
  EXPECT_EQ(walk(t.path()), (Names{".gitignore", "a.y", "g.y"}));
  // core.excludesFile of the global config takes the default file's place.
  TempTree home;
  home.file("ignore-these", "*.y\n");
  home.file("gitconfig", "[user]\n\tname = x\n[core]\n\texcludesFile = ~/ignore-these\n");
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv g("GIT_CONFIG_GLOBAL", (home / "gitconfig").c_str());
  EXPECT_EQ(walk(t.path()), (Names{".gitignore", "g.y", "b.z"}));
}

TEST_F(WalkTest, SystemGitConfigNamesTheExcludesFileWhenNoUserConfigDoes) {
  TempTree t;
  t.file("a.log");
  t.file("sub/b.log");
  t.file("c.txt");
  config_.file("logs", "*.log\n");
  config_.file("system", "[core]\n\texcludesFile = " + (config_ / "logs") + "\n");
  ScopedEnv system("GIT_CONFIG_SYSTEM", (config_ / "system").c_str());
  EXPECT_EQ(walk(t.path()), (Names{"c.txt", "sub"}));
}

TEST_F(WalkTest, IgnoreFilesAreReadWholeWhateverTheirSize) {
  TempTree t;
  t.file("a.log");
  t.file("b.tmp");
  t.file("c.txt");
  t.file("sub/d.log");
  // 4.77 MB: "*.log" first, "*.tmp" last, comment lines between.
  std::string text = "*.log\n";
  const std::string filler = "#" + std::string(1022, '-') + "\n";
  while (text.size() < 4'770'000) text += filler;
  text += "*.tmp\n";
  t.file(".gitignore", text);
  EXPECT_EQ(walk(t.path()), (Names{".gitignore", "c.txt", "sub"}));
}

TEST_F(WalkTest, IgnoreFilesAboveTheRootAreNotRead) {
  TempTree t;
  t.file(".gitignore", "*.log\n");
  t.file("sub/a.log");
  EXPECT_EQ(walk(t / "sub"), (Names{"a.log"}));
}

TEST_F(WalkTest, LinksAreNotFollowedBelowTheRoot) {
  TempTree t;
  t.file("real/inside.txt");
  t.link("real", "proj/to-dir");
  t.link("../real/inside.txt", "proj/to-file");
  t.link("nowhere", "proj/dangling");
  EXPECT_EQ(walk(t / "proj"), (Names{"to-dir", "to-file", "dangling"}));
  EXPECT_EQ(seen_->entries["to-dir"], Kind::symlink);
  // A root that is a link to a directory is walked as that directory.
  t.link("real", "root-link");
  EXPECT_EQ(walk(t / "root-link"), (Names{"inside.txt"}));
  EXPECT_EQ(seen_->root_kind, Kind::dir);
}

TEST_F(WalkTest, ExcludesBeatWhitelistsAndExcludedDirectoriesAreNotEntered) {
  TempTree t;
  t.file(".gitignore", "*.keep\n!important.keep\n");
  t.file("important.keep");
  t.file("vendor/lib.c");
  t.file("src/vendor");  // a file: the directory-only pattern spares it
  auto m = excludes::Excludes{{"important.keep", "vendor/"}}.matcher(t.path());
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(walk(t.path(), &*m), (Names{".gitignore", "src", "src/vendor"}));
}

TEST_F(WalkTest, BadIgnoreLinesAreSkippedSilently) {
  TempTree t;
  t.file(".gitignore", "{broken\n*.o\n[abc\n");
  t.file("a.o");
  t.file("[abc");
  t.file("{broken");
  t.file("c.c");
  EXPECT_EQ(walk(t.path()), (Names{".gitignore", "{broken", "c.c"}));
  EXPECT_TRUE(seen_->errors.empty());
}

TEST_F(WalkTest, MissingRootAndFileRoot) {
  TempTree t;
  EXPECT_TRUE(walk(t / "missing").empty());
  ASSERT_EQ(seen_->errors.size(), 1u);
  EXPECT_EQ(seen_->errors[0].path, t / "missing");
  EXPECT_EQ(seen_->errors[0].message, t / "missing" + ": No such file or directory (os error 2)");

  t.file("plain.txt", "hello");
  EXPECT_TRUE(walk(t / "plain.txt").empty());
  EXPECT_EQ(seen_->root_kind, Kind::file);
  EXPECT_EQ(seen_->visits, 1u);
  EXPECT_TRUE(seen_->errors.empty());

  EXPECT_TRUE(walk(std::string("a\0b", 3)).empty());
  ASSERT_EQ(seen_->errors.size(), 1u);
  EXPECT_TRUE(seen_->errors[0].message.ends_with(": file name contained an unexpected NUL byte"));
}

TEST_F(WalkTest, DirectoriesThatCannotBeReadAreErrorsAndTheWalkGoesOn) {
  if (::geteuid() != 0) {  // root reads every directory
    TempTree t;
    t.file("locked/x");
    t.file("open/y");
    ASSERT_EQ(::chmod((t / "locked").c_str(), 0), 0);
    Names got = walk(t.path());
    ::chmod((t / "locked").c_str(), 0755);
    EXPECT_EQ(got, (Names{"locked", "open", "open/y"}));
    ASSERT_EQ(seen_->errors.size(), 1u);
    EXPECT_EQ(seen_->errors[0].message, t / "locked" + ": Permission denied (os error 13)");
  }
  // A chain of directories whose full path outgrows the system's limit: the deepest
  // cannot be opened by its path, whatever the user's privileges.
  TempTree t;
  t.file("side/ok");
  const std::string name(200, 'd');
  const int levels = 22;
  std::vector<int> fds{::open(t.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  for (int i = 0; i < levels; ++i) {
    ASSERT_EQ(::mkdirat(fds.back(), name.c_str(), 0755), 0);
    fds.push_back(::openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(fds.back(), 0);
  }
  Names got = walk(t.path());
  EXPECT_TRUE(got.contains("side/ok"));
  ASSERT_EQ(seen_->errors.size(), 1u);
  const WalkError& e = seen_->errors[0];
  ASSERT_TRUE(e.path.has_value());
  EXPECT_GE(e.path->size(), 4096u);
  EXPECT_EQ(e.message, *e.path + ": File name too long (os error 36)");
  // Take the chain down from the bottom; a path-based removal could not reach it.
  for (int i = levels; i > 0; --i) {
    ::close(fds[i]);
    EXPECT_EQ(::unlinkat(fds[i - 1], name.c_str(), AT_REMOVEDIR), 0);
  }
  ::close(fds[0]);
}

TEST_F(WalkTest, AnyThreadCountSeesTheSameTree) {
  TempTree t;
  for (int d = 0; d < 20; ++d) {
    for (int f = 0; f < 30; ++f) t.file("d" + std::to_string(d) + "/sub/f" + std::to_string(f) + (f % 3 ? ".c" : ".o"));
  }
  t.file(".gitignore", "*.o\n");
  Names one = walk(t.path(), nullptr, 1);
  EXPECT_EQ(one.size(), 1u + 20 * 2 + 20 * 20);
  EXPECT_EQ(walk(t.path(), nullptr, 8), one);
  EXPECT_EQ(walk(t.path(), nullptr, 12), one);
}

TEST_F(WalkTest, QuitStopsEveryWorker) {
  TempTree t;
  for (int d = 0; d < 50; ++d) {
    for (int f = 0; f < 50; ++f) t.file("d" + std::to_string(d) + "/f" + std::to_string(f));
  }
  Seen seen;
  Collectors builder(seen, t.path(), 10);
  WalkOptions options;
  options.threads = 4;
  std::atomic<bool> quit{false};
  options.quit = &quit;
  walk_parallel(t.path(), options, builder);
  EXPECT_TRUE(quit.load());
  // Each worker stops at its next entry: far fewer than the 2,550 entries.
  EXPECT_LT(seen.visits, 10u + 4u);
}

// A chain of directories keeps one worker busy and the others asleep, waiting for work
// that never comes; stopping the walk must wake them all, whichever way it is stopped.
TEST_F(WalkTest, QuitWakesIdleWorkers) {
  TempTree t;
  std::string chain;
  for (int d = 0; d < 40; ++d) chain += "d/";
  t.file(chain + "f");
  // Quits at depth 12, by its answer or through the outside flag (then going on).
  struct Quitter final : ParallelVisitor {
    bool by_flag;
    std::atomic<bool>* flag;
    WalkState visit(const Entry& e) override {
      if (e.depth != 12) return WalkState::keep_going;
      if (!by_flag) return WalkState::quit;
      flag->store(true, std::memory_order_relaxed);
      return WalkState::keep_going;
    }
    WalkState visit_error(const WalkError&) override { return WalkState::keep_going; }
  };
  struct Quitters final : ParallelVisitorBuilder {
    bool by_flag = false;
    std::atomic<bool>* flag = nullptr;
    std::unique_ptr<ParallelVisitor> build() override {
      auto v = std::make_unique<Quitter>();
      v->by_flag = by_flag;
      v->flag = flag;
      return v;
    }
  };
  for (bool by_flag : {false, true}) {
    for (int round = 0; round < 20; ++round) {
      std::atomic<bool> quit{false};
      Quitters builder;
      builder.by_flag = by_flag;
      builder.flag = &quit;
      WalkOptions options;
      options.threads = 4;
      options.quit = &quit;
      std::promise<void> done;
      std::thread walker([&] {
        walk_parallel(t.path(), options, builder);
        done.set_value();
      });
      if (done.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "walk %d (quit %s) did not end\n", round, by_flag ? "by flag" : "by answer");
        std::abort();  // the walker's threads cannot be taken back
      }
      walker.join();
      EXPECT_TRUE(quit.load());
    }
  }
}

TEST_F(WalkTest, AThrowingVisitBecomesAnErrorRecordOfItsDirectory) {
  TempTree t;
  t.file("bad/boom");
  t.file("good/fine");
  struct Thrower final : ParallelVisitor {
    Seen* seen;
    WalkState visit(const Entry& e) override {
      if (e.name == "boom") throw std::bad_alloc();
      nivern_support::MutexLock lock(seen->mu);
      if (e.depth > 0) seen->entries.emplace(std::string(e.name), e.kind);
      return WalkState::keep_going;
    }
    WalkState visit_error(const WalkError& e) override {
      nivern_support::MutexLock lock(seen->mu);
      seen->errors.push_back(e);
      return WalkState::keep_going;
    }
  };
  struct Throwers final : ParallelVisitorBuilder {
    Seen seen;
    std::unique_ptr<ParallelVisitor> build() override {
      auto v = std::make_unique<Thrower>();
      v->seen = &seen;
      return v;
    }
  } builder;
  WalkOptions options;
  options.threads = 2;
  walk_parallel(t.path(), options, builder);
  EXPECT_TRUE(builder.seen.entries.contains("fine"));
  ASSERT_EQ(builder.seen.errors.size(), 1u);
  EXPECT_EQ(builder.seen.errors[0].path, t / "bad");
  EXPECT_EQ(builder.seen.errors[0].message, t / "bad" + ": std::bad_alloc");
}

TEST_F(WalkTest, EntriesOpenAndSizeRelativeToTheirDirectory) {
  TempTree t;
  t.file("dir/data.bin", "12345");
  t.link("a-rather-long-target", "dir/link");
  struct Sizes final : ParallelVisitor {
    nivern_support::Mutex* mu;
    std::map<std::string, std::uint64_t>* sizes;
    WalkState visit(const Entry& e) override {
      if (e.depth == 0 || e.kind == Kind::dir) return WalkState::keep_going;
      std::string content;
      if (e.kind == Kind::file) {
        int fd = ::openat(e.dir_fd, e.name.data(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        char buf[16];
        ssize_t n = ::read(fd, buf, sizeof buf);
        content.assign(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        ::close(fd);
        EXPECT_EQ(content, "12345");
      }
      nivern_support::MutexLock lock(*mu);
      (*sizes)[std::string(e.name)] = e.size().value_or(999);
      return WalkState::keep_going;
    }
    WalkState visit_error(const WalkError&) override { return WalkState::keep_going; }
  };
  struct Builder final : ParallelVisitorBuilder {
    nivern_support::Mutex mu;
    std::map<std::string, std::uint64_t> sizes;
    std::unique_ptr<ParallelVisitor> build() override {
      auto v = std::make_unique<Sizes>();
      v->mu = &mu;
      v->sizes = &sizes;
      return v;
    }
  } builder;
  walk_parallel(t.path(), {}, builder);
  EXPECT_EQ(builder.sizes["data.bin"], 5u);
  EXPECT_EQ(builder.sizes["link"], std::string("a-rather-long-target").size());
}

TEST(GitConfig, ExcludesFileSetting) {
  EXPECT_EQ(config_excludes_file("[core]\n\texcludesfile = /a/b\n"), "/a/b");
  EXPECT_EQ(config_excludes_file("[Core]\n  ExcludesFile=\"/with space/x\" # note\n"), "/with space/x");
  EXPECT_EQ(config_excludes_file("[core] excludesFile = /one\n[core]\nexcludesFile = /two\n"), "/two");
  EXPECT_EQ(config_excludes_file("[user]\nexcludesFile = /not-core\n"), std::nullopt);
  EXPECT_EQ(config_excludes_file("[core \"sub\"]\nexcludesFile = /sub\n"), std::nullopt);
  EXPECT_EQ(config_excludes_file(""), std::nullopt);
}

TEST(GitConfig, WhereTheGlobalFileIsLookedFor) {
  TempTree home;
  ScopedEnv h("HOME", home.path().c_str());
  ScopedEnv x("XDG_CONFIG_HOME", nullptr);
  ScopedEnv g("GIT_CONFIG_GLOBAL", nullptr);
  ScopedEnv s("GIT_CONFIG_SYSTEM", (home / "system").c_str());
  EXPECT_EQ(global_excludes_path(), home / ".config/git/ignore");
  home.file("system", "[core]\nexcludesFile = /from-system\n");
  EXPECT_EQ(global_excludes_path(), "/from-system");
  home.file(".config/git/config", "[core]\nexcludesFile = /from-xdg\n");
  EXPECT_EQ(global_excludes_path(), "/from-xdg");
  home.file(".gitconfig", "[core]\nexcludesFile = /from-home\n");
  EXPECT_EQ(global_excludes_path(), "/from-home");
  home.file("only", "[core]\nexcludesFile = ~/only-this\n");
  {
    ScopedEnv only("GIT_CONFIG_GLOBAL", (home / "only").c_str());
    EXPECT_EQ(global_excludes_path(), home / "only-this");
  }
  // A global file that does not set it leaves the next ones in play.
  home.file("plain", "[user]\n\tname = x\n");
  ScopedEnv plain("GIT_CONFIG_GLOBAL", (home / "plain").c_str());
  EXPECT_EQ(global_excludes_path(), "/from-home");
}

TEST(GitConfig, WithoutHomeTheUserDatabaseNamesIt) {
  TempTree t;
  t.file("global", "[core]\nexcludesFile = ~/x\n");
  ScopedEnv h("HOME", nullptr);
  ScopedEnv x("XDG_CONFIG_HOME", nullptr);
  ScopedEnv g("GIT_CONFIG_GLOBAL", (t / "global").c_str());
  ScopedEnv s("GIT_CONFIG_SYSTEM", "/dev/null");
  const struct passwd* pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(global_excludes_path(), std::string(pw->pw_dir) + "/x");
}

}  // namespace
}  // namespace nivern_vfs::walk
