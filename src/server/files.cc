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
#include <vector>

#include "server/calls.h"
#include "support/huge_pages.h"
#include "support/parallel.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"
#include "text/save_encoders.h"
#include "text/file_decoding.h"
#include "text/line_ending.h"
#include "text/replace.h"

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

}  // namespace files

namespace {

using nivern_protocol::message::LineEnding;
using nivern_vfs::error::IoError;
using nivern_vfs::error::VfsError;

Reply cannot(const char* verb, std::string_view path, const VfsError& e) {
  return Reply::Error{std::string("cannot ") + verb + " " + nivern_text::lossy_utf8(path) + ": " + e.text()};
}

VfsError save_error(const nivern_text::replace::ReplaceError& e) {
  using Cause = nivern_text::replace::ReplaceError::Cause;
  switch (e.cause) {
    case Cause::not_regular_file: return VfsError{VfsError::NotRegularFile{e.path}};
    case Cause::nul_in_path: return VfsError{VfsError::Io{e.path, IoError::own(nivern_vfs::error::NUL_IN_PATH)}};
    case Cause::wrote_nothing: return VfsError{VfsError::Io{e.path, IoError::own(nivern_vfs::error::WRITE_ZERO)}};
    case Cause::os: break;
  }
  return VfsError{VfsError::Io{e.path, IoError::os(e.code)}};
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

  auto replaced = nivern_text::replace::replace_content(target, mark, body);
  if (!replaced) return cannot("save", path, save_error(replaced.error()));
  return Reply::Saved{};
}

}  // namespace nivern_server
