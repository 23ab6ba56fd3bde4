#include "support/process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <filesystem>
#include <set>
#include <sstream>

#include "harness/scoped_env.h"
#include "harness/temp_tree.h"

namespace nivern_support {
namespace {

using ::testing::HasSubstr;
using nivern_test::ScopedEnv;

Command sh(std::string script) { return Command{.program = "sh", .args = {"-c", std::move(script)}}; }

Finished must_run(const Command& c) {
  auto r = run(c);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().text());
  return r ? std::move(*r) : Finished{};
}

// "1\n2\n...n\n", what `seq 1 n` prints.
std::string seq_text(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += std::to_string(i) + "\n";
  return s;
}

// The hexadecimal mask of one line ("SigIgn:", "SigBlk:") of a /proc status text.
unsigned long long status_mask(const std::string& status, const std::string& key) {
  std::istringstream in(status);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(key)) return std::stoull(line.substr(key.size()), nullptr, 16);
  }
  ADD_FAILURE() << "no " << key << " in " << status;
  return 0;
}

bool mask_has(unsigned long long mask, int sig) { return (mask >> (sig - 1)) & 1; }

TEST(ProcessRun, CapturesBothOutputsApart) {
  Finished f = must_run(sh("printf 'to out'; printf 'to err' >&2"));
  EXPECT_EQ(f.out, "to out");
  EXPECT_EQ(f.err, "to err");
  EXPECT_TRUE(f.status.success());
  EXPECT_EQ(f.input_error, 0);
}

TEST(ProcessRun, MegabytesOnBothStreamsInAnyOrderDoNotDeadlock) {
  // Standard error first, then output, then error again: a reader that drained one
  // stream to its end before the other would wait forever on the full pipe.
  Finished f = must_run(sh("seq 1 400000 >&2; seq 1 400000; seq 1 400000 >&2"));
  std::string expect = seq_text(400000);
  EXPECT_EQ(f.out.size(), expect.size());
  EXPECT_TRUE(f.out == expect);
  EXPECT_EQ(f.err.size(), 2 * expect.size());
  EXPECT_TRUE(f.err == expect + expect);
}

TEST(ProcessRun, OutputPastItsLimitStopsTheChild) {
  // `yes` never ends by itself: only the limit can end this run.
  Command c{.program = "yes", .args = {"y"}};
  c.out_limit = 1'000'000;
  Finished f = must_run(c);
  EXPECT_TRUE(f.out_over);
  EXPECT_EQ(f.out.size(), 1'000'001u);
  EXPECT_LE(f.out.capacity(), 1'000'001u + 32);  // never held more than that
  EXPECT_EQ(f.status, (ExitStatus{ExitStatus::Kind::signaled, SIGKILL}));
  Command exact = sh("printf 1234");
  exact.out_limit = 4;
  Finished fits = must_run(exact);
  EXPECT_FALSE(fits.out_over);
  EXPECT_EQ(fits.out, "1234");
}

TEST(ProcessRun, OutputPastWhatIsKeptIsReadAndDropped) {
  // Megabytes on both streams: the child runs to its end, only the kept start is held.
  Command c = sh("seq 1 300000; seq 1 300000 >&2; exit 3");
  c.out_keep = 0;
  c.err_keep = 6;
  Finished f = must_run(c);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(f.err, "1\n2\n3\n");
  EXPECT_LE(f.err.capacity(), 32u);
  EXPECT_FALSE(f.out_over);
  EXPECT_EQ(f.status, (ExitStatus{ExitStatus::Kind::exited, 3}));
}

TEST(ProcessRun, InputIsFedWhileOutputIsRead) {
  // cat echoes as it reads, so ten megabytes only get through if the input is written
  // while the output is being drained.
  std::string input = seq_text(1'300'000);
  ASSERT_GT(input.size(), 9'000'000u);
  Command c{.program = "cat", .input = input};
  Finished f = must_run(c);
  EXPECT_TRUE(f.out == input);
  EXPECT_EQ(f.input_error, 0);
  EXPECT_TRUE(f.status.success());
}

