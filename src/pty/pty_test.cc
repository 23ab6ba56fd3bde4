#include "pty/pty.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "harness/temp_tree.h"
#include "support/os_error.h"

namespace nivern_pty {
namespace {

using Clock = std::chrono::steady_clock;
using nivern_support::Wake;

/// A shell with its wake-ups, and what it has printed so far.
struct Session {
  explicit Session(const std::string& program, const std::string& cwd = "/") {
    auto [tx, rx] = nivern_support::make_channel<Wake>();
    wakes = std::move(rx);
    auto spawned =
        Pty::spawn(program, cwd, 24, 80, [tx = std::move(tx)]() mutable { (void)tx.send(Wake{}); });
    if (spawned) {
      pty = std::move(*spawned);
    } else {
      error = spawned.error();
    }
  }

  // Drains until `done` holds or 20 s pass; false on the deadline.
  template <class F>
  bool until(F done) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
      seen += pty->drain();
      if (done()) return true;
      std::optional<Wake> w;
      if (wakes.recv_until(w, deadline) == nivern_support::Receiver<Wake>::Wait::timeout) return false;
    }
  }
  bool printed(const std::string& needle) {
    return until([&] { return seen.find(needle) != std::string::npos; });
  }

  nivern_support::Receiver<Wake> wakes;
  std::unique_ptr<Pty> pty;
  std::optional<SpawnError> error;
  std::string seen;
};

TEST(Pty, RunsInTheDirectoryEchoesInputAndEndsWithTheShell) {
  nivern_test::TempTree tree;
  Session s("/bin/sh", tree.path());
  ASSERT_TRUE(s.pty) << s.error->text;
  ASSERT_TRUE(s.pty->write("echo \"[$((6 * 7))]\"; pwd\n"));
  EXPECT_TRUE(s.printed("[42]\r\n" + tree.path() + "\r\n")) << s.seen;
  EXPECT_FALSE(s.pty->exited());
  ASSERT_TRUE(s.pty->write("exit\n"));
  EXPECT_TRUE(s.until([&] { return s.pty->exited(); })) << s.seen;
}

TEST(Pty, StartErrorsSayWhatFailed) {
  Session missing("/nonexistent/shell");
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->kind, SpawnError::Kind::shell);
  EXPECT_EQ(missing.error->text, "cannot run /nonexistent/shell: " + nivern_support::os_error_text(ENOENT));
  Session empty("");
  ASSERT_TRUE(empty.error);
  EXPECT_EQ(empty.error->text, "no program to run: the shell path is empty");
}

TEST(Pty, InputForAShellThatDoesNotReadIsBounded) {
  nivern_test::TempTree tree;
  const std::string script = tree.file("idle", "#!/bin/sh\necho sleeping; exec sleep 60\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  Session s(script);
  ASSERT_TRUE(s.pty) << s.error->text;
  ASSERT_TRUE(s.printed("sleeping"));
  std::string paste;
  while (paste.size() < (1 << 20)) paste += "a line the shell never reads\n";
  paste.resize(1 << 20);
  // Taken up to the limit (what the terminal holds aside), then refused.
  int accepted = 0;
  while (accepted < 20 && s.pty->write(paste)) ++accepted;
  EXPECT_GE(accepted, 8);
  EXPECT_LE(accepted, 9);
  // The release ends the shell and its threads although its input is still queued.
}

}  // namespace
}  // namespace nivern_pty
