// git_status, git_show and git_action through the built server, against real repositories.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "harness/editor.h"
#include "harness/frame_client.h"
#include "harness/replies.h"
#include "harness/scoped_env.h"
#include "harness/temp_tree.h"
#include "harness/test_repo.h"

namespace {

using nivern_git_test::commit_all;
using nivern_git_test::git;
using nivern_test::Editor;
using nivern_test::error_reply;
using nivern_test::json_string;
using nivern_test::request;
using nivern_test::response;
using nivern_test::ScopedEnv;
using nivern_test::ServerProcess;
using nivern_test::TempTree;
using nivern_test::text_reply;
using nivern_test::write_file;

// A call on `path` by its name, as the editor sends it.
std::string on(const std::string& name, const std::string& path) {
  return R"({"call":")" + name + R"(","path":)" + json_string(path) + "}";
}

std::string entry(const std::string& path, const char* state, const char* staged, const char* unstaged) {
  auto opt = [](const char* s) { return s ? "\"" + std::string(s) + "\"" : std::string("null"); };
  return R"({"path":)" + json_string(path) + R"(,"state":")" + state + R"(","staged":)" + opt(staged) +
         R"(,"unstaged":)" + opt(unstaged) + "}";
}

std::string action(const std::string& path, const std::string& body) {
  return R"({"call":"git_action","path":)" + json_string(path) + R"(,"action":)" + body + "}";
}

// An HTTP server on 127.0.0.1 that wants a password: every request is answered with 401
// and a Basic challenge, as a private repository's host answers a client without one.
class PasswordWall {
 public:
  PasswordWall() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), size) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1: " << errno;
      return;
    }
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(at.sin_port));
    thread_ = std::thread([this] { serve(); });
  }
  ~PasswordWall() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes the accept below
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  PasswordWall(const PasswordWall&) = delete;
  PasswordWall& operator=(const PasswordWall&) = delete;
  const std::string& url() const { return url_; }

 private:
  void serve() {
    static constexpr std::string_view DENIED =
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"nivern\"\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n";
    for (;;) {
      int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t got = ::read(client, buf, sizeof buf);
        if (got <= 0) break;
        request.append(buf, static_cast<std::size_t>(got));
      }
      (void)!::write(client, DENIED.data(), DENIED.size());
      ::close(client);
    }
  }

  int fd_ = -1;
  std::string url_;
  std::thread thread_;
};

