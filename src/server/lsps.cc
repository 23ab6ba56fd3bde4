#include "server/lsps.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "server/calls.h"
#include "server/lsp_probe.h"
#include "server/server.h"
#include "support/byte_budget.h"
#include "support/input_writer.h"
#include "support/mutex.h"
#include "support/process.h"
#include "support/stop_signal.h"
#include "support/thread_name.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"

namespace nivern_server::lsp {

namespace msg = nivern_protocol::message;
using nivern_support::Child;
using nivern_support::CondVar;
using nivern_support::Mutex;
using nivern_support::MutexLock;
using nivern_support::UniqueFd;

namespace {

constexpr const char* NOT_LISTENING = "the language server is not listening";
constexpr const char* NOT_READING =
    "the language server is not reading its input, so this input was not sent; try again once it has "
    "read what is waiting";

// Pipe capacity of the session's enlarged pipes, each counted at `PIPE_SIZE`.
std::atomic<std::size_t> enlarged_total{0};

}  // namespace

/// One pipe's share of `PIPE_TOTAL`; given back when the owner closes the pipe.
class PipeGrant {
 public:
  PipeGrant() = default;
  PipeGrant(PipeGrant&& o) noexcept : bytes_(std::exchange(o.bytes_, 0)) {}
  PipeGrant& operator=(PipeGrant&& o) noexcept {
    if (this != &o) {
      give_back();
      bytes_ = std::exchange(o.bytes_, 0);
    }
    return *this;
  }
  PipeGrant(const PipeGrant&) = delete;
  PipeGrant& operator=(const PipeGrant&) = delete;
  ~PipeGrant() { give_back(); }

  /// Enlarges the pipe `fd` to `PIPE_SIZE` when the session's total leaves room and the
  /// system agrees; otherwise the pipe keeps its size and the grant is empty.
  static PipeGrant enlarge(int fd) {
    constexpr auto size = static_cast<std::size_t>(PIPE_SIZE);
    std::size_t total = enlarged_total.load(std::memory_order_relaxed);
    do {
      if (total + size > PIPE_TOTAL) return {};
    } while (!enlarged_total.compare_exchange_weak(total, total + size, std::memory_order_relaxed));
    PipeGrant grant;
    grant.bytes_ = size;
    if (::fcntl(fd, F_SETPIPE_SZ, PIPE_SIZE) < 0) return {};  // the user's allowance is spent
    return grant;
  }

 private:
  void give_back() {
    if (bytes_ != 0) enlarged_total.fetch_sub(bytes_, std::memory_order_relaxed);
    bytes_ = 0;
  }
  std::size_t bytes_ = 0;
};

/// What a server's threads wait on besides their pipes. Shared by those threads alone,
/// so both descriptors close as soon as the last of them ends.
struct Signals {
  UniqueFd exit;                    // readable once the process has ended (`Child::exit_watch`)
  nivern_support::StopSignal stop;  // raised once every thread must leave
};

/// What the main thread shares with the relay thread.
struct Relay {
  std::shared_ptr<nivern_support::ByteBudget> budget = nivern_support::ByteBudget::make(OUTPUT_BUDGET);
  Mutex mu;
  CondVar cv;
  bool ended GUARDED_BY(mu) = false;  // the relay thread is done: output ended, process reaped

