// Durable replacement of a file's content.
#include "text/replace.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <utility>
#include <vector>

#include "support/unique_fd.h"
#include "support/write_all.h"
#include "text/byte_decoders.h"
#include "text/trim.h"

namespace nivern_text::replace {

std::string temp_path_for(std::string_view target) {
  std::string_view s = nivern_text::trim_path_end(target);
  std::string_view name;
  std::string_view dir = ".";  // when the target has no parent: "" or the root
  if (!s.empty() && s != "/") {
    const std::size_t slash = s.rfind('/');
    name = slash == std::string_view::npos ? s : s.substr(slash + 1);
    dir = slash == std::string_view::npos ? std::string_view() : nivern_text::trim_path_end(s.substr(0, slash + 1));
  }
  const bool ordinary = !name.empty() && name != "." && name != ".." && nivern_text::is_valid_utf8(name);
  std::string file = "." + std::string(ordinary ? name : "file") + ".nivern-tmp";
  if (dir.empty()) return file;
  std::string out(dir);
  if (out.back() != '/') out += '/';
  return out + file;
}

std::string unique_temp_path(std::string_view preferred, std::string_view tag) {
  const std::size_t slash = preferred.rfind('/');
  const std::string_view dir = slash == std::string_view::npos ? std::string_view() : preferred.substr(0, slash + 1);
  const std::string_view name = preferred.substr(dir.size());
  constexpr std::size_t kNameMax = 255;
  std::string out(dir);
  if (name.size() + 1 + tag.size() <= kNameMax) {
    out.append(name).append(".");
  } else {
    out.append(".nivern-tmp.");
  }
  return out.append(tag);
}

std::optional<mode_t> acl_mode_bits(std::string_view acl) {
  // Little-endian: a 4-byte version (2), then entries of a 2-byte tag, 2-byte
  // permissions and a 4-byte id.
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(acl[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
  };
  if (acl.size() < 4 || (acl.size() - 4) % 8 != 0 || u16(0) != 2 || u16(2) != 0) return std::nullopt;
  constexpr unsigned kUserObj = 0x01, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20;
  std::optional<unsigned> user, group, other;
  unsigned mask = 7;
  for (std::size_t at = 4; at < acl.size(); at += 8) {
    const unsigned perm = u16(at + 2) & 7;
    switch (u16(at)) {
      case kUserObj: user = perm; break;
      case kGroupObj: group = perm; break;
      case kMask: mask = perm; break;
      case kOther: other = perm; break;
      default: break;
    }
  }
  if (!user || !group || !other) return std::nullopt;
  return static_cast<mode_t>(*user << 6 | (*group & mask) << 3 | *other);
}

namespace {

ReplaceError os_error(std::string path, int code) {
  return ReplaceError{std::move(path), ReplaceError::Cause::os, code};
}

/// A device, named pipe or socket: a node whose replacement by a file would break
/// whatever uses it.
bool is_special(mode_t mode) {
  return S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

/// Refuses a `target` that is such a node now (its own status, a link not followed).
std::expected<void, ReplaceError> not_special(const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && is_special(st.st_mode)) {
    return std::unexpected(ReplaceError{target, ReplaceError::Cause::not_regular_file, 0});
  }
  return {};
}

/// A short random tag for a temporary name (12 hexadecimal digits).
std::string random_tag() {
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet: the clock and the process id still differ between attempts.
    static std::atomic<unsigned> counter{0};
    const auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter;
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(t >> (8 * i));
  }
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

/// A freshly created temporary file for `target` and the path it was made at.
struct TempFile {
  nivern_support::UniqueFd fd;
  std::string path;
};

/// Creates the temporary sibling of `target` exclusively: nothing already at a name (a
/// leftover file, a link, a named pipe, another save's file) is ever opened. The usual
/// name comes first; when it is taken or too long, random siblings are tried. On
/// failure, the path of the last attempt and its error.
std::expected<TempFile, ReplaceError> create_temp(const std::string& target, mode_t mode) {
  const std::string preferred = temp_path_for(target);
  std::string temp = preferred;
  constexpr int kAttempts = 16;
  for (int attempt = 1;; ++attempt) {
    if (temp.find('\0') != std::string::npos) {
      return std::unexpected(ReplaceError{temp, ReplaceError::Cause::nul_in_path, 0});
    }
    nivern_support::UniqueFd fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd) return TempFile{std::move(fd), std::move(temp)};
    const int err = errno;
    if ((err != EEXIST && err != ENAMETOOLONG) || attempt == kAttempts) {
      return std::unexpected(os_error(temp, err));
    }
    temp = unique_temp_path(preferred, random_tag());
  }
}

constexpr const char* kAccessAcl = "system.posix_acl_access";

/// The value of attribute `name` of `path` (links followed); nullopt when it cannot be read.
std::optional<std::string> get_attribute(const std::string& path, const char* name) {
  for (int tries = 0; tries < 4; ++tries) {
    const ssize_t size = ::getxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::getxattr(path.c_str(), name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return value;
    }
    if (errno != ERANGE) return std::nullopt;  // ERANGE: it grew meanwhile
  }
  return std::nullopt;
}

/// The names of the extended attributes of `path` (links followed).
std::vector<std::string> attribute_names(const std::string& path) {
  std::vector<std::string> names;
  for (int tries = 0; tries < 4; ++tries) {
    const ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
    if (size <= 0) return names;
    std::string list(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::listxattr(path.c_str(), list.data(), list.size());
    if (got < 0) {
      if (errno == ERANGE) continue;
      return names;
    }
    list.resize(static_cast<std::size_t>(got));
    for (std::size_t at = 0; at < list.size();) {
      const std::size_t end = std::min(list.find('\0', at), list.size());
      if (end > at) names.emplace_back(list, at, end - at);
      at = end + 1;
    }
    return names;
  }
  return names;
}

/// Gives the temporary file `fd` who may read and write the file `target` (status `old`)
/// that it replaces: owner and group where the process may set them, the "user."
/// attributes, the access ACL and the permission bits. Never grants more than the old
/// file did: an ACL that cannot be copied leaves only what its owner, owning-group and
/// other entries allowed, and a group that cannot be kept gets no more than others.
void keep_access(int fd, const std::string& target, const struct stat& old) {
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  mode_t mode = old.st_mode & 0777;
  bool acl_copied = false;
  for (const std::string& name : attribute_names(target)) {
    const bool acl = name == kAccessAcl;
    if (!acl && !name.starts_with("user.")) continue;
    auto value = get_attribute(target, name.c_str());
    if (!value) continue;
    const bool copied = ::fsetxattr(fd, name.c_str(), value->data(), value->size(), 0) == 0;
    if (acl) {
      acl_copied = copied;
      if (!copied) {
        auto bits = acl_mode_bits(*value);
        mode = bits ? (mode & ~0070) | (*bits & 0070 & mode) : mode & ~0070;
      }
    }
  }
  // An ACL inherited from the directory's default ACL does not belong to the old file.
  if (!acl_copied) (void)::fremovexattr(fd, kAccessAcl);
  struct stat now;
  if (::fstat(fd, &now) == 0 && now.st_gid != old.st_gid) mode = (mode & ~0070) | ((mode & 07) << 3 & mode);
  (void)::fchmod(fd, mode);
}

/// Flushes the directory that holds `path`, so that a rename in it survives a crash.
/// Best effort: the new content is in place whatever this says.
void sync_parent_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  nivern_support::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) (void)::fsync(fd.get());
}

}  // namespace

