#include "server/calls.h"

namespace nivern_server {

namespace {
Reply gated(const Server& server, const char* name) {
  if (!server.greeted) return Reply::Error{"say hello first"};
  return not_available(name);
}
}  // namespace

Reply watch(Server& server, std::uint64_t, const Call::Watch&) { return gated(server, "watch"); }
Reply open_pty(Server& server, std::uint64_t, const Call::PtyOpen&) {
  return gated(server, "pty_open");
}
Reply pty_input(Server&, const Call::PtyInput&) { return not_available("pty_input"); }
Reply pty_resize(Server&, const Call::PtyResize&) { return not_available("pty_resize"); }
Reply pty_close(Server&, const Call::PtyClose&) { return not_available("pty_close"); }

}  // namespace nivern_server
