#include "support/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/os_error.h"
#include "support/unique_fd.h"

namespace nivern_support {

std::string SmallFileError::text() const { return fixed ? std::string(fixed) : os_error_text(err); }

std::expected<std::string, SmallFileError> read_small_file_at(int dir_fd, const char* name, std::size_t limit) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::unexpected(SmallFileError{errno});
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(SmallFileError{errno});
  if (S_ISDIR(st.st_mode)) return std::unexpected(SmallFileError{EISDIR});
  if (!S_ISREG(st.st_mode)) return std::unexpected(SmallFileError{0, NOT_A_REGULAR_FILE});
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

}  // namespace nivern_support
