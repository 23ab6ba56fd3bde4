#pragma once
/// A stop signal for threads that wait in `poll`: an eventfd that becomes readable, for
/// good, once `raise` has been called. Any thread may raise it or poll its descriptor.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "support/unique_fd.h"

namespace nivern_support {

class StopSignal {
 public:
  /// An empty signal (`ok()` false, errno set) when the system gives no eventfd.
  StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  [[nodiscard]] bool ok() const { return static_cast<bool>(fd_); }
  /// The descriptor to poll for POLLIN.
  [[nodiscard]] int fd() const { return fd_.get(); }
  void raise() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
  }

 private:
  UniqueFd fd_;
};

}  // namespace nivern_support
