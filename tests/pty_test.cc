// Shells on pseudo-terminals, driven through the real binary with real shells.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness/editor.h"
#include "harness/replies.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"
#include "protocol/message.h"

namespace {

using namespace std::chrono_literals;
using nivern_test::done_reply;
using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::json_string;
using nivern_test::response;
using nivern_test::TempTree;
using Clock = std::chrono::steady_clock;

// Calls on shells, as the editor sends them.
std::string open_call(const std::string& path = "/tmp", int rows = 24, int cols = 80) {
  return R"({"call":"pty_open","path":)" + json_string(path) + ",\"rows\":" + std::to_string(rows) +
         ",\"cols\":" + std::to_string(cols) + "}";
}
std::string input_call(std::uint64_t shell, std::string_view bytes) {
  return R"({"call":"pty_input","pty":)" + std::to_string(shell) + R"(,"bytes":")" +
         nivern_protocol::message::encode_bytes(bytes) + "\"}";
}
std::string resize_call(std::uint64_t shell, int rows, int cols) {
  return R"({"call":"pty_resize","pty":)" + std::to_string(shell) + ",\"rows\":" + std::to_string(rows) +
         ",\"cols\":" + std::to_string(cols) + "}";
}
std::string close_call(std::uint64_t shell) {
  return R"({"call":"pty_close","pty":)" + std::to_string(shell) + "}";
}
const std::string kOpened = R"({"reply":"pty_opened","shell":"/bin/sh"})";

int open_descriptors(pid_t pid) {
  int n = 0;
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// Reads events until `shell` has written `needle`.
bool shows(Editor& e, std::uint64_t shell, const std::string& needle) {
  return e.until([&] { return e.output(shell).find(needle) != std::string::npos; });
}
bool exited(Editor& e, std::uint64_t shell) {
  return e.until([&] { return e.exits(shell) > 0; });
}

TEST(Pty, ShellsEchoResizeAndExitByThemselves) {
  for (std::string sh : {"/bin/sh", "/bin/bash"}) {
    SCOPED_TRACE(sh);
    Editor e({"/tmp"}, {"SHELL=" + sh});
    // A 0 by 0 terminal is 1 by 1; the prompt may come before the reply.
    EXPECT_EQ(e.call(1, open_call("/tmp", 0, 0)),
              response(1, R"({"reply":"pty_opened","shell":)" + json_string(sh) + "}"));
    EXPECT_EQ(e.call(input_call(1, "stty size; : </dev/tty && echo \"tty $TERM $COLORTERM\"\n")),
              done_reply(1001));
    EXPECT_TRUE(shows(e, 1, "1 1"));
    EXPECT_TRUE(shows(e, 1, "tty xterm-256color truecolor"));
    EXPECT_EQ(e.call(resize_call(1, 40, 132)), done_reply(1002));
    EXPECT_EQ(e.call(input_call(1, "stty size; echo $((6 * 7))x\n")), done_reply(1003));
    EXPECT_TRUE(shows(e, 1, "40 132"));
    EXPECT_TRUE(shows(e, 1, "42x"));
    EXPECT_EQ(e.call(input_call(1, "")), done_reply(1004));
    EXPECT_EQ(e.call(input_call(1, "echo bye$((1 + 1)); exit\n")), done_reply(1005));
    EXPECT_TRUE(exited(e, 1));
    EXPECT_NE(e.output(1).find("bye2"), std::string::npos);
    // An ended shell stays in the table until it is closed.
    EXPECT_EQ(e.call(input_call(1, "more\n")), done_reply(1006));
    EXPECT_EQ(e.call(resize_call(1, 0, 0)), done_reply(1007));
    EXPECT_EQ(e.call(close_call(1)), done_reply(1008));
    EXPECT_EQ(e.call(close_call(1)), done_reply(1009));
    EXPECT_EQ(e.call(7, R"({"call":"hello","version":5})").substr(0, 28), R"({"id":7,"reply":{"reply":"he)");
    EXPECT_EQ(e.exits(1), 1);
    EXPECT_EQ(e.events(1).back(), response(1, R"({"reply":"pty_exited"})"));  // no output after it
    // Every output event, whole, as the wire carries it.
    std::string joined;
    for (std::size_t i = 0; i + 1 < e.events(1).size(); ++i) {
      const std::string& event = e.events(1)[i];
      const std::string head = R"({"id":1,"reply":{"reply":"pty_output","bytes":")";
      ASSERT_TRUE(event.starts_with(head) && event.ends_with("\"}}")) << event;
      joined += *nivern_protocol::message::decode_bytes(event.substr(head.size(), event.size() - head.size() - 3));
    }
    EXPECT_EQ(joined, e.output(1));
  }
}

