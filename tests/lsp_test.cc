// Language servers seen from the editor's side: refusals, the byte relay in both
// directions, replacement, descriptors, a slow server, a slow editor, the end of the
// session, and a real TypeScript language server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness/editor.h"
#include "harness/processes.h"
#include "harness/replies.h"
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

std::string opened_reply(std::uint64_t id, const std::string& program) {
  return response(id, R"({"reply":"lsp_opened","program":)" + json_string(program) + "}");
}
// Calls on language servers, as the editor sends them.
std::string open_call(const std::string& path, const std::string& language) {
  return R"({"call":"lsp_open","path":)" + json_string(path) + R"(,"language":)" + json_string(language) +
         "}";
}
std::string input_call(std::uint64_t lsp, std::string_view bytes) {
  return R"({"call":"lsp_input","lsp":)" + std::to_string(lsp) + R"(,"bytes":")" +
         nivern_protocol::message::encode_bytes(bytes) + "\"}";
}
std::string close_call(std::uint64_t lsp) {
  return R"(["lsp_close",)" + std::to_string(lsp) + "]";
}

// Fake language servers: shell scripts in a directory that heads the server's PATH. Each
// passes the "--version" probe unless its body says otherwise.
struct FakeServers {
  TempTree dir{"nivern-lsp"};
  std::string bin = dir.dir("bin");

  std::string add(const std::string& program, const std::string& body, bool probe_passes = true) {
    std::string path = dir.file("bin/" + program,
                                std::string("#!/bin/sh\n") +
                                    (probe_passes ? "[ \"$1\" = --version ] && exit 0\n" : "") + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
  }
  std::vector<std::string> env() const { return {"PATH=" + bin + ":/usr/bin:/bin"}; }
};

TEST(LspOpen, RefusalsAndStartErrors) {
  FakeServers fakes;
  fakes.add("rust-analyzer",
            "echo \"ERROR: Unknown Binary 'rust-analyzer' in toolchain 'beta'.\" >&2; exit 1", false);
  std::string plain = fakes.add("svelteserver", "exec cat");
  ::chmod(plain.c_str(), 0644);
  Editor e({"/tmp"}, fakes.env());
  EXPECT_EQ(e.call(1, open_call("/tmp", "Rust")),
            error_reply(1, "no language server is configured for Rust"));
  EXPECT_EQ(e.call(2, open_call("/tmp", "rust")),
            error_reply(2,
                        "rust-analyzer is not installed for beta.                  "
                        "Run: rustup component add rust-analyzer"));
  EXPECT_EQ(e.call(3, open_call("/tmp", "svelte")),
            error_reply(3, "svelteserver is on PATH but would not start: Permission denied (os error 13)"));
  EXPECT_EQ(e.call(4, open_call("/tmp", "typescript")),
            error_reply(4, "typescript-language-server is not installed, or is not on PATH"));
  fakes.add("typescript-language-server", "exec cat");
  EXPECT_EQ(e.call(5, open_call(fakes.dir / "nowhere", "javascript")),
            error_reply(5, "the language server would not start: No such file or directory (os error 2)"));
  EXPECT_EQ(e.call(6, open_call(fakes.dir / "bin/svelteserver", "javascript")),
            error_reply(6, "the language server would not start: Not a directory (os error 20)"));
  // Unknown ids: input is refused before its bytes are looked at; close is done all the same.
  EXPECT_EQ(e.call(7, R"(["lsp_input",5,"!!"])"), error_reply(7, "no such language server"));
  EXPECT_EQ(e.call(8, close_call(5)), done_reply(8));
}

TEST(LspRelay, BytesBothWaysChunkedThenClosed) {
  FakeServers fakes;
  std::string program =
      fakes.add("typescript-language-server", R"sh(printf '%s|%s|' "$*" "$(pwd)"; exec cat)sh");
  std::string project = fakes.dir.dir("project");
  Editor e({"/tmp"}, fakes.env());
  EXPECT_EQ(e.call(10, open_call(project, "typescript")), opened_reply(10, program));
  std::string greeting = "--stdio|" + project + "|";
  ASSERT_TRUE(e.until([&] { return e.output(10).size() >= greeting.size(); }));
  EXPECT_EQ(e.events(10).front(), R"({"id":10,"reply":{"reply":"lsp_output","bytes":")" +
                                      nivern_protocol::message::encode_bytes(greeting) + "\"}}");

