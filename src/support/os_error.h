#pragma once
/// The text of operating-system errors, the one form used in every message:
/// the platform's description, then " (os error N)".
#include <string>

namespace nivern_support {

/// "No such file or directory (os error 2)" for ENOENT.
std::string os_error_text(int err);

/// Same for the current errno.
std::string last_os_error();

}  // namespace nivern_support
