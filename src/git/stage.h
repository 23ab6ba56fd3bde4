#pragma once
/// Putting content into the index: one git command over a list of paths, and a text
/// staged as a path's content without touching the work-tree file.
///
/// Threading: both block the calling thread (the main thread, inside one request) while
/// git runs; nothing survives a call.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace nivern_git::stage {

/// Runs git once in `workdir` with `leading` followed by every path of `paths` made
/// relative to `workdir` (`show::relative_to`), in order, each read as a literal name
/// (`command::LITERAL_PATHS` goes before `leading`): a file named "*.txt" or ":(top)" is
/// that file alone. No paths: success without running anything. The output is dropped;
/// a failure gives the run's message.
[[nodiscard]] std::expected<void, std::string> with_paths(std::string_view workdir,
                                                          std::vector<std::string> leading,
                                                          const std::vector<std::string>& paths);

/// Makes `text` (its bytes unchanged) the staged content of `path`, keeping the mode the
/// index has for exactly that name ("100644" when it has none): "hash-object -w --stdin"
/// fed through a pipe, then "update-index --add --cacheinfo". A path whose index entry
/// is a symbolic link, or that is one in the work tree, is refused before anything is
/// written: "cannot stage lines of '{}': it is a symbolic link" with the path relative to
/// `workdir`. Other messages: "cannot run git: {}", "cannot write to git: {}", or the
/// message of the failing run.
[[nodiscard]] std::expected<void, std::string> stage_text(std::string_view workdir, std::string_view path,
                                                          std::string_view text);

}  // namespace nivern_git::stage
