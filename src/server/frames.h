#pragma once
/// Framing over file descriptors: a 4-byte big-endian length, then the body.
///
/// `FrameReader` is used by one thread (the main thread); `write_frame` by the writer
/// thread only. Lengths are checked before anything is allocated.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace nivern_server {

/// "frame of {} bytes is over the {} byte limit".
std::string over_limit_message(std::uint64_t n);

class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd) {}

  enum class Status { frame, oversized, end, fatal };
  struct Result {
    Status status;
    std::string body;   // the frame's body when status is `frame`
    std::string error;  // the fatal error's text
    std::uint64_t size = 0;  // the announced length when status is `oversized`
  };

  /// Reads the next frame. Input ending before or inside the length is a clean end;
  /// ending inside the body is fatal ("failed to fill whole buffer"). A length over
  /// `MAX_FRAME` is reported as `oversized` as soon as it is read, so that it can be
  /// answered before its body arrives; the next call first reads past that body
  /// without keeping it (and fails as above when the input ends inside it).
  Result next();

 private:
  // Reads up to n bytes into dst from the buffer or the descriptor. 0 at end of input,
  // -1 on error (errno set).
  [[gnu::noinline]] long fill(char* dst, std::size_t n);

  int fd_;
  std::uint64_t skip_ = 0;  // bytes of an oversized body still to be read past
  char buf_[8192];
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
};

/// Writes one frame whole (length then body). On failure the OS error's text, or the
/// over-limit message when the body is too large (then nothing is written).
[[nodiscard]] std::expected<void, std::string> write_frame(int fd, std::string_view body);

}  // namespace nivern_server
