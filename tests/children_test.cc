// What children do to a session: background jobs of hooks and probes, a shell that has
// become root, language servers that signal their own group or leave children behind,
// a parent that ignores SIGCHLD, an editor that dies mid-frame, a server that is killed.
// After each, nothing the test started is left running and the server has no zombie.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness/editor.h"
#include "harness/frame_client.h"
#include "harness/processes.h"
#include "harness/replies.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"
#include "harness/test_repo.h"
#include "protocol/message.h"

namespace {

using namespace std::chrono_literals;
using nivern_test::all_gone;
using nivern_test::done_reply;
using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::json_string;
using nivern_test::no_descendants;
using nivern_test::pids_in;
using nivern_test::response;
using nivern_test::ScopedEnv;
using nivern_test::ServerProcess;
using nivern_test::TempTree;

std::string lsp_open(const std::string& path, const std::string& language) {
  return R"({"call":"lsp_open","path":)" + json_string(path) + R"(,"language":)" + json_string(language) + "}";
}
std::string lsp_input(std::uint64_t lsp, std::string_view bytes) {
  return R"({"call":"lsp_input","lsp":)" + std::to_string(lsp) + R"(,"bytes":")" +
         nivern_protocol::message::encode_bytes(bytes) + "\"}";
}
std::string lsp_opened(std::uint64_t id, const std::string& program) {
  return response(id, R"({"reply":"lsp_opened","program":)" + json_string(program) + "}");
}
std::string pty_open(const std::string& path) {
  return R"({"call":"pty_open","path":)" + json_string(path) + R"(,"rows":24,"cols":80})";
}
std::string pty_input(std::uint64_t shell, std::string_view bytes) {
  return R"({"call":"pty_input","pty":)" + std::to_string(shell) + R"(,"bytes":")" +
         nivern_protocol::message::encode_bytes(bytes) + "\"}";
}
std::string action(const std::string& path, const std::string& body) {
  return R"({"call":"git_action","path":)" + json_string(path) + R"(,"action":)" + body + "}";
}
bool is_git_done(const std::string& reply) { return reply.find(R"("reply":{"reply":"git_done")") != std::string::npos; }

// Kills what the test's scripts left running on purpose (orphans of ours, known by pid)
// and checks that they go.
void kill_all(const std::vector<pid_t>& pids) {
  for (pid_t p : pids) ::kill(p, SIGKILL);
  EXPECT_TRUE(all_gone(pids));
}

TEST(Children, BackgroundJobsOfHooksAndProbesNeverHoldTheReply) {
  nivern_git_test::isolate_git();
  TempTree t("nivern-children");
  const std::string repo = t.dir("repo");
  const std::string jobs = t / "jobs";
  nivern_git_test::init_repo(repo);
  t.file("repo/a.txt", "one\n");
  nivern_git_test::commit_all(repo, "first");
  // Each hook leaves a job that holds git's outputs open for as long as it runs.
  for (const char* hook : {"post-commit", "post-checkout"})
    t.script(std::string("repo/.git/hooks/") + hook, "sleep 1000 & echo $! >> " + jobs);
  t.script("bin/svelteserver",
             "[ \"$1\" = --version ] && { sleep 1000 & echo $! >> " + jobs + "; echo 1.0; exit 0; }\nexec cat");

  Editor e({repo}, {"PATH=" + (t / "bin") + ":/usr/bin:/bin"});
  t.file("repo/a.txt", "two\n");
  EXPECT_TRUE(is_git_done(e.call(1, action(repo, R"({"action":"stage","paths":[)" + json_string(repo + "/a.txt") + "]}"))));
  EXPECT_TRUE(is_git_done(e.call(2, action(repo, R"({"action":"commit","message":"second"})"))));
  EXPECT_TRUE(is_git_done(e.call(3, action(repo, R"({"action":"create","name":"topic"})"))));
  EXPECT_TRUE(is_git_done(e.call(4, action(repo, R"({"action":"switch","name":"main"})"))));
  EXPECT_EQ(e.call(5, lsp_open(repo, "svelte")), lsp_opened(5, t / "bin/svelteserver"));
  EXPECT_EQ(pids_in(jobs).size(), 4u);
  EXPECT_EQ(e.call(6, R"(["lsp_close",5])"), done_reply(6));
  EXPECT_TRUE(no_descendants(e.process().pid()));
  kill_all(pids_in(jobs));
}

