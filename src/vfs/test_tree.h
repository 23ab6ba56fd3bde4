#pragma once
/// Test support for the vfs unit tests (header only): temporary trees of real files,
/// directories and links, and a git run isolated from the machine's configuration.
///
/// Single-threaded, like the tests that use it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"

namespace nivern_vfs_test {

/// A fresh directory under the system's temporary directory, removed with its content.
class TempTree {
 public:
  TempTree() {
    std::string t = (std::filesystem::temp_directory_path() / "nivern-vfs-XXXXXX").string();
    if (::mkdtemp(t.data()) == nullptr) std::abort();
    path_ = t;
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  /// `path()` + "/" + `rel`.
  std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

  /// Writes a file (parents created).
  void file(std::string_view rel, std::string_view content = "") const {
    std::string p = *this / rel;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  void dir(std::string_view rel) const { std::filesystem::create_directories(*this / rel); }
  void link(std::string_view target, std::string_view rel) const {
    std::string p = *this / rel;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    ASSERT_EQ(::symlink(std::string(target).c_str(), p.c_str()), 0);
  }

 private:
  std::string path_;
};

/// Runs git with the machine's configuration shut out; returns standard output.
inline nivern_support::Finished git(const std::string& dir, std::vector<std::string> args) {
  ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  nivern_support::Command c;
  c.program = "git";
  c.args = {"-C", dir};
  c.args.insert(c.args.end(), args.begin(), args.end());
  auto done = nivern_support::run(c);
  if (!done) {
    ADD_FAILURE() << "git could not start: " << done.error().text();
    return {};
  }
  return *done;
}

/// Sets an environment variable for one scope, restoring the old value after.
class ScopedEnv {
 public:
  ScopedEnv(const char* key, const char* value) : key_(key) {
    if (const char* old = std::getenv(key)) old_ = old, had_ = true;
    if (value) {
      ::setenv(key, value, 1);
    } else {
      ::unsetenv(key);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      ::setenv(key_.c_str(), old_.c_str(), 1);
    } else {
      ::unsetenv(key_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string key_;
  std::string old_;
  bool had_ = false;
};

}  // namespace nivern_vfs_test