// A pseudo-terminal for the server to have as its controlling terminal; the test holds
// the master side and so sees anything written to the terminal.
class Terminal {
 public:
  Terminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      ADD_FAILURE() << "no pseudo-terminal: " << errno;
      return;
    }
    device_ = ::ptsname(master_);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  ~Terminal() {
    if (master_ >= 0) ::close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  const std::string& device() const { return device_; }
  // What has been written to the terminal and not read yet.
  std::string written() {
    std::string all;
    char buf[4096];
    ssize_t got;
    while ((got = ::read(master_, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(got));
    return all;
  }

 private:
  int master_ = -1;
  std::string device_;
};

class GitCalls : public nivern_git_test::RepoTest {};

TEST_F(GitCalls, ShowRefusesTextThatCannotFitAFrameCheaply) {
  // Zero bytes are valid UTF-8 and six bytes each once escaped: 60 MiB of them cannot fit.
  write_file(repo_ + "/zeros", std::string(60u << 20, '\0'));
  commit_all(repo_, "zeros");
  Editor server({repo_});
  EXPECT_EQ(server.call(1, on("git_show", repo_ + "/zeros")),
            error_reply(1, "too large to open as text yet"));
  if (nivern_test::kPeakMemoryIsMeaningful) {
    EXPECT_LT(nivern_test::peak_resident_bytes(server.process().pid()), 128u << 20);
  }
}

TEST_F(GitCalls, StatusOfAChangedRepository) {
  write_file(repo_ + "/tracked.txt", "one\n");
  write_file(repo_ + "/old name", "moving\n");
  commit_all(repo_, "first");
  write_file(repo_ + "/tracked.txt", "two\n");
  git(repo_, {"mv", "old name", "new name"});
  write_file(repo_ + "/dir/inner", "x");
  write_file(repo_ + "/line\nbreak \"q\"", "x");
  write_file(repo_ + "/n\xFF", "x");  // keyed "n\uFFFD", which sorts after "new name"

  Editor server({repo_});
  EXPECT_EQ(
      server.call(3, on("git_status", repo_ + "/tracked.txt")),
      response(
          3,
          R"({"reply":"git_status","repository":true,"branch":"main","upstream":null,"ahead":0,"behind":0,"entries":[)" +
              entry(repo_ + "/dir", "untracked", nullptr, "untracked") + "," +
              entry(repo_ + "/line\nbreak \"q\"", "untracked", nullptr, "untracked") + "," +
              entry(repo_ + "/new name", "modified", "modified", nullptr) + "," +
              entry(repo_ + "/n\uFFFD", "untracked", nullptr, "untracked") + "," +
              entry(repo_ + "/old name", "deleted", "deleted", nullptr) + "," +
              entry(repo_ + "/tracked.txt", "modified", nullptr, "modified") + "]}"));
}

TEST_F(GitCalls, StatusOutsideAnyRepository) {
  Editor server({dir_.path()});
  EXPECT_EQ(
      server.call(4, on("git_status", dir_ / "plain/dir")),
      response(
          4,
          R"({"reply":"git_status","repository":false,"branch":null,"upstream":null,"ahead":0,"behind":0,"entries":[]})"));
}

TEST_F(GitCalls, ShowGivesTheCommittedTextOrSaysWhyNot) {
  write_file(repo_ + "/crlf.txt", "a\r\nb\r\n");
  write_file(repo_ + "/blob.bin", std::string("\x00\xFF\xFE", 3));
  commit_all(repo_, "first");
  write_file(repo_ + "/crlf.txt", "edited\n");
  write_file(repo_ + "/fresh", "x");

  Editor server({repo_});
  EXPECT_EQ(server.call(5, on("git_show", repo_ + "/crlf.txt")), text_reply(5, "a\r\nb\r\n"));
  EXPECT_EQ(server.call(6, on("git_show", repo_ + "/fresh")), error_reply(6, "not in the last commit"));
  EXPECT_EQ(server.call(7, on("git_show", repo_ + "/blob.bin")), error_reply(7, "binary in the last commit"));
  EXPECT_EQ(server.call(8, on("git_show", dir_ / "elsewhere")), error_reply(8, "not in a repository"));
}

TEST_F(GitCalls, ShowOfContentTooLargeForAFrameIsRefusedAndTheSessionGoesOn) {
  write_file(repo_ + "/huge.txt", std::string(80'000'000, 'a'));   // git is stopped past the limit
  write_file(repo_ + "/tabs.txt", std::string(40'000'000, '\t'));  // fits, but not once escaped
  commit_all(repo_, "big");
  Editor server({repo_});
  EXPECT_EQ(server.call(5, on("git_show", repo_ + "/huge.txt")),
            error_reply(5, "too large to open as text yet"));
  EXPECT_EQ(server.call(6, on("git_show", repo_ + "/tabs.txt")),
            error_reply(6, "too large to open as text yet"));
  EXPECT_EQ(server.call(7, R"({"call":"hello","version":5})"), nivern_test::hello_reply(7));
}

TEST_F(GitCalls, ShowInARepositoryWithoutCommits) {
  write_file(repo_ + "/f", "x");
  Editor server({repo_});
  EXPECT_EQ(server.call(9, on("git_show", repo_ + "/f")),
            error_reply(9, "fatal: invalid object name 'HEAD'."));
}

TEST_F(GitCalls, GitMissingFromPath) {
  write_file(repo_ + "/f", "x");
  TempTree empty;
  Editor server({repo_}, {"PATH=" + empty.path()});
  EXPECT_EQ(
      server.call(10, on("git_status", repo_)),
      response(
          10,
          R"({"reply":"git_status","repository":true,"branch":"main","upstream":null,"ahead":0,"behind":0,"entries":[]})"));
  EXPECT_EQ(server.call(11, on("git_show", repo_ + "/f")),
            error_reply(11, "No such file or directory (os error 2)"));
}

TEST_F(GitCalls, ActionsChangeTheRepositoryAndSaySo) {
  write_file(repo_ + "/a.txt", "one\n");
  commit_all(repo_, "first");
  write_file(repo_ + "/a.txt", "two\n");
  auto done = [](const std::string& said) {
    return R"({"reply":"git_done","said":)" + json_string(said) +
           R"(,"branches":[],"pulls":[],"open":null,"commits":[],"changed":[]})";
  };

  Editor server({repo_});
  EXPECT_EQ(
      server.call(17, action(repo_, R"({"action":"stage","paths":[)" + json_string(repo_ + "/a.txt") + "]}")),
      response(17, done("Staged a.txt.")));
  EXPECT_EQ(git(repo_, {"diff", "--cached", "--name-only"}), "a.txt\n");
  EXPECT_EQ(server.call(18, action(repo_, R"({"action":"commit","message":"  "})")),
            error_reply(18, "a commit needs a message"));
  EXPECT_EQ(server.call(19, action(dir_ / "elsewhere", R"({"action":"fetch"})")),
            error_reply(19, "not in a repository"));
}

TEST_F(GitCalls, ACredentialPromptNeverStallsTheSession) {
  PasswordWall wall;
  Terminal terminal;
  commit_all(repo_, "first");
  git(repo_, {"remote", "add", "origin", wall.url() + "/private.git"});
  git(repo_, {"config", "branch.main.remote", "origin"});
  git(repo_, {"config", "branch.main.merge", "refs/heads/main"});
  ScopedEnv askpass("GIT_ASKPASS", nullptr);  // nothing but the terminal could ask
  ScopedEnv ssh_askpass("SSH_ASKPASS", nullptr);
  Editor e({repo_}, {}, terminal.device());
  ServerProcess& server = e.process();

  const std::string refused = "could not read Username for '" + wall.url() + "': terminal prompts disabled";
  const std::string listed = response(21, R"({"reply":"entries","entries":[]})");
  std::string empty = dir_ / "empty";
  std::filesystem::create_directories(empty);
  ASSERT_TRUE(server.send(request(20, action(repo_, R"({"action":"fetch"})"))));
  ASSERT_TRUE(server.send(request(21, on("list_dir", empty))));
  auto next = [&] { return server.read_frame(std::chrono::seconds(1)).value_or("no reply within a second"); };
  EXPECT_EQ(next(), error_reply(20, refused));
  EXPECT_EQ(next(), listed);
  EXPECT_EQ(server.request(request(22, action(repo_, R"({"action":"pull"})"))), error_reply(22, refused));
  EXPECT_EQ(server.request(request(23, action(repo_, R"({"action":"push"})"))), error_reply(23, refused));
  EXPECT_EQ(terminal.written(), "");
}

TEST_F(GitCalls, BrokenRepositoriesNeverEndTheSession) {
  std::string broken = dir_ / "broken";
  write_file(broken + "/.git", "gitdir: nowhere");
  std::string garbage = dir_ / "garbage";
  write_file(garbage + "/.git", "\xFF\xFE not text");
  write_file(repo_ + "/.git/HEAD", "not a ref\n");

  Editor server({repo_});
  EXPECT_EQ(
      server.call(12, on("git_status", broken)),
      response(
          12,
          R"({"reply":"git_status","repository":true,"branch":null,"upstream":null,"ahead":0,"behind":0,"entries":[]})"));
  EXPECT_EQ(
      server.call(13, on("git_status", garbage + "/x")),
      response(
          13,
          R"({"reply":"git_status","repository":false,"branch":null,"upstream":null,"ahead":0,"behind":0,"entries":[]})"));
  EXPECT_EQ(
      server.call(14, on("git_status", repo_)),
      response(
          14,
          R"({"reply":"git_status","repository":true,"branch":null,"upstream":null,"ahead":0,"behind":0,"entries":[]})"));
  EXPECT_EQ(server.call(15, on("git_show", broken + "/f")),
            error_reply(15, "fatal: not a git repository: " + broken + "/nowhere"));
  EXPECT_EQ(server.call(16, on("git_show", garbage + "/f")), error_reply(16, "not in a repository"));
}

}  // namespace