TEST(Pty, CloseAndReplacementEachEndTheShellOnce) {
  Editor e({"/tmp"}, {"SHELL=/bin/sh"});
  EXPECT_EQ(e.call(1, open_call()), response(1, kOpened));
  EXPECT_EQ(e.call(close_call(1)), done_reply(1001));
  EXPECT_TRUE(exited(e, 1));

  // Replacement under the same id: the first shell ends, the second one works.
  EXPECT_EQ(e.call(2, open_call()), response(2, kOpened));
  EXPECT_EQ(e.call(input_call(2, "echo first$((1+1))\n")), done_reply(1002));
  EXPECT_TRUE(shows(e, 2, "first2"));
  EXPECT_EQ(e.call(2, open_call()), response(2, kOpened));
  EXPECT_TRUE(exited(e, 2));
  EXPECT_EQ(e.call(input_call(2, "echo second$((1+1))\n")), done_reply(1003));
  EXPECT_TRUE(shows(e, 2, "second2"));
  EXPECT_EQ(e.call(close_call(2)), done_reply(1004));
  EXPECT_TRUE(e.until([&] { return e.exits(2) == 2; }));

  EXPECT_EQ(e.call(9, R"({"call":"pty_close","pty":2})"), done_reply(9));
  EXPECT_EQ(e.exits(1), 1);
  EXPECT_EQ(e.exits(2), 2);
}

TEST(Pty, BadInputIsAnsweredAndLeaksNothing) {
  TempTree tree;
  std::string home = tree.dir("home");
  Editor e({"/tmp"}, {"SHELL=/bin/sh", "HOME=" + home});
  std::uint64_t id = 10;
  auto expect = [&](const std::string& call, const std::string& reply) {
    ++id;
    EXPECT_EQ(e.call(id, call), response(id, reply));
  };
  int before = open_descriptors(e.process().pid());
  expect(R"({"call":"pty_input","pty":99,"bytes":"Zm9"})", R"({"reply":"error","message":"no such shell"})");
  expect(R"({"call":"pty_resize","pty":99,"rows":1,"cols":1})",
         R"({"reply":"error","message":"no such shell"})");
  expect(R"({"call":"pty_close","pty":99})", R"({"reply":"done"})");

  // A working directory that does not exist gives the home directory.
  EXPECT_EQ(e.call(1, open_call(tree / "missing", 65535, 65535)), response(1, kOpened));
  EXPECT_EQ(e.call(input_call(1, "pwd\n")), done_reply(1001));
  EXPECT_TRUE(shows(e, 1, home));
  expect(R"({"call":"pty_input","pty":1,"bytes":"Zm9"})",
         R"({"reply":"error","message":"bad bytes on the wire: Invalid padding"})");

  // Many shells at once, all closed again.
  for (std::uint64_t s = 100; s < 164; ++s) {
    ASSERT_EQ(e.call(s, open_call()), response(s, kOpened));
  }
  for (std::uint64_t s = 100; s < 164; ++s) EXPECT_EQ(e.call(close_call(s)), done_reply(1001 + s - 99));
  EXPECT_EQ(e.call(close_call(1)), done_reply(1066));
  EXPECT_TRUE(e.until([&] {
    for (std::uint64_t s = 100; s < 164; ++s)
      if (e.exits(s) != 1) return false;
    return e.exits(1) == 1;
  }));
  // The shells' threads close the terminals as they end.
  for (auto end = Clock::now() + 10s; open_descriptors(e.process().pid()) != before && Clock::now() < end;) {
    e.call(close_call(1));  // a round trip while they end
  }
  EXPECT_EQ(open_descriptors(e.process().pid()), before);

  // Shells that cannot start.
  for (auto [value, message] : std::vector<std::pair<std::string, std::string>>{
           {"", "could not start a shell: no program to run: the shell path is empty"},
           {tree / "nothing", "could not start a shell: cannot run " + (tree / "nothing") +
                                  ": No such file or directory (os error 2)"},
           {"no-such-shell-here",
            "could not start a shell: cannot run no-such-shell-here: No such file or "
            "directory (os error 2)"}}) {
    nivern_test::ScopedEnv env("SHELL", value.c_str());
    Editor bad({"/tmp"});
    EXPECT_EQ(bad.call(5, open_call()), error_reply(5, message));
    EXPECT_EQ(bad.call(input_call(5, "x")), error_reply(1001, "no such shell"));
  }
  {
    nivern_test::ScopedEnv env("SHELL", "\xff");  // not UTF-8: the default
    Editor fallback({"/tmp"});
    EXPECT_EQ(fallback.call(6, open_call()), response(6, kOpened));
  }
}

