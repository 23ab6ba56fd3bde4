#pragma once
/// Reads a file for searching, as UTF-8 where a byte-order mark says otherwise.
///
/// Threading: one reader per worker thread; not shared.
///
/// The first bytes decide the form once per file: a UTF-8 byte-order mark is dropped
/// and the rest passed through as read; a UTF-16 byte-order mark (FF FE little-endian,
/// FE FF big-endian) is dropped, as is one U+FEFF right after it, and the rest
/// transcoded to UTF-8 (unpaired surrogates and a dangling last byte become U+FFFD); any
/// other file is passed through as raw bytes. Plain files are read straight into the
/// caller's buffer.
#include <cstddef>
#include <expected>
#include <string>

namespace nivern_vfs::search {

class SearchReader {
 public:
  /// Starts on a new open file (not owned).
  void reset(int fd);

  /// Reads up to `capacity` decoded bytes into `dst` (`capacity` must be at least
  /// `MIN_READ`). 0 means the end of the file; the error is an errno value.
  [[nodiscard]] std::expected<std::size_t, int> read(char* dst, std::size_t capacity);

  /// Whether the file turned out to be UTF-16 (valid after the first read).
  [[nodiscard]] bool transcoding() const {
    return form_ == Form::utf16le || form_ == Form::utf16be;
  }

  static constexpr std::size_t MIN_READ = 64;

 private:
  enum class Form { unknown, raw, utf16le, utf16be };

  std::expected<std::size_t, int> read_raw(char* dst, std::size_t capacity);
  std::expected<std::size_t, int> read_utf16(char* dst, std::size_t capacity);

  int fd_ = -1;
  Form form_ = Form::unknown;
  bool eof_ = false;
  /// UTF-16 input not yet transcoded: read ahead, or an odd byte or a lead surrogate
  /// held back at the end of the last piece.
  std::string pending_;
  /// UTF-16: nothing decoded yet.
  bool at_start_ = false;
};

}  // namespace nivern_vfs::search
