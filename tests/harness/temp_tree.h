#pragma once
/// Temporary trees of real files for unit and end-to-end tests: a fresh directory,
/// filled through small helpers, removed with everything in it when the value goes.
///
/// Single-threaded, like the tests that use it. A helper that cannot do its work fails
/// the running test (a non-fatal gtest failure) and returns; only a directory that
/// cannot be made at all aborts, since nothing after it could mean anything. Removal
/// also clears trees in which a test took permissions away.
#include <string>
#include <string_view>

namespace nivern_test {

class TempTree {
 public:
  /// Makes "<parent>/<prefix>-XXXXXX"; an empty `parent` is the system's temporary
  /// directory.
  explicit TempTree(std::string_view prefix = "nivern", std::string_view parent = {});
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  /// The directory itself, without a trailing "/".
  const std::string& path() const { return path_; }
  /// `path()` + "/" + `rel`.
  std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

  /// Writes `content` to the file `rel` (parents created, an existing file replaced);
  /// returns its path.
  std::string file(std::string_view rel, std::string_view content = "") const;
  /// An executable shell script at `rel`: "#!/bin/sh", then `body` and a newline;
  /// returns its path.
  std::string script(std::string_view rel, std::string_view body) const;
  /// Makes the directory `rel` and its parents; returns its path.
  std::string dir(std::string_view rel) const;
  /// A symbolic link at `rel` (parents created) whose target is `target` as given.
  void link(std::string_view target, std::string_view rel) const;

 private:
  std::string path_;
};

/// Writes `content` to `path`, replacing what was there; parent directories created.
void write_file(const std::string& path, std::string_view content);

/// The whole content of `path`; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace nivern_test
