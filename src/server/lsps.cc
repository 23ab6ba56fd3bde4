#include "server/lsps.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>

#include "server/calls.h"
#include "server/lsp_probe.h"
#include "server/server.h"
#include "support/byte_budget.h"
#include "support/mutex.h"
#include "support/process.h"
#include "support/thread_name.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"

namespace nivern_server::lsp {

namespace msg = nivern_protocol::message;
using nivern_support::CondVar;
using nivern_support::Mutex;
using nivern_support::MutexLock;
using nivern_support::UniqueFd;

namespace {
constexpr const char* NOT_LISTENING = "the language server is not listening";
constexpr std::size_t WRITE_MAX = 2'147'483'647;
}  // namespace

/// A server's standard input. The main thread writes `fd` itself what the pipe takes at
/// once, but only while nothing is queued or in the writer's hands; the rest is queued
/// for the server's writer thread (started the first time the pipe is full), which
/// writes it in order, waiting for room.
struct Input {
  explicit Input(UniqueFd pipe) : fd(std::move(pipe)) {}

  Mutex mu;
  CondVar work;
  UniqueFd fd GUARDED_BY(mu);                    // non-blocking; empty once failed or closed
  std::deque<std::string> queue GUARDED_BY(mu);  // bytes waiting for the writer, in order
  bool writer GUARDED_BY(mu) = false;            // the writer thread runs
  bool busy GUARDED_BY(mu) = false;              // the writer holds a chunk taken from `queue`
  bool failed GUARDED_BY(mu) = false;            // a write failed: the server is not listening
  bool closing GUARDED_BY(mu) = false;           // close `fd` once `queue` is written
};

/// Shared by the main thread and one relay thread.
struct Relay {
  std::shared_ptr<nivern_support::ByteBudget> budget = nivern_support::ByteBudget::make(OUTPUT_BUDGET);
  UniqueFd stop;  // an eventfd; readable once the relay must leave
  Mutex mu;
  CondVar cv;
  bool ended GUARDED_BY(mu) = false;  // the relay has sent its last event

  // Makes the relay leave at once, whether it waits for output or for the editor.
  void request_stop() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop.get(), &one, sizeof one);
    budget->close();
  }
  void mark_ended() {
    {
      MutexLock lock(mu);
      ended = true;
    }
    cv.notify_all();
  }
  bool wait_ended(std::chrono::steady_clock::time_point deadline) {
    MutexLock lock(mu);
    while (!ended) {
      if (!cv.wait_until(mu, deadline)) return ended;
    }
    return true;
  }
};

namespace {

enum class Put { all, full, failed };

// Writes what the pipe takes now, advancing `bytes` past what was written.
Put put_now(int fd, std::string_view& bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), std::min(bytes.size(), WRITE_MAX));
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      return Put::full;
    } else if (!(n < 0 && errno == EINTR)) {
      return Put::failed;  // EPIPE once the server is gone; a write of 0 bytes counts too
    }
  }
  return Put::all;
}

// Writes one chunk whole, waiting for room in the pipe as long as the server lives.
bool put_all(int fd, std::string_view bytes) {
  for (;;) {
    Put r = put_now(fd, bytes);
    if (r != Put::full) return r == Put::all;
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0) {
      if (errno != EINTR) return false;
    }
  }
}

// The writer's loop: queued chunks in order until the input is closed or a write fails.
void write_queued(Input& in) {
  MutexLock lock(in.mu);
  for (;;) {
    while (in.queue.empty() && !in.closing) in.work.wait(in.mu);
    if (in.queue.empty()) break;  // closed, and everything written
    std::string chunk = std::move(in.queue.front());
    in.queue.pop_front();
    in.busy = true;
    int fd = in.fd.get();
    in.mu.unlock();
    bool ok = put_all(fd, chunk);
    in.mu.lock();
    in.busy = false;
    if (!ok) {
      in.failed = true;
      in.queue.clear();
      break;
    }
  }
  in.fd.reset();
}

// Closes the input once what is queued is written; with `drop`, queued bytes are dropped.
void close_input(Input& in, bool drop) {
  {
    MutexLock lock(in.mu);
    if (drop) in.queue.clear();
    in.closing = true;
    if (!in.writer) in.fd.reset();
  }
  in.work.notify_all();
}

