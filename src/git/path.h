#pragma once
/// Lexical operations on platform paths (byte strings, "/"-separated): joining, the
/// parent, component-wise prefix removal, and reading a small file whole. Nothing here
/// resolves links or touches the file system except `read_file`.
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

/// The whole content of the regular file at `p`. Anything else (missing, a directory, a
/// FIFO or device, which are not opened for reading at all, a NUL byte in `p`, a read
/// error) gives none.
std::optional<std::string> read_file(const std::string& p);

}  // namespace nivern_git::path
