#include <string>
#include <utility>

#include "server/calls.h"
#include "text/byte_decoders.h"
#include "vfs/excludes.h"
#include "vfs/search.h"

namespace nivern_server {

Reply search(const Call::Search& call) {
  namespace search = nivern_vfs::search;
  const search::SearchQuery query{call.pattern, call.regex, call.whole_word, call.case_sensitive};
  auto result = search::search(call.path, query, nivern_vfs::excludes::Excludes{call.excludes});
  if (!result) return Reply::Error{"cannot search: " + result.error().text()};
  Reply::Found out;
  out.matches.reserve(result->matches.size());
  for (auto& m : result->matches) {
    // Paths go out in their display form; the text is valid UTF-8 already.
    std::string path =
        nivern_text::is_valid_utf8(m.path) ? std::move(m.path) : nivern_text::lossy_utf8(m.path);
    out.matches.push_back(nivern_protocol::message::TextMatch{std::move(path), m.line,
                                                              std::move(m.text), m.start, m.end});
  }
  out.truncated = result->truncated;
  out.files = result->files;
  return out;
}

}  // namespace nivern_server
