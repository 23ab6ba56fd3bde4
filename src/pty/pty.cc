#include "pty/pty.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "support/input_writer.h"
#include "support/mutex.h"
#include "support/os_error.h"
#include "support/stop_signal.h"
#include "support/thread_name.h"
#include "support/unique_fd.h"
#include "text/byte_decoders.h"

namespace nivern_pty {

using nivern_support::ByteBudget;
using nivern_support::CondVar;
using nivern_support::Mutex;
using nivern_support::MutexLock;
using nivern_support::UniqueFd;
using Clock = std::chrono::steady_clock;

namespace {

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

}  // namespace

std::string shell() {
  const char* value = ::getenv("SHELL");
  if (value && nivern_text::is_valid_utf8(value)) return value;
  return "/bin/sh";
}

struct Pty::Shared {
  UniqueFd main;
  nivern_support::StopSignal stop;  // raised once the release has begun

  Mutex notify_mu;
  Notify notify GUARDED_BY(notify_mu);

  // The shell: a session of its own, so its group id is its pid.
  std::shared_ptr<nivern_support::Child> child;
  Mutex release_mu;
  CondVar release_cv;
  bool releasing GUARDED_BY(release_mu) = false;
  // "nivern-pty-exit" runs: it ends the shell once the release has begun. Written by
  // `spawn` before the `Pty` is handed out, read by the release.
  bool exit_watch = false;

  // Output: the queue's bound, and what the exit watch needs to know of the reader.
  std::shared_ptr<ByteBudget> output_budget = ByteBudget::make(OUTPUT_LIMIT);
  std::atomic<std::int64_t> last_read_ns{0};
  std::atomic<bool> held_back{false};  // the reader waits for room in the queue
  std::atomic<bool> reader_done{false};
  std::atomic<bool> quiet{false};  // exit seen, then output quiet for QUIET_AFTER_EXIT

  // Input that the terminal could not take at once goes to "nivern-pty-input".
  std::shared_ptr<nivern_support::InputWriter> input;

  Shared(UniqueFd m, nivern_support::StopSignal s, Notify n, std::shared_ptr<nivern_support::Child> c)
      : main(std::move(m)), stop(std::move(s)), notify(std::move(n)), child(std::move(c)) {}

  void call_notify() {
    MutexLock lock(notify_mu);
    notify();
  }

  // Waits until the release begins, or until `deadline`; whether it has begun.
  bool wait_released(Clock::time_point deadline) REQUIRES(release_mu) {
    while (!releasing) {
      if (!release_cv.wait_until(release_mu, deadline)) return releasing;
    }
    return true;
  }

