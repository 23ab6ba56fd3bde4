#include "server/ptys.h"

#include <system_error>
#include <thread>
#include <utility>

#include "server/calls.h"
#include "server/server.h"
#include "support/thread_name.h"

namespace nivern_server {

namespace msg = nivern_protocol::message;

namespace pty {

using nivern_support::Wake;

namespace {

constexpr const char* NOT_READING =
    "the shell is not reading its input, so this input was not sent; try again once it has read what "
    "is waiting";

bool send_exited(Outgoing& out, std::uint64_t id) {
  msg::Response response{id, Reply::PtyExited{}};
  return out.send(Frame{response.encode(), {}});
}

// Each wake-up is one chunk or the end of one of the shell's threads; a wake-up can
// find its output already taken by the drain of an earlier one. Once the shell has been
// closed, the wake-ups end when its last thread has ended, which is after the shell has
// been reaped (or given up on): only then comes `pty_exited`.
void relay(std::uint64_t id, nivern_support::Receiver<Wake> wake, Outgoing out,
           const std::weak_ptr<Shell>& weak, const std::shared_ptr<nivern_support::ByteBudget>& budget) {
  while (wake.recv()) {
    while (wake.try_recv()) {
    }
    for (;;) {
      std::shared_ptr<Shell> shell = weak.lock();
      if (!shell) break;  // closed: its threads are ending
      std::string data;
      bool exited;
      {
        nivern_support::MutexLock lock(shell->mu);
        data = shell->pty->drain(EVENT_BYTES);
        exited = shell->pty->exited();
      }
      // Not held while waiting for room: a close must not wait for the editor.
      shell.reset();
      if (!data.empty()) {
        std::string body = msg::Response{id, Reply::PtyOutput{msg::encode_bytes(data)}}.encode();
        data = std::string();
        auto lease = budget->acquire(frame_cost(body));
        if (!lease) continue;  // closed: the shell is gone, and says so next round
        if (!out.send(Frame{std::move(body), std::move(*lease)})) return;
        if (!exited) continue;  // more may be queued behind it, its wake-up already taken
      }
      if (exited) {
        (void)send_exited(out, id);
        return;
      }
      break;
    }
  }
  (void)send_exited(out, id);
}

}  // namespace

Ptys::~Ptys() {
  // The releases do not block: the shells' graces run side by side.
  shells_.clear();
}

Reply Ptys::open(std::uint64_t id, const Call::PtyOpen& call, const Outgoing& out) {
  auto [wake_tx, wake_rx] = nivern_support::make_channel<Wake>();
  std::string program = nivern_pty::shell();
  auto notify = [tx = std::move(wake_tx)]() mutable { (void)tx.send(Wake{}); };
  auto spawned = nivern_pty::Pty::spawn(program, call.path, call.rows, call.cols, std::move(notify));
  if (!spawned) {
    const char* what = spawned.error().kind == nivern_pty::SpawnError::Kind::terminal
                           ? "no pseudoterminal: "
                           : "could not start a shell: ";
    return Reply::Error{what + spawned.error().text};
  }
  auto shell = std::make_shared<Shell>(std::move(*spawned));
  if (nivern_support::start_detached(RELAY_THREAD,
                                     [id, wake = std::move(wake_rx), out = Outgoing(out),
                                      weak = std::weak_ptr<Shell>(shell), budget = shell->budget]() mutable {
                                       relay(id, std::move(wake), std::move(out), weak, budget);
                                     }) != 0) {
    return Reply::Error{"cannot start reading the shell"};  // the shell is released on the way out
  }
  auto [at, inserted] = shells_.try_emplace(id, shell);
  if (!inserted) {
    std::shared_ptr<Shell> old = std::exchange(at->second, std::move(shell));
  }
  return Reply::PtyOpened{nivern_pty::shell()};
}

Reply Ptys::input(const Call::PtyInput& call) {
  auto it = shells_.find(call.pty);
  if (it == shells_.end()) return Reply::Error{"no such shell"};
  auto bytes = msg::decode_bytes(call.bytes);
  if (!bytes) return Reply::Error{bytes.error()};
  Shell& shell = *it->second;
  nivern_support::MutexLock lock(shell.mu);
  if (!shell.pty->write(*bytes)) return Reply::Error{NOT_READING};
  return Reply::Done{};
}

Reply Ptys::resize(const Call::PtyResize& call) {
  auto it = shells_.find(call.pty);
  if (it == shells_.end()) return Reply::Error{"no such shell"};
  Shell& shell = *it->second;
  nivern_support::MutexLock lock(shell.mu);
  nivern_pty::PtySize size{std::max<std::uint16_t>(call.rows, 1), std::max<std::uint16_t>(call.cols, 1), 0,
                           0};
  (void)nivern_pty::resize(shell.pty->main_fd(), size);
  return Reply::Done{};
}

Reply Ptys::close(const Call::PtyClose& call) {
  shells_.erase(call.pty);
  return Reply::Done{};
}

}  // namespace pty

Reply open_pty(Server& server, std::uint64_t id, const Call::PtyOpen& call) {
  if (!server.greeted) return Reply::Error{"say hello first"};
  return server.ptys.open(id, call, server.out);
}
Reply pty_input(Server& server, const Call::PtyInput& call) {
  return server.ptys.input(call);
}
Reply pty_resize(Server& server, const Call::PtyResize& call) {
  return server.ptys.resize(call);
}
Reply pty_close(Server& server, const Call::PtyClose& call) {
  return server.ptys.close(call);
}

}  // namespace nivern_server
