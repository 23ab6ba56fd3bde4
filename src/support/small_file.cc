#include "support/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "support/os_error.h"
#include "support/unique_fd.h"

namespace nivern_support {

std::string SmallFileError::text() const { return fixed ? std::string(fixed) : os_error_text(err); }

namespace {

/// Opens `name` without waiting and keeps it only when it is a regular file.
std::expected<UniqueFd, SmallFileError> open_regular_at(int dir_fd, const char* name, struct stat& st) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::unexpected(SmallFileError{errno});
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(SmallFileError{errno});
  if (S_ISDIR(st.st_mode)) return std::unexpected(SmallFileError{EISDIR});
  if (!S_ISREG(st.st_mode)) return std::unexpected(SmallFileError{0, NOT_A_REGULAR_FILE});
  return fd;
}

/// pread from `at` until `end` or the end of the file (`at` then becomes `end`), handing
/// each buffer to `take`. False with errno set on a read error.
bool pread_span(int fd, char* buf, std::size_t size, off_t& at, off_t end,
                const std::function<void(FilePiece)>& take) {
  while (at < end) {
    std::size_t want = std::min(size, static_cast<std::size_t>(end - at));
    ssize_t n = ::pread(fd, buf, want, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      at = end;  // the file ended sooner than it said
      break;
    }
    at += n;
    take(FilePiece{std::string_view(buf, static_cast<std::size_t>(n)), false});
  }
  return true;
}

}  // namespace

std::expected<std::string, SmallFileError> read_small_file_at(int dir_fd, const char* name, std::size_t limit) {
  struct stat st;
  auto opened = open_regular_at(dir_fd, name, st);
  if (!opened) return std::unexpected(opened.error());
  UniqueFd fd = std::move(*opened);
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > limit) {
    return std::unexpected(SmallFileError{EFBIG});
  }
  // One byte more than the file's size, so that reaching the end normally costs one
  // read that returns 0; a file that grows keeps being read up to the limit. At least a
  // page: files of /proc report size 0, and some give their whole text to the first read
  // only.
  std::string out;
  out.resize(std::min(std::max(static_cast<std::size_t>(st.st_size) + 1, std::size_t{4096}), limit + 1));
  std::size_t got = 0;
  for (;;) {
    if (got == out.size()) {
      if (got > limit) return std::unexpected(SmallFileError{EFBIG});
      out.resize(std::min(out.size() * 2, limit + 1));
    }
    ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(SmallFileError{errno});
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > limit) return std::unexpected(SmallFileError{EFBIG});
  out.resize(got);
  return out;
}

std::expected<std::string, SmallFileError> read_small_file(const std::string& path, std::size_t limit) {
  if (path.find('\0') != std::string::npos) return std::unexpected(SmallFileError{EINVAL});
  return read_small_file_at(AT_FDCWD, path.c_str(), limit);
}

std::expected<void, SmallFileError> read_file_pieces_at(int dir_fd, const char* name,
                                                        const std::function<void(FilePiece)>& take) {
  struct stat st;
  auto opened = open_regular_at(dir_fd, name, st);
  if (!opened) return std::unexpected(opened.error());
  const int fd = opened->get();
  // Room for a small file and the read that finds its end; 64 KiB at most.
  const std::size_t buffer_size = std::clamp<std::size_t>(
      st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 0, 4096, 64 * 1024);
  auto buf = std::make_unique_for_overwrite<char[]>(buffer_size);
  constexpr off_t kToTheEnd = std::numeric_limits<off_t>::max();
  off_t at = 0;
  // A file with as many blocks as bytes has no holes: read it straight through, so a
  // small file costs no more than its reads. Otherwise go from data run to data run.
  const bool sparse = st.st_size > 0 && static_cast<std::uint64_t>(st.st_blocks) * 512 <
                                            static_cast<std::uint64_t>(st.st_size);
  if (!sparse) {
    if (!pread_span(fd, buf.get(), buffer_size, at, kToTheEnd, take)) return std::unexpected(SmallFileError{errno});
    return {};
  }
  for (;;) {
    off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) {  // nothing but holes up to the end
        if (::fstat(fd, &st) == 0 && st.st_size > at) take(FilePiece{{}, true});
        return {};
      }
      // Holes cannot be asked for here: read what is left as it stands.
      if (!pread_span(fd, buf.get(), buffer_size, at, kToTheEnd, take)) return std::unexpected(SmallFileError{errno});
      return {};
    }
    if (data > at) take(FilePiece{{}, true});
    at = data;
    off_t hole = ::lseek(fd, at, SEEK_HOLE);
    if (hole < 0) return std::unexpected(SmallFileError{errno});
    if (!pread_span(fd, buf.get(), buffer_size, at, hole, take)) return std::unexpected(SmallFileError{errno});
  }
}

std::expected<void, SmallFileError> read_file_pieces(const std::string& path,
                                                     const std::function<void(FilePiece)>& take) {
  if (path.find('\0') != std::string::npos) return std::unexpected(SmallFileError{EINVAL});
  return read_file_pieces_at(AT_FDCWD, path.c_str(), take);
}

}  // namespace nivern_support
