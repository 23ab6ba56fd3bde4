#pragma once
/// Finding a language server before it is started: the fixed language table, the search
/// along PATH, and the one "--version" run that shows whether the program starts at all.
/// Each step either passes or gives the refusal text the editor sees.
///
/// Main thread only: `find_on_path` reads the environment and `probe` blocks until the
/// probed program has ended (no time limit; see `nivern_support::run` for what it left
/// running). No state is kept.
#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace nivern_server::lsp {

/// One row of the language table: what to start for a language, and with which arguments.
struct ServerSpec {
  std::string_view language;
  std::string_view program;  // a bare name, looked up on PATH
  std::span<const std::string_view> args;
};

/// The configured language servers, searched in this order.
extern const std::span<const ServerSpec> LANGUAGE_SERVERS;

/// The row whose language is `language` byte for byte, or the refusal text.
[[nodiscard]] std::expected<ServerSpec, std::string> look_up(std::string_view language);

/// The first "<entry>/<program>" along PATH that is a regular file (links followed; not
/// checked for being executable). Empty entries are kept and stand for the current
/// directory. PATH unset, or no such file: the refusal text.
[[nodiscard]] std::expected<std::string, std::string> find_on_path(std::string_view program);

/// Standard error of the probe kept, at most: room for the first non-empty line of any
/// real program.
inline constexpr std::size_t PROBE_ERR_KEEP = 64 * 1024;

/// Runs `found` with "--version", in `dir` when that is a directory (else in ours), with
/// standard input on the null device, as the leader of a process group of its own. Success, or the refusal text built from the start
/// error or from the first non-empty line of standard error. Standard output is read
/// and dropped, and only the first `PROBE_ERR_KEEP` bytes of standard error are kept.
[[nodiscard]] std::expected<void, std::string> probe(const std::string& found, const std::string& dir,
                                                     std::string_view program);

/// The refusal for a failed probe of `program` whose detail is `detail`: the missing
/// toolchain component message, or "... would not start: {detail}".
[[nodiscard]] std::string probe_refusal(std::string_view program, std::string_view detail);

/// `found` as a path that does not depend on the child's working directory: a relative
/// one (from an empty or relative PATH entry) is taken from our own current directory,
/// where `find_on_path` found it.
[[nodiscard]] std::string program_path(const std::string& found);

}  // namespace nivern_server::lsp
