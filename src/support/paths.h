#pragma once
/// Questions about paths on this system.
///
/// Threading: safe from any thread.
#include <string>

namespace nivern_support {

/// True when `path` names a directory (links followed). A path holding a NUL byte names
/// nothing.
[[nodiscard]] bool is_directory(const std::string& path);

}  // namespace nivern_support
