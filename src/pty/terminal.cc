#include "pty/terminal.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/os_error.h"
#include "support/paths.h"
#include "support/process.h"
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

void close_main(int main_fd) {
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null) (void)::dup3(null.get(), main_fd, O_CLOEXEC);
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

std::expected<std::shared_ptr<nivern_support::Child>, std::string> start_on(const std::string& subordinate,
                                                                            std::string_view program_view,
                                                                            std::string_view cwd_view) {
  std::string program(program_view);
  if (program.empty()) return std::unexpected("no program to run: the shell path is empty");
  std::string cwd(cwd_view);
  if (program.find('\0') != std::string::npos || cwd.find('\0') != std::string::npos) {
    return std::unexpected("cannot run " + program + ": nul byte found in provided data");
  }
  if (!nivern_support::is_directory(cwd)) cwd = home_directory();
  // Found here, before the child changes directory: the project's own files never run.
  auto path = nivern_support::resolve_program(program, /*search_path=*/true);
  if (!path) return std::unexpected("cannot run " + program + ": " + path.error().text());

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
  auto pid = spawn.start(path->c_str(), argv, envp.data());
  if (!pid) return std::unexpected("cannot run " + program + ": " + os_error_text(pid.error()));
  return std::make_shared<nivern_support::Child>(*pid, /*own_group=*/true);
}

}  // namespace nivern_pty
