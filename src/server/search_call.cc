#include <cstdint>
#include <string>
#include <utility>

#include "server/calls.h"
#include "text/byte_decoders.h"
#include "vfs/tree/excludes.h"
#include "vfs/search/search.h"

namespace nivern_server {

namespace {

using nivern_protocol::message::TextMatch;

/// Bytes of a `found` reply around its matches, at their largest: the id, the `files`
/// count and the commas between matches all counted at their widest.
std::size_t found_shell_size(std::size_t matches) {
  nivern_protocol::message::Response widest{UINT64_MAX, Reply::Found{{}, true, UINT64_MAX}};
  return widest.encode().size() + matches;
}

}  // namespace

Reply search(const Call::Search& call) {
  namespace search = nivern_vfs::search;
  const search::SearchQuery query{call.pattern, call.regex, call.whole_word, call.case_sensitive};
  auto result = search::search(call.path, query, nivern_vfs::excludes::Excludes{call.excludes});
  if (!result) return Reply::Error{"cannot search: " + result.error().text()};
  Reply::Found out;
  out.matches.reserve(result->matches.size());
  out.truncated = result->truncated;
  // The matches that fit one frame, in order: a match too long for any frame is left
  // out, and the first that no longer fits ends the list; either way the reply says
  // `truncated`, as when the match cap is reached.
  const std::size_t room = MAX_FRAME - found_shell_size(result->matches.size());
  std::size_t used = 0;
  for (auto& m : result->matches) {
    // Paths go out in their display form; the text is valid UTF-8 already.
    std::string path =
        nivern_text::is_valid_utf8(m.path) ? std::move(m.path) : nivern_text::lossy_utf8(m.path);
    TextMatch match{std::move(path), m.line, std::move(m.text), m.start, m.end};
    const std::size_t size = nivern_protocol::message::encoded_size(match, room);
    if (size > room - used) {
      out.truncated = true;
      if (size > room) continue;
      break;
    }
    used += size;
    out.matches.push_back(std::move(match));
  }
  if (out.matches.size() == result->matches.size()) {
    out.files = result->files;
  } else {
    // Distinct paths among the matches kept, which stay in path order.
    out.files = 0;
    for (std::size_t i = 0; i < out.matches.size(); ++i) {
      if (i == 0 || out.matches[i].path != out.matches[i - 1].path) ++out.files;
    }
  }
  return out;
}

}  // namespace nivern_server