  std::string big(40'000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  std::size_t before = e.events(10).size();
  EXPECT_EQ(e.call(11, input_call(10, big)), done_reply(11));
  EXPECT_EQ(e.call(12, input_call(10, "")), done_reply(12));
  EXPECT_EQ(e.call(13, R"(["lsp_input",10,"Zm9"])"),
            error_reply(13, "bad bytes on the wire: Invalid padding"));
  ASSERT_TRUE(e.until([&] { return e.output(10).size() >= greeting.size() + big.size(); }));
  EXPECT_TRUE(e.output(10) == greeting + big);
  EXPECT_GE(e.events(10).size() - before, 3u);

  EXPECT_EQ(e.call(14, close_call(10)), done_reply(14));
  EXPECT_EQ(e.call(15, close_call(10)), done_reply(15));
  EXPECT_EQ(e.call(16, input_call(10, "x")), error_reply(16, "no such language server"));
  e.process().close_stdin();
  ASSERT_TRUE(e.until([] { return false; }) == false);  // reads to the end of output
  EXPECT_EQ(e.process().wait(), 0);
  EXPECT_EQ(e.exits(10), 1);
  EXPECT_EQ(e.events(10).back(), R"({"id":10,"reply":{"reply":"lsp_exited"}})");
}

TEST(LspRelay, ReplacementClosesTheOldInputWithoutAKill) {
  FakeServers fakes;
  std::string marks = fakes.dir / "marks";
  // Each start takes the next letter; on end of input it says goodbye.
  fakes.add("svelteserver", "n=$(cat " + marks + " 2>/dev/null); n=\"$n.\"; echo \"$n\" > " + marks +
                                "; printf \"start$n \"; cat; printf \"bye$n \"");
  Editor e({"/tmp"}, fakes.env());
  EXPECT_EQ(e.call(20, open_call("/tmp", "svelte")), opened_reply(20, fakes.bin + "/svelteserver"));
  ASSERT_TRUE(e.until([&] { return e.output(20) == "start. "; }));
  EXPECT_EQ(e.call(20, open_call("/tmp", "svelte")), opened_reply(20, fakes.bin + "/svelteserver"));
  ASSERT_TRUE(e.until([&] { return e.exits(20) == 1 && e.output(20).size() == 20; })) << e.output(20);
  // The two servers write under one id, in either order.
  EXPECT_TRUE(e.output(20) == "start. bye. start.. " || e.output(20) == "start. start.. bye. ")
      << e.output(20);
  EXPECT_EQ(e.call(21, input_call(20, "to the new one ")), done_reply(21));
  ASSERT_TRUE(e.until([&] { return e.output(20).ends_with("to the new one "); }));
}

// Descriptor number to what it names, for a process.
std::map<std::string, std::string> descriptors(const std::string& pid) {
  std::map<std::string, std::string> fds;
  std::error_code ec;
  for (auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", ec))
    fds[entry.path().filename().string()] = std::filesystem::read_symlink(entry.path(), ec).string();
  return fds;
}

TEST(LspRelay, ThirtyTwoServersShareNoDescriptorsAndLeakNone) {
  FakeServers fakes;
  fakes.add("rust-analyzer", "echo $$; exec sleep 600");
  Editor e({"/tmp"}, fakes.env());
  const std::string server = std::to_string(e.process().pid());
  auto baseline = descriptors(server);
  // Pipes the test's own parent gave the server may be passed on; its standard input and
  // output, and every pipe it made itself, may not.
  std::set<std::string> passed_on;
  for (auto& [fd, target] : baseline)
    if (fd != "0" && fd != "1") passed_on.insert(target);
  for (std::uint64_t id = 100; id < 132; ++id) {
    ASSERT_EQ(e.call(id, open_call("/tmp", "rust")), opened_reply(id, fakes.bin + "/rust-analyzer"));
  }
  ASSERT_TRUE(e.until([&] { return e.output(131).ends_with("\n"); }));
  auto child = descriptors(e.output(131).substr(0, e.output(131).size() - 1));
  ASSERT_TRUE(child.contains("2"));
  for (auto& [fd, target] : child) {
    bool own = target == child["0"] || target == child["1"] || target == child["2"];
    EXPECT_TRUE(own || !target.starts_with("pipe:") || passed_on.contains(target)) << fd << " " << target;
  }
  // Enlarged pipes stay within the session's share of the user's pipe allowance (which
  // does not bind root: there, exactly that share is used).
  int pipes = 0, enlarged = 0;
  for (auto& [fd, target] : descriptors(server)) {
    if (!target.starts_with("pipe:") || baseline.contains(fd)) continue;
    int again = ::open(("/proc/" + server + "/fd/" + fd).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(again, 0) << fd;
    ++pipes;
    enlarged += ::fcntl(again, F_GETPIPE_SZ) == (1 << 20);
    ::close(again);
  }
  EXPECT_EQ(pipes, 3 * 32);
  EXPECT_LE(enlarged, 16);
  if (::geteuid() == 0) {
    EXPECT_EQ(enlarged, 16);
  }
  for (std::uint64_t id = 100; id < 132; ++id)
    EXPECT_EQ(e.call(id + 100, close_call(id)), done_reply(id + 100));
  ASSERT_TRUE(e.until([&] {
    for (std::uint64_t id = 100; id < 132; ++id)
      if (e.exits(id) != 1) return false;
    return true;
  }));
  auto deadline = Clock::now() + 30s;
  while (descriptors(server).size() != baseline.size() && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(descriptors(server), baseline);
}

// Bytes no two of which repeat in a short period, so a lost or moved chunk shows.
std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

TEST(LspInput, ServerThatIsNotReadingHoldsUpNoRequestAndGetsWhatWasAcceptedInOrder) {
  FakeServers fakes;
  std::string go = fakes.dir / "go";
  ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
  // Reads nothing until told to, then echoes its input.
  fakes.add("typescript-language-server", "read _ < " + go + "; exec cat");
  Editor e({"/tmp"}, fakes.env());
  ASSERT_EQ(e.call(1, open_call("/tmp", "typescript")),
            opened_reply(1, fakes.bin + "/typescript-language-server"));
  // Input is accepted, in pieces of 1 MiB, up to the limit of what may wait; the next
  // piece is refused and the session answers at once all along.
  std::string accepted;
  std::uint64_t id = 2;
  std::string reply;
  for (; id < 40; ++id) {
    std::string piece = pattern(1 << 20, static_cast<unsigned>(id));
    reply = e.call(id, input_call(1, piece));
    if (reply != done_reply(id)) break;
    accepted += piece;
  }
  EXPECT_EQ(reply, error_reply(id,
                               "the language server is not reading its input, so this input was not sent; "
                               "try again once it has read what is waiting"));
  EXPECT_GE(accepted.size(), std::size_t{8} << 20);
  EXPECT_LE(accepted.size(), std::size_t{11} << 20);  // the limit, the pipe and one piece
  EXPECT_EQ(e.call(id + 1, R"(["hello",5])"), nivern_test::hello_reply(id + 1));
  EXPECT_EQ(e.output(1), "");
  { std::ofstream(go) << "\n"; }
  ASSERT_TRUE(e.until([&] { return e.output(1).size() >= accepted.size(); }));
  EXPECT_TRUE(e.output(1) == accepted);
  // Once it has caught up, input is taken again.
  EXPECT_EQ(e.call(id + 2, input_call(1, "more")), done_reply(id + 2));
  ASSERT_TRUE(e.until([&] { return e.output(1).ends_with("more"); }));
  EXPECT_EQ(e.call(id + 3, close_call(1)), done_reply(id + 3));
}

TEST(LspClose, ServerWhoseChildHoldsItsPipesLeavesNoThreadOrDescriptor) {
  FakeServers fakes;
  // A child keeps the server's three pipes open and reads nothing.
  fakes.add("svelteserver", "sleep 600 <&0 & echo $!; exec sleep 600");
  Editor e({"/tmp"}, fakes.env());
  const std::string server = std::to_string(e.process().pid());
  const long threads = e.process().status_field("Threads");
  auto baseline = descriptors(server);
  std::vector<pid_t> children;
  for (std::uint64_t id = 1; id <= 10; ++id) {
    ASSERT_EQ(e.call(id, open_call("/tmp", "svelte")), opened_reply(id, fakes.bin + "/svelteserver"));
    ASSERT_TRUE(e.until([&] { return e.output(id).ends_with("\n"); }));
    children.push_back(std::stoi(e.output(id)));
    // More than the pipe takes: the rest waits for the server's writer thread.
    EXPECT_EQ(e.call(id + 1000, input_call(id, pattern(5 << 20, 5))), done_reply(id + 1000));
    EXPECT_EQ(e.call(id + 2000, close_call(id)), done_reply(id + 2000));
    ASSERT_TRUE(e.until([&] { return e.exits(id) == 1; }));
  }
  auto deadline = Clock::now() + 30s;
  while ((e.process().status_field("Threads") != threads || descriptors(server) != baseline) &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(e.process().status_field("Threads"), threads);
  EXPECT_EQ(descriptors(server), baseline);
  for (pid_t child : children) ::kill(child, SIGKILL);  // orphans of ours, known by pid
}

// The children the server has not reaped, zombies included; its orphan guard left out.
std::string children_of(pid_t pid) {
  std::string all;
  for (pid_t child : nivern_test::children(pid)) all += std::to_string(child) + " ";
  return all;
}

TEST(LspExit, ServersThatExitAreReapedAndCloseEverythingAtOnce) {
  FakeServers fakes;
  fakes.add("rust-analyzer", "echo bye");
  Editor e({"/tmp"}, fakes.env());
  const std::string server = std::to_string(e.process().pid());
  auto baseline = descriptors(server);
  for (std::uint64_t id = 1; id <= 50; ++id)
    ASSERT_EQ(e.call(id, open_call("/tmp", "rust")), opened_reply(id, fakes.bin + "/rust-analyzer"));
  ASSERT_TRUE(e.until([&] {
    for (std::uint64_t id = 1; id <= 50; ++id)
      if (e.exits(id) != 1) return false;
    return true;
  }));
  // Their records stay until lsp_close; their processes and descriptors do not.
  auto deadline = Clock::now() + 30s;
  while ((children_of(e.process().pid()) != "" || descriptors(server) != baseline) && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(children_of(e.process().pid()), "");
  EXPECT_EQ(descriptors(server), baseline);
  EXPECT_EQ(e.call(100, input_call(7, "x")), error_reply(100, "the language server is not listening"));
  for (std::uint64_t id = 1; id <= 50; ++id)
    EXPECT_EQ(e.call(id + 100, close_call(id)), done_reply(id + 100));
  EXPECT_EQ(e.output(50), "bye\n");
}

// The numbers from 1 up, one per line, as `seq` prints them, handed out in pieces.
struct SeqText {
  std::uint64_t next = 1;
  std::string pending;
  std::string take(std::size_t n) {
    while (pending.size() < n) pending += std::to_string(next++) + "\n";
    std::string out = pending.substr(0, n);
    pending.erase(0, n);
    return out;
  }
};

TEST(LspOutput, SlowEditorBoundsTheServersMemoryAndGetsEveryByte) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::uint64_t last = 30'000'000;  // sanitizers keep freed memory and run slowly
#else
  const std::uint64_t last = 113'000'000;  // just over 1 GB of text
#endif
  FakeServers fakes;
  fakes.add("svelteserver", "exec seq 1 " + std::to_string(last));
  Editor e({"/tmp"}, fakes.env());
  ASSERT_EQ(e.call(1, open_call("/tmp", "svelte")), opened_reply(1, fakes.bin + "/svelteserver"));
  SeqText expect;
  std::uint64_t bytes = 0, frames = 0;
  bool same = true;
  while (same) {
    ASSERT_TRUE(e.next());
    if (e.exits(1)) break;
    bytes += e.output(1).size();
    same = e.output(1) == expect.take(e.output(1).size());
    e.output(1).clear();
    e.events(1).clear();
    if (++frames % 64 == 0) std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(same) << "at byte " << bytes;
  EXPECT_EQ(expect.next, last + 1);
  EXPECT_EQ(expect.pending, "");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_GT(bytes, 1'000'000'000u);
  std::ifstream status("/proc/" + std::to_string(e.process().pid()) + "/status");
  std::string line;
  long peak_kib = -1;
  while (std::getline(status, line))
    if (line.starts_with("VmHWM:")) peak_kib = std::atol(line.c_str() + 6);
  EXPECT_GT(peak_kib, 0);
  EXPECT_LT(peak_kib, 100 * 1024);
#endif
}

TEST(LspSession, EveryServerStillRunningAtTheEndIsKilledAndReaped) {
  FakeServers fakes;
  fakes.add("rust-analyzer", "echo $$; exec sleep 600");  // keeps its output open whatever happens
  fakes.add("svelteserver", "cat > /dev/null; echo bye");
  fakes.add("typescript-language-server", "echo $$; exec sleep 600 >&-");  // runs on with its output closed
  Editor e({"/tmp"}, fakes.env());
  ASSERT_EQ(e.call(1, open_call("/tmp", "rust")), opened_reply(1, fakes.bin + "/rust-analyzer"));
  ASSERT_EQ(e.call(2, open_call("/tmp", "svelte")), opened_reply(2, fakes.bin + "/svelteserver"));
  ASSERT_EQ(e.call(3, open_call("/tmp", "typescript")),
            opened_reply(3, fakes.bin + "/typescript-language-server"));
  ASSERT_TRUE(e.until([&] { return e.output(1).ends_with("\n") && e.exits(3) == 1; }));
  std::vector<pid_t> stubborn = {std::stoi(e.output(1)), std::stoi(e.output(3))};
  e.process().close_stdin();
  e.until([] { return false; });  // to the end of output
  EXPECT_EQ(e.process().wait(), 0);
  EXPECT_EQ(e.process().stderr_text(), "");
  EXPECT_EQ(e.output(2), "bye\n");
  EXPECT_EQ(e.exits(1), 1);
  EXPECT_EQ(e.exits(2), 1);
  EXPECT_EQ(e.exits(3), 1);
  for (pid_t pid : stubborn) EXPECT_EQ(::kill(pid, 0), -1) << pid;  // killed and reaped
}

TEST(LspOpen, ProbeKeepsLittleOfAHugeOutput) {
  FakeServers fakes;
  fakes.add("svelteserver",
            "head -c 300000000 /dev/zero; printf '\\n  \\nfirst words of the complaint\\n' >&2; "
            "head -c 100000000 /dev/zero >&2; exit 3",
            false);
  Editor e({"/tmp"}, fakes.env());
  EXPECT_EQ(e.call(1, open_call("/tmp", "svelte")),
            error_reply(1, "svelteserver is on PATH but would not start: first words of the complaint"));
  const long peak_kib = e.process().status_field("VmHWM");
  RecordProperty("probe_peak_kib", std::to_string(peak_kib));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(peak_kib, 32 * 1024);
#endif
}

std::string lsp_message(const std::string& json) {
  return "Content-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json;
}

TEST(RealLanguageServer, TypeScriptAnswersInitializeAndReportsTheTypeError) {
  const std::string bin = std::string(NIVERN_SOURCE_DIR) + "/tests/lsp/node_modules/.bin";
  if (!std::filesystem::exists(bin + "/typescript-language-server")) {
    const char* ci = std::getenv("CI");
    if (ci && std::string_view(ci) == "true")
      FAIL() << "typescript-language-server is missing from " << bin << ": scripts/setup installs it";
    GTEST_SKIP() << "typescript-language-server is not installed: scripts/setup installs it with npm ci "
                    "when Node.js and npm are present";
  }
  TempTree project("nivern-ts");
  project.file("a.ts", "const count: number = \"three\";\n");
  const char* path = std::getenv("PATH");
  Editor e({"/tmp"}, {"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")});
  EXPECT_EQ(e.call(1, open_call(project.path(), "typescript")),
            opened_reply(1, bin + "/typescript-language-server"));

  const std::string root = "file://" + project.path();
  EXPECT_EQ(
      e.call(2,
             input_call(
                 1, lsp_message(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{)"
                                R"("processId":null,"rootUri":")" +
                                root + R"(","capabilities":{"textDocument":{"publishDiagnostics":{}}}}})"))),
      done_reply(2));
  ASSERT_TRUE(e.until([&] { return e.output(1).find(R"("capabilities")") != std::string::npos; }, 120s))
      << e.output(1);
  EXPECT_NE(e.output(1).find(R"("id":1)"), std::string::npos);
  EXPECT_NE(e.output(1).find(R"("result")"), std::string::npos);
  EXPECT_EQ(e.call(3, input_call(1, lsp_message(R"({"jsonrpc":"2.0","method":"initialized","params":{}})"))),
            done_reply(3));
  EXPECT_EQ(
      e.call(4, input_call(1, lsp_message(R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{)"
                                          R"("textDocument":{"uri":")" +
                                          root +
                                          R"(/a.ts",)"
                                          R"("languageId":"typescript","version":1,)"
                                          R"("text":"const count: number = \"three\";\n"}}})"))),
      done_reply(4));
  ASSERT_TRUE(e.until(
      [&] {
        return e.output(1).find("textDocument/publishDiagnostics") != std::string::npos &&
               e.output(1).find("Type 'string' is not assignable to type 'number'.") != std::string::npos;
      },
      120s))
      << e.output(1);

  EXPECT_EQ(e.call(5, close_call(1)), done_reply(5));
  e.process().close_stdin();
  e.until([] { return false; });
  EXPECT_EQ(e.process().wait(), 0);
  EXPECT_EQ(e.exits(1), 1);
}

}  // namespace