// The server runs as nobody; the shell becomes root and can no longer be signalled.
TEST(Children, AShellThatBecameRootNeitherBlocksItsCloseNorTheEnd) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID root shell";
  TempTree t("nivern-root-shell");
  ::chmod(t.path().c_str(), 0755);
  const std::string shell = t / "root_shell";
  std::filesystem::copy_file(NIVERN_HELPER_root_shell, shell);
  ASSERT_EQ(::chown(shell.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(shell.c_str(), 04755), 0);
  const std::string server = nivern_test::server_binary();
  const std::string as_nobody =
      t.script("as_nobody", "exec setpriv --reuid=65534 --regid=65534 --clear-groups " + server + " \"$@\"");
  ScopedEnv bin("NIVERN_SERVER_BIN", as_nobody.c_str());

  ServerProcess p({"/tmp"}, {"SHELL=" + shell});
  ASSERT_EQ(p.hello(), nivern_test::hello_reply(0));
  // Each shell says who it is and its pid, then waits for input.
  std::vector<pid_t> shells;
  std::string seen;
  auto say = [&](std::uint64_t id) {
    // Output may come before the reply; either way the input follows the opening.
    ASSERT_TRUE(p.send(nivern_test::request(id, pty_open("/tmp"))));
    ASSERT_TRUE(p.send(nivern_test::request(id + 1, pty_input(id, "echo \"uid=$(id -u) pid=$$.\"\n"))));
    const std::string opened = response(id, R"({"reply":"pty_opened","shell":)" + json_string(shell) + "}");
    auto deadline = std::chrono::steady_clock::now() + 30s;
    std::string out;
    bool opened_seen = false;
    std::size_t at;
    while ((at = out.find("uid=0 pid=")) == std::string::npos || out.find('.', at) == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << out;
      auto frame = p.read_frame(30s);
      ASSERT_TRUE(frame);
      seen += *frame;
      if (*frame == opened) opened_seen = true;
      auto bytes = frame->find(R"("bytes":")");
      if (frame->find("\"id\":" + std::to_string(id) + ",") != std::string::npos && bytes != std::string::npos) {
        bytes += 9;
        out += *nivern_protocol::message::decode_bytes(frame->substr(bytes, frame->find('"', bytes) - bytes));
      }
    }
    EXPECT_TRUE(opened_seen) << seen;
    shells.push_back(std::stoi(out.substr(out.find("uid=0 pid=") + 10)));
  };
  say(1);
  ASSERT_EQ(shells.size(), 1u);
  ASSERT_TRUE(p.send(nivern_test::request(3, R"({"call":"pty_close","pty":1})")));
  bool closed = false, exited = false;
  while (!(closed && exited)) {
    auto frame = p.read_frame(30s);
    ASSERT_TRUE(frame) << "no answer to pty_close";
    closed = closed || *frame == done_reply(3);
    exited = exited || *frame == response(1, R"({"reply":"pty_exited"})");
    // Reaped before the editor is told.
    if (exited) {
      EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(shells[0])));
    }
  }
  // A second one is still open when the session ends.
  say(10);
  ASSERT_EQ(shells.size(), 2u);
  EXPECT_FALSE(nivern_test::descendants(p.pid()).empty());
  p.close_stdin();
  EXPECT_EQ(p.wait(30s), 0) << p.stderr_text();
  EXPECT_TRUE(all_gone(shells));
}

TEST(Children, ALanguageServerThatKillsItsGroupKillsOnlyItself) {
  TempTree t("nivern-kill-zero");
  // The probe signals its group and lives on; the server does on its exit, which comes
  // after its first line.
  t.script("bin/svelteserver",
             "[ \"$1\" = --version ] && { trap '' TERM; kill 0; exit 0; }\n"
             "trap 'kill 0' EXIT\nread line\necho \"read $line\"");
  std::vector<std::string> env = {"PATH=" + (t / "bin") + ":/usr/bin:/bin"};
  {
    Editor e({"/tmp"}, env);
    EXPECT_EQ(e.call(1, lsp_open("/tmp", "svelte")), lsp_opened(1, t / "bin/svelteserver"));
    EXPECT_EQ(e.call(2, lsp_input(1, "x\n")), done_reply(2));
    ASSERT_TRUE(e.until([&] { return e.exits(1) == 1; }));
    EXPECT_EQ(e.output(1), "read x\n");
    EXPECT_EQ(e.call(3, R"(["lsp_close",1])"), done_reply(3));  // still here to answer
    EXPECT_TRUE(no_descendants(e.process().pid()));
    // Another one ends at the end of the session, by its end of input.
    EXPECT_EQ(e.call(4, lsp_open("/tmp", "svelte")), lsp_opened(4, t / "bin/svelteserver"));
  }  // the editor checks the session ended with status 0
}