TEST(ProcessRun, EmptyInputAndNullInputBothEndAtOnce) {
  Command piped{.program = "cat", .input = std::string_view{}};
  EXPECT_EQ(must_run(piped).out, "");
  Command null{.program = "cat"};
  Finished f = must_run(null);
  EXPECT_EQ(f.out, "");
  EXPECT_TRUE(f.status.success());
}

TEST(ProcessRun, ChildThatIgnoresItsInputGivesBrokenPipeNotADeadServer) {
  // SIGPIPE keeps its default action in this test process: a write that raised it
  // unshielded would kill the test.
  std::string input(4 << 20, 'x');
  Command c{.program = "true", .input = input};
  Finished f = must_run(c);
  EXPECT_EQ(f.input_error, EPIPE);
  EXPECT_TRUE(f.status.success());
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));
}

TEST(ProcessRun, ExitCodeAndDeathBySignalAreTold) {
  Finished three = must_run(sh("exit 3"));
  EXPECT_EQ(three.status, (ExitStatus{ExitStatus::Kind::exited, 3}));
  EXPECT_FALSE(three.status.success());
  Finished killed = must_run(sh("printf partial; kill -TERM $$"));
  EXPECT_EQ(killed.status, (ExitStatus{ExitStatus::Kind::signaled, SIGTERM}));
  EXPECT_FALSE(killed.status.success());
  EXPECT_EQ(killed.out, "partial");
}

TEST(ProcessRun, StartFailuresCarryTheSystemsText) {
  auto missing = run(Command{.program = "nivern-no-such-program-here"});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().err, ENOENT);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");

  nivern_test::TempTree dir;
  std::string plain = dir.file("not-executable", "#!/bin/sh\necho hi\n");
  ::chmod(plain.c_str(), 0644);
  auto denied = run(Command{.program = plain, .search_path = false});
  ASSERT_FALSE(denied.has_value());
  EXPECT_EQ(denied.error().text(), "Permission denied (os error 13)");

  auto no_dir = run(Command{.program = "true", .workdir = dir.path() + "/absent"});
  ASSERT_FALSE(no_dir.has_value());
  EXPECT_EQ(no_dir.error().text(), "No such file or directory (os error 2)");
}

TEST(ProcessRun, NulInsideAnyStringIsRefusedNotCutShort) {
  using namespace std::string_literals;
  auto arg = run(Command{.program = "echo", .args = {"a\0b"s}});
  ASSERT_FALSE(arg.has_value());
  EXPECT_EQ(arg.error().text(), "nul byte found in provided data");
  auto dir = run(Command{.program = "true", .workdir = "/\0tmp"s});
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().text(), "nul byte found in provided data");
  auto prog = run(Command{.program = "true\0x"s});
  ASSERT_FALSE(prog.has_value());
}

TEST(ProcessRun, WorkingDirectoryIsTheChildsOnly) {
  nivern_test::TempTree dir;
  auto before = std::filesystem::current_path();
  Finished f = must_run(Command{.program = "pwd", .workdir = dir.path()});
  EXPECT_EQ(f.out, std::filesystem::canonical(dir.path()).string() + "\n");
  EXPECT_EQ(std::filesystem::current_path(), before);

  // Without path search, a relative program is found from the child's directory.
  std::string script = dir.file("tool", "#!/bin/sh\necho from tool\n");
  ::chmod(script.c_str(), 0755);
  Finished rel = must_run(Command{.program = "./tool", .search_path = false, .workdir = dir.path()});
  EXPECT_EQ(rel.out, "from tool\n");
}