  void mark_ended() {
    {
      MutexLock lock(mu);
      ended = true;
    }
    cv.notify_all();
  }
  bool is_ended() {
    MutexLock lock(mu);
    return ended;
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

// Kills the server's whole group and reaps the server, waiting at most `KILL_WAIT` (a
// server that has become another user's cannot be killed).
void end_group(Child& child) {
  (void)child.signal_group(SIGKILL);
  (void)child.wait_until(std::chrono::steady_clock::now() + KILL_WAIT);
}

// Makes every thread of the server leave at once, whatever it waits for: its pipes, the
// process, or the editor.
void request_stop(const Running& r) {
  r.relay->budget->close();
  if (auto signals = r.signals.lock()) {
    signals->stop.raise();
  }
}

using nivern_support::InputWriter;

// Relays standard output until it ends, then waits for the process to end if it has not;
// reaps it as soon as it ends, whichever comes first. A stop request ends both at once.
void relay_output(Lsps::Out out, std::uint64_t id, UniqueFd pipe, PipeGrant grant,
                  const std::shared_ptr<Relay>& relay, const std::shared_ptr<Child>& child,
                  const std::shared_ptr<InputWriter>& input, const std::shared_ptr<Signals>& signals) {
  auto buffer = std::make_unique<char[]>(READ_SIZE);
  auto end_output = [&](bool tell) {
    if (tell) (void)out.send(Frame{msg::Response{id, msg::Reply::LspExited{}}.encode(), {}});
    pipe.reset();
    grant = PipeGrant();
    out.reset();
  };
  // Our end of the pipe does not block: a read that finds nothing waits in poll, where a
  // stop request and the process's end are seen too (a closed budget stops a relay that
  // always finds output).
  ::fcntl(pipe.get(), F_SETFL, ::fcntl(pipe.get(), F_GETFL) | O_NONBLOCK);
  bool reaped = false;
  for (;;) {
    if (pipe) {
      ssize_t n = ::read(pipe.get(), buffer.get(), READ_SIZE);
      if (n > 0) {
        msg::Reply::LspOutput event{
            msg::encode_bytes(std::string_view(buffer.get(), static_cast<std::size_t>(n)))};
        std::string body = msg::Response{id, std::move(event)}.encode();
        auto lease = relay->budget->acquire(frame_cost(body));
        if (!lease) break;
        if (!out.send(Frame{std::move(body), std::move(*lease)})) end_output(false);  // the writer stopped
        continue;
      }
      if (!(n < 0 && errno == EAGAIN)) end_output(true);  // end of output, or any read error
    }
    if (!pipe && reaped) break;
    pollfd fds[3] = {{pipe ? pipe.get() : -1, POLLIN, 0},
                     {signals->stop.fd(), POLLIN, 0},
                     {reaped ? -1 : signals->exit.get(), POLLIN, 0}};
    int ready;
    while ((ready = ::poll(fds, 3, -1)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || fds[1].revents != 0) break;
    if (fds[2].revents != 0 && child->try_wait()) {
      input->fail();  // what it did not read is dropped
      reaped = true;
    }
  }
  if (pipe) end_output(true);
  relay->mark_ended();
}

// Reads standard error and discards it, until it ends or a stop request. Meanwhile it
// watches for the process's end as the relay does, so that a relay held up by a slow
// editor does not leave an exited server unreaped.
void drain_log(UniqueFd pipe, const std::shared_ptr<Child>& child, const std::shared_ptr<InputWriter>& input,
               const std::shared_ptr<Signals>& signals) {
  ::fcntl(pipe.get(), F_SETFL, ::fcntl(pipe.get(), F_GETFL) | O_NONBLOCK);
  char buffer[4096];
  pollfd fds[3] = {
      {pipe.get(), POLLIN, 0}, {signals->stop.fd(), POLLIN, 0}, {signals->exit.get(), POLLIN, 0}};
  for (;;) {
    ssize_t n = ::read(pipe.get(), buffer, sizeof buffer);
    if (n > 0) continue;
    if (!(n < 0 && errno == EAGAIN)) return;
    int ready;
    while ((ready = ::poll(fds, 3, -1)) < 0 && errno == EINTR) {
    }
    if (ready < 0 || fds[1].revents != 0) return;
    if (fds[2].revents != 0 && child->try_wait()) {
      input->fail();  // what it did not read is dropped
      fds[2].fd = -1;
    }
  }
}

}  // namespace

Lsps::~Lsps() {
  for (auto& [id, r] : running_) r.input->close(false);
}

void Lsps::release(Running&& r) {
  r.input->close(false);
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
  // Replaced servers that have ended are dropped here, so the list stays short.
  std::erase_if(released_, [](const Running& r) { return r.relay->is_ended(); });

  nivern_support::Command command{
      .program = program_path(program), .search_path = false, .workdir = dir, .own_group = true};
  command.args.assign(args.begin(), args.end());
  auto started = nivern_support::start(command);
  if (!started) return Reply::Error{"the language server would not start: " + started.error().text()};

  ::fcntl(started->in.get(), F_SETFL, ::fcntl(started->in.get(), F_GETFL) | O_NONBLOCK);
  // Larger pipes let a burst cross in a few wake-ups instead of one per 64 KiB.
  PipeGrant in_grant = PipeGrant::enlarge(started->in.get());
  PipeGrant out_grant = PipeGrant::enlarge(started->out.get());
  auto signals = std::make_shared<Signals>();
  signals->exit = started->child->exit_watch();
  // Input the pipe cannot take at once goes to "nivern-server-lsp-in", started the first
  // time the pipe is full; it waits for room as long as the process lives.
  auto input = InputWriter::make({.fd = started->in.get(),
                                  .owned = std::move(started->in),
                                  .attached = std::make_shared<PipeGrant>(std::move(in_grant)),
                                  .limit = INPUT_LIMIT,
                                  .thread_name = "nivern-server-lsp-in",
                                  .waiter = [weak = std::weak_ptr<Signals>(signals)] {
                                    auto held = weak.lock();  // its threads are gone: so is the process
                                    if (!held) return InputWriter::Waiter{};
                                    int exit = held->exit.get();
                                    return InputWriter::Waiter{exit, held, -1};
                                  }});
  Running r{std::move(input), std::make_shared<Relay>(), {}, started->child};
  r.signals = signals;

  if (!signals->exit || !signals->stop.ok() ||
      nivern_support::start_detached("nivern-server-lsp", [out = Out(out), id, pipe = std::move(started->out),
                                                           grant = std::move(out_grant), relay = r.relay,
                                                           child = r.child, input = r.input, signals]() mutable {
        relay_output(std::move(out), id, std::move(pipe), std::move(grant), relay, child, input, signals);
      }) != 0) {
    end_group(*r.child);
    r.input->close(true);
    return Reply::Error{"cannot start reading the language server"};
  }
  // Without a thread for it, standard error is closed with the thread's arguments; the
  // server goes on.
  (void)nivern_support::start_detached(
      "nivern-server-lsp-log", [pipe = std::move(started->err), child = r.child, input = r.input,
                                signals]() mutable { drain_log(std::move(pipe), child, input, signals); });

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

  switch (it->second.input->put(*bytes)) {
    case InputWriter::Put::done:
      return Reply::Done{};
    case InputWriter::Put::refused:
      return Reply::Error{NOT_READING};
    case InputWriter::Put::failed:
      break;
  }
  return Reply::Error{NOT_LISTENING};
}

Lsps::Reply Lsps::close(std::uint64_t id) {
  auto it = running_.find(id);
  if (it == running_.end()) return Reply::Done{};
  Running r = std::move(it->second);
  running_.erase(it);
  r.input->close(true);
  end_group(*r.child);
  request_stop(r);
  return Reply::Done{};
}

void Lsps::finish(std::chrono::steady_clock::duration grace) {
  using Clock = std::chrono::steady_clock;
  for (auto& [id, r] : running_) release(std::move(r));
  running_.clear();
  // Every input is closed by now: each server gets the same grace to exit.
  const auto deadline = Clock::now() + grace;
  for (Running& r : released_) (void)r.child->wait_until(deadline);
  // Then the groups go, with whatever the servers left running in them: a server that
  // has not exited, and children of exited ones that still hold the output open.
  for (Running& r : released_) (void)r.child->signal_group(SIGKILL);
  const auto killed = Clock::now() + KILL_WAIT;
  for (Running& r : released_) {
    (void)r.child->wait_until(killed);
    // Ended means reaped and its output relayed to the end.
    (void)r.relay->wait_ended(killed);
    request_stop(r);
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
