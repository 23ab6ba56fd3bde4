#include <malloc.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/calls.h"
#include "text/byte_decoders.h"
#include "vfs/tree/directory.h"
#include "vfs/tree/excludes.h"
#include "vfs/tree/scan.h"

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
  Reply::Scanned out;
  {
    // The reply carries paths only, so the scan skips the per-file status read.
    auto result = nivern_vfs::walk::scan(call.path, excludes, nivern_vfs::walk::Sizes::skip);
    const auto& files = result.entries;
    // Every path is the prefix (which ends in "/") and a relative part, so each shows as
    // the two shown apart. The list's buffer is sized exactly first: a part that is not
    // UTF-8 grows when shown.
    const std::string prefix = shown(files.prefix());
    std::vector<std::size_t> lossy;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
      std::string_view rel = files.relative(i);
      if (nivern_text::is_valid_utf8(rel)) {
        bytes += prefix.size() + rel.size();
      } else {
        lossy.push_back(i);
        bytes += prefix.size() + nivern_text::lossy_utf8(rel).size();
      }
    }
    out.paths.reserve(files.size(), bytes);
    std::string path = prefix;
    auto next_lossy = lossy.begin();
    for (std::size_t i = 0; i < files.size(); ++i) {
      path.resize(prefix.size());
      if (next_lossy != lossy.end() && *next_lossy == i) {
        path += nivern_text::lossy_utf8(files.relative(i));
        ++next_lossy;
      } else {
        path += files.relative(i);
      }
      out.paths.push_back(path);
    }
    out.truncated = result.truncated;
  }
  // The walk's batches and buffers are gone; hand their pages back before the reply is
  // encoded, so that the session does not keep them between scans.
  ::malloc_trim(0);
  return out;
}

}  // namespace nivern_server
