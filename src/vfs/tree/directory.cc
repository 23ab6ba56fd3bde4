#include "vfs/tree/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/ucasemap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <numeric>

#include "support/os_error.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"
#include "vfs/tree/error.h"
#include "vfs/tree/path_order.h"
#include "vfs/tree/root_ignore.h"

namespace nivern_vfs::directory {

using walk::ProjectEntry;

namespace {

std::string join(std::string_view base, std::string_view name) {
  std::string out;
  out.reserve(base.size() + 1 + name.size());
  out.append(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

struct CaseMapCloser {
  void operator()(UCaseMap* m) const { ucasemap_close(m); }
};

/// Lower-cases UTF-8 text with ICU's root-locale full mapping.
class Lowerer {
 public:
  Lowerer() {
    UErrorCode err = U_ZERO_ERROR;
    map_.reset(ucasemap_open("", 0, &err));
    if (U_FAILURE(err)) map_.reset();
  }

  std::string lower(std::string text) {
    bool ascii = std::all_of(text.begin(), text.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || !map_) {
      for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      return text;
    }
    std::string out(text.size() + 16, '\0');
    for (int round = 0; round < 2; ++round) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = ucasemap_utf8ToLower(map_.get(), out.data(), static_cast<int32_t>(out.size()),
                                       text.data(), static_cast<int32_t>(text.size()), &err);
      if (err == U_BUFFER_OVERFLOW_ERROR) {
        out.assign(static_cast<std::size_t>(n), '\0');
        continue;
      }
      if (U_FAILURE(err)) break;
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    return text;
  }

 private:
  std::unique_ptr<UCaseMap, CaseMapCloser> map_;
};

std::string lossy(std::string_view bytes) {
  if (nivern_text::is_valid_utf8(bytes)) return std::string(bytes);
  return nivern_text::lossy_utf8(bytes);
}

void sort_with(std::vector<ProjectEntry>& entries, Lowerer& lowerer) {
  std::vector<std::string> keys;
  keys.reserve(entries.size());
  for (const ProjectEntry& e : entries) keys.push_back(lowerer.lower(lossy(last_component(e.path))));
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (entries[a].is_dir != entries[b].is_dir) return entries[a].is_dir;
    return keys[a] < keys[b];
  });
  std::vector<ProjectEntry> sorted;
  sorted.reserve(entries.size());
  for (std::size_t i : order) sorted.push_back(std::move(entries[i]));
  entries = std::move(sorted);
}

bool is_root(std::string_view path, const Gitignore& root_ignore) {
  if (!root_ignore.rooted()) return false;
  while (path == "." || path.starts_with("./")) {
    path.remove_prefix(1);
    while (path.starts_with('/')) path.remove_prefix(1);
  }
  return path_order::equal(path, root_ignore.root());
}

}  // namespace

std::string_view last_component(std::string_view path) {
  // The common case, a name joined to a directory: the bytes after the last "/".
  if (std::size_t slash = path.rfind('/'); slash != std::string_view::npos && slash + 1 < path.size()) {
    std::string_view name = path.substr(slash + 1);
    if (name != "." && name != "..") return name;
  }
  path_order::Components parts(path);
  path_order::Component c, last;
  bool any = false;
  while (parts.next(c)) {
    last = c;
    any = true;
  }
  if (!any || last.kind != path_order::Component::Kind::normal) return {};
  return last.name;
}

void listing_order(std::vector<ProjectEntry>& entries) {
  Lowerer lowerer;
  sort_with(entries, lowerer);
}

std::expected<std::vector<ProjectEntry>, std::string> children(std::string_view path,
                                                               const Gitignore& root_ignore) {
  const bool has_nul = path.find('\0') != std::string_view::npos;
  const std::string dir(path);

  // The listed directory's own ".gitignore", probed before the directory is opened.
  // The root's own ".gitignore" is read afresh too, but as part of a root matcher
  // rebuilt from the root's files in their order, so that the root's ".ignore" and
  // info/exclude can still re-include what it hides.
  Gitignore fresh_root;
  const Gitignore* root_rules = &root_ignore;
  Gitignore local;
  if (!has_nul && is_root(path, root_ignore)) {
    fresh_root = root_matcher(root_ignore.root());
    root_rules = &fresh_root;
  } else if (!has_nul) {
    std::string file = join(path, ".gitignore");
    struct stat st;
    if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      GitignoreBuilder builder(path);
      (void)builder.add_file(file);  // accepted lines stay whatever it reports
      if (auto built = builder.build()) local = std::move(*built);
    }
  }

  if (has_nul) return std::unexpected(std::string(error::NUL_IN_PATH));
  nivern_support::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::unexpected(nivern_support::last_os_error());

  std::vector<ProjectEntry> kept;
  std::vector<char> buf(64 * 1024);
  for (;;) {
    ssize_t got = ::getdents64(fd.get(), buf.data(), buf.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // a failed read ends the listing; what was read stays
    for (std::size_t pos = 0; pos < static_cast<std::size_t>(got);) {
      auto* d = reinterpret_cast<struct dirent64*>(buf.data() + pos);
      pos += d->d_reclen;
      std::string_view name(d->d_name);
      if (name == "." || name == ".." || name == ".git") continue;
      bool is_dir = d->d_type == DT_DIR;
      struct stat st;
      bool have_stat = false;
      if (d->d_type == DT_UNKNOWN) {
        have_stat = ::fstatat(fd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        is_dir = have_stat && S_ISDIR(st.st_mode);
      }
      std::string full = join(path, name);
      if (root_rules->matched(full, is_dir) == IgnoreVerdict::ignore) continue;
      if (!local.empty() && local.matched(full, is_dir) == IgnoreVerdict::ignore) continue;
      std::uint64_t len = 0;
      if (!is_dir) {
        if (!have_stat) have_stat = ::fstatat(fd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (have_stat) len = static_cast<std::uint64_t>(st.st_size);
      }
      kept.push_back(ProjectEntry{std::move(full), len, is_dir});
    }
  }
  Lowerer lowerer;
  sort_with(kept, lowerer);
  return kept;
}

}  // namespace nivern_vfs::directory