TEST(ProcessRun, ProgramsAreFoundBeforeTheChildChangesDirectory) {
  nivern_test::TempTree t;
  for (const char* dir : {"plain", "tool-dir", "work"}) t.dir(dir);
  std::string plain = t.file("plain/tool", "#!/bin/sh\necho plain\n");
  ::chmod(plain.c_str(), 0644);
  std::string real = t.file("tool-dir/tool", "#!/bin/sh\necho real\n");
  ::chmod(real.c_str(), 0755);
  ::chmod(t.file("work/tool", "#!/bin/sh\necho from the work tree\n").c_str(), 0755);

  EXPECT_EQ(absolute_entries(":.:/x:rel/y::/z/"), "/x:/z/");
  // Empty and relative entries are passed over; so is a file we may not execute.
  std::string path = ":.:work:" + t / "plain" + ":" + t / "tool-dir";
  EXPECT_EQ(find_on_path("tool", path, PathEntries::absolute, true), real);
  EXPECT_EQ(find_on_path("tool", ":" + t / "plain", PathEntries::absolute, true), std::unexpected(EACCES));
  EXPECT_EQ(find_on_path("tool", ":" + t / "plain", PathEntries::all, false), plain);
  EXPECT_EQ(find_on_path("tool", "", PathEntries::absolute, true), std::unexpected(ENOENT));

  ScopedEnv env("PATH", (":.:" + t / "plain").c_str());
  auto refused = run(Command{.program = "tool", .workdir = t / "work"});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "Permission denied (os error 13)");
  EXPECT_FALSE(refused.error().not_found);
  ScopedEnv none("PATH", ":.");
  auto missing = run(Command{.program = "tool", .workdir = t / "work"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
  EXPECT_TRUE(missing.error().not_found);
  ScopedEnv found("PATH", (":" + t / "tool-dir").c_str());
  EXPECT_EQ(must_run(Command{.program = "tool", .workdir = t / "work"}).out, "real\n");
}

TEST(ProcessRun, OwnSessionAndSetVariables) {
  ScopedEnv home("HOME", "/inherited");
  ScopedEnv kept("NIVERN_KEPT", "yes");
  // Field 6 of /proc/self/stat is the session: a session leader's is its own pid.
  Command c =
      sh("read -r pid comm state ppid pgrp sid rest < /proc/self/stat; [ \"$sid\" = \"$pid\" ] && echo "
         "own; echo \"$HOME $NIVERN_KEPT $NIVERN_SET\"; env | grep -c '^HOME='");
  EXPECT_EQ(must_run(c).out, "/inherited yes \n1\n");
  c.own_session = true;
  c.env = {{"HOME", "/set"}, {"NIVERN_SET", "1"}};
  EXPECT_EQ(must_run(c).out, "own\n/set yes 1\n1\n");
}

TEST(ProcessRun, UncapturedOutputsGoToTheNullDevice) {
  Command c = sh("seq 1 200000; echo err >&2; echo done");
  c.capture_out = false;
  Finished f = must_run(c);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(f.err, "err\n");
  EXPECT_TRUE(f.status.success());
  c.capture_err = false;
  c.capture_out = true;
  f = must_run(c);
  EXPECT_THAT(f.out, HasSubstr("200000\ndone\n"));
  EXPECT_EQ(f.err, "");
}

TEST(ProcessRun, ChildGetsDefaultSigpipeAndTheCallersMask) {
  // The server ignores SIGPIPE; its children must not inherit that.
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  sigset_t usr2, saved;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &usr2, &saved);

  Command c{.program = "cat", .args = {"/proc/self/status"}, .input = "unread"};
  Finished f = must_run(c);

  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  sigaction(SIGPIPE, &old, nullptr);

  EXPECT_FALSE(mask_has(status_mask(f.out, "SigIgn:"), SIGPIPE));
  unsigned long long blocked = status_mask(f.out, "SigBlk:");
  EXPECT_TRUE(mask_has(blocked, SIGUSR2));
  EXPECT_FALSE(mask_has(blocked, SIGPIPE));
}