TEST(Pty, ShellsIgnoringTheHangUpAreKilledOnCloseAndAtTheEnd) {
  TempTree tree;
  std::string stubborn = tree.script("stubborn", "trap '' HUP\necho ready\nwhile :; do sleep 1; done");
  nivern_test::ScopedEnv env("SHELL", stubborn.c_str());
  Editor e({"/tmp"});
  for (std::uint64_t s = 1; s <= 3; ++s) {
    e.call(s, open_call());
    EXPECT_TRUE(shows(e, s, "ready"));
  }
  EXPECT_EQ(e.call(close_call(1)), done_reply(1001));  // killed after the grace
  EXPECT_TRUE(exited(e, 1));
  e.process().close_stdin();
  EXPECT_TRUE(e.until([&] { return e.exits(1) + e.exits(2) + e.exits(3) == 3; }));
}

TEST(Pty, NoOutputIsLostBeforeTheExit) {
  TempTree tree;
  std::string text;
  for (int i = 0; text.size() < 65536; ++i) text += "line " + std::to_string(i) + " of the output\n";
  text.resize(65536);
  std::string file = tree.file("out.txt", text);
  std::string quick = tree.script("quick", "stty -onlcr; exec cat " + file);
  // Printed with the terminal translating nothing, it must arrive whole.
  std::string background = tree.script("background", "sleep 60 & echo started");
  nivern_test::ScopedEnv env("SHELL", quick.c_str());
  Editor e({"/tmp"});
  for (std::uint64_t run = 1; run <= 200; ++run) {
    ASSERT_EQ(e.call(run, open_call()),
              response(run, R"({"reply":"pty_opened","shell":)" + json_string(quick) + "}"));
    ASSERT_TRUE(exited(e, run));
    ASSERT_EQ(e.output(run).size(), text.size()) << "run " << run;
    ASSERT_EQ(e.output(run), text) << "run " << run;
    EXPECT_EQ(e.call(close_call(run)), done_reply(1000 + run));
  }
  // A background process keeping the terminal open does not hold the exit back.
  nivern_test::ScopedEnv env2("SHELL", background.c_str());
  Editor b({"/tmp"});
  b.call(1, open_call());
  EXPECT_TRUE(exited(b, 1));
  EXPECT_NE(b.output(1).find("started"), std::string::npos);
}

