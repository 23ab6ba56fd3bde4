// Whole-process benchmark of shells on pseudo-terminals, against a bare terminal read by
// a plain C++ loop, in the same run:
//  - throughput: `cat FILE` inside /bin/sh, every byte to the editor's pipe as
//    `pty_output` events, against the same command on a bare terminal (target: the
//    server reaches at least 60 % of the bare loop's rate);
//  - keystroke echo: one byte of `pty_input` to the `pty_output` carrying its echo,
//    against writing the byte to a bare terminal and reading the echo (target: median
//    under 1 ms through the server).
//
// Usage: pty_client FILE [rounds] [keys]
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>


#include "bench_util.h"
#include "harness/frame_client.h"
#include "protocol/message.h"
#include "pty/terminal.h"

namespace {

using nivern_bench::Clock;
using nivern_bench::median;
using nivern_bench::ms_since;

// A bare terminal running /bin/sh, read by a plain loop.
struct Bare {
  nivern_pty::TerminalPair pair;
  Bare() {
    auto p = nivern_pty::open_terminal({24, 80, 0, 0});
    if (!p) std::abort();
    pair = std::move(*p);
    auto child = nivern_pty::start_on(pair.subordinate, "/bin/sh", "/tmp");
    if (!child) std::abort();
    child_ = std::move(*child);
    until("$ ");
  }
  ~Bare() {
    (void)child_->signal_group(SIGKILL);
    (void)child_->wait();
  }
  void type(std::string_view s) {
    while (!s.empty()) {
      ssize_t n = ::write(pair.main.get(), s.data(), s.size());
      if (n > 0) s.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Reads until `needle` has arrived.
  void until(const std::string& needle) {
    std::string tail;
    std::vector<char> buf(1 << 16);
    for (;;) {
      ssize_t n = ::read(pair.main.get(), buf.data(), buf.size());
      if (n > 0) {
        tail.append(buf.data(), static_cast<std::size_t>(n));
        if (tail.find(needle) != std::string::npos) return;
        if (tail.size() > needle.size()) tail.erase(0, tail.size() - needle.size());
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{pair.main.get(), POLLIN, 0};
        ::poll(&p, 1, -1);
      } else if (!(n < 0 && errno == EINTR)) {
        std::abort();
      }
    }
  }
  std::shared_ptr<nivern_support::Child> child_;
};

// A session with one /bin/sh under id 1.
struct Served {
  nivern_test::ServerProcess p{{"/tmp"}, {"SHELL=/bin/sh"}};
  std::uint64_t next_id = 100;
  Served() {
    p.hello();
    p.send(R"({"id":1,"call":{"call":"pty_open","path":"/tmp","rows":24,"cols":80}})");
    until("$ ");
  }
  void type(std::string_view s) {
    p.send("{\"id\":" + std::to_string(++next_id) + R"(,"call":{"call":"pty_input","pty":1,"bytes":")" +
           nivern_protocol::message::encode_bytes(s) + "\"}}");
  }
  // Reads events until output holding `needle` has arrived. Only the end of each event
  // is decoded: the needle is looked for across event boundaries.
  void until(const std::string& needle) {
    std::string tail;
    static const std::string key = R"("reply":{"reply":"pty_output","bytes":")";
    while (auto f = p.read_frame()) {
      auto at = f->find(key);
      if (at == std::string::npos) continue;
      at += key.size();
      std::size_t len = f->size() - at - 3;  // the text, before `"}}`
      std::size_t keep = std::min(len, (needle.size() / 3 + 2) * 4);
      auto bytes = nivern_protocol::message::decode_bytes(std::string_view(*f).substr(at + len - keep, keep));
      if (!bytes) std::abort();
      tail += *bytes;
      if (tail.find(needle) != std::string::npos) return;
      if (tail.size() > needle.size()) tail.erase(0, tail.size() - needle.size());
    }
    std::abort();
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pty_client FILE [rounds] [keys]\n");
    return 2;
  }
  ::setenv("PS1", "$ ", 1);  // the prompt both shells print, also for root
  std::string file = argv[1];
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  int keys = argc > 3 ? std::atoi(argv[3]) : 1000;
  // The mark is in the output only once cat has ended (its echo reads "$((1+1))").
  std::string command = "cat " + file + "; echo cat-end-$((1+1))\n";
  double size_mb = 0;
  {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return 1;
    size_mb = static_cast<double>(st.st_size) / 1e6;
  }

  std::vector<double> bare_ms, served_ms;
  for (int r = 0; r < rounds; ++r) {
    {
      Bare b;
      auto t0 = Clock::now();
      b.type(command);
      b.until("cat-end-2\r\n");
      bare_ms.push_back(ms_since(t0));
    }
    {
      Served s;
      auto t0 = Clock::now();
      s.type(command);
      s.until("cat-end-2\r\n");
      served_ms.push_back(ms_since(t0));
    }
    std::printf("round %d bare_ms %.1f served_ms %.1f\n", r, bare_ms.back(), served_ms.back());
  }
  double bare = median(bare_ms), served = median(served_ms);
  std::printf("throughput_mb_per_s bare %.0f served %.0f ratio %.2f (target >= 0.60)\n", size_mb / bare * 1e3,
              size_mb / served * 1e3, bare / served);

  std::vector<double> bare_echo, served_echo;
  {
    Bare b;
    Served s;
    for (int k = 0; k < keys; ++k) {
      const bool erase = k % 2 == 1;  // type a letter, then rub it out
      std::string key = erase ? "\x7f" : "a";
      std::string echo = erase ? "\b \b" : "a";
      auto t0 = Clock::now();
      b.type(key);
      b.until(echo);
      bare_echo.push_back(ms_since(t0));
      t0 = Clock::now();
      s.type(key);
      s.until(echo);
      served_echo.push_back(ms_since(t0));
    }
  }
  std::printf("echo_median_ms bare %.3f served %.3f (target served < 1)\n", median(bare_echo),
              median(served_echo));
  return 0;
}
