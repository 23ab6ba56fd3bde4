#pragma once
/// Test helper: a temporary directory tree, removed with everything in it when the
/// object goes. Single-threaded; for tests only.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace nivern_vfs::search::testing {

class TempTree {
 public:
  TempTree() {
    std::string t = (std::filesystem::temp_directory_path() / "nivern-search-XXXXXX").string();
    if (::mkdtemp(t.data()) == nullptr) std::abort();
    root_ = t;
  }
  ~TempTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(std::string_view rel) const { return root_ + "/" + std::string(rel); }

  /// Writes `content` to `rel`, creating parent directories.
  std::string write(std::string_view rel, std::string_view content) const {
    const std::string p = path(rel);
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < content.size()) {
      const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return p;
  }

  std::string mkdir(std::string_view rel) const {
    const std::string p = path(rel);
    std::filesystem::create_directories(p);
    return p;
  }

  void symlink(std::string_view target, std::string_view rel) const {
    if (::symlink(std::string(target).c_str(), path(rel).c_str()) != 0) std::abort();
  }

 private:
  std::string root_;
};

}  // namespace nivern_vfs::search::testing
