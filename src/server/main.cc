// The executable's entry: process set-up, the command line, one session.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
#include "support/child.h"
#include "support/small_file.h"
#include "support/thread_name.h"
#include "support/write_all.h"
#include "text/byte_decoders.h"

namespace {

using nivern_support::write_all;

[[noreturn]] void abort_with(std::string_view report) {
  (void)write_all(2, report);
  std::abort();
}

// Standard descriptors that are closed are reopened on /dev/null, so that nothing the
// session opens can land on them; SIGPIPE is ignored so a closed output is an error.
// SIGCHLD is set back to its default action, whatever the parent left: ignored, the
// system would reap our children itself, and a child's status would be lost.
void set_up_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int got = ::open("/dev/null", O_RDWR);
      if (got != fd) abort_with("nivern-server: cannot reopen a standard descriptor on /dev/null\n");
    }
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  nivern_support::name_this_thread("main");
}

// Standard input and output that are pipes are enlarged to the system's largest pipe
// size: a large reply (or `save` request) then moves in a few big writes instead of
// one cross-thread wake-up per 64 KiB. A refusal leaves the pipe as it was.
void enlarge_pipes() {
  auto max = nivern_support::read_small_file("/proc/sys/fs/pipe-max-size", 64);
  if (!max) return;
  const long size = std::strtol(max->c_str(), nullptr, 10);
  if (size <= 0) return;
  for (int fd : {0, 1}) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size));
  }
}

}  // namespace

int main(int argc, char** argv) {
  set_up_process();
  constexpr std::string_view usage = "usage: nivern-server <root>\n";
  if (argc < 1 || argv[0] == nullptr) {
    (void)write_all(2, usage);
    return 2;
  }
  if (!nivern_text::is_valid_utf8(argv[0])) abort_with("nivern-server: the program name is not valid UTF-8\n");
  if (argc < 2) {
    (void)write_all(2, usage);
    return 2;
  }
  std::string_view first = argv[1];
  if (!nivern_text::is_valid_utf8(first)) abort_with("nivern-server: the first argument is not valid UTF-8\n");
  if (first == "--version") {
    std::string line = std::string("nivern-server ") + nivern_server::PROGRAM_VERSION + " protocol " +
                       std::to_string(nivern_protocol::message::PROTOCOL_VERSION) + "\n";
    if (!write_all(1, line)) abort_with("nivern-server: cannot write the version line\n");
    return 0;
  }
  enlarge_pipes();
  // Before any thread: the guard is forked from this one. Without it the session goes
  // on; only a killed server could then leave children behind.
  (void)nivern_support::start_orphan_guard();
  auto result = nivern_server::serve_over(first, 0, 1);
  if (!result) {
    (void)write_all(2, "nivern-server: " + result.error() + "\n");
    std::_Exit(1);  // a detached writer may still be running: leave at once
  }
  return 0;
}
