// Whole-process benchmark of `open`: the round trip of one `open` request through the
// built binary (request written, whole reply frame read) against `cat FILE` through a
// pipe (process started, every byte read), on the same file, interleaved in one run.
// Both outputs are read by the same loop into a buffer allocated beforehand.
//
// Usage: open_client FILE [rounds]
// Prints each round and the medians, and the ratio open / cat (target: at most 3).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"

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

/// Reads exactly `n` bytes (or to the end when `n` is 0) into `buf`; returns the count.
std::size_t read_into(int fd, std::vector<char>& buf, std::size_t n) {
  std::size_t got = 0;
  while (n == 0 || got < n) {
    if (got == buf.size()) buf.resize(buf.size() * 2);
    std::size_t want = buf.size() - got;
    if (n != 0) want = std::min(want, n - got);
    ssize_t r = ::read(fd, buf.data() + got, want);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

void write_all(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    ssize_t w = ::write(fd, s.data() + off, s.size() - off);
    if (w <= 0) std::abort();
    off += static_cast<std::size_t>(w);
  }
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
  write_all(server.in, nivern_test::frame(R"({"id":0,"call":{"call":"hello","version":5}})"));
  std::size_t n = read_into(server.out, buf, 4);
  n = (std::size_t(static_cast<unsigned char>(buf[0])) << 24) | (std::size_t(static_cast<unsigned char>(buf[1])) << 16) |
      (std::size_t(static_cast<unsigned char>(buf[2])) << 8) | static_cast<unsigned char>(buf[3]);
  read_into(server.out, buf, n);

  std::vector<double> open_ms, cat_ms;
  std::size_t reply_bytes = 0, cat_bytes = 0;
  for (int r = 0; r < rounds; ++r) {
    // cat FILE | (this process)
    auto t0 = Clock::now();
    Child cat = spawn({"cat", file}, false);
    cat_bytes = read_into(cat.out, buf, 0);
    ::close(cat.out);
    nivern_bench::wait_exit(cat.pid);
    cat_ms.push_back(ms_since(t0));

    // open FILE through the server
    const std::string req = nivern_test::frame(R"({"id":)" + std::to_string(r + 1) +
                                               R"(,"call":{"call":"open","path":)" + nivern_test::json_string(file) + "}}");
    t0 = Clock::now();
    write_all(server.in, req);
    if (read_into(server.out, buf, 4) != 4) {
      std::fprintf(stderr, "the server ended\n");
      return 1;
    }
    std::size_t len = (std::size_t(static_cast<unsigned char>(buf[0])) << 24) |
                      (std::size_t(static_cast<unsigned char>(buf[1])) << 16) |
                      (std::size_t(static_cast<unsigned char>(buf[2])) << 8) | static_cast<unsigned char>(buf[3]);
    reply_bytes = read_into(server.out, buf, len);
    open_ms.push_back(ms_since(t0));
    std::printf("round %d: open %.1f ms (%zu reply bytes), cat %.1f ms (%zu bytes)\n", r + 1, open_ms.back(),
                reply_bytes, cat_ms.back(), cat_bytes);
  }
  ::close(server.in);
  nivern_bench::wait_exit(server.pid);
  const double o = median(open_ms), c = median(cat_ms);
  std::printf("median open %.1f ms, cat %.1f ms, ratio %.2f\n", o, c, o / c);
  return 0;
}
