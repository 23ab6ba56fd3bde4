#include "harness/temp_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/os_error.h"
#include "support/write_all.h"

namespace nivern_test {
namespace {

namespace fs = std::filesystem;

bool make_parents(const std::string& path) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) ADD_FAILURE() << "cannot make the parents of " << path << ": " << ec.message();
  return !ec;
}

/// Owner permissions back on `dir` and every directory below it, so that what a test
/// locked can be removed.
void unlock(const fs::path& dir) {
  std::error_code ec;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (it->symlink_status(type_ec).type() == fs::file_type::directory) unlock(it->path());
  }
}

}  // namespace

TempTree::TempTree(std::string_view prefix, std::string_view parent) {
  const fs::path base = parent.empty() ? fs::temp_directory_path() : fs::path(parent);
  std::string t = (base / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(t.data()) == nullptr) {
    std::fprintf(stderr, "cannot make a temporary directory %s: %s\n", t.c_str(),
                 nivern_support::last_os_error().c_str());
    std::abort();
  }
  path_ = std::move(t);
}

TempTree::~TempTree() {
  std::error_code ec;
  fs::remove_all(path_, ec);
  if (!ec) return;
  unlock(path_);
  fs::remove_all(path_, ec);
}

std::string TempTree::file(std::string_view rel, std::string_view content) const {
  std::string p = *this / rel;
  write_file(p, content);
  return p;
}

std::string TempTree::script(std::string_view rel, std::string_view body) const {
  std::string path = file(rel, "#!/bin/sh\n" + std::string(body) + "\n");
  if (::chmod(path.c_str(), 0755) != 0) ADD_FAILURE() << "cannot make " << path << " executable";
  return path;
}

std::string TempTree::dir(std::string_view rel) const {
  std::string p = *this / rel;
  std::error_code ec;
  fs::create_directories(p, ec);
  if (ec) ADD_FAILURE() << "cannot make the directory " << p << ": " << ec.message();
  return p;
}

void TempTree::link(std::string_view target, std::string_view rel) const {
  const std::string p = *this / rel;
  if (!make_parents(p)) return;
  if (::symlink(std::string(target).c_str(), p.c_str()) != 0) {
    ADD_FAILURE() << "cannot link " << p << " to " << target << ": " << nivern_support::last_os_error();
  }
}

void write_file(const std::string& path, std::string_view content) {
  if (!make_parents(path)) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    ADD_FAILURE() << "cannot write " << path << ": " << nivern_support::last_os_error();
    return;
  }
  if (auto written = nivern_support::write_all(fd, content); !written) {
    ADD_FAILURE() << "cannot write " << path << ": " << nivern_support::os_error_text(written.error());
  }
  ::close(fd);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace nivern_test
