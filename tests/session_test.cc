// The session seen from the editor's side: command line, framing, handshake, ordering.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "harness/editor.h"
#include "harness/frame_client.h"
#include "harness/replies.h"
#include "harness/temp_tree.h"

extern char** environ;

namespace {

using nivern_test::done_reply;
using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::response;
using nivern_test::ServerProcess;

const std::string kHelloReply = nivern_test::hello_reply();

TEST(CommandLine, NoArgumentIsAUsageError) {
  ServerProcess p(std::vector<std::string>{});
  EXPECT_EQ(p.wait(), 2);
  EXPECT_EQ(p.stderr_text(), "usage: nivern-server <root>\n");
  EXPECT_EQ(p.rest_of_stdout(), "");
}

TEST(CommandLine, VersionLine) {
  ServerProcess p(std::vector<std::string>{"--version", "more", "\xff"});
  EXPECT_EQ(p.wait(), 0);
  EXPECT_EQ(p.rest_of_stdout(), "nivern-server 0.2.2 protocol 5\n");
  EXPECT_EQ(p.stderr_text(), "");
}

TEST(CommandLine, HyphenWordIsARootAndLaterArgumentsAreIgnored) {
  ServerProcess p(std::vector<std::string>{"-v", "\xff\xfe"});
  EXPECT_EQ(p.hello(), kHelloReply);
  p.close_stdin();
  EXPECT_EQ(p.wait(), 0);
  EXPECT_EQ(p.stderr_text(), "");
}

TEST(CommandLine, RootThatIsNotUtf8Aborts) {
  ServerProcess p(std::vector<std::string>{"\xff"});
  EXPECT_EQ(p.wait(), 128 + 6);  // SIGABRT
}

TEST(Framing, InputEndsAtOnceOrInsideTheLength) {
  {
    ServerProcess p("/tmp");
    p.close_stdin();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.rest_of_stdout(), "");
  }
  {
    ServerProcess p("/tmp");
    p.write_raw(std::string("\0\0", 2));
    p.close_stdin();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.stderr_text(), "");
  }
}

TEST(Framing, ClosedStandardInputCountsAsEnded) {
  // Started with descriptor 0 closed: it is reopened on /dev/null and the session ends at once.
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addclose(&fa, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::string bin = nivern_test::server_binary();
  char root[] = "/tmp";
  char* argv[] = {bin.data(), root, nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  char c;
  EXPECT_EQ(::read(out[0], &c, 1), 0);  // nothing written
  ::close(out[0]);
}

TEST(Framing, InputEndsInsideTheBody) {
  ServerProcess p("/tmp");
  p.write_raw(std::string("\0\0\0\x10{\"id\"", 9));
  p.close_stdin();
  EXPECT_EQ(p.wait(), 1);
  EXPECT_EQ(p.stderr_text(), "nivern-server: failed to fill whole buffer\n");
}

TEST(Framing, EmptyFrameIsAnUnreadableRequest) {
  ServerProcess p("/tmp");
  EXPECT_EQ(p.request(""),
            error_reply(0, "unreadable request: EOF while parsing a value at line 1 column 0"));
  EXPECT_EQ(p.hello(), kHelloReply);  // the session goes on
}

TEST(Framing, LargestFrameIsReadAndOneMoreIsSkippedAndAnswered) {
  {
    ServerProcess p("/tmp");
    std::string head = R"({"id":4,"call":["hello",5],"pad":")";
    std::string body = head + std::string(67108864 - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(body.size(), 67108864u);
    std::thread writer([&] { p.send(body); });
    auto reply = p.read_frame(std::chrono::seconds(120));
    writer.join();
    EXPECT_EQ(reply.value_or(""), response(4, kHelloReply.substr(16, kHelloReply.size() - 17)));
  }
  {
    // One byte over: its body is read past without being kept, the error goes out under
    // id 0, and the hello behind it is answered.
    ServerProcess p("/tmp");
    std::thread writer([&] {
      p.write_raw(std::string("\x04\x00\x00\x01", 4) + std::string(67108865, 'x'));
      p.send(R"({"id":7,"call":["hello",5]})");
    });
    EXPECT_EQ(
        p.read_frame(std::chrono::seconds(120)).value_or(""),
        R"({"id":0,"reply":{"reply":"error","message":"frame of 67108865 bytes is over the 67108864 byte limit"}})");
    EXPECT_EQ(p.read_frame().value_or(""), response(7, kHelloReply.substr(16, kHelloReply.size() - 17)));
    writer.join();
    // The end of input inside such a body ends the session as any cut frame does.
    p.write_raw(std::string("\xFF\xFF\xFF\xFF", 4) + std::string(1000, 'x'));
    p.close_stdin();
    EXPECT_EQ(p.wait(), 1);
    EXPECT_EQ(p.stderr_text(), "nivern-server: failed to fill whole buffer\n");
  }
}

TEST(Framing, OverLimitLengthIsAnsweredBeforeItsBody) {
  // A body sent without its length: "{\"id" reads as 2,065,852,772 bytes. The answer
  // leaves at once, while the rest of that length is still to come.
  ServerProcess p("/tmp");
  ASSERT_TRUE(p.write_raw(R"({"id":3,"call":["hello",5]})"));
  ASSERT_TRUE(p.send(R"({"id":4,"call":["hello",5]})"));
  EXPECT_EQ(
      p.read_frame().value_or(""),
      R"({"id":0,"reply":{"reply":"error","message":"frame of 2065852772 bytes is over the 67108864 byte limit"}})");
  p.close_stdin();
  EXPECT_EQ(p.wait(), 1);
  EXPECT_EQ(p.stderr_text(), "nivern-server: failed to fill whole buffer\n");
}

TEST(Framing, BodiesAcrossTheReadBufferBoundary) {
  // Requests whose frames straddle the server's 8 KiB read buffer, sent back to back.
  ServerProcess p("/tmp");
  p.hello();
  std::string all;
  std::vector<std::size_t> sizes;
  for (std::size_t n = 8150; n < 8250; n += 7) sizes.push_back(n);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::string head = "{\"id\":" + std::to_string(i + 1) + ",\"call\":[\"hello\",5],\"pad\":\"";
    all += nivern_test::frame(head + std::string(sizes[i] - head.size() - 2, 'y') + "\"}");
  }
  p.write_raw(all);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    auto reply = p.read_frame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->substr(0, 8 + std::to_string(i + 1).size()), "{\"id\":" + std::to_string(i + 1) + ",\"");
  }
}

