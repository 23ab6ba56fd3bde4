// `open` and `save`.
#include "server/files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <utility>
#include <vector>

#include "server/calls.h"
#include "support/huge_pages.h"
#include "support/parallel.h"
#include "support/unique_fd.h"
#include "support/write_all.h"
#include "text/byte_decoders.h"
#include "text/save_encoders.h"
#include "text/file_decoding.h"
#include "text/line_ending.h"
#include "text/trim.h"

namespace nivern_server {

namespace files {

using nivern_vfs::error::IoError;
using nivern_vfs::error::VfsError;

bool looks_binary(std::string_view sample) {
  if (sample.find('\0') == std::string_view::npos) return false;
  const std::size_t n = sample.size();
  if (n >= 3 && sample.starts_with("\xEF\xBB\xBF")) return false;
  if (n >= 2 && (sample.starts_with("\xFF\xFE") || sample.starts_with("\xFE\xFF"))) return false;
  if (n % 2 != 0) return true;
  return nivern_text::encoding::guess_utf16(sample) == nivern_text::encoding::Utf16Guess::none;
}

std::optional<Utf16Layout> utf16_layout(std::string_view first, std::uint64_t size) {
  if (first.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  if (first.starts_with("\xFF\xFE") || first.starts_with("\xFE\xFF")) return Utf16Layout{2, first[0] == '\xFF'};
  if (size % 2 != 0) return std::nullopt;
  const auto guess = nivern_text::encoding::guess_utf16(first);
  if (guess == nivern_text::encoding::Utf16Guess::none) return std::nullopt;
  return Utf16Layout{0, guess == nivern_text::encoding::Utf16Guess::little_endian};
}

std::optional<std::uint64_t> utf16_text_size(int fd, const Utf16Layout& layout) {
  constexpr std::size_t kSlice = 1u << 20;
  std::vector<char> buf(kSlice);
  std::uint64_t size = 0;
  for (std::uint64_t at = layout.from;;) {
    const ssize_t r = ::pread(fd, buf.data(), kSlice, static_cast<off_t>(at));
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    auto n = static_cast<std::size_t>(r);
    if (n < kSlice) {  // the end of the file
      return size + nivern_text::encoding::utf16_decoded_size(std::string_view(buf.data(), n), layout.little_endian);
    }
    // A lead surrogate at the end of a slice is measured with the unit that follows it.
    const auto hi = static_cast<unsigned char>(buf[layout.little_endian ? n - 1 : n - 2]);
    if (hi >= 0xD8 && hi < 0xDC) n -= 2;
    size += nivern_text::encoding::utf16_decoded_size(std::string_view(buf.data(), n), layout.little_endian);
    at += n;
  }
}

std::uint64_t least_text_size(std::string_view first, std::uint64_t size) {
  // Escaped, the text takes at least one byte for each byte of a UTF-8 or windows-1252
  // file (a CR LF pair becomes "\n", still two) and for each two bytes of a UTF-16 file;
  // a byte-order mark takes nothing.
  if (first.starts_with("\xEF\xBB\xBF")) return size - 3;
  if (auto utf16 = utf16_layout(first, size)) return (size - utf16->from) / 2;
  return size;
}

namespace {

bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

VfsError io(std::string_view path, IoError cause) {
  return VfsError{VfsError::Io{std::string(path), cause}};
}

VfsError io_errno(std::string_view path) { return io(path, IoError::os(errno)); }

}  // namespace

std::expected<void, VfsError> regular_file(const std::string& path, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return std::unexpected(VfsError{VfsError::IsDirectory{path}});
  if (!S_ISREG(st.st_mode)) return std::unexpected(VfsError{VfsError::NotRegularFile{path}});
  return {};
}

// O_NONBLOCK keeps a named pipe put in the file's place after its status was read from
// blocking the open; it changes nothing for regular files.
std::expected<nivern_support::UniqueFd, VfsError> open_for_reading(const std::string& path) {
  if (has_nul(path)) return std::unexpected(io(path, IoError::own(nivern_vfs::error::NUL_IN_PATH)));
  nivern_support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::unexpected(io_errno(path));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(io_errno(path));
  if (auto ok = regular_file(path, st); !ok) return std::unexpected(std::move(ok.error()));
  return fd;
}

std::expected<std::string, ReadFailure> read_content(const std::string& path, std::uint64_t limit) {
  auto fail = [](VfsError e) { return std::unexpected(ReadFailure{ReadFailure::Kind::error, std::move(e)}); };
  auto opened = open_for_reading(path);
  if (!opened) return fail(std::move(opened.error()));
  const int fd = opened->get();
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(io_errno(path));

  // Read into a buffer of the size the file has now; a file that grew meanwhile keeps
  // being read, up to the limit.
  const std::uint64_t expected = static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0));
  if (expected >= limit) return std::unexpected(ReadFailure{ReadFailure::Kind::too_large, {}});
  std::string content;
  std::size_t size = static_cast<std::size_t>(expected);
  int error = 0;
  bool at_end = false;
  // The callback's size argument may exceed what was asked for with this library
  // version; `size` is the bound.
  content.resize_and_overwrite(size, [&](char* buf, std::size_t) {
    nivern_support::advise_huge_pages(buf, size);
    // A large file is read in parts at once: the copies from the page cache, and the
    // clearing of the fresh pages they land in, are spread over the processors.
    constexpr std::size_t kMax = nivern_support::MAX_PARTS;
    const std::size_t parts = nivern_support::parts_for(size, READ_PART_MIN);
    std::array<std::size_t, kMax> got{};
    std::array<int, kMax> errors{};
    std::array<bool, kMax> ended{};
    auto begin = [&](std::size_t i) { return size / parts * i; };
    auto end = [&](std::size_t i) { return i + 1 == parts ? size : size / parts * (i + 1); };
    nivern_support::in_parallel(parts, "nivern-read", [&](std::size_t i) {
      const std::size_t from = begin(i), n = end(i) - from;
      while (got[i] < n) {
        ssize_t r = ::pread(fd, buf + from + got[i], std::min<std::size_t>(n - got[i], 1u << 30),
                            static_cast<off_t>(from + got[i]));
        if (r < 0) {
          if (errno == EINTR) continue;
          errors[i] = errno;
          return;
        }
        if (r == 0) {
          ended[i] = true;
          return;
        }
        got[i] += static_cast<std::size_t>(r);
      }
    });
    // The content is what was read without a gap: up to the first part that came short
    // (the file shrank meanwhile, or a read failed).
    std::size_t total = 0;
    for (std::size_t i = 0; i < parts; ++i) {
      total += got[i];
      if (got[i] < end(i) - begin(i)) {
        error = errors[i];
        at_end = ended[i];
        break;
      }
    }
    return total;
  });
  // A file that grew is read on from where the parts ended.
  if (error == 0 && !at_end && ::lseek(fd, static_cast<off_t>(content.size()), SEEK_SET) < 0) error = errno;
  while (error == 0 && !at_end) {
    char chunk[65536];
    ssize_t r = ::read(fd, chunk, sizeof chunk);
    if (r < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    if (r == 0) break;
    if (content.size() + static_cast<std::size_t>(r) >= limit) {
      return std::unexpected(ReadFailure{ReadFailure::Kind::too_large, {}});
    }
    content.append(chunk, static_cast<std::size_t>(r));
  }
  if (error != 0) return fail(io(path, IoError::os(error)));
  return content;
}

namespace {

}  // namespace

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

}  // namespace files

namespace {

using nivern_protocol::message::LineEnding;
using nivern_vfs::error::IoError;
using nivern_vfs::error::VfsError;

Reply cannot(const char* verb, std::string_view path, const VfsError& e) {
  return Reply::Error{std::string("cannot ") + verb + " " + nivern_text::lossy_utf8(path) + ": " + e.text()};
}

/// Writes all of `data`, in requests of at most `WRITE_CHUNK` bytes.
std::expected<void, IoError> write_all(int fd, std::string_view data) {
  auto written = nivern_support::write_all(fd, data, files::WRITE_CHUNK);
  if (written) return {};
  if (written.error() == 0) return std::unexpected(IoError::own(nivern_vfs::error::WRITE_ZERO));
  return std::unexpected(IoError::os(written.error()));
}

/// A short random tag for a temporary name (12 hexadecimal digits).
std::string random_tag() {
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet: the clock and the process id still differ between attempts.
    static unsigned counter = 0;
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
std::expected<TempFile, std::pair<std::string, IoError>> create_temp(const std::string& target, mode_t mode) {
  const std::string preferred = files::temp_path_for(target);
  std::string temp = preferred;
  constexpr int kAttempts = 16;
  for (int attempt = 1;; ++attempt) {
    if (temp.find('\0') != std::string::npos) {
      return std::unexpected(std::pair(temp, IoError::own(nivern_vfs::error::NUL_IN_PATH)));
    }
    nivern_support::UniqueFd fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd) return TempFile{std::move(fd), std::move(temp)};
    const int err = errno;
    if ((err != EEXIST && err != ENAMETOOLONG) || attempt == kAttempts) {
      return std::unexpected(std::pair(temp, IoError::os(err)));
    }
    temp = files::unique_temp_path(preferred, random_tag());
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
        auto bits = files::acl_mode_bits(*value);
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

Reply open_file(const Call::Open& call) {
  const std::string& path = call.path;
  auto failed = [&](const VfsError& e) { return cannot("open", path, e); };
  if (path.find('\0') != std::string::npos) {
    return failed(VfsError{VfsError::Io{path, IoError::own(nivern_vfs::error::NUL_IN_PATH)}});
  }
  // Status (links followed): directories, other non-files and large files are refused
  // before anything is opened.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return failed(VfsError{VfsError::Io{path, IoError::os(errno)}});
  if (auto ok = files::regular_file(path, st); !ok) return failed(ok.error());
  if (static_cast<std::uint64_t>(st.st_size) >= files::OPEN_LIMIT) return Reply::Error{files::TOO_LARGE};

  // One read of the first bytes for the binary rule.
  {
    auto fd = files::open_for_reading(path);
    if (!fd) return failed(fd.error());
    char sample[files::SAMPLE_SIZE];
    const std::size_t want = std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), sizeof sample);
    ssize_t got = ::read(fd->get(), sample, want);
    if (got < 0) return failed(VfsError{VfsError::Io{path, IoError::os(errno)}});
    const std::string_view first(sample, static_cast<std::size_t>(got));
    if (files::looks_binary(first)) return Reply::Error{files::BINARY};
    // Whatever the encoding, the reply's text cannot be shorter than this once escaped,
    // so a file whose reply must pass the frame limit is refused without being read.
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (files::least_text_size(first, size) > MAX_FRAME) return Reply::Error{files::TOO_LARGE};
    // UTF-16 text may pass the limit although the file is under twice its size: a file
    // that could is measured in slices before it is read whole.
    if (auto utf16 = files::utf16_layout(first, size); utf16 && (size - utf16->from) / 2 * 3 + 3 > MAX_FRAME) {
      if (auto text = files::utf16_text_size(fd->get(), *utf16); text && *text > MAX_FRAME) {
        return Reply::Error{files::TOO_LARGE};
      }
    }
  }

  // The whole content through a second opening, decoded in its own buffer.
  auto content = files::read_content(path);
  if (!content) {
    if (content.error().kind == files::ReadFailure::Kind::too_large) return Reply::Error{files::TOO_LARGE};
    return failed(content.error().error);
  }
  nivern_text::encoding::DecodedText d = nivern_text::encoding::decode_in_place(std::move(*content), MAX_FRAME);
  if (d.over_limit) return Reply::Error{files::TOO_LARGE};
  return Reply::Text{
      .text = std::move(d.text),
      .encoding = std::string(d.encoding->name),
      .line_ending = d.crlf ? LineEnding::crlf : LineEnding::lf,
      .bom = d.bom,
      .lossy = d.lossy,
  };
}

Reply save_file(const Call::Save& call) {
  const std::string& path = call.path;
  // The encoding the editor names, by its label.
  const nivern_text::Encoding* resolved = nivern_text::encoding_for_label(call.encoding);
  if (resolved == nullptr) return Reply::Error{"unknown encoding " + call.encoding};

  // The whole output in memory: line endings, encoded text, byte-order mark.
  std::string_view text = call.text;
  std::string with_crlf;
  if (call.line_ending == LineEnding::crlf) {
    with_crlf = nivern_text::line_ending::with_crlf(text);
    text = with_crlf;
  }
  using nivern_text::EncodingId;
  const bool utf16 = resolved->id == EncodingId::utf_16le || resolved->id == EncodingId::utf_16be;
  std::string_view mark;
  std::string encoded;
  std::string_view body = text;
  if (utf16 && call.bom) {
    // UTF-16 with its mark, so that `open` reads the text back unchanged.
    const bool little = resolved->id == EncodingId::utf_16le;
    mark = little ? "\xFF\xFE" : "\xFE\xFF";
    encoded = nivern_text::encode_utf16(text, little);
    body = encoded;
  } else if (const nivern_text::Encoding& out = nivern_text::output_encoding(*resolved);
             &out != &nivern_text::UTF_8) {
    encoded = nivern_text::encode_html(out, text);
    body = encoded;
  } else if (call.bom && resolved->id == EncodingId::utf_8) {
    mark = "\xEF\xBB\xBF";
  }

  // The target: a symbolic link is written through to the file it resolves to.
  std::string target = path;
  struct stat lst;
  if (path.find('\0') == std::string::npos && ::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    if (char* resolved_path = ::realpath(path.c_str(), nullptr)) {
      target = resolved_path;
      std::free(resolved_path);
    }
  }

  // The temporary sibling, created exclusively and private until it is complete.
  auto failed = [&](const std::string& named, IoError cause) {
    return cannot("save", path, VfsError{VfsError::Io{named, cause}});
  };
  struct stat old;
  const bool replaces_file = target.find('\0') == std::string::npos && ::stat(target.c_str(), &old) == 0 &&
                             S_ISREG(old.st_mode);
  auto created = create_temp(target, replaces_file ? 0600 : 0666);
  if (!created) return failed(created.error().first, created.error().second);
  nivern_support::UniqueFd fd = std::move(created->fd);
  const std::string temp = std::move(created->path);

  // Write, then make the bytes durable before they take the target's place.
  auto written = write_all(fd.get(), mark);
  if (written) written = write_all(fd.get(), body);
  if (written && replaces_file) keep_access(fd.get(), target, old);
  if (written && ::fsync(fd.get()) != 0) written = std::unexpected(IoError::os(errno));
  fd.reset();
  if (!written) {
    // Partial bytes would keep a full disk full and show up in the project.
    (void)::unlink(temp.c_str());
    return failed(temp, written.error());
  }

  // The rename, and the directory entry made durable.
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    (void)::unlink(temp.c_str());
    return failed(target, IoError::os(err));
  }
  sync_parent_directory(target);
  return Reply::Saved{};
}

}  // namespace nivern_server
