#include "pty/terminal.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "support/os_error.h"
#include "support/paths.h"
#include "support/spawn.h"

extern char** environ;

namespace nivern_pty {

using nivern_support::os_error_text;
using nivern_support::UniqueFd;

std::expected<TerminalPair, std::string> open_terminal(PtySize size) {
  UniqueFd main(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!main) return std::unexpected(nivern_support::last_os_error());
  if (::grantpt(main.get()) != 0 || ::unlockpt(main.get()) != 0) {
    return std::unexpected(nivern_support::last_os_error());
  }
  char name[128];
  if (int e = ::ptsname_r(main.get(), name, sizeof name)) return std::unexpected(os_error_text(e));
  if (!resize(main.get(), size)) return std::unexpected(nivern_support::last_os_error());
  int flags = ::fcntl(main.get(), F_GETFL);
  if (flags < 0 || ::fcntl(main.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return std::unexpected(nivern_support::last_os_error());
  }
  return TerminalPair{std::move(main), name};
}

bool resize(int main_fd, PtySize size) {
  winsize ws{};
  ws.ws_row = size.rows;
  ws.ws_col = size.cols;
  ws.ws_xpixel = size.pixel_width;
  ws.ws_ypixel = size.pixel_height;
  return ::ioctl(main_fd, TIOCSWINSZ, &ws) == 0;
}

int eof_character(int main_fd) {
  termios t{};
  if (::tcgetattr(main_fd, &t) != 0) return -1;
  cc_t c = t.c_cc[VEOF];
  if (c == _POSIX_VDISABLE) return -1;
  return c;
}

bool Child::running() {
  if (pid_ < 0) return false;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return true;
  pid_ = -1;  // reaped, or the poll failed: either way it is not ours to signal any more
  return false;
}

void Child::hang_up() {
  if (pid_ < 0 || hung_up_ || hang_up_failed_) return;
  if (::kill(pid_, SIGHUP) != 0) {
    hang_up_failed_ = true;
    return;
  }
  hung_up_ = std::chrono::steady_clock::now();
}

void Child::terminate() {
  hang_up();
  if (pid_ < 0 || !hung_up_) return;
  constexpr std::chrono::milliseconds STEP{50};
  const auto last_check = *hung_up_ + 4 * STEP;
  for (auto next = *hung_up_;; next += STEP) {
    auto now = std::chrono::steady_clock::now();
    if (next > now) {
      std::this_thread::sleep_until(next);
      now = next;
    }
    if (!running()) return;
    if (now >= last_check) break;
    while (next + STEP <= now) next += STEP;  // checks missed while busy elsewhere collapse into one
  }
  ::kill(pid_, SIGKILL);
}

void Child::wait() {
  if (pid_ < 0) return;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

namespace {

// The user database entry of this user, or null.
struct UserEntry {
  passwd pw{};
  std::vector<char> buf = std::vector<char>(16384);
  passwd* found = nullptr;
  UserEntry() { ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found); }
};

std::string home_directory() {
  if (const char* home = ::getenv("HOME"); home && *home) return home;
  UserEntry user;
  if (user.found && user.found->pw_dir) return user.found->pw_dir;
  return "/";
}

// Our environment with SHELL filled in when missing, then TERM and COLORTERM.
std::vector<std::string> shell_environment() {
  std::vector<std::string> env;
  bool has_shell = false;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("TERM=") || entry.starts_with("COLORTERM=")) continue;
    if (entry.starts_with("SHELL=")) has_shell = true;
    env.emplace_back(entry);
  }
  if (!has_shell) {
    UserEntry user;
    const char* login =
        user.found && user.found->pw_shell && *user.found->pw_shell ? user.found->pw_shell : "/bin/sh";
    env.push_back(std::string("SHELL=") + login);
  }
  env.emplace_back("TERM=xterm-256color");
  env.emplace_back("COLORTERM=truecolor");
  return env;
}

}  // namespace

std::expected<Child, std::string> start_on(const std::string& subordinate, std::string_view program_view,
                                           std::string_view cwd_view) {
  std::string program(program_view);
  if (program.empty()) return std::unexpected("no program to run: the shell path is empty");
  std::string cwd(cwd_view);
  if (program.find('\0') != std::string::npos || cwd.find('\0') != std::string::npos) {
    return std::unexpected("cannot run " + program + ": nul byte found in provided data");
  }
  if (!nivern_support::is_directory(cwd)) cwd = home_directory();

  // The child is a session leader by now, so opening the terminal without O_NOCTTY
  // makes it the controlling terminal.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  nivern_support::Spawn spawn;
  spawn.new_session().open(0, subordinate.c_str(), O_RDWR).dup2(0, 1).dup2(0, 2).chdir(cwd.c_str());
  spawn.signals(none, all);
  std::vector<std::string> env = shell_environment();
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  char* argv[] = {program.data(), nullptr};
  auto pid = spawn.start(program.c_str(), argv, envp.data(), /*search_path=*/true);
  if (!pid) return std::unexpected("cannot run " + program + ": " + os_error_text(pid.error()));
  return Child(*pid);
}

}  // namespace nivern_pty
