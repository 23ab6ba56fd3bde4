#include "support/write_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nivern_support {

std::expected<void, int> write_all(int fd, std::string_view data, std::size_t chunk) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), std::min(data.size(), chunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) return std::unexpected(0);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace nivern_support