TEST(Children, SigchldIgnoredByTheParentChangesNothing) {
  nivern_git_test::isolate_git();
  TempTree t("nivern-sigchld");
  const std::string repo = t.dir("repo");
  nivern_git_test::init_repo(repo);
  t.file("repo/a.txt", "one\n");
  nivern_git_test::commit_all(repo, "first");
  t.file("repo/a.txt", "two\n");
  t.script("bin/svelteserver", "[ \"$1\" = --version ] && exit 0\nexec cat");
  const std::string server = nivern_test::server_binary();
  const std::string wrapper =
      t.script("ignoring", std::string("exec ") + NIVERN_HELPER_sigchld_ignored + " " + server + " \"$@\"");
  ScopedEnv bin("NIVERN_SERVER_BIN", wrapper.c_str());

  Editor e({repo}, {"PATH=" + (t / "bin") + ":/usr/bin:/bin"});
  const std::string status = e.call(1, R"({"call":"git_status","path":)" + json_string(repo) + "}");
  EXPECT_NE(status.find(R"("state":"modified")"), std::string::npos) << status;
  EXPECT_EQ(e.call(2, R"({"call":"git_show","path":)" + json_string(repo + "/a.txt") + "}"),
            nivern_test::text_reply(2, "one\n"));
  EXPECT_TRUE(is_git_done(e.call(3, action(repo, R"({"action":"stage","paths":[)" + json_string(repo + "/a.txt") + "]}"))));
  EXPECT_EQ(e.call(4, lsp_open(repo, "svelte")), lsp_opened(4, t / "bin/svelteserver"));
  EXPECT_EQ(e.call(5, R"(["lsp_close",4])"), done_reply(5));
  EXPECT_TRUE(no_descendants(e.process().pid()));
}

// A language server that ignores the end of its input, and its own child holding its
// output: both go with the group, whichever way the session ends.
TEST(Children, LanguageServersAndTheirChildrenEndWithEverySession) {
  TempTree t("nivern-lsp-ends");
  const std::string pids = t / "pids";
  t.script("bin/svelteserver",
             "[ \"$1\" = --version ] && exit 0\necho $$ >> " + pids + "\nsleep 1000 & echo $! >> " + pids +
                 "\nexec sleep 1000 < /dev/null");
  std::vector<std::string> env = {"PATH=" + (t / "bin") + ":/usr/bin:/bin"};
  auto open_two = [&](ServerProcess& p) {
    for (std::uint64_t id : {1, 2}) {
      ASSERT_EQ(p.request(nivern_test::request(id, lsp_open("/tmp", "svelte"))),
                lsp_opened(id, t / "bin/svelteserver"));
    }
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (pids_in(pids).size() < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(pids_in(pids).size(), 4u);
  };
  {
    SCOPED_TRACE("lsp_close");
    ServerProcess p({"/tmp"}, env);
    p.hello();
    const pid_t guard = nivern_test::guard_of(p.pid());
    EXPECT_GT(guard, 0);
    open_two(p);
    ASSERT_TRUE(p.send(nivern_test::request(3, R"(["lsp_close",1])")));
    std::optional<std::string> frame;
    while ((frame = p.read_frame()) && *frame != done_reply(3)) {
    }
    ASSERT_TRUE(frame);
    std::vector<pid_t> first = pids_in(pids);
    first.resize(2);
    EXPECT_TRUE(all_gone(first));  // the server and the child it left
    p.close_stdin();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_TRUE(all_gone(pids_in(pids)));
    EXPECT_TRUE(all_gone({guard}));
    std::filesystem::remove(pids);
  }
  {
    SCOPED_TRACE("the editor dies while writing a frame");
    ServerProcess p({"/tmp"}, env);
    p.hello();
    open_two(p);
    ASSERT_TRUE(p.write_raw(std::string("\0\0\0\x40{\"id\":", 10)));
    p.close_stdin();
    EXPECT_EQ(p.wait(), 1);
    EXPECT_TRUE(all_gone(pids_in(pids)));
    std::filesystem::remove(pids);
  }
  {
    SCOPED_TRACE("the server is killed");
    ServerProcess p({"/tmp"}, env);
    p.hello();
    const pid_t guard = nivern_test::guard_of(p.pid());
    EXPECT_GT(guard, 0);
    open_two(p);
    ASSERT_EQ(::kill(p.pid(), SIGKILL), 0);
    EXPECT_EQ(p.wait(), 128 + SIGKILL);
    EXPECT_TRUE(all_gone(pids_in(pids)));
    EXPECT_TRUE(all_gone({guard}));
    kill_all(pids_in(pids));
  }
}

TEST(Children, TheShellIsNeverFoundInTheProject) {
  TempTree t("nivern-shell-path");
  const std::string project = t.dir("project");
  const std::string marker = t / "ran";
  t.script("project/myshell", "touch " + marker);
  t.script("project/bin/myshell", "touch " + marker);
  for (const char* shell : {"myshell", "bin/myshell"}) {
    SCOPED_TRACE(shell);
    Editor e({project}, {std::string("SHELL=") + shell, "PATH=:bin:/usr/bin:/bin"});
    EXPECT_EQ(e.call(1, pty_open(project)),
              error_reply(1, std::string("could not start a shell: cannot run ") + shell +
                                 ": No such file or directory (os error 2)"));
    EXPECT_TRUE(no_descendants(e.process().pid()));
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
