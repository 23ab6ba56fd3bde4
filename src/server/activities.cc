#include "server/calls.h"

namespace nivern_server {

namespace {
Reply gated(const Server& server, const char* name) {
  if (!server.greeted) return Reply::Error{"say hello first"};
  return not_available(name);
}
}  // namespace

Reply open_lsp(Server& server, std::uint64_t, const Call::LspOpen&) {
  return gated(server, "lsp_open");
}
Reply lsp_input(Server&, const Call::LspInput&) { return not_available("lsp_input"); }
Reply lsp_close(Server&, const Call::LspClose&) { return not_available("lsp_close"); }

}  // namespace nivern_server
