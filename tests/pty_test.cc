// Shells on pseudo-terminals, driven through the real binary with real shells.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "harness/frame_client.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"
#include "protocol/message.h"

namespace {

using namespace std::chrono_literals;
using nivern_test::json_string;
using nivern_test::ServerProcess;
using nivern_test::TempTree;
using Clock = std::chrono::steady_clock;

std::string b64(std::string_view bytes) {
  return nivern_protocol::message::encode_bytes(bytes);
}

std::string reply_of(std::uint64_t id, const std::string& reply) {
  return "{\"id\":" + std::to_string(id) + ",\"reply\":" + reply + "}";
}
const std::string kDone = R"({"reply":"done"})";
std::string error_reply(std::uint64_t id, const std::string& message) {
  return reply_of(id, R"({"reply":"error","message":)" + json_string(message) + "}");
}

// An executable script in `tree`, to stand in as the user's shell.
std::string script(const TempTree& tree, const std::string& name, const std::string& body) {
  std::string path = tree.file(name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

int open_descriptors(pid_t pid) {
  int n = 0;
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

// The editor's side of a session with shells: replies are returned, events are
// collected per shell id as they arrive, before or after any reply.
class Editor {
 public:
  explicit Editor(std::vector<std::string> env = {}) : p_({"/tmp"}, std::move(env)) { p_.hello(); }
  // End of input ends every shell still open, and the session, cleanly.
  ~Editor() {
    p_.close_stdin();
    EXPECT_EQ(p_.wait(), 0);
    EXPECT_EQ(p_.stderr_text(), "");
  }

  ServerProcess& process() { return p_; }
  std::map<std::uint64_t, std::string> output;
  std::map<std::uint64_t, int> exits;
  // Output that arrived after a `pty_exited` of the id.
  std::map<std::uint64_t, std::string> late;

  // Sends a call and returns its reply (a frame with `id` that is not an event).
  std::string call(std::uint64_t id, const std::string& call_json) {
    p_.send("{\"id\":" + std::to_string(id) + ",\"call\":" + call_json + "}");
    for (;;) {
      auto frame = next(Clock::now() + 30s);
      if (!frame) return "";
      if (frame->id == id && !frame->event) return frame->raw;
    }
  }
  std::string open(std::uint64_t id, const std::string& path = "/tmp", int rows = 24, int cols = 80) {
    return call(id, R"({"call":"pty_open","path":)" + json_string(path) +
                        ",\"rows\":" + std::to_string(rows) + ",\"cols\":" + std::to_string(cols) + "}");
  }
  std::string input(std::uint64_t shell, std::string_view bytes) {
    return on(shell, "pty_input", R"(,"bytes":")" + b64(bytes) + "\"");
  }
  std::string resize(std::uint64_t shell, int rows, int cols) {
    return on(shell, "pty_resize", ",\"rows\":" + std::to_string(rows) + ",\"cols\":" + std::to_string(cols));
  }
  std::string close(std::uint64_t shell) { return on(shell, "pty_close", ""); }
  // A call naming `shell`, under the next id from 1001 on.
  std::string on(std::uint64_t shell, const std::string& name, const std::string& rest) {
    return call(++serial_, R"({"call":")" + name + R"(","pty":)" + std::to_string(shell) + rest + "}");
  }
  // Reads events until `done` holds or 30 seconds pass.
  template <class Pred>
  bool until(Pred done) {
    auto deadline = Clock::now() + 30s;
    while (!done()) {
      if (!next(deadline)) return false;
    }
    return true;
  }
  bool until_output(std::uint64_t shell, const std::string& needle) {
    return until([&] { return output[shell].find(needle) != std::string::npos; });
  }
  bool until_exited(std::uint64_t shell) {
    return until([&] { return exits[shell] > 0; });
  }

 private:
  struct Frame {
    std::uint64_t id;
    bool event;
    std::string raw;
  };
  std::optional<Frame> next(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return std::nullopt;
    auto raw = p_.read_frame(left);
    if (!raw) return std::nullopt;
    Frame f{std::stoull(raw->substr(6)), false, *raw};
    if (raw->find(R"("reply":{"reply":"pty_output","bytes":")") != std::string::npos) {
      f.event = true;
      auto at = raw->find("\"bytes\":\"") + 9;
      auto bytes = nivern_protocol::message::decode_bytes(raw->substr(at, raw->find('"', at) - at));
      EXPECT_TRUE(bytes);
      output[f.id] += bytes.value_or("");
      if (exits[f.id]) late[f.id] += bytes.value_or("");
    } else if (*raw == reply_of(f.id, R"({"reply":"pty_exited"})")) {
      f.event = true;
      ++exits[f.id];
    }
    return f;
  }

  ServerProcess p_;
  std::uint64_t serial_ = 1000;
};

TEST(Pty, ShellsEchoResizeAndExitByThemselves) {
  for (std::string sh : {"/bin/sh", "/bin/bash"}) {
    SCOPED_TRACE(sh);
    Editor e({"SHELL=" + sh});
    // A 0 by 0 terminal is 1 by 1; the prompt may come before the reply.
    EXPECT_EQ(e.open(1, "/tmp", 0, 0),
              reply_of(1, R"({"reply":"pty_opened","shell":)" + json_string(sh) + "}"));
    EXPECT_EQ(e.input(1, "stty size; : </dev/tty && echo \"tty $TERM $COLORTERM\"\n"), reply_of(1001, kDone));
    EXPECT_TRUE(e.until_output(1, "1 1"));
    EXPECT_TRUE(e.until_output(1, "tty xterm-256color truecolor"));
    EXPECT_EQ(e.resize(1, 40, 132), reply_of(1002, kDone));
    EXPECT_EQ(e.input(1, "stty size; echo $((6 * 7))x\n"), reply_of(1003, kDone));
    EXPECT_TRUE(e.until_output(1, "40 132"));
    EXPECT_TRUE(e.until_output(1, "42x"));
    EXPECT_EQ(e.input(1, ""), reply_of(1004, kDone));
    EXPECT_EQ(e.input(1, "echo bye$((1 + 1)); exit\n"), reply_of(1005, kDone));
    EXPECT_TRUE(e.until_exited(1));
    EXPECT_NE(e.output[1].find("bye2"), std::string::npos);
    // An ended shell stays in the table until it is closed.
    EXPECT_EQ(e.input(1, "more\n"), reply_of(1006, kDone));
    EXPECT_EQ(e.resize(1, 0, 0), reply_of(1007, kDone));
    EXPECT_EQ(e.close(1), reply_of(1008, kDone));
    EXPECT_EQ(e.close(1), reply_of(1009, kDone));
    EXPECT_EQ(e.call(7, R"({"call":"hello","version":5})").substr(0, 28), R"({"id":7,"reply":{"reply":"he)");
    EXPECT_EQ(e.exits[1], 1);
    EXPECT_EQ(e.late[1], "");
  }
}

TEST(Pty, CloseAndReplacementEachEndTheShellOnce) {
  Editor e({"SHELL=/bin/sh"});
  EXPECT_EQ(e.open(1), reply_of(1, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  EXPECT_EQ(e.close(1), reply_of(1001, kDone));
  EXPECT_TRUE(e.until_exited(1));

  // Replacement under the same id: the first shell ends, the second one works.
  EXPECT_EQ(e.open(2), reply_of(2, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  EXPECT_EQ(e.input(2, "echo first$((1+1))\n"), reply_of(1002, kDone));
  EXPECT_TRUE(e.until_output(2, "first2"));
  EXPECT_EQ(e.open(2), reply_of(2, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  EXPECT_TRUE(e.until_exited(2));
  EXPECT_EQ(e.input(2, "echo second$((1+1))\n"), reply_of(1003, kDone));
  EXPECT_TRUE(e.until_output(2, "second2"));
  EXPECT_EQ(e.close(2), reply_of(1004, kDone));
  EXPECT_TRUE(e.until([&] { return e.exits[2] == 2; }));

  EXPECT_EQ(e.call(9, R"({"call":"pty_close","pty":2})"), reply_of(9, kDone));
  EXPECT_EQ(e.exits[1], 1);
  EXPECT_EQ(e.exits[2], 2);
}

TEST(Pty, BadInputIsAnsweredAndLeaksNothing) {
  TempTree tree;
  std::string home = tree.dir("home");
  Editor e({"SHELL=/bin/sh", "HOME=" + home});
  std::uint64_t id = 10;
  auto expect = [&](const std::string& call, const std::string& reply) {
    ++id;
    EXPECT_EQ(e.call(id, call), reply_of(id, reply));
  };
  int before = open_descriptors(e.process().pid());
  expect(R"({"call":"pty_input","pty":99,"bytes":"Zm9"})", R"({"reply":"error","message":"no such shell"})");
  expect(R"({"call":"pty_resize","pty":99,"rows":1,"cols":1})",
         R"({"reply":"error","message":"no such shell"})");
  expect(R"({"call":"pty_close","pty":99})", kDone);

  // A working directory that does not exist gives the home directory.
  EXPECT_EQ(e.open(1, tree / "missing", 65535, 65535),
            reply_of(1, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  EXPECT_EQ(e.input(1, "pwd\n"), reply_of(1001, kDone));
  EXPECT_TRUE(e.until_output(1, home));
  expect(R"({"call":"pty_input","pty":1,"bytes":"Zm9"})",
         R"({"reply":"error","message":"bad bytes on the wire: Invalid padding"})");

  // Many shells at once, all closed again.
  for (std::uint64_t s = 100; s < 164; ++s) {
    ASSERT_EQ(e.open(s), reply_of(s, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  }
  for (std::uint64_t s = 100; s < 164; ++s) EXPECT_EQ(e.close(s), reply_of(1001 + s - 99, kDone));
  EXPECT_EQ(e.close(1), reply_of(1066, kDone));
  EXPECT_TRUE(e.until([&] {
    for (std::uint64_t s = 100; s < 164; ++s)
      if (e.exits[s] != 1) return false;
    return e.exits[1] == 1;
  }));
  // The shells' threads close the terminals as they end.
  for (auto end = Clock::now() + 10s; open_descriptors(e.process().pid()) != before && Clock::now() < end;) {
    e.close(1);  // a round trip while they end
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
    Editor bad;
    EXPECT_EQ(bad.open(5), error_reply(5, message));
    EXPECT_EQ(bad.input(5, "x"), error_reply(1001, "no such shell"));
  }
  {
    nivern_test::ScopedEnv env("SHELL", "\xff");  // not UTF-8: the default
    Editor fallback;
    EXPECT_EQ(fallback.open(6), reply_of(6, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  }
}

TEST(Pty, ShellsIgnoringTheHangUpAreKilledOnCloseAndAtTheEnd) {
  TempTree tree;
  std::string stubborn = script(tree, "stubborn", "trap '' HUP\necho ready\nwhile :; do sleep 1; done");
  nivern_test::ScopedEnv env("SHELL", stubborn.c_str());
  Editor e;
  for (std::uint64_t s = 1; s <= 3; ++s) {
    e.open(s);
    EXPECT_TRUE(e.until_output(s, "ready"));
  }
  EXPECT_EQ(e.close(1), reply_of(1001, kDone));  // killed after the grace
  EXPECT_TRUE(e.until_exited(1));
  e.process().close_stdin();
  EXPECT_TRUE(e.until([&] { return e.exits[1] + e.exits[2] + e.exits[3] == 3; }));
}

TEST(Pty, NoOutputIsLostBeforeTheExit) {
  TempTree tree;
  std::string text;
  for (int i = 0; text.size() < 65536; ++i) text += "line " + std::to_string(i) + " of the output\n";
  text.resize(65536);
  std::string file = tree.file("out.txt", text);
  std::string quick = script(tree, "quick", "stty -onlcr; exec cat " + file);
  // Printed with the terminal translating nothing, it must arrive whole.
  std::string background = script(tree, "background", "sleep 60 & echo started");
  nivern_test::ScopedEnv env("SHELL", quick.c_str());
  Editor e;
  for (std::uint64_t run = 1; run <= 200; ++run) {
    ASSERT_EQ(e.open(run), reply_of(run, R"({"reply":"pty_opened","shell":)" + json_string(quick) + "}"));
    ASSERT_TRUE(e.until_exited(run));
    ASSERT_EQ(e.output[run].size(), text.size()) << "run " << run;
    ASSERT_EQ(e.output[run], text) << "run " << run;
    EXPECT_EQ(e.close(run), reply_of(1000 + run, kDone));
  }
  // A background process keeping the terminal open does not hold the exit back.
  nivern_test::ScopedEnv env2("SHELL", background.c_str());
  Editor b;
  b.open(1);
  EXPECT_TRUE(b.until_exited(1));
  EXPECT_NE(b.output[1].find("started"), std::string::npos);
}

TEST(Pty, InputNeverBlocksTheSessionAndIsBoundedWhileTheShellDoesNotRead) {
  TempTree tree;
  std::string sleeper = script(tree, "sleeper", "echo sleeping; exec sleep 60");
  nivern_test::ScopedEnv env("SHELL", sleeper.c_str());
  Editor e;
  e.open(1);
  EXPECT_TRUE(e.until_output(1, "sleeping"));
  std::string paste;
  while (paste.size() < (1 << 20)) paste += "make all -j8 # a long build\n";
  paste.resize(1 << 20);
  // Accepted up to the limit, with the session answering at once; then refused.
  int accepted = 0;
  std::string reply;
  while (accepted < 20 && (reply = e.input(1, paste)) == reply_of(1001 + accepted, kDone)) ++accepted;
  EXPECT_EQ(reply, error_reply(1001 + accepted,
                               "the shell is not reading its input, so this input was not sent; try again "
                               "once it has read what is waiting"));
  EXPECT_GE(accepted, 8);
  EXPECT_LE(accepted, 9);
  EXPECT_EQ(e.call(5, R"({"call":"hello","version":5})").substr(0, 28), R"({"id":5,"reply":{"reply":"he)");
  EXPECT_EQ(e.close(1), reply_of(1002 + accepted, kDone));
  EXPECT_TRUE(e.until_exited(1));
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
    for (auto& [id, out] : e.output) before += out.size();
    e.until([&] {
      std::size_t now = 0;
      for (auto& [id, out] : e.output) now += out.size();
      return now > before || Clock::now() >= end;
    });
    for (auto& [id, out] : e.output) {
      taken += out.size();
      std::size_t whole = out.size() / unit.size() * unit.size();
      for (std::size_t i = 0; i < whole; i += unit.size()) {
        if (std::string_view(out).substr(i, unit.size()) != unit) {
          ADD_FAILURE() << "shell " << id << ": broken run at " << i;
          return false;
        }
      }
      out.erase(0, whole);
    }
  }
  return true;
}

TEST(Pty, FloodingShellsStayWithinMemoryWhateverTheEditorsPace) {
  TempTree tree;
  std::string loop = script(tree, "loop", "stty -onlcr; while :; do echo x; done");
  std::string yes = script(tree, "yes", "stty -onlcr; exec yes");
  {
    // One shell, an editor that stops reading for 3 s, then reads at full speed.
    nivern_test::ScopedEnv env("SHELL", loop.c_str());
    Editor e;
    const long idle_kib = e.process().status_field("VmRSS");
    e.open(1);
    std::this_thread::sleep_for(3s);  // the editor pauses
    EXPECT_TRUE(read_runs(e, 2s, 0, "x\n"));
    const long peak_kib = e.process().status_field("VmHWM");
    // Reading at full speed, the backlog is gone, and the memory that held it with it.
    const long rss_kib = e.process().status_field("VmRSS");
    EXPECT_EQ(e.close(1), reply_of(1001, kDone));
    EXPECT_TRUE(e.until_exited(1));
    RecordProperty("one_shell_peak_kib", std::to_string(peak_kib));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kib, 64 * 1024);
    EXPECT_LT(rss_kib, idle_kib + 16 * 1024);
#endif
  }
  {
    // Sixteen shells; the editor pauses 2 s, reads at 1 MB/s for 2 s, then at full speed.
    nivern_test::ScopedEnv env("SHELL", yes.c_str());
    Editor e;
    for (std::uint64_t s = 1; s <= 16; ++s) e.open(s);
    std::this_thread::sleep_for(2s);  // the editor pauses
    EXPECT_TRUE(read_runs(e, 2s, 1'000'000, "y\n"));
    EXPECT_TRUE(read_runs(e, 1s, 0, "y\n"));
    const long peak_kib = e.process().status_field("VmHWM");
    RecordProperty("sixteen_shells_peak_kib", std::to_string(peak_kib));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kib, 200 * 1024);
#endif
    for (std::uint64_t s = 1; s <= 16; ++s) EXPECT_EQ(e.close(s), reply_of(1000 + s, kDone));
  }
}

TEST(Pty, ManyShellsEndTogetherWithTheSession) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::uint64_t shells = 60;
#else
  const std::uint64_t shells = 300;
#endif
  Editor e({"SHELL=/bin/sh"});
  for (std::uint64_t s = 1; s <= shells; ++s) {
    ASSERT_EQ(e.open(s), reply_of(s, R"({"reply":"pty_opened","shell":"/bin/sh"})"));
  }
  // Released one after another they would take 50 ms each; together, well under a second.
  auto start = Clock::now();
  e.process().close_stdin();
  EXPECT_TRUE(e.process().wait_for(5s).has_value());  // its last events fit in the pipe
  RecordProperty("end_ms", std::to_string((Clock::now() - start) / 1ms));
  auto exited = [&] {
    return std::count_if(e.exits.begin(), e.exits.end(), [](auto& x) { return x.second == 1; });
  };
  e.until([&] { return exited() == static_cast<long>(shells); });
  EXPECT_EQ(exited(), static_cast<long>(shells));
}

TEST(Pty, EndlessOutputToASlowEditorIsBoundedAndWhole) {
  TempTree tree;
  std::string yes = script(tree, "yes", "stty -onlcr; exec yes");
  nivern_test::ScopedEnv env("SHELL", yes.c_str());
  Editor e;
  e.open(1);
  long peak_kib = 0;
  std::size_t frames = 0;
  auto end = Clock::now() + 10s;
  while (Clock::now() < end) {
    // The editor takes one event at a time and does some other work in between.
    e.until([&, n = e.output[1].size()] { return e.output[1].size() > n; });
    if (++frames % 16 == 0) {
      std::this_thread::sleep_for(20ms);  // pacing the reader, not waiting for anything
      std::ifstream status("/proc/" + std::to_string(e.process().pid()) + "/status");
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) peak_kib = std::max(peak_kib, std::atol(line.c_str() + 6));
      }
    }
    // Keep only a whole-number tail, checked as it comes.
    std::string& out = e.output[1];
    std::size_t whole = out.size() / 2 * 2;
    for (std::size_t i = 0; i < whole; i += 2) {
      if (out[i] != 'y' || out[i + 1] != '\n') {
        ADD_FAILURE() << "broken run at " << i;
        return;
      }
    }
    out.erase(0, whole);
  }
  EXPECT_GT(frames, 16u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(peak_kib, 100 * 1024);
  RecordProperty("peak_rss_kib", std::to_string(peak_kib));
#endif
  EXPECT_EQ(e.close(1), reply_of(1001, kDone));
  EXPECT_TRUE(e.until_exited(1));
}

}  // namespace
