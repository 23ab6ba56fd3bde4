#include "server/session.h"

#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "protocol/message.h"
#include "server/calls.h"
#include "server/files.h"
#include "server/frames.h"
#include "server/server.h"
#include "support/byte_budget.h"
#include "support/channel.h"
#include "support/os_error.h"
#include "support/thread_name.h"
#include "vfs/tree/root_ignore.h"

namespace nivern_server {

namespace msg = nivern_protocol::message;

std::string_view build_os() { return "linux"; }

std::string_view build_arch() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#else
#error "unsupported processor architecture"
#endif
}

namespace {

// The writer thread's body: frames in queue order, each written whole, until every
// sender is gone or a write fails. Returns the error's text on failure.
std::optional<std::string> write_frames(nivern_support::Receiver<Frame> frames, int fd) {
  nivern_support::name_this_thread("nivern-server-write");
  while (auto frame = frames.recv()) {
    if (auto r = write_frame(fd, frame->body); !r) {
      frames.reset();  // later sends fail, queued frames are dropped
      return r.error();
    }
  }
  return std::nullopt;
}

// The answer to one decoded request.
Reply handle(Server& server, msg::Request&& request) {
  if (auto* hello = std::get_if<Call::Hello>(&request.call.v)) {
    if (hello->version != msg::PROTOCOL_VERSION) {
      return Reply::Error{"the editor speaks protocol " + std::to_string(hello->version) +
                          "; this server speaks " + std::to_string(msg::PROTOCOL_VERSION)};
    }
    server.greeted = true;
    return Reply::Hello{msg::PROTOCOL_VERSION, std::string(build_os()), std::string(build_arch())};
  }
  if (!server.greeted) return Reply::Error{"say hello first"};
  return dispatch(server, request.id, std::move(request.call));
}

// The frame body of `response`. A reply too large for one frame is never sent: a
// `text` reply (of `open` or `git_show`) becomes "too large to open as text yet", any
// other the over-limit message, and the session goes on. A text that cannot fit is
// measured no further than needed and never escaped.
std::string encode_fitting(msg::Response& response) {
  auto* text = std::get_if<Reply::Text>(&response.reply.v);
  if (text && text->text.size() > MAX_FRAME) {
    response.reply = Reply::Error{files::TOO_LARGE};
    return response.encode();
  }
  if (text) {
    if (auto body = response.encode_within(MAX_FRAME)) return std::move(*body);
    response.reply = Reply::Error{files::TOO_LARGE};
    return response.encode();
  }
  std::string body = response.encode();
  if (body.size() <= MAX_FRAME) return body;
  const std::size_t size = body.size();
  body = std::string();
  response.reply = Reply::Error{over_limit_message(size)};
  return response.encode();
}

}  // namespace

std::expected<void, std::string> serve_over(std::string_view root, int in_fd, int out_fd) {
  auto [loop_out, frames] = nivern_support::make_channel<Frame>();

  auto writer_error = std::make_shared<std::optional<std::string>>();
  std::thread writer;
  try {
    writer = std::thread([frames = std::move(frames), out_fd, writer_error]() mutable {
      *writer_error = write_frames(std::move(frames), out_fd);
    });
  } catch (const std::system_error& e) {
    return std::unexpected(nivern_support::os_error_text(e.code().value()));
  }

  auto server = std::make_unique<Server>();
  server->ignore = nivern_vfs::root_matcher(root);
  server->out = loop_out;

  FrameReader reader(in_fd);
  const auto replies = server->replies;
  std::optional<std::string> fatal;
  for (;;) {
    auto next = reader.next();
    if (next.status == FrameReader::Status::end) break;
    if (next.status == FrameReader::Status::fatal) {
      fatal = std::move(next.error);
      break;
    }
    msg::Response response;
    if (next.status == FrameReader::Status::oversized) {
      response.reply = Reply::Error{over_limit_message(next.size)};
    } else {
      auto request = msg::Request::decode(next.body);
      next.body = std::string();
      if (!request) {
        response.reply = Reply::Error{"unreadable request: " + request.error()};
      } else {
        response.id = request->id;
        response.reply = handle(*server, std::move(*request));
      }
    }
    std::string body = encode_fitting(response);
    response = {};
    // Waits while too many replies are unwritten; the writer gives each share back once
    // its frame is written or discarded, so this never waits on a stopped writer. A
    // reply is charged the memory it holds, its slack included.
    auto lease = replies->acquire(frame_cost(body));
    Frame frame{std::move(body), lease ? std::move(*lease) : nivern_support::ByteBudget::Lease()};
    if (!loop_out.send(std::move(frame))) break;  // the writer has stopped: its error decides
  }

  // However the session ended, language servers get a few seconds to exit once their
  // input is closed; then their groups are killed, so the process can end.
  server->lsps.finish(lsp::END_GRACE);
  server.reset();
  if (fatal) {
    writer.detach();
    loop_out.reset();
    return std::unexpected(std::move(*fatal));
  }
  loop_out.reset();
  writer.join();
  if (auto& error = *writer_error) return std::unexpected(std::move(*error));
  return {};
}

}  // namespace nivern_server
