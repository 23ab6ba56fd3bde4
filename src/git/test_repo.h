#pragma once
/// Test support (header only, used by the git unit tests and the end-to-end tests):
/// temporary directories, files, and real `git` runs isolated from the machine's
/// configuration.
///
/// Single-threaded, like the tests that use it. `isolate_git` changes this process's
/// environment once (a global config file of our own, no system config, a fixed user),
/// so every git that the code under test starts sees the same settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace nivern_git_test {

/// A fresh directory under the system's temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "nivern-git-XXXXXX").string();
    if (::mkdtemp(t.data()) == nullptr) std::abort();
    path_ = t;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// `path()` + "/" + `rel`.
  std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

 private:
  std::string path_;
};

/// Writes `content` to `path`, creating parent directories.
inline void write_file(const std::string& path, std::string_view content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
}

/// Makes every git started by this process use a config of our own.
inline void isolate_git() {
  static TempDir home;  // removed when the process ends
  static const bool done = [] {
    write_file(home / "gitconfig",
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

/// Runs git with `args` in `dir` (through "-C") and returns its standard output; a
/// failure fails the test and returns what came out.
inline std::string git(const std::string& dir, std::vector<std::string> args, bool must_succeed = true) {
  isolate_git();
  nivern_support::Command c;
  c.program = "git";
  c.args = {"-C", dir};
  for (auto& a : args) c.args.push_back(std::move(a));
  auto r = nivern_support::run(c);
  if (!r) {
    ADD_FAILURE() << "git would not start: " << r.error().text();
    return {};
  }
  if (must_succeed && !r->status.success()) {
    std::string line;
    for (const auto& a : c.args) line += " " + a;
    ADD_FAILURE() << "git" << line << " failed: " << r->err << r->out;
  }
  return r->out;
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

/// Sets PATH for the life of the value and puts the old one back after.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    if (const char* old = std::getenv("PATH")) old_ = old;
    ::setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() {
    if (old_) {
      ::setenv("PATH", old_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }
  ScopedPath(const ScopedPath&) = delete;
  ScopedPath& operator=(const ScopedPath&) = delete;

 private:
  std::optional<std::string> old_;
};

/// An executable shell script at `path`.
inline void write_script(const std::string& path, std::string_view body) {
  write_file(path, "#!/bin/sh\n" + std::string(body));
  ::chmod(path.c_str(), 0755);
}

}  // namespace nivern_git_test
