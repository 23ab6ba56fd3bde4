#include "harness/frame_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>

#include "support/spawn.h"
#include "support/write_all.h"

extern char** environ;

namespace nivern_test {

#ifndef NIVERN_SERVER_BIN
#define NIVERN_SERVER_BIN "nivern-server"
#endif

const char* server_binary() {
  const char* env = std::getenv("NIVERN_SERVER_BIN");
  return env && *env ? env : NIVERN_SERVER_BIN;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string hello_reply(std::uint64_t id) {
#if defined(__x86_64__)
  const char* arch = "x86_64";
#else
  const char* arch = "aarch64";
#endif
  return "{\"id\":" + std::to_string(id) + R"(,"reply":{"reply":"hello","version":5,"os":"linux","arch":")" +
         arch + "\"}}";
}

std::string frame(std::string_view body) {
  std::uint32_t n = static_cast<std::uint32_t>(body.size());
  std::string out;
  out.reserve(4 + body.size());
  out += static_cast<char>(n >> 24);
  out += static_cast<char>(n >> 16);
  out += static_cast<char>(n >> 8);
  out += static_cast<char>(n);
  out += body;
  return out;
}

ServerProcess::ServerProcess(std::vector<std::string> args, std::vector<std::string> env,
                             const std::string& terminal) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) std::abort();
  nivern_support::Spawn spawn;
  spawn.dup2(in[0], 0).dup2(out[1], 1).dup2(err[1], 2);
  if (!terminal.empty()) {
    // A session leader without a terminal takes the first one it opens as its
    // controlling terminal, and keeps it after closing the descriptor.
    spawn.new_session().open(3, terminal.c_str(), O_RDWR).close(3);
  }

  std::string bin = server_binary();
  std::vector<char*> argv;
  argv.push_back(bin.data());
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string s(*e);
    auto eq = s.find('=');
    vars[s.substr(0, eq)] = s;
  }
  for (auto& s : env) vars[s.substr(0, s.find('='))] = s;
  std::vector<std::string> env_store;
  for (auto& [k, v] : vars) env_store.push_back(v);
  std::vector<char*> envp;
  for (auto& s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);

  auto pid = spawn.start(bin.c_str(), argv.data(), envp.data());
  if (!pid) std::abort();
  pid_ = *pid;
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  fcntl(err_, F_SETFL, O_NONBLOCK);
}

ServerProcess::~ServerProcess() {
  if (!status_ && pid_ > 0) {
    close_stdin();
    if (wait(std::chrono::seconds(10)) < 0) {
      ::kill(pid_, SIGKILL);
    }
  }
  for (int fd : {in_, out_, err_, pidfd_})
    if (fd >= 0) ::close(fd);
}

bool ServerProcess::write_raw(std::string_view bytes) {
  if (in_ < 0) return false;
  // Ignore SIGPIPE in the test process: a server that has gone must fail the write.
  static bool ignored = [] { signal(SIGPIPE, SIG_IGN); return true; }();
  (void)ignored;
  return nivern_support::write_all(in_, bytes).has_value();
}

bool ServerProcess::fill(std::size_t want, std::chrono::steady_clock::time_point deadline) {
  char buf[65536];
  while (buffer_.size() < want) {
    if (out_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> ServerProcess::read_frame(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!fill(4, deadline)) return std::nullopt;
  auto b = reinterpret_cast<const unsigned char*>(buffer_.data());
  std::size_t n = (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
  if (!fill(4 + n, deadline)) return std::nullopt;
  std::string body = buffer_.substr(4, n);
  buffer_.erase(0, 4 + n);
  return body;
}

std::string ServerProcess::request(std::string_view body) {
  send(body);
  return read_frame().value_or("");
}

std::string ServerProcess::hello() {
  return request(R"({"id":0,"call":{"call":"hello","version":5}})");
}

void ServerProcess::close_stdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ServerProcess::close_stdout() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

void ServerProcess::drain_stderr(bool block) {
  if (err_ < 0) return;
  char buf[4096];
  for (;;) {
    if (block) {
      pollfd p{err_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return;
    }
    ssize_t n = ::read(err_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {  // every writer is gone: nothing more will come
      ::close(err_);
      err_ = -1;
    }
    if (n <= 0) return;
    err_text_.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<int> ServerProcess::wait_for(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pidfd_ < 0) {
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) std::abort();  // every kernel the tests run on has it
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Standard error is drained while waiting, so the child never blocks on a full pipe.
    drain_stderr(false);
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      drain_stderr(true);
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (r < 0 && errno != EINTR) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    pollfd p[2] = {{pidfd_, POLLIN, 0}, {err_, POLLIN, 0}};  // a closed `err_` (-1) is skipped
    if (::poll(p, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return -1;
  }
}

int ServerProcess::wait(std::chrono::milliseconds timeout) {
  if (auto status = wait_for(timeout)) return *status;
  int st = 0;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &st, 0);
  status_ = -1;
  return -1;
}

long ServerProcess::status_field(std::string_view name) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
      return std::atol(line.c_str() + name.size() + 1);
    }
  }
  return -1;
}

std::string ServerProcess::stderr_text() {
  drain_stderr(false);
  return err_text_;
}

std::string ServerProcess::rest_of_stdout() {
  char buf[65536];
  while (out_ >= 0) {
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
  return std::exchange(buffer_, {});
}

std::size_t peak_resident_bytes(pid_t pid) {
  std::FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  std::size_t kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %zu kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib * 1024;
}

}  // namespace nivern_test
