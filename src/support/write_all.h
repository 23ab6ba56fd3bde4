#pragma once
/// Writing a whole buffer to a blocking descriptor.
///
/// Threading: safe from any thread; concurrent writers to one descriptor interleave.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

namespace nivern_support {

/// Writes all of `data` to `fd` in requests of at most `chunk` bytes, going on after an
/// interrupted request. On failure the error number of the failed request, or 0 when a
/// request wrote nothing.
[[nodiscard]] std::expected<void, int> write_all(int fd, std::string_view data, std::size_t chunk = SIZE_MAX);

}  // namespace nivern_support
