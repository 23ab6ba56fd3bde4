#pragma once
/// The file-system error of `open` and `save`, whose text follows "cannot open {}: " or
/// "cannot save {}: ". A plain value: it owns its path and cause and lives only until
/// its text has gone into an error reply. Safe to build on any thread.
#include <string>
#include <variant>

namespace nivern_vfs::error {

/// The cause of a failed file-system operation: an error number the platform reported,
/// or a fixed message of our own.
struct IoError {
  int code = 0;                // errno; 0 for an error raised by the server itself
  const char* message = "";    // the fixed message when `code` is 0

  static IoError os(int code) { return {code, ""}; }
  static IoError own(const char* message) { return {0, message}; }

  /// "No such file or directory (os error 2)", or the fixed message.
  [[nodiscard]] std::string text() const;
};

/// Any operation on a path that holds a NUL character.
inline constexpr const char* NUL_IN_PATH = "file name contained an unexpected NUL byte";
/// A write request that wrote nothing.
inline constexpr const char* WRITE_ZERO = "failed to write whole buffer";

struct VfsError {
  /// "{path}: {cause}"
  struct Io {
    std::string path;
    IoError cause;
  };
  /// "{path} is a directory"
  struct IsDirectory {
    std::string path;
  };
  /// "{path} is not a regular file": a named pipe, socket or device, refused by `open`
  /// because reading it may never end.
  struct NotRegularFile {
    std::string path;
  };

  std::variant<Io, IsDirectory, NotRegularFile> v;

  /// The text, with the path in its display form (invalid UTF-8 shown as U+FFFD).
  [[nodiscard]] std::string text() const;
};

}  // namespace nivern_vfs::error
