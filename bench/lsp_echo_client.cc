// Whole-process benchmark of the language-server relay: 100 MB echoed by a server that
// execs `cat`, sent as `lsp_input` requests of 64 KiB and read back from `lsp_output`
// events, against the same bytes echoed by `cat` through plain pipes. In both, one
// thread writes the input while the main thread reads the echo and compares every byte
// with what was sent; rounds are interleaved in one run. Towards the server the writer,
// like an editor, keeps no more than `WINDOW` bytes unanswered by the echo, which keeps
// the server's input queue under its limit.
//
// Usage: lsp_echo_client [megabytes] [rounds]
// Prints each round, the medians in MB/s, and the ratio relay / pipes (target: >= 0.6).
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "harness/frame_client.h"
#include "harness/temp_tree.h"
#include "protocol/message.h"
#include "support/write_all.h"

namespace {

namespace msg = nivern_protocol::message;
using nivern_bench::Clock;
using nivern_bench::ms_since;

constexpr std::size_t CHUNK = 64 * 1024;
constexpr std::size_t WINDOW = 4 << 20;

std::string payload(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 7;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

void write_all(int fd, std::string_view bytes) {
  if (!nivern_support::write_all(fd, bytes)) std::abort();
}

// Milliseconds for the echo of `data` through `cat` on plain pipes.
double through_pipes(const std::string& data) {
  nivern_bench::Child c = nivern_bench::spawn({"cat"}, true, true);
  if (c.pid < 0) std::abort();
  auto t0 = Clock::now();
  std::thread writer([&] {
    for (std::size_t at = 0; at < data.size(); at += CHUNK)
      write_all(c.in, std::string_view(data).substr(at, CHUNK));
    ::close(c.in);
  });
  std::vector<char> buf(CHUNK);
  std::size_t got = 0;
  for (;;) {
    ssize_t n = ::read(c.out, buf.data(), buf.size());
    if (n <= 0) break;
    if (got + n > data.size() || std::memcmp(buf.data(), data.data() + got, n) != 0) std::abort();
    got += static_cast<std::size_t>(n);
  }
  double ms = ms_since(t0);
  writer.join();
  ::close(c.out);
  nivern_bench::wait_exit(c.pid);
  if (got != data.size()) std::abort();
  return ms;
}

// Frames read from a descriptor into one buffer and handed out in place.
class Frames {
 public:
  explicit Frames(int fd) : fd_(fd), buf_(4 << 20) {}
  // The next frame's body; empty at the end of output.
  std::string_view next() {
    for (;;) {
      if (tail_ - head_ >= 4) {
        auto* b = reinterpret_cast<const unsigned char*>(buf_.data() + head_);
        std::size_t n =
            (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
        if (tail_ - head_ >= 4 + n) {
          std::string_view body(buf_.data() + head_ + 4, n);
          head_ += 4 + n;
          return body;
        }
        if (4 + n > buf_.size()) buf_.resize(4 + n);
      }
      if (head_ > 0) {
        std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
      }
      ssize_t got = ::read(fd_, buf_.data() + tail_, buf_.size() - tail_);
      if (got <= 0) return {};
      tail_ += static_cast<std::size_t>(got);
    }
  }

 private:
  int fd_;
  std::vector<char> buf_;
  std::size_t head_ = 0, tail_ = 0;
};

// Milliseconds for the echo of `data` through a language server of the built binary.
double through_relay(const std::string& data) {
  nivern_bench::Child c = nivern_bench::spawn({nivern_test::server_binary(), "/tmp"}, true, true);
  if (c.pid < 0) std::abort();
  Frames in(c.out);
  write_all(c.in, nivern_test::frame(R"({"id":0,"call":["hello",5]})"));
  write_all(c.in, nivern_test::frame(R"({"id":1,"call":["lsp_open","/tmp","typescript"]})"));
  if (in.next().find("hello") == std::string_view::npos) std::abort();
  if (in.next().find("lsp_opened") == std::string_view::npos) std::abort();
  std::vector<std::string> frames;
  for (std::size_t at = 0, id = 2; at < data.size(); at += CHUNK, ++id)
    frames.push_back(nivern_test::frame("{\"id\":" + std::to_string(id) + R"(,"call":["lsp_input",1,")" +
                                        msg::encode_bytes(std::string_view(data).substr(at, CHUNK)) +
                                        "\"]}"));
  std::atomic<std::size_t> echoed{0};
  auto t0 = Clock::now();
  std::thread writer([&] {
    std::size_t sent = 0;
    for (const std::string& f : frames) {
      for (std::size_t seen = echoed.load(); sent + CHUNK > seen + WINDOW; seen = echoed.load()) {
        echoed.wait(seen);
      }
      write_all(c.in, f);
      sent += CHUNK;
    }
  });
  static const std::string_view tag = R"({"id":1,"reply":{"reply":"lsp_output","bytes":")";
  std::size_t got = 0;
  while (got < data.size()) {
    std::string_view frame = in.next();
    if (frame.empty()) std::abort();
    if (!frame.starts_with(tag)) continue;  // the `done` of an input
    auto bytes = msg::decode_bytes(frame.substr(tag.size(), frame.size() - tag.size() - 3));
    if (!bytes || got + bytes->size() > data.size() ||
        std::memcmp(bytes->data(), data.data() + got, bytes->size()) != 0)
      std::abort();
    got += bytes->size();
    echoed.store(got);
    echoed.notify_one();
  }
  double ms = ms_since(t0);
  writer.join();
  ::close(c.in);
  while (!in.next().empty()) {
  }
  ::close(c.out);
  if (nivern_bench::wait_exit(c.pid) != 0) std::abort();
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  nivern_test::TempTree dir("nivern-lsp-bench");
  std::string server =
      dir.file("bin/typescript-language-server", "#!/bin/sh\n[ \"$1\" = --version ] && exit 0\nexec cat\n");
  ::chmod(server.c_str(), 0755);
  std::string data = payload(mb * 1000 * 1000);
  // The server finds the fake language server first on its PATH.
  std::string path = dir / "bin";
  if (const char* old = std::getenv("PATH")) path += std::string(":") + old;
  ::setenv("PATH", path.c_str(), 1);
  std::vector<double> pipes, relay;
  for (int r = 0; r < rounds; ++r) {
    pipes.push_back(through_pipes(data));
    relay.push_back(through_relay(data));
    std::printf("round %d: pipes %.0f ms, relay %.0f ms\n", r + 1, pipes.back(), relay.back());
  }
  double p = nivern_bench::median(pipes), l = nivern_bench::median(relay);
  std::printf("pipes_mb_per_s %.0f relay_mb_per_s %.0f ratio %.2f (byte-identical, %zu MB)\n", mb * 1000 / p,
              mb * 1000 / l, p / l, mb);
  return 0;
}