  // Waits until the main side is ready for `events` or the release begins; false then.
  bool wait_for(short events, int timeout_ms) {
    pollfd fds[2] = {{main.get(), events, 0}, {stop.fd(), POLLIN, 0}};
    int r = ::poll(fds, 2, timeout_ms);
    if (r < 0 && errno != EINTR) return false;
    return fds[1].revents == 0;
  }
};

namespace {

using Shared = Pty::Shared;

void read_output(const std::shared_ptr<Shared>& s, nivern_support::Sender<Pty::Chunk> out) {
  auto buf = std::make_unique<char[]>(READ_BUFFER);
  for (;;) {
    ssize_t n = ::read(s->main.get(), buf.get(), READ_BUFFER);
    if (n > 0) {
      s->held_back.store(true);
      auto lease = s->output_budget->acquire(static_cast<std::size_t>(n) + CHUNK_OVERHEAD);
      s->last_read_ns.store(now_ns());
      s->held_back.store(false);
      if (!lease) break;
      Pty::Chunk chunk{std::string(buf.get(), static_cast<std::size_t>(n)), std::move(*lease)};
      if (!out.send(chunk)) break;
      s->call_notify();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (!s->wait_for(POLLIN, -1)) break;
      continue;
    }
    break;  // end of file, or EIO once no process holds the terminal's other side
  }
  s->reader_done.store(true);
  out.reset();
  s->call_notify();
}

// After the release has hung the shell up: a kill of its group once `HANGUP_GRACE` has
// passed, then the reaping, each wait bounded. A shell that has become another user's
// cannot be signalled; the end of the terminal's main side has hung it up all the same.
void end_shell(nivern_support::Child& child) {
  if (child.wait_until(Clock::now() + HANGUP_GRACE)) return;
  (void)child.signal_group(SIGKILL);
  (void)child.wait_until(Clock::now() + KILL_WAIT);
}

void watch_exit(const std::shared_ptr<Shared>& s) {
  bool released = false;
  {
    MutexLock lock(s->release_mu);
    for (;;) {
      if (s->wait_released(Clock::now() + EXIT_POLL)) {
        released = true;
        break;
      }
      if (s->child->try_wait()) break;
    }
    // The shell is gone. Its output ends when the reader meets the end of the terminal,
    // or, if something else keeps the terminal open, once it has been quiet a while.
    const std::int64_t seen = now_ns();
    const std::int64_t quiet_ns = std::chrono::nanoseconds(QUIET_AFTER_EXIT).count();
    while (!released && !s->reader_done.load()) {
      std::int64_t now = now_ns();
      std::int64_t last = s->held_back.load() ? now : std::max(seen, s->last_read_ns.load());
      if (now - last >= quiet_ns) {
        s->quiet.store(true);
        break;
      }
      released = s->wait_released(Clock::time_point(std::chrono::nanoseconds(last + quiet_ns)));
    }
  }
  if (released) end_shell(*s->child);
  s->call_notify();
}

}  // namespace

Pty::Pty(std::shared_ptr<Shared> shared, nivern_support::Receiver<Chunk> output)
    : output_(std::move(output)), shared_(std::move(shared)) {}

std::expected<std::unique_ptr<Pty>, SpawnError> Pty::spawn(std::string_view program, std::string_view cwd,
                                                           std::uint16_t rows, std::uint16_t cols,
                                                           Notify notify) {
  using Kind = SpawnError::Kind;
  PtySize size{std::max<std::uint16_t>(rows, 1), std::max<std::uint16_t>(cols, 1), 0, 0};
  auto pair = open_terminal(size);
  if (!pair) return std::unexpected(SpawnError{Kind::terminal, pair.error()});
  nivern_support::StopSignal stop;
  if (!stop.ok()) return std::unexpected(SpawnError{Kind::terminal, nivern_support::last_os_error()});

  auto child = start_on(pair->subordinate, program, cwd);
  if (!child) return std::unexpected(SpawnError{Kind::shell, child.error()});

  auto shared =
      std::make_shared<Shared>(std::move(pair->main), std::move(stop), std::move(notify), std::move(*child));
  auto [sender, receiver] = nivern_support::make_channel<Chunk>();
  // From here on the release stops whatever has started.
  std::unique_ptr<Pty> pty(new Pty(shared, std::move(receiver)));
  using nivern_support::start_detached;
  if (int e = start_detached(
          READER_THREAD, [s = shared, out = std::move(sender)]() mutable { read_output(s, std::move(out)); }))
    return std::unexpected(SpawnError{Kind::terminal, nivern_support::os_error_text(e)});
  // The writer thread holds the terminal open, through its waiter's `keep`, until it ends.
  shared->input =
      nivern_support::InputWriter::make({.fd = shared->main.get(),
                                         .owned = {},
                                         .attached = {},
                                         .limit = INPUT_LIMIT,
                                         .thread_name = INPUT_THREAD,
                                         .waiter = [s = std::weak_ptr<Shared>(shared)] {
                                           // A bounded wait: a missed wake-up costs a retry.
                                           auto held = s.lock();
                                           if (!held) return nivern_support::InputWriter::Waiter{};
                                           int stop = held->stop.fd();
                                           return nivern_support::InputWriter::Waiter{stop, held, 100};
                                         }});
  if (int e = shared->input->start())
    return std::unexpected(SpawnError{Kind::terminal, nivern_support::os_error_text(e)});
  // Without the exit watch the shell's end is learnt from the end of its output alone.
  shared->exit_watch = start_detached(EXIT_THREAD, [s = shared] { watch_exit(s); }) == 0;
  return pty;
}

Pty::~Pty() {
  Shared& s = *shared_;
  {
    MutexLock lock(s.release_mu);
    s.releasing = true;
  }
  s.release_cv.notify_all();
  output_.reset();
  held_.reset();
  s.output_budget->close();
  if (s.input) s.input->close(true);
  s.stop.raise();
  // The end of the main side hangs the terminal up: the kernel signals the shell's
  // session whatever user it has become. Then the group gets the hang-up signal too.
  close_main(s.main.get());
  (void)s.child->signal_group(SIGHUP);
  // "nivern-pty-exit" kills and reaps it; without that thread, this does.
  if (!s.exit_watch) end_shell(*s.child);
  // The threads hold the rest; the last of them to end releases the descriptor.
}

int Pty::main_fd() const {
  return shared_->main.get();
}

std::string Pty::drain(std::size_t max) {
  std::string out;
  auto take = [&](Chunk& c) {
    if (out.empty()) {
      out = std::move(c.bytes);
      return true;
    }
    if (out.capacity() < 2 * READ_BUFFER) {  // more than one chunk: size it once
      out.reserve(std::min(max, shared_->output_budget->in_flight() + out.size()));
    }
    if (out.size() + c.bytes.size() > max) {
      held_ = std::move(c);
      return false;
    }
    out += c.bytes;
    return true;
  };
  // Read before taking: when the reader has ended by then, what we take is all there is.
  const bool ended = output_.senders_gone();
  const bool quiet = shared_->quiet.load();
  if (held_) {
    Chunk c = std::move(*held_);
    held_.reset();
    take(c);
  }
  while (auto c = output_.try_recv()) {
    if (!take(*c)) return out;
  }
  if (ended || quiet) exited_ = true;
  return out;
}

bool Pty::write(std::string_view bytes) {
  // Input to an ended terminal is lost, as for an ended shell.
  return !shared_->input || shared_->input->put(bytes) != nivern_support::InputWriter::Put::refused;
}

}  // namespace nivern_pty
