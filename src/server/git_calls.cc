#include "server/calls.h"

namespace nivern_server {

Reply git_status(const Call::GitStatus&) { return not_available("git_status"); }
Reply git_show(const Call::GitShow&) { return not_available("git_show"); }
Reply git_action(const Call::GitAction&) { return not_available("git_action"); }

}  // namespace nivern_server
