#pragma once
/// What the whole-process benchmark clients (bench/*_client.cc) share: wall-clock
/// timing, medians, counting in replies, a process's resident memory, and children
/// started from an argv with optional pipes.
///
/// Single-threaded, like the clients. Header only: every client is one executable.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/spawn.h"

namespace nivern_bench {

using Clock = std::chrono::steady_clock;

/// Milliseconds from `t0` to now.
inline double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

/// The middle value (the upper middle for an even count); `v` must not be empty.
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

/// How often `needle` (not empty) occurs in `hay`, overlapping occurrences included.
inline std::size_t count(const std::string& hay, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

/// Resident memory of a process from /proc, in KiB; -1 where it says nothing.
struct Memory {
  long peak_kib = -1;      // VmHWM
  long resident_kib = -1;  // VmRSS
};

inline Memory memory_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  Memory m;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) m.peak_kib = std::atol(line.c_str() + 6);
    if (line.rfind("VmRSS:", 0) == 0) m.resident_kib = std::atol(line.c_str() + 6);
  }
  return m;
}

/// A started child and our ends of the pipes asked for (-1 where none). Not an owner:
/// the caller closes the descriptors and waits for the child.
struct Child {
  pid_t pid = -1;  // -1 when it could not be started
  int in = -1;     // our end of its standard input
  int out = -1;    // our end of its standard output
};

/// Starts `argv[0]`, looked up on PATH, with `argv`. Standard input and output are
/// pipes when asked for, otherwise this process's own. Aborts when no pipe can be made.
inline Child spawn(std::vector<std::string> argv, bool pipe_stdin, bool pipe_stdout) {
  int to[2] = {-1, -1}, from[2] = {-1, -1};
  if (pipe_stdin && ::pipe2(to, O_CLOEXEC) != 0) std::abort();
  if (pipe_stdout && ::pipe2(from, O_CLOEXEC) != 0) std::abort();
  nivern_support::Spawn spawn;
  if (pipe_stdin) spawn.dup2(to[0], 0);
  if (pipe_stdout) spawn.dup2(from[1], 1);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  Child c;
  c.pid = spawn.start(args[0], args.data(), nullptr, /*search_path=*/true).value_or(-1);
  for (int fd : {to[0], from[1]}) {
    if (fd >= 0) ::close(fd);
  }
  if (c.pid < 0) {
    for (int fd : {to[1], from[0]}) {
      if (fd >= 0) ::close(fd);
    }
    return c;
  }
  c.in = to[1];
  c.out = from[0];
  return c;
}

/// Waits for `pid`; its exit code, or -1 when it did not exit normally.
inline int wait_exit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Runs `argv` to its end with this process's standard streams; its exit code, or -1
/// when it could not start or did not exit normally.
inline int run(std::vector<std::string> argv) {
  const Child c = spawn(std::move(argv), false, false);
  return c.pid < 0 ? -1 : wait_exit(c.pid);
}

}  // namespace nivern_bench
