#include "git/show.h"
#include "git/status.h"
#include "server/calls.h"

namespace nivern_server {

Reply git_status(const Call::GitStatus& call) { return nivern_git::status::query(call.path); }

Reply git_show(const Call::GitShow& call) { return nivern_git::show::committed(call.path); }

Reply git_action(const Call::GitAction&) { return not_available("git_action"); }

}  // namespace nivern_server
