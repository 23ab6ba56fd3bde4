#include "git/discover.h"

#include <sys/stat.h>

#include "git/output.h"
#include "git/path.h"
#include "support/small_file.h"

namespace nivern_git::discover {

namespace {

enum class Kind { none, directory, file };

Kind kind_of(const std::string& p) {
  struct stat st;
  // A NUL byte cannot be passed to the system; such a path has no metadata to read.
  if (p.find('\0') != std::string::npos || ::stat(p.c_str(), &st) != 0) return Kind::none;
  if (S_ISDIR(st.st_mode)) return Kind::directory;
  if (S_ISREG(st.st_mode)) return Kind::file;
  return Kind::none;
}

std::optional<Repo> from_gitdir_file(const std::string& dir, const std::string& file) {
  auto text = nivern_support::read_small_file(file);
  if (!text || !output::valid_utf8(*text)) return std::nullopt;
  std::string_view t = output::trim(*text);
  if (t.size() < 7 || !t.starts_with("gitdir:")) return std::nullopt;
  std::string_view value = output::trim(t.substr(7));
  if (value.empty()) return std::nullopt;
  std::string gitdir = value.starts_with('/') ? std::string(value) : path::join(dir, value);
  return Repo{dir, std::move(gitdir)};
}

}  // namespace

std::optional<Repo> find(std::string_view start) {
  std::string dir(start);
  for (;;) {
    std::string candidate = path::join(dir, ".git");
    switch (kind_of(candidate)) {
      case Kind::directory:
        return Repo{std::move(dir), std::move(candidate)};
      case Kind::file:
        return from_gitdir_file(dir, candidate);
      case Kind::none:
        break;
    }
    auto up = path::parent(dir);
    if (!up) return std::nullopt;
    dir = std::move(*up);
  }
}

}  // namespace nivern_git::discover
