#pragma once
/// The editor's side of a session for end-to-end tests: the built server started and
/// greeted, each call answered by its id, and the events of each activity (a watch, a
/// shell, a language server) kept under the id of the request that started it.
///
/// Single-threaded: one test drives one `Editor`. Every wait has a deadline; a call that
/// gets no reply in time returns "" and the test fails on it instead of hanging. At its end
/// the editor closes the server's input: the session must end with status 0 and nothing
/// on standard error.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/frame_client.h"

namespace nivern_test {

/// Whether every thread of process `pid` is asleep (state "S"): none runs or is about to.
bool threads_asleep(pid_t pid);

class Editor {
 public:
  /// Starts the server with `args` (the root first), `env` and `terminal` (see
  /// `ServerProcess`), and says hello under id 0.
  explicit Editor(std::vector<std::string> args, std::vector<std::string> env = {},
                  const std::string& terminal = {});
  ~Editor();
  Editor(const Editor&) = delete;
  Editor& operator=(const Editor&) = delete;

  ServerProcess& process() { return p_; }

  /// Sends `call` under `id` and returns the whole reply frame under that id, keeping the
  /// events that come meanwhile; "" when none came within `timeout`.
  std::string call(std::uint64_t id, std::string_view call,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));

  /// Sends `call` under the next id of the editor's own, from 1001 on, and returns the reply.
  std::string call(std::string_view call);

  /// Reads one frame and keeps it; false when the output ends or `timeout` passes.
  bool next(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  /// Reads frames until `ready` holds; false when the output ends or `timeout` passes.
  bool until(const std::function<bool()>& ready,
             std::chrono::milliseconds timeout = std::chrono::seconds(30));

  /// The event frames (`changed`, `pty_output`, `pty_exited`, `lsp_output`, `lsp_exited`)
  /// under `id`, whole, in arrival order; a test reading endless output clears them as it goes.
  std::vector<std::string>& events(std::uint64_t id) { return events_[id]; }
  /// The bytes of the `pty_output` and `lsp_output` events under `id`, decoded; a test
  /// may take what it has checked away.
  std::string& output(std::uint64_t id) { return output_[id]; }
  /// Those bytes for every id.
  std::map<std::uint64_t, std::string>& outputs() { return output_; }
  /// The next event of any id that this has not given yet, whole, in arrival order;
  /// nullopt when none comes within `timeout`. (Not for ids whose events a test clears.)
  std::optional<std::string> next_event(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  /// How many `pty_exited` and `lsp_exited` events came under `id`.
  int exits(std::uint64_t id) { return exits_[id]; }

 private:
  void take(std::string frame);

  ServerProcess p_;
  std::map<std::uint64_t, std::string> replies_;
  std::map<std::uint64_t, std::vector<std::string>> events_;
  std::map<std::uint64_t, std::string> output_;
  std::map<std::uint64_t, int> exits_;
  std::uint64_t serial_ = 1000;
  std::deque<std::uint64_t> arrivals_;          // the id of each event not yet given by next_event
  std::map<std::uint64_t, std::size_t> given_;  // per id, how many next_event gave
};

}  // namespace nivern_test
