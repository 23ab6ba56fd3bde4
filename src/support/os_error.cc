#include "support/os_error.h"

#include <cerrno>
#include <cstring>

namespace nivern_support {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(err);
  out += ')';
  return out;
}

std::string last_os_error() { return os_error_text(errno); }

}  // namespace nivern_support
