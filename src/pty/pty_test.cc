#include "pty/pty.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_pty {
namespace {

using namespace std::chrono_literals;
using nivern_test::ScopedEnv;

TEST(Shell, FromTheEnvironmentWhenUsable) {
  {
    ScopedEnv env("SHELL", nullptr);
    EXPECT_EQ(shell(), "/bin/sh");
  }
  {
    ScopedEnv env("SHELL", "/bin/\xff");
    EXPECT_EQ(shell(), "/bin/sh");
  }
  {
    ScopedEnv env("SHELL", "");
    EXPECT_EQ(shell(), "");
  }
  ScopedEnv env("SHELL", "/usr/bin/zsh");
  EXPECT_EQ(shell(), "/usr/bin/zsh");
}

// Drains `pty` until its output holds `needle` or it has exited; 10 s at most.
std::string drain_until(Pty& pty, std::atomic<int>& wakes, const std::string& needle) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    int seen = wakes.load();
    out += pty.drain();
    if (out.find(needle) != std::string::npos || pty.exited()) return out;
    while (wakes.load() == seen) {
      if (std::chrono::steady_clock::now() > deadline) return out;
      std::this_thread::sleep_for(1ms);
    }
  }
}

TEST(Pty, RunsOnItsOwnControllingTerminal) {
  nivern_test::TempTree tree;
  std::string prog = tree.file("prog", "#!/bin/sh\nread line\nstty size\n: < /dev/tty && echo has-tty\necho \"got $line\"\n");
  ::chmod(prog.c_str(), 0755);
  std::atomic<int> wakes = 0;
  auto pty = Pty::spawn(prog, tree.path(), 0, 65535, [&] { ++wakes; });
  ASSERT_TRUE(pty) << pty.error().text;
  Pty& p = **pty;
  EXPECT_EQ(p.drain(), "");  // nothing written before it has read a line
  EXPECT_FALSE(p.exited());
  p.write("typed\n");
  std::string out = drain_until(p, wakes, "\x01never");
  EXPECT_TRUE(p.exited());
  EXPECT_EQ(out, "typed\r\n1 65535\r\nhas-tty\r\ngot typed\r\n");
  p.write("after the end\n");  // lost without a fault
}

TEST(Pty, ReleaseKillsAShellThatIgnoresTheHangUp) {
  nivern_test::TempTree tree;
  std::string prog = tree.file("prog", "#!/bin/sh\ntrap '' HUP\necho pid=$$\nwhile :; do sleep 1; done\n");
  ::chmod(prog.c_str(), 0755);
  std::atomic<int> wakes = 0;
  auto pty = Pty::spawn(prog, "/", 24, 80, [&] { ++wakes; });
  ASSERT_TRUE(pty);
  std::string out = drain_until(**pty, wakes, "\n");
  ASSERT_TRUE(out.starts_with("pid=")) << out;
  pid_t pid = std::stoi(out.substr(4));
  pty->reset();
  EXPECT_EQ(::kill(pid, 0), -1);  // killed and reaped
}

TEST(Pty, StartFailuresSayWhichKind) {
  auto empty = Pty::spawn("", "/", 24, 80, [] {});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, SpawnError::Kind::shell);
  auto missing = Pty::spawn("/no/such/shell", "/", 24, 80, [] {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, SpawnError::Kind::shell);
  EXPECT_EQ(missing.error().text, "cannot run /no/such/shell: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace nivern_pty
