#pragma once
/// The handlers of the calls. Each runs on the main thread, to completion, and returns
/// exactly one reply: its success reply or `Reply::Error`.
#include <cstdint>

#include "protocol/message.h"
#include "server/server.h"

namespace nivern_server {

using nivern_protocol::message::Call;
using nivern_protocol::message::Reply;

/// Routes one decoded call (never `hello`) to its handler.
Reply dispatch(Server& server, std::uint64_t id, Call&& call);

// files.cc
Reply open_file(const Call::Open& call);
Reply save_file(const Call::Save& call);

// project.cc
Reply list_dir(Server& server, const Call::ListDir& call);
Reply scan(const Call::Scan& call);

// search_call.cc
Reply search(const Call::Search& call);

// git_calls.cc
Reply git_status(const Call::GitStatus& call);
Reply git_show(const Call::GitShow& call);
Reply git_action(const Call::GitAction& call);

// watch_call.cc: starts a watch whose `changed` events carry `id`
Reply watch(Server& server, std::uint64_t id, const Call::Watch& call);

// ptys.cc
Reply open_pty(Server& server, std::uint64_t id, const Call::PtyOpen& call);
Reply pty_input(Server& server, const Call::PtyInput& call);
Reply pty_resize(Server& server, const Call::PtyResize& call);
Reply pty_close(Server& server, const Call::PtyClose& call);

// lsps.cc
Reply open_lsp(Server& server, std::uint64_t id, const Call::LspOpen& call);
Reply lsp_input(Server& server, const Call::LspInput& call);
Reply lsp_close(Server& server, const Call::LspClose& call);

}  // namespace nivern_server
