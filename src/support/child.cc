#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

namespace nivern_support {

namespace {

// Our end of the pipe to the orphan guard; -1 when no guard runs. Set before any thread.
std::atomic<int> guard_fd{-1};

// One record to the guard: a group id, negative when the group is forgotten. A record
// is one write of 4 bytes, which a pipe never splits or interleaves with another.
void tell_guard(std::int32_t record) {
  int fd = guard_fd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  ssize_t n;
  do {
    n = ::write(fd, &record, sizeof record);
  } while (n < 0 && errno == EINTR);
}

// The guard's whole life: learns groups until the server's end of the pipe closes, which
// happens only when every process that held it is gone, then kills what is left.
[[noreturn]] void guard_main(int read_fd, int write_fd) {
  ::close(write_fd);
  // A group of its own: signals the editor sends to the server's group do not reach it.
  (void)::setpgid(0, 0);
  (void)::prctl(PR_SET_NAME, GUARD_NAME, 0, 0, 0);
  if (read_fd != 3) {
    if (::dup2(read_fd, 3) < 0) ::_exit(1);
    ::close(read_fd);
  }
  // Nothing of the server's stays open here: its standard descriptors (the editor's
  // pipes) must end when the server ends.
  (void)::syscall(SYS_close_range, 4U, ~0U, 0U);
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) (void)::dup2(null, fd);
  if (null > 2) ::close(null);
  std::vector<std::int32_t> groups;
  std::int32_t record = 0;
  std::size_t have = 0;
  for (;;) {
    ssize_t n = ::read(3, reinterpret_cast<char*>(&record) + have, sizeof record - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
    if (have < sizeof record) continue;
    have = 0;
    if (record > 0) {
      groups.push_back(record);
    } else if (auto at = std::find(groups.begin(), groups.end(), -record); at != groups.end()) {
      groups.erase(at);
    }
  }
  for (std::int32_t group : groups) (void)::kill(-group, SIGKILL);
  ::_exit(0);
}

ExitStatus decode_status(int st) {
  if (WIFSIGNALED(st)) return {ExitStatus::Kind::signaled, WTERMSIG(st)};
  return {ExitStatus::Kind::exited, WEXITSTATUS(st)};
}

}  // namespace

int start_orphan_guard() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  pid_t pid = ::fork();
  if (pid < 0) {
    int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return e;
  }
  if (pid == 0) guard_main(fds[0], fds[1]);
  ::close(fds[0]);
  guard_fd.store(fds[1], std::memory_order_relaxed);
  return 0;
}

Child::Child(pid_t pid, bool own_group) : pid_(pid), own_group_(own_group) {
  if (own_group_) tell_guard(pid_);
}

Child::~Child() {
  if (own_group_) tell_guard(-pid_);
}

int Child::signal(int sig) {
  MutexLock lock(mu_);
  if (status_) return ESRCH;
  return ::kill(pid_, sig) == 0 ? 0 : errno;
}

int Child::signal_group(int sig) {
  if (!own_group_) return signal(sig);
  // The group id stays ours while any member lives, the reaped leader included.
  return ::kill(-pid_, sig) == 0 ? 0 : errno;
}

std::optional<ExitStatus> Child::try_wait() {
  MutexLock lock(mu_);
  if (status_) return status_;
  int st = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &st, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return std::nullopt;
  // ECHILD: someone else took the status (it cannot be ours to take any more); the
  // child has ended all the same, with a status nobody knows.
  status_ = got == pid_ ? decode_status(st) : ExitStatus{ExitStatus::Kind::exited, -1};
  return status_;
}

std::optional<ExitStatus> Child::wait_until(Clock::time_point deadline) {
  UniqueFd watch;
  for (;;) {
    if (auto status = try_wait()) return status;
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    int ms = -1;
    if (deadline != Clock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
      ms = static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
    }
    if (!watch) watch = exit_watch();
    if (watch) {
      pollfd fd{watch.get(), POLLIN, 0};
      (void)::poll(&fd, 1, ms);
    } else {
      // No pidfd from the system: look again every few milliseconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(ms < 0 ? 5 : std::min(ms, 5)));
    }
  }
}

ExitStatus Child::wait() {
  for (;;) {
    if (auto status = wait_until(Clock::time_point::max())) return *status;
  }
}

UniqueFd Child::exit_watch() {
  MutexLock lock(mu_);
  if (status_) {
    errno = ESRCH;
    return UniqueFd();
  }
  // Called directly: the C library's declaration is not usable from C++ everywhere.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));  // close-on-exec
}

}  // namespace nivern_support
