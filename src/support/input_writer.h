#pragma once
/// Input for a child that may be slow to read it. While nothing waits, `put` writes the
/// non-blocking descriptor itself, as far as it takes bytes at once; the rest is queued
/// for a named writer thread that writes it in order, waiting for room, so the caller
/// never blocks. Input is refused only when some already waits and the new bytes would
/// take what waits past the limit; input sent while nothing waits is taken whatever its
/// size.
///
/// The writer gives up when its give-up descriptor becomes readable (the child's end, or
/// a stop signal), so a grandchild holding the pipe open does not keep it waiting. The
/// input ends when it is closed, a write fails or the writer gives up: then what waits
/// is dropped, the owned descriptor closed and the attached state released.
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "support/mutex.h"
#include "support/unique_fd.h"

namespace nivern_support {

class InputWriter : public std::enable_shared_from_this<InputWriter> {
 public:
  enum class Put {
    done,     // written, or queued in order behind earlier input
    refused,  // nothing written or queued: it would pass the limit
    failed,   // the input has ended
  };

  /// What the writer thread waits on besides room in the descriptor.
  struct Waiter {
    int give_up = -1;            // readable once waiting must end; -1: the child is gone
    std::shared_ptr<void> keep;  // keeps `give_up` open while the thread runs
    int poll_ms = -1;            // how long one wait for room lasts before a retry
  };

  struct Setup {
    int fd = -1;                        // the non-blocking descriptor written
    UniqueFd owned;                     // closed when the input ends; may be empty
    std::shared_ptr<void> attached;     // released when the input ends
    std::size_t limit = 0;              // bound on what waits, as described above
    const char* thread_name = nullptr;  // the writer thread's name
    std::function<Waiter()> waiter;     // asked once, when the thread starts
  };

  [[nodiscard]] static std::shared_ptr<InputWriter> make(Setup setup);

  /// Starts the writer thread now rather than when first needed: 0, or the error number.
  [[nodiscard]] int start();
  [[nodiscard]] Put put(std::string_view bytes);
  /// Ends the input once what waits is written; with `drop`, what waits is dropped.
  void close(bool drop);
  /// The child has ended: what waits is dropped and the input ends.
  void fail();

  explicit InputWriter(Setup setup);

 private:
  int start_locked() REQUIRES(mu_);
  void run(const Waiter& waiter);
  void shut() REQUIRES(mu_);
  void drop() REQUIRES(mu_);

  Mutex mu_;
  CondVar work_;
  int fd_ GUARDED_BY(mu_);
  UniqueFd owned_ GUARDED_BY(mu_);
  std::shared_ptr<void> attached_ GUARDED_BY(mu_);
  const std::size_t limit_;
  const char* const thread_name_;
  std::function<Waiter()> waiter_ GUARDED_BY(mu_);
  std::deque<std::string> queue_ GUARDED_BY(mu_);  // bytes waiting for the writer, in order
  std::size_t queued_ GUARDED_BY(mu_) = 0;         // bytes in `queue_`
  std::size_t held_ GUARDED_BY(mu_) = 0;           // bytes of the chunk in the writer's hands
  bool running_ GUARDED_BY(mu_) = false;           // the writer thread was started
  bool failed_ GUARDED_BY(mu_) = false;            // a write failed, the child ended, or closed
  bool closing_ GUARDED_BY(mu_) = false;           // end once `queue_` is written
};

}  // namespace nivern_support
