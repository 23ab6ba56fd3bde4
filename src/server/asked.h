#pragma once
/// Changed paths in the form the editor asked for: a path under the watched root keeps
/// the editor's own spelling of the root; any other path is passed on as reported.
///
/// Threading: a pure function; safe from any thread.
#include <string>
#include <string_view>

namespace nivern_server {

/// `path` with the leading `root` (compared component by component) spelled as
/// `asked`, which loses its trailing "/" characters ("/" for the file-system root).
/// A backslash is an ordinary name character and stays as it is. Invalid UTF-8 becomes
/// U+FFFD.
[[nodiscard]] std::string as_asked(std::string_view path, std::string_view root, std::string_view asked);

}  // namespace nivern_server
