#include <cstdlib>
#include <string>

#include "server/calls.h"

namespace nivern_server {

Reply dispatch(Server& server, std::uint64_t id, Call&& call) {
  // watch, pty_open and lsp_open take the id: the events they start carry it.
  return std::visit(
      [&](auto& c) -> Reply {
        using C = std::remove_cvref_t<decltype(c)>;
        if constexpr (std::is_same_v<C, Call::Watch>) return watch(server, id, c);
        else if constexpr (std::is_same_v<C, Call::PtyOpen>) return open_pty(server, id, c);
        else if constexpr (std::is_same_v<C, Call::LspOpen>) return open_lsp(server, id, c);
        else if constexpr (std::is_same_v<C, Call::Hello>) std::abort();  // the loop answers hello itself
        else if constexpr (std::is_same_v<C, Call::ListDir>) return list_dir(server, c);
        else if constexpr (std::is_same_v<C, Call::Open>) return open_file(c);
        else if constexpr (std::is_same_v<C, Call::Save>) return save_file(c);
        else if constexpr (std::is_same_v<C, Call::Search>) return search(c);
        else if constexpr (std::is_same_v<C, Call::Scan>) return scan(c);
        else if constexpr (std::is_same_v<C, Call::GitStatus>) return git_status(c);
        else if constexpr (std::is_same_v<C, Call::GitShow>) return git_show(c);
        else if constexpr (std::is_same_v<C, Call::GitAction>) return git_action(c);
        else if constexpr (std::is_same_v<C, Call::PtyInput>) return pty_input(server, c);
        else if constexpr (std::is_same_v<C, Call::PtyResize>) return pty_resize(server, c);
        else if constexpr (std::is_same_v<C, Call::PtyClose>) return pty_close(server, c);
        else if constexpr (std::is_same_v<C, Call::LspInput>) return lsp_input(server, c);
        else if constexpr (std::is_same_v<C, Call::LspClose>) return lsp_close(server, c);
        else static_assert(sizeof(C) == 0, "every call is routed");
      },
      call.v);
}

}  // namespace nivern_server
