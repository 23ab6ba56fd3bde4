// The executable's entry: process set-up, the command line, one session.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/message.h"
#include "server/server.h"
#include "server/session.h"
#include "support/thread_name.h"

namespace {

void write_all(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

[[noreturn]] void abort_with(std::string_view report) {
  write_all(2, report);
  std::abort();
}

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned c = *p;
    int n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (n == 0 || end - p < n) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (int i = 1; i < n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    p += n;
  }
  return true;
}

// Standard descriptors that are closed are reopened on /dev/null, so that nothing the
// session opens can land on them; SIGPIPE is ignored so a closed output is an error.
void set_up_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int got = ::open("/dev/null", O_RDWR);
      if (got != fd) abort_with("nivern-server: cannot reopen a standard descriptor on /dev/null\n");
    }
  }
  signal(SIGPIPE, SIG_IGN);
  nivern_support::name_this_thread("main");
}

}  // namespace

int main(int argc, char** argv) {
  set_up_process();
  constexpr std::string_view usage = "usage: nivern-server <root>\n";
  if (argc < 1 || argv[0] == nullptr) {
    write_all(2, usage);
    return 2;
  }
  if (!valid_utf8(argv[0])) abort_with("nivern-server: the program name is not valid UTF-8\n");
  if (argc < 2) {
    write_all(2, usage);
    return 2;
  }
  std::string_view first = argv[1];
  if (!valid_utf8(first)) abort_with("nivern-server: the first argument is not valid UTF-8\n");
  if (first == "--version") {
    std::string line = std::string("nivern-server ") + nivern_server::PROGRAM_VERSION + " protocol " +
                       std::to_string(nivern_protocol::message::PROTOCOL_VERSION) + "\n";
    std::string_view rest = line;
    while (!rest.empty()) {
      ssize_t n = ::write(1, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) abort_with("nivern-server: cannot write the version line\n");
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  }
  auto result = nivern_server::serve_over(first, 0, 1);
  if (!result) {
    write_all(2, "nivern-server: " + result.error() + "\n");
    std::_Exit(1);  // a detached writer may still be running: leave at once
  }
  return 0;
}