TEST(Framing, PipesAreEnlargedToTheSystemsLargestSize) {
  const int max = std::stoi(nivern_test::read_file("/proc/sys/fs/pipe-max-size"));
  ServerProcess p("/tmp");
  ASSERT_EQ(p.hello(), kHelloReply);  // start-up is over
  EXPECT_EQ(::fcntl(p.stdin_fd(), F_GETPIPE_SZ), max);
  EXPECT_EQ(::fcntl(p.stdout_fd(), F_GETPIPE_SZ), max);
}

TEST(Handshake, GateAndMismatch) {
  ServerProcess p("/tmp");
  EXPECT_EQ(p.request(R"({"id":3,"call":{"call":"list_dir","path":"/tmp"}})"),
            error_reply(3, "say hello first"));
  std::uint64_t id = 4;
  for (auto call :
       {R"({"id":4,"call":["watch","/tmp",[]]})", R"({"id":5,"call":["pty_open","/tmp",24,80]})",
        R"({"id":6,"call":["lsp_open","/tmp","rust"]})", R"({"id":7,"call":["pty_input",1,"!!"]})"}) {
    EXPECT_EQ(p.request(call), error_reply(id++, "say hello first"));
  }
  EXPECT_EQ(p.request(R"({"id":8,"call":{"call":"hello","version":4}})"),
            error_reply(8, "the editor speaks protocol 4; this server speaks 5"));
  EXPECT_EQ(p.request(R"({"id":9,"call":["open","/nonexistent"]})"), error_reply(9, "say hello first"));
  EXPECT_EQ(p.hello(), kHelloReply);
  EXPECT_EQ(p.hello(), kHelloReply);  // repeated: same reply
  EXPECT_EQ(p.request(R"({"id":10,"call":{"call":"hello","version":4}})"),
            error_reply(10, "the editor speaks protocol 4; this server speaks 5"));
  // Still greeted: calls reach their handlers.
  EXPECT_EQ(p.request(R"({"id":11,"call":["pty_close",1]})"), response(11, R"({"reply":"done"})"));
  EXPECT_EQ(
      p.request(R"({"id":12,"call":{"call":"hello","version":4294967296}})"),
      error_reply(
          0, "unreadable request: invalid value: integer `4294967296`, expected u32 at line 1 column 54"));
}

TEST(Handshake, UnknownCallIsAnsweredUnderIdZero) {
  ServerProcess p("/tmp");
  EXPECT_EQ(p.request(R"({"id":5,"call":{"call":"format"}})"),
            error_reply(0,
                        "unreadable request: unknown variant `format`, expected one of `hello`, `list_dir`, "
                        "`open`, `save`, `search`, `scan`, `watch`, `git_status`, `git_show`, `git_action`, "
                        "`pty_open`, `pty_input`, `pty_resize`, `pty_close`, `lsp_open`, `lsp_input`, "
                        "`lsp_close` at line 1 column 31"));
}

TEST(Ordering, PipelinedRequestsAnsweredInOrder) {
  ServerProcess p("/tmp");
  std::string all;
  for (int i = 1; i <= 200; ++i)
    all += nivern_test::frame("{\"id\":" + std::to_string(i) + ",\"call\":[\"hello\"," + (i % 2 ? "5" : "4") +
                              "]}");
  all += nivern_test::frame("[201,");
  p.write_raw(all);
  for (int i = 1; i <= 200; ++i) {
    auto reply = p.read_frame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->substr(0, 7 + std::to_string(i).size()), "{\"id\":" + std::to_string(i) + ",");
  }
  EXPECT_EQ(p.read_frame().value_or(""),
            error_reply(0, "unreadable request: EOF while parsing a value at line 1 column 5"));
  p.close_stdin();
  EXPECT_EQ(p.wait(), 0);
}

TEST(Ordering, CallsOnNothingOpenStillGetOneReply) {
  Editor e({"/tmp"});
  EXPECT_EQ(e.call(2, R"(["pty_input",1,"Zm9v"])"), error_reply(2, "no such shell"));
  EXPECT_EQ(e.call(3, R"(["lsp_close",2])"), done_reply(3));
}

TEST(Shutdown, ClosedOutputEndsTheSessionWithStatusOne) {
  ServerProcess p("/tmp");
  p.hello();
  p.close_stdout();
  // Keep asking: the writer fails on the first frame after the close, and the next reply
  // that cannot be queued ends the session.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!p.send(R"({"id":1,"call":["hello",5]})")) break;
    if (p.wait_for(std::chrono::milliseconds(20))) break;  // back as soon as it ends
  }
  EXPECT_EQ(p.wait(), 1);
  EXPECT_EQ(p.stderr_text(), "nivern-server: Broken pipe (os error 32)\n");
}

}  // namespace
