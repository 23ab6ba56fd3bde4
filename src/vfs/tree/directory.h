#pragma once
/// Directory listing for `list_dir`: the entries of one directory that the project's
/// ignore rules leave, sized and in `listing_order`.
///
/// Threading: runs on the calling thread; reads the root matcher, keeps nothing.
///
/// What is read: the directory once, with it open; the listed directory's own
/// ".gitignore" (if it is a regular file, following links) as a local matcher asked
/// after the root matcher (either one's ignore leaves the entry out). When the listed
/// directory is the root matcher's own root, the root's files are read afresh instead:
/// a root matcher rebuilt from them in their order (see root_ignore.h) takes the given
/// one's place, so edits of the root's ".gitignore" show and the root's ".ignore" can
/// still re-include what it hides. Each non-directory's status is read relative to the
/// open directory without following links. ".git" is left out by name; other hidden
/// entries stay.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "vfs/tree/gitignore.h"
#include "vfs/tree/project_entry.h"

namespace nivern_vfs::directory {

/// The kept entries of `path` in `listing_order`, or the text of the error that kept
/// the directory from opening ("Not a directory (os error 20)").
[[nodiscard]] std::expected<std::vector<walk::ProjectEntry>, std::string> children(
    std::string_view path, const Gitignore& root_ignore);

/// Stable sort: directories first, then by the key of each path's last component (its
/// lossy UTF-8 text with the full Unicode lower-case mapping applied to the whole text)
/// compared as bytes; equal keys keep their order.
void listing_order(std::vector<walk::ProjectEntry>& entries);

/// The last component of a path as the listing names it (empty when there is none).
[[nodiscard]] std::string_view last_component(std::string_view path);

}  // namespace nivern_vfs::directory
