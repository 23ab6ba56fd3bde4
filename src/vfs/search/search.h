#pragma once
/// Text search over a directory tree.
///
/// Threading: `search` runs on the calling thread and blocks until the walk is over; the
/// files are searched on the walker's worker threads, each with its own line searcher,
/// all sharing the compiled matcher. Workers gather a file's matches privately and
/// append them under a mutex, once per file that has any; a relaxed atomic counts the
/// matches and a relaxed atomic flag stops the walk once `SEARCH_MATCH_LIMIT` is
/// reached (workers finish the file they are on, so more matches than the limit may be
/// collected before the cut).
///
/// The walk is the project scan's (hidden entries walked, ignore files honoured,
/// symbolic links not followed) with the call's exclude patterns as overrides (a set
/// that does not build is ignored). Only regular files are searched, the root too when
/// it is one. Files that cannot be opened or read, and files with a matching line that
/// is not valid UTF-8, are left out silently; a missing root gives no matches.
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "vfs/tree/excludes.h"
#include "vfs/search/line_search.h"
#include "vfs/search/search_matcher.h"

namespace nivern_vfs::search {

/// Most matches a search returns.
inline constexpr std::size_t SEARCH_MATCH_LIMIT = 5000;

struct SearchResult {
  /// At most `SEARCH_MATCH_LIMIT`, in `match_order`.
  std::vector<Match> matches;
  /// The collected matches reached the limit (and were cut to it).
  bool truncated = false;
  /// The number of distinct paths among `matches`.
  std::uint64_t files = 0;
};

/// Path in component order, then line.
[[nodiscard]] bool match_order(const Match& a, const Match& b);

/// Searches the files under `root` (used as given) for `query`. An empty pattern finds
/// nothing without walking; a pattern that does not compile is a `BadQuery` and nothing
/// is walked.
[[nodiscard]] std::expected<SearchResult, BadQuery> search(std::string_view root,
                                                           const SearchQuery& query,
                                                           const excludes::Excludes& excludes);

}  // namespace nivern_vfs::search
