#pragma once
/// One editor session: start-up, the request loop and shutdown.
///
/// Runs on the main thread, which alone reads `in_fd` and touches `Server`; the writer
/// thread "nivern-server-write" alone writes `out_fd`. Returns once the session is over:
/// success after a clean end, or the text of the fatal error ("nivern-server: {}" is the
/// caller's to print). After a fatal end the writer may still be running, detached; the
/// caller is expected to exit the process.
#include <expected>
#include <string>
#include <string_view>

namespace nivern_server {

/// The operating system and processor names of this build, as `hello` reports them.
std::string_view build_os();
std::string_view build_arch();

[[nodiscard]] std::expected<void, std::string> serve_over(std::string_view root, int in_fd, int out_fd);

}  // namespace nivern_server
