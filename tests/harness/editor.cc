#include "harness/editor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "harness/replies.h"
#include "protocol/message.h"

namespace nivern_test {

namespace {

using Clock = std::chrono::steady_clock;

// The text of a string-valued key in a frame, for the keys the server writes once.
std::string_view value_of(std::string_view frame, std::string_view key) {
  std::string head = "\"" + std::string(key) + "\":\"";
  std::size_t at = frame.find(head);
  if (at == std::string_view::npos) return {};
  at += head.size();
  return frame.substr(at, frame.find('"', at) - at);
}

}  // namespace

bool threads_asleep(pid_t pid) {
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t paren = stat.rfind(')');  // the name in parentheses may hold anything
    if (paren == std::string::npos || stat.compare(paren, 4, ") S ") != 0) return false;
  }
  return !ec;
}

Editor::Editor(std::vector<std::string> args, std::vector<std::string> env, const std::string& terminal)
    : p_(std::move(args), std::move(env), terminal) {
  EXPECT_EQ(p_.hello(), hello_reply(0));
}

Editor::~Editor() {
  p_.close_stdin();
  until([] { return false; });  // the last events, to the end of output
  EXPECT_EQ(p_.wait(), 0);
  EXPECT_EQ(p_.stderr_text(), "");
}

std::string Editor::call(std::string_view call) {
  return this->call(++serial_, call);
}

bool Editor::next(std::chrono::milliseconds timeout) {
  auto frame = p_.read_frame(timeout);
  if (!frame) return false;
  take(std::move(*frame));
  return true;
}

std::optional<std::string> Editor::next_event(std::chrono::milliseconds timeout) {
  if (!until([&] { return !arrivals_.empty(); }, timeout)) return std::nullopt;
  const std::uint64_t id = arrivals_.front();
  arrivals_.pop_front();
  const std::vector<std::string>& list = events_[id];
  std::size_t& given = given_[id];
  return given < list.size() ? list[given++] : std::string();
}

std::string Editor::call(std::uint64_t id, std::string_view call, std::chrono::milliseconds timeout) {
  p_.send(request(id, call));
  if (!until([&] { return replies_.contains(id); }, timeout)) return "";
  return replies_.extract(id).mapped();
}

bool Editor::until(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ready()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !next(left)) return false;
  }
  return true;
}

void Editor::take(std::string frame) {
  const std::uint64_t id = std::stoull(frame.substr(frame.find(':') + 1));
  const std::string_view tag = value_of(frame, "reply");
  if (tag == "pty_output" || tag == "lsp_output") {
    auto bytes = nivern_protocol::message::decode_bytes(value_of(frame, "bytes"));
    EXPECT_TRUE(bytes) << frame;
    output_[id] += bytes.value_or("");
  } else if (tag == "pty_exited" || tag == "lsp_exited") {
    ++exits_[id];
  } else if (tag != "changed") {
    EXPECT_FALSE(replies_.contains(id)) << "a second reply under one id: " << frame;
    replies_[id] = std::move(frame);
    return;
  }
  events_[id].push_back(std::move(frame));
  arrivals_.push_back(id);
}

}  // namespace nivern_test
