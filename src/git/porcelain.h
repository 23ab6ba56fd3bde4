#pragma once
/// Pieces of git's machine-readable status (porcelain v1 with -z and --branch): the
/// branch header and the keys that paths become.
///
/// Threading: pure functions; safe from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nivern_git::porcelain {

/// What the "## " header record says.
struct Header {
  std::optional<std::string> branch;    // none for a detached HEAD
  std::optional<std::string> upstream;  // none without "..." (or an empty name after it)
  std::uint64_t ahead = 0;
  std::uint64_t behind = 0;

  friend bool operator==(const Header&, const Header&) = default;
};

/// Parses a header record without its leading "## " (any bytes).
Header parse_header(std::string_view record);

/// The key of a path as git printed it (bytes, "/"-separated, relative to the work
/// tree): `workdir` with each non-empty piece of the path joined on, as UTF-8 with
/// invalid sequences replaced. "." and ".." pieces are kept; a trailing "/" (an
/// untracked directory) leaves no trace.
std::string absolute(std::string_view workdir, std::string_view path);

}  // namespace nivern_git::porcelain
