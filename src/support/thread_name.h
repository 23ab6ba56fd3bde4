#pragma once
/// Thread names, and named detached threads. The system keeps our full names as
/// constants; Linux takes the first 15 bytes.
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace nivern_support {

/// Names the calling thread.
void name_this_thread(std::string_view name);

/// Runs `f()` on a detached thread named `name` (a constant). The OS error's number when
/// the system has no thread to give (then `f` is dropped unrun), else 0.
template <class F>
[[nodiscard]] int start_detached(const char* name, F&& f) {
  try {
    std::thread([n = name, f = std::forward<F>(f)]() mutable {
      name_this_thread(n);
      std::move(f)();
    }).detach();
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

}  // namespace nivern_support