TEST(Pty, InputNeverBlocksTheSessionAndIsBoundedWhileTheShellDoesNotRead) {
  TempTree tree;
  std::string sleeper = tree.script("sleeper", "echo sleeping; exec sleep 60");
  nivern_test::ScopedEnv env("SHELL", sleeper.c_str());
  Editor e({"/tmp"});
  e.call(1, open_call());
  EXPECT_TRUE(shows(e, 1, "sleeping"));
  std::string paste;
  while (paste.size() < (1 << 20)) paste += "make all -j8 # a long build\n";
  paste.resize(1 << 20);
  // Accepted up to the limit, with the session answering at once; then refused.
  int accepted = 0;
  std::string reply;
  while (accepted < 20 && (reply = e.call(input_call(1, paste))) == done_reply(1001 + accepted)) ++accepted;
  EXPECT_EQ(reply, error_reply(1001 + accepted,
                               "the shell is not reading its input, so this input was not sent; try again "
                               "once it has read what is waiting"));
  EXPECT_GE(accepted, 8);
  EXPECT_LE(accepted, 9);
  EXPECT_EQ(e.call(5, R"({"call":"hello","version":5})").substr(0, 28), R"({"id":5,"reply":{"reply":"he)");
  EXPECT_EQ(e.call(close_call(1)), done_reply(1002 + accepted));
  EXPECT_TRUE(exited(e, 1));
}

// The editor pauses, reading nothing, until the server holds all it may for it: output
// waits unread in the pipe and none of the server's threads runs, a few times in a row.
// False if that does not happen within 30 s.
bool backed_up(Editor& e) {
  const auto deadline = Clock::now() + 30s;
  int calm = 0;
  while (calm < 5 && Clock::now() < deadline) {
    int unread = 0;
    const bool waiting = ::ioctl(e.process().stdout_fd(), FIONREAD, &unread) == 0 && unread > 0;
    calm = waiting && nivern_test::threads_asleep(e.process().pid()) ? calm + 1 : 0;
    std::this_thread::sleep_for(20ms);  // between looks
  }
  return calm == 5;
}

// Reads events for `span`, at most `rate` bytes of output a second (0: as fast as they
// come), checking that each shell's output is whole runs of `unit`; false at a break.
bool read_runs(Editor& e, Clock::duration span, std::size_t rate, std::string_view unit) {
  const auto start = Clock::now(), end = start + span;
  std::size_t taken = 0;
  while (Clock::now() < end) {
    if (rate != 0) {  // pacing the reader, not waiting for anything
      std::this_thread::sleep_until(
          std::min<Clock::time_point>(end, start + std::chrono::microseconds(taken * 1'000'000 / rate)));
    }
    std::size_t before = 0;
    for (auto& [id, out] : e.outputs()) before += out.size();
    e.until([&] {
      std::size_t now = 0;
      for (auto& [id, out] : e.outputs()) now += out.size();
      return now > before || Clock::now() >= end;
    });
    for (auto& [id, out] : e.outputs()) {
      taken += out.size();
      std::size_t whole = out.size() / unit.size() * unit.size();
      for (std::size_t i = 0; i < whole; i += unit.size()) {
        if (std::string_view(out).substr(i, unit.size()) != unit) {
          ADD_FAILURE() << "shell " << id << ": broken run at " << i;
          return false;
        }
      }
      out.erase(0, whole);
      e.events(id).clear();
    }
  }
  return true;
}

