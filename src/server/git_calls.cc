#include "git/show.h"
#include "git/status.h"
#include "server/calls.h"
#include "server/files.h"
#include "server/git_actions.h"

namespace nivern_server {

Reply git_status(const Call::GitStatus& call) { return nivern_git::status::query(call.path); }

Reply git_show(const Call::GitShow& call) {
  // Content larger than a frame could never be sent as text.
  auto reply = nivern_git::show::committed(call.path, MAX_FRAME);
  if (!reply) return Reply::Error{files::TOO_LARGE};
  return std::move(*reply);
}

Reply git_action(const Call::GitAction& call) { return git::act(call.path, call.action); }

}  // namespace nivern_server