std::expected<void, ReplaceError> replace_content(const std::string& target, std::string_view head,
                                                  std::string_view body) {
  if (target.find('\0') == std::string::npos) {
    if (auto ok = not_special(target); !ok) return ok;
  }
  // The temporary sibling, created exclusively and private until it is complete.
  struct stat old;
  const bool replaces_file = target.find('\0') == std::string::npos && ::stat(target.c_str(), &old) == 0 &&
                             S_ISREG(old.st_mode);
  auto created = create_temp(target, replaces_file ? 0600 : 0666);
  if (!created) return std::unexpected(std::move(created.error()));
  nivern_support::UniqueFd fd = std::move(created->fd);
  const std::string temp = std::move(created->path);

  // Write, then make the bytes durable before they take the target's place.
  auto written = nivern_support::write_all(fd.get(), head, WRITE_CHUNK);
  if (written) written = nivern_support::write_all(fd.get(), body, WRITE_CHUNK);
  if (written && replaces_file) keep_access(fd.get(), target, old);
  if (written && ::fsync(fd.get()) != 0) written = std::unexpected(errno);
  fd.reset();
  if (!written) {
    // Partial bytes would keep a full disk full and show up in the project.
    (void)::unlink(temp.c_str());
    if (written.error() == 0) return std::unexpected(ReplaceError{temp, ReplaceError::Cause::wrote_nothing, 0});
    return std::unexpected(os_error(temp, written.error()));
  }

  // The rename, unless a node took the target's place meanwhile; then the directory
  // entry made durable.
  if (auto ok = not_special(target); !ok) {
    (void)::unlink(temp.c_str());
    return ok;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    (void)::unlink(temp.c_str());
    return std::unexpected(os_error(target, err));
  }
  sync_parent_directory(target);
  return {};
}

}  // namespace nivern_text::replace
