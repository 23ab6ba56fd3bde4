// `open` and `save`.
#include "server/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "server/calls.h"
#include "support/huge_pages.h"
#include "support/parallel.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"
#include "text/save_encoders.h"
#include "text/file_decoding.h"
#include "text/line_ending.h"

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

/// Drops trailing separators and "." components, keeping a leading "/" or ".".
std::string_view trim_end(std::string_view s) {
  for (;;) {
    while (s.size() > 1 && s.back() == '/') s.remove_suffix(1);
    if (s.size() >= 2 && s.ends_with("/.")) {
      s.remove_suffix(1);
      continue;
    }
    return s;
  }
}

}  // namespace

std::string temp_path_for(std::string_view target) {
  std::string_view s = trim_end(target);
  std::string_view name;
  std::string_view dir = ".";  // when the target has no parent: "" or the root
  if (!s.empty() && s != "/") {
    const std::size_t slash = s.rfind('/');
    name = slash == std::string_view::npos ? s : s.substr(slash + 1);
    dir = slash == std::string_view::npos ? std::string_view() : trim_end(s.substr(0, slash + 1));
  }
  const bool ordinary = !name.empty() && name != "." && name != ".." && nivern_text::is_valid_utf8(name);
  std::string file = "." + std::string(ordinary ? name : "file") + ".nivern-tmp";
  if (dir.empty()) return file;
  std::string out(dir);
  if (out.back() != '/') out += '/';
  return out + file;
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
  while (!data.empty()) {
    ssize_t w = ::write(fd, data.data(), std::min(data.size(), files::WRITE_CHUNK));
    if (w < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::os(errno));
    }
    if (w == 0) return std::unexpected(IoError::own(nivern_vfs::error::WRITE_ZERO));
    data.remove_prefix(static_cast<std::size_t>(w));
  }
  return {};
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
    if (files::looks_binary(std::string_view(sample, static_cast<std::size_t>(got)))) {
      return Reply::Error{files::BINARY};
    }
  }

  // The whole content through a second opening, decoded in its own buffer.
  auto content = files::read_content(path);
  if (!content) {
    if (content.error().kind == files::ReadFailure::Kind::too_large) return Reply::Error{files::TOO_LARGE};
    return failed(content.error().error);
  }
  nivern_text::encoding::DecodedText d = nivern_text::encoding::decode_in_place(std::move(*content));
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

  // The temporary sibling. Never through a link planted at its name; it gets the
  // permission bits of the file it replaces.
  const std::string temp = files::temp_path_for(target);
  auto failed = [&](const std::string& named, IoError cause) {
    return cannot("save", path, VfsError{VfsError::Io{named, cause}});
  };
  if (temp.find('\0') != std::string::npos) return failed(temp, IoError::own(nivern_vfs::error::NUL_IN_PATH));
  struct stat old;
  const bool replaces_file = target.find('\0') == std::string::npos && ::stat(target.c_str(), &old) == 0 &&
                             S_ISREG(old.st_mode);
  const mode_t mode = replaces_file ? (old.st_mode & 0777) : 0666;
  nivern_support::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) return failed(temp, IoError::os(errno));
  if (replaces_file) (void)::fchmod(fd.get(), mode);  // a reused leftover keeps its own mode otherwise

  // Write, then make the bytes durable before they take the target's place.
  auto written = write_all(fd.get(), mark);
  if (written) written = write_all(fd.get(), body);
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
