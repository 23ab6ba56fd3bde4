#pragma once
/// Test support (header only, used by the unit tests that run git and the end-to-end tests):
/// real `git` runs isolated from the machine's configuration, on top of the shared
/// temporary trees of harness/temp_tree.h.
///
/// Single-threaded, like the tests that use it. `isolate_git` changes this process's
/// environment once (a global config file of our own, no system config, a fixed user),
/// so every git that the code under test starts sees the same settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "harness/temp_tree.h"
#include "support/process.h"

namespace nivern_git_test {

/// Makes every git started by this process use a config of our own.
inline void isolate_git() {
  static nivern_test::TempTree home("nivern-git-home");  // removed when the process ends
  static const bool done = [] {
    nivern_test::write_file(home / "gitconfig",
                            "[user]\n\tname = Nivern Test\n\temail = test@nivern.invalid\n"
                            "[init]\n\tdefaultBranch = main\n"
                            "[core]\n\tautocrlf = false\n\tquotePath = true\n"
                            "[advice]\n\tdetachedHead = false\n"
                            "[commit]\n\tgpgSign = false\n"
                            "[protocol \"file\"]\n\tallow = always\n");
    ::setenv("GIT_CONFIG_GLOBAL", (home / "gitconfig").c_str(), 1);
    ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
    ::setenv("GIT_AUTHOR_NAME", "Nivern Test", 1);
    ::setenv("GIT_AUTHOR_EMAIL", "test@nivern.invalid", 1);
    ::setenv("GIT_COMMITTER_NAME", "Nivern Test", 1);
    ::setenv("GIT_COMMITTER_EMAIL", "test@nivern.invalid", 1);
    for (const char* v : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
                          "GIT_CEILING_DIRECTORIES", "GIT_NAMESPACE", "GIT_OPTIONAL_LOCKS"}) {
      ::unsetenv(v);
    }
    return true;
  }();
  (void)done;
}

/// Runs git with `args` in `dir` (through "-C") and returns how it ended and what it
/// printed; a git that cannot start fails the test.
inline nivern_support::Finished run_git(const std::string& dir, const std::vector<std::string>& args) {
  isolate_git();
  nivern_support::Command c;
  c.program = "git";
  c.args = {"-C", dir};
  c.args.insert(c.args.end(), args.begin(), args.end());
  auto r = nivern_support::run(c);
  if (!r) {
    ADD_FAILURE() << "git would not start: " << r.error().text();
    return {};
  }
  return std::move(*r);
}

/// Runs git with `args` in `dir` (through "-C") and returns its standard output; a
/// failure fails the test and returns what came out.
inline std::string git(const std::string& dir, const std::vector<std::string>& args, bool must_succeed = true) {
  nivern_support::Finished r = run_git(dir, args);
  if (must_succeed && !r.status.success()) {
    std::string line = " -C " + dir;
    for (const auto& a : args) line += " " + a;
    ADD_FAILURE() << "git" << line << " failed: " << r.err << r.out;
  }
  return r.out;
}

/// A new repository at `dir` (created when missing).
inline void init_repo(const std::string& dir) {
  std::filesystem::create_directories(dir);
  git(dir, {"init", "-q"});
}

/// Stages everything in `dir` and commits it with `message`.
inline void commit_all(const std::string& dir, const std::string& message) {
  git(dir, {"add", "-A"});
  git(dir, {"commit", "-q", "--allow-empty", "-m", message});
}

/// A fixture: a fresh repository at `repo_`, the directory "repo" of `dir_`.
class RepoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    isolate_git();
    repo_ = dir_ / "repo";
    init_repo(repo_);
  }

  nivern_test::TempTree dir_;
  std::string repo_;
};

/// An executable shell script at `path`.
inline void write_script(const std::string& path, std::string_view body) {
  nivern_test::write_file(path, "#!/bin/sh\n" + std::string(body));
  ::chmod(path.c_str(), 0755);
}

}  // namespace nivern_git_test