void relay_output(Lsps::Out out, std::uint64_t id, UniqueFd pipe, const std::shared_ptr<Relay>& relay) {
  nivern_support::name_this_thread("nivern-server-lsp");
  auto buffer = std::make_unique<char[]>(READ_SIZE);
  const std::string head = "{\"id\":" + std::to_string(id) + R"(,"reply":{"reply":"lsp_output","bytes":")";
  const std::string_view tail = "\"}}";
  // Our end of the pipe does not block: a read that finds nothing waits in poll, where a
  // stop request is seen too (a closed budget stops a relay that always finds output).
  ::fcntl(pipe.get(), F_SETFL, ::fcntl(pipe.get(), F_GETFL) | O_NONBLOCK);
  pollfd fds[2] = {{pipe.get(), POLLIN, 0}, {relay->stop.get(), POLLIN, 0}};
  for (;;) {
    ssize_t n = ::read(pipe.get(), buffer.get(), READ_SIZE);
    if (n < 0 && errno == EAGAIN) {
      int ready;
      while ((ready = ::poll(fds, 2, -1)) < 0 && errno == EINTR) {
      }
      if (ready < 0 || fds[1].revents != 0) break;
      continue;
    }
    if (n <= 0) break;
    // The event's body as `Response::encode` writes it, with the base64 written in place.
    std::string body;
    body.reserve(head.size() + (static_cast<std::size_t>(n) + 2) / 3 * 4 + tail.size());
    body += head;
    msg::append_encoded_bytes(body, std::string_view(buffer.get(), static_cast<std::size_t>(n)));
    body += tail;
    auto lease = relay->budget->acquire(body.size());
    if (!lease) break;
    if (!out.send(Frame{std::move(body), std::move(*lease)})) {
      pipe.reset();
      out.reset();
      relay->mark_ended();
      return;
    }
  }
  (void)out.send(Frame{msg::Response{id, msg::Reply::LspExited{}}.encode(), {}});
  pipe.reset();
  out.reset();
  relay->mark_ended();
}

