#include <string>
#include <utility>

#include "server/calls.h"
#include "text/decoders.h"
#include "vfs/directory.h"
#include "vfs/excludes.h"
#include "vfs/scan.h"

namespace nivern_server {

namespace {

/// Paths go to the editor in their display form: invalid UTF-8 shown as U+FFFD.
std::string shown(std::string&& bytes) {
  if (nivern_text::is_valid_utf8(bytes)) return std::move(bytes);
  return nivern_text::lossy_utf8(bytes);
}

std::string shown(std::string_view bytes) { return shown(std::string(bytes)); }

}  // namespace

Reply list_dir(Server& server, const Call::ListDir& call) {
  auto listed = nivern_vfs::directory::children(call.path, server.ignore);
  if (!listed) return Reply::Error{"cannot list " + shown(std::string_view(call.path)) + ": " + listed.error()};
  Reply::Entries out;
  out.entries.reserve(listed->size());
  for (const auto& entry : *listed) {
    out.entries.push_back(nivern_protocol::message::ListEntry{
        shown(nivern_vfs::directory::last_component(entry.path)), entry.is_dir, entry.len});
  }
  return out;
}

Reply scan(const Call::Scan& call) {
  nivern_vfs::excludes::Excludes excludes{call.excludes};
  // The reply carries paths only, so the scan skips the per-file status read.
  auto result = nivern_vfs::walk::scan(call.path, excludes, nivern_vfs::walk::Sizes::skip);
  Reply::Scanned out;
  out.paths.reserve(result.entries.size());
  for (auto& entry : result.entries) out.paths.push_back(shown(std::move(entry.path)));
  result.entries = {};  // the paths have moved out; free the records before the reply is encoded
  out.truncated = result.truncated;
  return out;
}

}  // namespace nivern_server
