#pragma once
/// One walked or listed entry of the project: the scan's files and the listing's
/// children. A plain value.
#include <cstdint>
#include <string>

namespace nivern_vfs::walk {

struct ProjectEntry {
  /// Full path as formed by the walk or the listing (the given path joined with names).
  std::string path;
  /// Size in bytes from the entry's own status (links not followed); 0 when unreadable
  /// and for directories.
  std::uint64_t len = 0;
  bool is_dir = false;
};

}  // namespace nivern_vfs::walk
