#pragma once
/// The root ignore matcher: built once at session start-up from the project root's own
/// ".gitignore", ".ignore" and ".git/info/exclude", in that order, so a later file's
/// line overrides an earlier file's. Used only by the directory listing.
///
/// Threading: builds on the calling thread; the result is immutable (see gitignore.h).
/// Never fails: missing or unreadable files and bad lines are skipped, and a matcher
/// that cannot be built is replaced by the empty one.
#include <string_view>

#include "vfs/tree/gitignore.h"

namespace nivern_vfs {

[[nodiscard]] Gitignore root_matcher(std::string_view root);

}  // namespace nivern_vfs
