#pragma once
/// Reading a file that a project or the user's configuration holds (a git config file,
/// HEAD, a "gitdir:" file, an ignore file) without trusting what sits there.
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
///
/// A file that must be read whatever its size (an ignore file) is streamed instead with
/// `read_file_pieces`: the same refusals, no cap, a bounded buffer.
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace nivern_support {

/// The default cap: far above any real config file. Ignore files are streamed instead
/// (`read_file_pieces`), since every line of one counts whatever its size.
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

/// One piece of a streamed file: bytes in file order, or a run of a sparse file's holes
/// (bytes empty, `hole` true), which stands for that many NUL bytes and is never read.
struct FilePiece {
  std::string_view bytes;
  bool hole = false;
};

/// Streams the whole file `name` relative to `dir_fd` to `take`, piece by piece in file
/// order, whatever its size, holding at most one buffer of 64 KiB: opened and refused as
/// `read_small_file_at` does, but with no size cap. A read error ends the stream with
/// that error after the pieces already given.
[[nodiscard]] std::expected<void, SmallFileError> read_file_pieces_at(int dir_fd, const char* name,
                                                                    const std::function<void(FilePiece)>& take);

/// The same by path; a path holding a NUL byte gives EINVAL without touching anything.
[[nodiscard]] std::expected<void, SmallFileError> read_file_pieces(const std::string& path,
                                                                 const std::function<void(FilePiece)>& take);

}  // namespace nivern_support