// A detached thread running `f(args...)`; false when the system has no thread to give.
template <class F, class... Args>
bool start_detached(F&& f, Args&&... args) {
  try {
    std::thread(std::forward<F>(f), std::forward<Args>(args)...).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void drain_log(UniqueFd pipe) {
  nivern_support::name_this_thread("nivern-server-lsp-log");
  char buffer[4096];
  while (::read(pipe.get(), buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

Lsps::~Lsps() {
  for (auto& [id, r] : running_) close_input(*r.input, false);
}

void Lsps::release(Running&& r) {
  close_input(*r.input, false);
  released_.push_back(std::move(r));
}

Lsps::Reply Lsps::open(std::uint64_t id, const std::string& path, const std::string& language,
                       const Out& out) {
  auto spec = look_up(language);
  if (!spec) return Reply::Error{std::move(spec.error())};
  auto found = find_on_path(spec->program);
  if (!found) return Reply::Error{std::move(found.error())};
  if (auto ok = probe(*found, path, spec->program); !ok) return Reply::Error{std::move(ok.error())};
  return open_program(id, *found, spec->args, path, out);
}

Lsps::Reply Lsps::open_program(std::uint64_t id, const std::string& program,
                               std::span<const std::string_view> args, const std::string& dir,
                               const Out& out) {
  // Replaced servers that have ended are reaped here, so the list stays short.
  std::erase_if(released_, [](const Running& r) {
    MutexLock lock(r.relay->mu);
    return r.relay->ended && nivern_support::try_wait_child(r.pid);
  });

  nivern_support::Command command{.program = program_path(program), .search_path = false, .workdir = dir};
  command.args.assign(args.begin(), args.end());
  auto started = nivern_support::start(command);
  if (!started) return Reply::Error{"the language server would not start: " + started.error().text()};

  ::fcntl(started->in.get(), F_SETFL, ::fcntl(started->in.get(), F_GETFL) | O_NONBLOCK);
  // Larger pipes let a burst cross in a few wake-ups instead of one per 64 KiB; a refusal
  // (a system limit) leaves a pipe as it was.
  for (int fd : {started->in.get(), started->out.get()}) (void)::fcntl(fd, F_SETPIPE_SZ, PIPE_SIZE);
  Running r{started->pid, std::make_shared<Input>(std::move(started->in)), std::make_shared<Relay>()};
  r.relay->stop.reset(::eventfd(0, EFD_CLOEXEC));

  // Without a thread for it, standard error is closed with the thread's arguments; the
  // server goes on.
  (void)start_detached(drain_log, std::move(started->err));
  if (!r.relay->stop || !start_detached(relay_output, Out(out), id, std::move(started->out), r.relay)) {
    nivern_support::kill_child(r.pid);
    close_input(*r.input, true);
    nivern_support::wait_child(r.pid);
    return Reply::Error{"cannot start reading the language server"};
  }

  auto [it, fresh] = running_.try_emplace(id);
  if (!fresh) release(std::move(it->second));
  it->second = std::move(r);
  return Reply::LspOpened{nivern_text::lossy_utf8(program)};
}

Lsps::Reply Lsps::input(std::uint64_t id, std::string_view text) {
  auto it = running_.find(id);
  if (it == running_.end()) return Reply::Error{"no such language server"};
  auto bytes = msg::decode_bytes(text);
  if (!bytes) return Reply::Error{std::move(bytes.error())};

  std::shared_ptr<Input> shared = it->second.input;
  Input& in = *shared;
  {
    MutexLock lock(in.mu);
    if (in.failed || !in.fd) return Reply::Error{NOT_LISTENING};
    std::size_t rest = bytes->size();
    if (in.busy || !in.queue.empty()) {
      if (bytes->empty()) return Reply::Done{};
    } else {
      std::string_view left = *bytes;
      switch (put_now(in.fd.get(), left)) {
        case Put::all:
          return Reply::Done{};
        case Put::failed:
          in.failed = true;
          in.fd.reset();
          return Reply::Error{NOT_LISTENING};
        case Put::full:
          break;
      }
      // The pipe is full: the rest goes to this server's writer thread, and later input
      // queues behind it until the writer has caught up.
      rest = left.size();
      if (!in.writer) {
        try {
          std::thread([shared] {
            nivern_support::name_this_thread("nivern-server-lsp-in");
            write_queued(*shared);
          }).detach();
        } catch (const std::system_error&) {
          // No thread to spare: write the rest here, as the pipe takes it.
          if (put_all(in.fd.get(), left)) return Reply::Done{};
          in.failed = true;
          in.fd.reset();
          return Reply::Error{NOT_LISTENING};
        }
        in.writer = true;
      }
    }
    bytes->erase(0, bytes->size() - rest);
    in.queue.push_back(std::move(*bytes));
  }
  in.work.notify_one();
  return Reply::Done{};
}

Lsps::Reply Lsps::close(std::uint64_t id) {
  auto it = running_.find(id);
  if (it == running_.end()) return Reply::Done{};
  Running r = std::move(it->second);
  running_.erase(it);
  close_input(*r.input, true);
  nivern_support::kill_child(r.pid);
  nivern_support::wait_child(r.pid);
  r.relay->request_stop();
  return Reply::Done{};
}

void Lsps::finish(std::chrono::steady_clock::duration grace) {
  for (auto& [id, r] : running_) release(std::move(r));
  running_.clear();
  auto deadline = std::chrono::steady_clock::now() + grace;
  for (Running& r : released_) {
    if (r.relay->wait_ended(deadline)) {
      (void)nivern_support::try_wait_child(r.pid);
      continue;
    }
    nivern_support::kill_child(r.pid);
    nivern_support::wait_child(r.pid);
    r.relay->request_stop();
  }
  released_.clear();
}

}  // namespace nivern_server::lsp

namespace nivern_server {

Reply open_lsp(Server& server, std::uint64_t id, const Call::LspOpen& call) {
  return server.lsps.open(id, call.path, call.language, server.out);
}
Reply lsp_input(Server& server, const Call::LspInput& call) {
  return server.lsps.input(call.lsp, call.bytes);
}
Reply lsp_close(Server& server, const Call::LspClose& call) {
  return server.lsps.close(call.lsp);
}

}  // namespace nivern_server