TEST(Pty, FloodingShellsStayWithinMemoryWhateverTheEditorsPace) {
  TempTree tree;
  std::string loop = tree.script("loop", "stty -onlcr; while :; do echo x; done");
  std::string yes = tree.script("yes", "stty -onlcr; exec yes");
  {
    // One shell, an editor that stops reading until the server holds all it may, then reads
    // at full speed.
    nivern_test::ScopedEnv env("SHELL", loop.c_str());
    Editor e({"/tmp"});
    const long idle_kib = e.process().status_field("VmRSS");
    e.call(1, open_call());
    EXPECT_TRUE(backed_up(e));
    EXPECT_TRUE(read_runs(e, 2s, 0, "x\n"));
    const long peak_kib = e.process().status_field("VmHWM");
    // Reading at full speed, the backlog is gone, and the memory that held it with it.
    const long rss_kib = e.process().status_field("VmRSS");
    EXPECT_EQ(e.call(close_call(1)), done_reply(1001));
    EXPECT_TRUE(exited(e, 1));
    RecordProperty("one_shell_peak_kib", std::to_string(peak_kib));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kib, 64 * 1024);
    EXPECT_LT(rss_kib, idle_kib + 16 * 1024);
#endif
  }
  {
    // Sixteen shells; the editor pauses likewise, reads at 1 MB/s for 2 s, then at full speed.
    nivern_test::ScopedEnv env("SHELL", yes.c_str());
    Editor e({"/tmp"});
    for (std::uint64_t s = 1; s <= 16; ++s) e.call(s, open_call());
    EXPECT_TRUE(backed_up(e));
    EXPECT_TRUE(read_runs(e, 2s, 1'000'000, "y\n"));
    EXPECT_TRUE(read_runs(e, 1s, 0, "y\n"));
    const long peak_kib = e.process().status_field("VmHWM");
    RecordProperty("sixteen_shells_peak_kib", std::to_string(peak_kib));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kib, 200 * 1024);
#endif
    for (std::uint64_t s = 1; s <= 16; ++s) EXPECT_EQ(e.call(close_call(s)), done_reply(1000 + s));
  }
}

TEST(Pty, ManyShellsEndTogetherWithTheSession) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::uint64_t shells = 60;
#else
  const std::uint64_t shells = 300;
#endif
  Editor e({"/tmp"}, {"SHELL=/bin/sh"});
  for (std::uint64_t s = 1; s <= shells; ++s) {
    ASSERT_EQ(e.call(s, open_call()), response(s, kOpened));
  }
  // Released one after another they would take 50 ms each; together, well under a second.
  auto start = Clock::now();
  e.process().close_stdin();
  EXPECT_TRUE(e.process().wait_for(5s).has_value());  // its last events fit in the pipe
  RecordProperty("end_ms", std::to_string((Clock::now() - start) / 1ms));
  auto ended = [&] {
    std::uint64_t n = 0;
    for (std::uint64_t s = 1; s <= shells; ++s) n += e.exits(s) == 1;
    return n;
  };
  e.until([&] { return ended() == shells; });
  EXPECT_EQ(ended(), shells);
}

TEST(Pty, EndlessOutputToASlowEditorIsBoundedAndWhole) {
  TempTree tree;
  std::string yes = tree.script("yes", "stty -onlcr; exec yes");
  nivern_test::ScopedEnv env("SHELL", yes.c_str());
  Editor e({"/tmp"});
  e.call(1, open_call());
  // The editor reads many times what the server may hold for it, slowly; the deadline
  // only bounds a run that fails.
  const std::size_t want = std::size_t{32} << 20;
  long peak_kib = 0;
  std::size_t frames = 0, taken = 0;
  for (auto deadline = Clock::now() + 60s; taken < want && Clock::now() < deadline;) {
    // The editor takes one event at a time and does some other work in between.
    e.until([&, n = e.output(1).size()] { return e.output(1).size() > n; });
    if (++frames % 16 == 0) {
      std::this_thread::sleep_for(20ms);  // pacing the reader, not waiting for anything
      peak_kib = std::max(peak_kib, e.process().status_field("VmRSS"));
    }
    // Keep only a whole-number tail, checked as it comes.
    std::string& out = e.output(1);
    std::size_t whole = out.size() / 2 * 2;
    for (std::size_t i = 0; i < whole; i += 2) {
      if (out[i] != 'y' || out[i + 1] != '\n') {
        ADD_FAILURE() << "broken run at " << (taken + i);
        return;
      }
    }
    out.erase(0, whole);
    e.events(1).clear();
    taken += whole;
  }
  EXPECT_GE(taken, want);
  EXPECT_GT(frames, 16u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(peak_kib, 100 * 1024);
  RecordProperty("peak_rss_kib", std::to_string(peak_kib));
#endif
  EXPECT_EQ(e.call(close_call(1)), done_reply(1001));
  EXPECT_TRUE(exited(e, 1));
}

}  // namespace
