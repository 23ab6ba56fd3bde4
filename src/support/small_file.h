#pragma once
/// Reading a small file that a project or the user's configuration holds (an ignore
/// file, a git config file, HEAD, a "gitdir:" file) without trusting what sits there.
///
/// Threading: a pure function of the file system; safe from any thread at once.
///
/// The file is opened read-only with close-on-exec and without waiting (O_NONBLOCK), so
/// that a named pipe in its place cannot hold the open, and it is read only when its
/// status says regular file: a pipe, a device (such as a link to /dev/zero), a socket
/// or a directory is refused without reading a byte. At most `limit` bytes are read; a
/// larger file (a sparse one included, or one that grows while read) is refused as a
/// whole, with no more than `limit` bytes held meanwhile. Symbolic links are followed.
/// Nothing is thrown for anything the file system holds.
#include <cstddef>
#include <expected>
#include <string>

namespace nivern_support {

/// The default cap: far above any real ignore or config file.
inline constexpr std::size_t SMALL_FILE_LIMIT = std::size_t{4} << 20;

/// Why a small file was not read.
struct SmallFileError {
  int err = 0;                  // errno value; 0 when `fixed` says what went wrong
  const char* fixed = nullptr;  // such as `NOT_A_REGULAR_FILE`
  /// "No such file or directory (os error 2)", or the fixed text.
  [[nodiscard]] std::string text() const;
};

/// The fixed text for a pipe, device or socket.
inline constexpr const char* NOT_A_REGULAR_FILE = "not a regular file";

/// The whole content of the file `name` relative to the directory `dir_fd` (AT_FDCWD:
/// the working directory). Errors: the open's or read's errno; EISDIR for a directory;
/// `NOT_A_REGULAR_FILE`; EFBIG past `limit` bytes.
[[nodiscard]] std::expected<std::string, SmallFileError> read_small_file_at(int dir_fd, const char* name,
                                                                          std::size_t limit = SMALL_FILE_LIMIT);

/// The same by path; a path holding a NUL byte gives EINVAL without touching anything.
[[nodiscard]] std::expected<std::string, SmallFileError> read_small_file(const std::string& path,
                                                                       std::size_t limit = SMALL_FILE_LIMIT);

}  // namespace nivern_support
