#pragma once
/// Lexical operations on platform paths (byte strings, "/"-separated): joining, the
/// parent and component-wise prefix removal. Nothing here touches the file system.
///
/// Threading: pure functions; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

namespace nivern_git::path {

/// `base` and `name` joined: "/" inserted unless `base` is empty or ends with "/"; an
/// absolute `name` replaces `base`.
std::string join(std::string_view base, std::string_view name);

/// `p` with its last component removed: none for a root or the empty path; the empty
/// path for a single relative component ("a", ".", ".."). Trailing separators and "."
/// components are not components ("a/b/." and "a/b/" have the parent "a").
std::optional<std::string> parent(std::string_view p);

/// `p` without the leading components of `base`, compared whole ("/a/bc" is not under
/// "/a/b"); none when `base` is not a prefix. Separators and "." components at either
/// end of the rest are dropped; an empty `base` leaves `p` as it is.
std::optional<std::string_view> strip_prefix(std::string_view p, std::string_view base);

}  // namespace nivern_git::path
