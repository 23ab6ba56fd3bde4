// Whole-process benchmark of `open`: the round trip of one `open` request through the
// built binary (request written, whole reply frame read) against `cat` of a file that
// holds exactly that frame (process started, every byte read), so both deliver the same
// bytes through a pipe to the same reading loop, interleaved in one run.
//
// Usage: open_client FILE [rounds]
// Prints each round (with the time to the reply's first byte) and the medians, and the
// ratio open / cat (target: at most 1.5).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"
#include "support/write_all.h"

namespace {

using nivern_bench::Child;
using nivern_bench::Clock;
using nivern_bench::median;
using nivern_bench::ms_since;

/// `argv` with its standard output (and input when asked) on pipes; aborts when it
/// cannot start.
Child spawn(std::vector<std::string> argv, bool pipe_stdin) {
  Child c = nivern_bench::spawn(std::move(argv), pipe_stdin, true);
  if (c.pid < 0) std::abort();
  return c;
}

/// Reads exactly `n` bytes (or to the end when `n` is 0) into `buf` from `at`; returns
/// the count.
std::size_t read_into(int fd, std::vector<char>& buf, std::size_t n, std::size_t at = 0) {
  std::size_t got = 0;
  while (n == 0 || got < n) {
    if (at + got == buf.size()) buf.resize(buf.size() * 2);
    std::size_t want = buf.size() - at - got;
    if (n != 0) want = std::min(want, n - got);
    ssize_t r = ::read(fd, buf.data() + at + got, want);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

void write_all(int fd, const char* p, std::size_t n) {
  if (!nivern_support::write_all(fd, std::string_view(p, n))) std::abort();
}

/// Reads one frame (length and body) into `buf`; its whole size, 0 when the server ended.
std::size_t read_frame(int fd, std::vector<char>& buf) {
  if (read_into(fd, buf, 4) != 4) return 0;
  std::size_t len = (std::size_t(static_cast<unsigned char>(buf[0])) << 24) |
                    (std::size_t(static_cast<unsigned char>(buf[1])) << 16) |
                    (std::size_t(static_cast<unsigned char>(buf[2])) << 8) | static_cast<unsigned char>(buf[3]);
  return 4 + read_into(fd, buf, len, 4);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: open_client FILE [rounds]\n");
    return 2;
  }
  const std::string file = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  std::vector<char> buf(128 << 20);

  Child server = spawn({nivern_test::server_binary(), "/tmp"}, true);
  const std::string hello = nivern_test::frame(R"({"id":0,"call":{"call":"hello","version":5}})");
  write_all(server.in, hello.data(), hello.size());
  if (read_frame(server.out, buf) == 0) return 1;

  auto open_request = [&](int id) {
    return nivern_test::frame(R"({"id":)" + std::to_string(id) + R"(,"call":{"call":"open","path":)" +
                              nivern_test::json_string(file) + "}}");
  };
  // A first open, unmeasured: its frame becomes the file that cat delivers.
  const std::string first = open_request(1);
  write_all(server.in, first.data(), first.size());
  const std::size_t frame_bytes = read_frame(server.out, buf);
  if (frame_bytes == 0) {
    std::fprintf(stderr, "the server ended\n");
    return 1;
  }
  char same[] = "/tmp/nivern-open-frame-XXXXXX";
  int same_fd = ::mkstemp(same);
  if (same_fd < 0) std::abort();
  write_all(same_fd, buf.data(), frame_bytes);
  ::close(same_fd);

  std::vector<double> open_ms, cat_ms, first_ms;
  std::size_t reply_bytes = 0, cat_bytes = 0;
  for (int r = 0; r < rounds; ++r) {
    // cat FRAME-FILE | (this process)
    auto t0 = Clock::now();
    Child cat = spawn({"cat", same}, false);
    cat_bytes = read_into(cat.out, buf, 0);
    ::close(cat.out);
    nivern_bench::wait_exit(cat.pid);
    cat_ms.push_back(ms_since(t0));

    // open FILE through the server
    const std::string req = open_request(1);
    t0 = Clock::now();
    write_all(server.in, req.data(), req.size());
    if (read_into(server.out, buf, 4) != 4) {
      std::fprintf(stderr, "the server ended\n");
      return 1;
    }
    first_ms.push_back(ms_since(t0));
    std::size_t len = (std::size_t(static_cast<unsigned char>(buf[0])) << 24) |
                      (std::size_t(static_cast<unsigned char>(buf[1])) << 16) |
                      (std::size_t(static_cast<unsigned char>(buf[2])) << 8) | static_cast<unsigned char>(buf[3]);
    reply_bytes = 4 + read_into(server.out, buf, len, 4);
    open_ms.push_back(ms_since(t0));
    std::printf("round %d: open %.1f ms (first byte %.1f ms, %zu bytes), cat %.1f ms (%zu bytes)\n", r + 1,
                open_ms.back(), first_ms.back(), reply_bytes, cat_ms.back(), cat_bytes);
  }
  ::unlink(same);
  ::close(server.in);
  nivern_bench::wait_exit(server.pid);
  const double o = median(open_ms), c = median(cat_ms);
  std::printf("median open %.1f ms (first byte %.1f ms), cat %.1f ms, ratio %.2f (target <= 1.5)\n", o,
              median(first_ms), c, o / c);
  return 0;
}
