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

/// Makes `text` (its bytes unchanged) the staged content of `path`: "hash-object -w
/// --stdin" fed through a pipe, the mode the index has for the path, read literally
/// ("100644" when it has none), then "update-index --add --cacheinfo". Messages:
/// "cannot run git: {}", "cannot write to git: {}", or the message of the failing run.
[[nodiscard]] std::expected<void, std::string> stage_text(std::string_view workdir, std::string_view path,
                                                          std::string_view text);

}  // namespace nivern_git::stage