TEST(ProcessRun, NoPipeEndLeaksIntoTheChild) {
  // Pipes this test process already held (from whoever started it) may be inherited;
  // any other pipe beyond the child's standard three would be one of ours leaking.
  std::set<std::string> before;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(e.path(), ec);
    if (!ec) before.insert(target.string());
  }
  Command c{.program = "ls", .args = {"-l", "/proc/self/fd"}, .input = "x"};
  Finished f = must_run(c);
  std::istringstream in(f.out);
  std::string line;
  int ours = 0;
  while (std::getline(in, line)) {
    auto at = line.find("pipe:");
    if (at != std::string::npos && !before.contains(line.substr(at))) ++ours;
  }
  EXPECT_EQ(ours, 3) << f.out;  // standard input, output and error, nothing more
}

TEST(ProcessStart, ThreePipesInTheGivenDirectoryUntilKilled) {
  nivern_test::TempTree t;
  Command c{.program = "sh", .args = {"-c", "pwd; echo oops >&2; cat"}, .workdir = t.path()};
  auto s = start(c);
  ASSERT_TRUE(s) << s.error().text();
  auto read_line = [](int fd) {
    std::string line;
    char ch;
    while (::read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
    return line;
  };
  EXPECT_EQ(read_line(s->out.get()), t.path());
  EXPECT_EQ(read_line(s->err.get()), "oops");
  ASSERT_EQ(::write(s->in.get(), "echo\n", 5), 5);
  EXPECT_EQ(read_line(s->out.get()), "echo");
  for (const UniqueFd* fd : {&s->in, &s->out, &s->err}) EXPECT_EQ(::fcntl(fd->get(), F_GETFD), FD_CLOEXEC);
  EXPECT_EQ(s->child->try_wait(), std::nullopt);
  EXPECT_EQ(s->child->wait_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)), std::nullopt);
  EXPECT_EQ(s->child->signal(SIGKILL), 0);
  EXPECT_EQ(s->child->wait(), (ExitStatus{ExitStatus::Kind::signaled, SIGKILL}));
  EXPECT_EQ(s->child->try_wait(), (ExitStatus{ExitStatus::Kind::signaled, SIGKILL}));  // reaped once
  EXPECT_EQ(s->child->signal(SIGKILL), ESRCH);

  auto missing = start(Command{.program = "cat", .workdir = t / "nowhere"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");
}

// A background job that keeps the outputs open does not hold the run; a child in a
// group of its own that signals its group reaches only that group.
TEST(ProcessRun, EndsAtTheChildsExitAndKeepsGroupSignalsInside) {
  auto done = run(Command{.program = "sh", .args = {"-c", "sleep 1000 & echo $!; echo held >&2"}});
  ASSERT_TRUE(done);
  EXPECT_TRUE(done->status.success());
  EXPECT_EQ(done->err, "held\n");
  const pid_t job = std::stoi(done->out);
  EXPECT_EQ(::kill(job, SIGKILL), 0);  // still running: only the wait ended

  auto own = run(Command{.program = "sh", .args = {"-c", "kill 0; sleep 1000"}, .own_group = true});
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, (ExitStatus{ExitStatus::Kind::signaled, SIGTERM}));

  // The whole group goes, also once its leader has been reaped.
  auto s = start(Command{.program = "sh", .args = {"-c", "sleep 1000 & echo $!; exit 3"}, .own_group = true});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->child->wait(), (ExitStatus{ExitStatus::Kind::exited, 3}));
  std::string pid;
  char ch;
  while (::read(s->out.get(), &ch, 1) == 1 && ch != '\n') pid += ch;
  const pid_t left = std::stoi(pid);
  EXPECT_EQ(::getpgid(left), s->child->pid());
  EXPECT_EQ(s->child->signal_group(SIGKILL), 0);
  // Not our child: dead once it is gone or a zombie left to its new parent.
  auto running = [left] {
    std::ifstream stat("/proc/" + std::to_string(left) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(running());
}

}  // namespace
}  // namespace nivern_support
