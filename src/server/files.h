#pragma once
/// The pieces of `open` that stand on their own: the binary rule and the bounded
/// whole-file read. (`save` replaces files through text/replace.h.)
///
/// Main thread only, like the handlers that use them; no shared state.
#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "support/unique_fd.h"
#include "vfs/tree/error.h"

namespace nivern_server::files {

/// `open` refuses files of this many bytes or more (2 to the 28th).
inline constexpr std::uint64_t OPEN_LIMIT = 268'435'456;
/// Bytes of the one read that samples a file for the binary rule.
inline constexpr std::size_t SAMPLE_SIZE = 8192;
/// A file's content is read in parallel parts of at least this many bytes.
inline constexpr std::size_t READ_PART_MIN = 4u << 20;

inline constexpr const char* TOO_LARGE = "too large to open as text yet";
inline constexpr const char* BINARY = "a binary file cannot be opened as text yet";

/// True when the first bytes of a file look binary: a zero byte is allowed only where
/// decoding would find a byte-order mark or guess UTF-16.
[[nodiscard]] bool looks_binary(std::string_view sample);

/// The fewest bytes that the text of a file of `size` bytes whose first bytes are
/// `first` can take in a reply, escapes included, whatever decoding makes of it.
[[nodiscard]] std::uint64_t least_text_size(std::string_view first, std::uint64_t size);

/// Where the UTF-16 text of a file of `size` bytes whose first bytes are `first`
/// begins (after its mark) and its byte order, as decoding will find them; nullopt
/// for a file that decoding will not read as UTF-16.
struct Utf16Layout {
  std::uint64_t from = 0;
  bool little_endian = true;
};
[[nodiscard]] std::optional<Utf16Layout> utf16_layout(std::string_view first, std::uint64_t size);

/// The UTF-8 size of the UTF-16 text of the open file `fd` from byte `from` to its end,
/// read in slices so that a file of any size costs little memory; nullopt when a read
/// fails.
[[nodiscard]] std::optional<std::uint64_t> utf16_text_size(int fd, const Utf16Layout& layout);

/// Refuses a status that is not a regular file's: `IsDirectory` for a directory,
/// `NotRegularFile` for a named pipe, socket or device (reading them may never end).
[[nodiscard]] std::expected<void, nivern_vfs::error::VfsError> regular_file(const std::string& path,
                                                                          const struct stat& st);

/// Opens `path` read-only, close-on-exec, links followed, without blocking on a named
/// pipe, and checks through the descriptor that it is a regular file.
[[nodiscard]] std::expected<nivern_support::UniqueFd, nivern_vfs::error::VfsError> open_for_reading(
    const std::string& path);

/// Why a whole-file read gave no content.
struct ReadFailure {
  enum class Kind { error, too_large } kind = Kind::error;
  nivern_vfs::error::VfsError error;  // for `error`
};

/// Reads the whole regular file at `path` through a new opening (read-only,
/// close-on-exec, links followed) to its end. A file that is not a regular file is
/// refused before any read; one that reaches `limit` bytes is refused as too large. A
/// large file is read in parts by short-lived helper threads, joined before it returns.
[[nodiscard]] std::expected<std::string, ReadFailure> read_content(const std::string& path,
                                                                   std::uint64_t limit = OPEN_LIMIT);

}  // namespace nivern_server::files
