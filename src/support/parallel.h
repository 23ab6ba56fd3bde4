#pragma once
/// Splitting one large job whose parts touch disjoint data (escaping a whole file's
/// text, reading a whole file) over short-lived threads.
///
/// Threading: `in_parallel` returns only when every part is done and every thread it
/// started is joined. Any thread may call it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "support/thread_name.h"

namespace nivern_support {

/// The most parts a job is split into.
inline constexpr std::size_t MAX_PARTS = 8;

/// How many parts a job of `size` bytes gets: one per `part_min` bytes, at most one per
/// processor and at most `MAX_PARTS`; at least 1.
inline std::size_t parts_for(std::size_t size, std::size_t part_min) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::max<std::size_t>(1, std::min({cores, MAX_PARTS, size / part_min}));
}

/// Runs `f(0)` .. `f(n - 1)`, each but the first on a thread of its own named `name` (on
/// this thread when one cannot be started), and returns when all are done. `f` must not
/// throw.
template <class F>
void in_parallel(std::size_t n, std::string_view name, F&& f) {
  std::array<std::thread, MAX_PARTS> few;
  std::vector<std::thread> many(n > MAX_PARTS ? n : 0);
  std::thread* threads = n > MAX_PARTS ? many.data() : few.data();
  for (std::size_t i = 1; i < n; ++i) {
    try {
      threads[i] = std::thread([&f, i, name] {
        name_this_thread(name);
        f(i);
      });
    } catch (const std::system_error&) {
      f(i);
    }
  }
  f(0);
  for (std::size_t i = 1; i < n; ++i) {
    if (threads[i].joinable()) threads[i].join();
  }
}

}  // namespace nivern_support
