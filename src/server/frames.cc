#include "server/frames.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/outgoing.h"
#include "support/os_error.h"

namespace nivern_server {

std::string over_limit_message(std::uint64_t n) {
  return "frame of " + std::to_string(n) + " bytes is over the " + std::to_string(MAX_FRAME) +
         " byte limit";
}

long FrameReader::fill(char* dst, std::size_t n) {
  if (head_ < tail_) {
    std::size_t k = std::min(n, tail_ - head_);
    std::memcpy(dst, buf_ + head_, k);
    head_ += k;
    return static_cast<long>(k);
  }
  for (;;) {
    ssize_t r;
    if (n >= sizeof buf_) {
      // Large reads go straight into the destination.
      r = ::read(fd_, dst, n);
      if (r >= 0) return r;
    } else {
      r = ::read(fd_, buf_, sizeof buf_);
      if (r > 0) {
        head_ = 0;
        tail_ = static_cast<std::size_t>(r);
        return fill(dst, n);
      }
      if (r == 0) return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EBADF) return 0;  // a standard input that is not open counts as ended
    return -1;
  }
}

FrameReader::Result FrameReader::next() {
  // The body of the oversized frame reported last time: read past in small pieces,
  // never held.
  while (skip_ > 0) {
    char scratch[65536];
    long r = fill(scratch, static_cast<std::size_t>(std::min<std::uint64_t>(skip_, sizeof scratch)));
    if (r == 0) return {Status::fatal, {}, "failed to fill whole buffer"};
    if (r < 0) return {Status::fatal, {}, nivern_support::last_os_error()};
    skip_ -= static_cast<std::uint64_t>(r);
  }
  unsigned char len[4];
  std::size_t got = 0;
  while (got < 4) {
    long r = fill(reinterpret_cast<char*>(len) + got, 4 - got);
    if (r == 0) return {Status::end, {}, {}};
    if (r < 0) return {Status::fatal, {}, nivern_support::last_os_error()};
    got += static_cast<std::size_t>(r);
  }
  std::uint64_t n = (std::uint64_t{len[0]} << 24) | (std::uint64_t{len[1]} << 16) |
                    (std::uint64_t{len[2]} << 8) | len[3];
  if (n > MAX_FRAME) {
    skip_ = n;
    return {Status::oversized, {}, {}, n};
  }
  Result out{Status::frame, std::string(n, '\0'), {}};
  got = 0;
  while (got < n) {
    long r = fill(out.body.data() + got, n - got);
    if (r == 0) return {Status::fatal, {}, "failed to fill whole buffer"};
    if (r < 0) return {Status::fatal, {}, nivern_support::last_os_error()};
    got += static_cast<std::size_t>(r);
  }
  return out;
}

std::expected<void, std::string> write_frame(int fd, std::string_view body) {
  if (body.size() > MAX_FRAME) return std::unexpected(over_limit_message(body.size()));
  auto n = static_cast<std::uint32_t>(body.size());
  unsigned char len[4] = {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                          static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
  iovec iov[2] = {{len, 4}, {const_cast<char*>(body.data()), body.size()}};
  int count = 2;
  iovec* v = iov;
  while (count > 0) {
    ssize_t r = ::writev(fd, v, count);
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(nivern_support::last_os_error());
    }
    if (r == 0) return std::unexpected(std::string("failed to write whole buffer"));
    auto left = static_cast<std::size_t>(r);
    while (count > 0 && left >= v->iov_len) {
      left -= v->iov_len;
      ++v;
      --count;
    }
    if (count > 0) {
      v->iov_base = static_cast<char*>(v->iov_base) + left;
      v->iov_len -= left;
    }
  }
  return {};
}

}  // namespace nivern_server
